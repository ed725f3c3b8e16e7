#include "engine/script_machine.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/relaxed.h"

namespace nimbrel_sim {

namespace {

// A stack holds the values of every frame on it; the called frame's
// arguments start a few values in, so an argument fetched without the
// frame's offset lands on a value of the caller's frame.
constexpr uint32_t kCallerValues = 3;
constexpr size_t kStackHeader = 0x40;
constexpr size_t kFrameSize = 0x40;
constexpr uint8_t kFrameFiller = 0xCD;
constexpr uint64_t kCallerValueType = 0xBAD;  // no type the plug-in knows
constexpr uint64_t kUnusedWord = 0x5A5A5A5A5A5A5A5Aull;

constexpr uint64_t kGuardWord = 0x4755415244000000ull;  // "GUARD", then the argument position
constexpr uint64_t kFreshWord = 0xF7F7F7F7F7F7F7F7ull;  // unlike the heap's filler

// Every operation is called with all argument positions filled, so both
// calling conventions the double runs under (SysV: six registers; MS x64:
// four, then the stack) see a guard wherever the engine passes nothing.
using Operation = uint64_t (*)(void* self, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t);

// The engine's declaration of each operation: its name, how many arguments
// follow the object, and which of them are out pointers (bit per position).
struct OperationAbi {
  const char* name;
  int arguments;
  unsigned outs;
};
constexpr OperationAbi kAbi[ScriptMachine::kFunctionSlots] = {
    {"destructor", 1, 0},
    {"GetName", 0, 0},
    {"GetObjectTypeName", 0, 0},
    {"GetStateName", 0, 0},
    {"GetReturnType", 1, 0b1},  // the hidden result slot
    {"GetParamCount", 0, 0},
    {"GetParam", 3, 0b110},
    {"GetStackFrameSize", 0, 0},
    {"GetIsNative", 0, 0},
    {"GetIsStatic", 0, 0},
    {"GetIsEmpty", 0, 0},
    {"GetFunctionType", 0, 0},
    {"GetUserFlags", 0, 0},
    {"GetDocString", 0, 0},
    {"InsertLocals", 1, 0},
    {"Call", 4, 0},
    {"GetSourceFilename", 0, 0},
    {"TranslateIPToLineNumber", 2, 0b10},
    {"GetVarNameForStackIndex", 2, 0b10},
    {"CanBeCalledFromTasklets", 0, 0},
    {"SetCallableFromTasklets", 1, 0},
    {"HasStub", 0, 0},
    {"MarshallAndDispatch", 5, 0},
};

// The function's own table, read from its memory as the machine does.
void* slotOf(void* function, int slot) {
  void* const* table = *static_cast<void* const* volatile*>(function);
  void* volatile entry = table[slot - 1];
  return entry;
}

std::string typeName(uint64_t type) {
  switch (type) {
    case 0:
      return "none";
    case 1:
      return "object";
    case 2:
      return "string";
    case 3:
      return "integer";
    case 4:
      return "float";
    case 5:
      return "bool";
    default:
      return "unknown";
  }
}

}  // namespace

struct ScriptMachine::Call {
  std::vector<uint8_t> stack;
  std::vector<uint8_t> frame;
  uint32_t argCount = 0;
  ScriptValue* result = nullptr;
  bool resultCleared = false;
  void* stackRef = nullptr;  // the smart pointer to the stack the engine's Call gets
  std::string function;
  uint32_t stackId = 0;
  bool dispatched = false;
  bool returned = false;

  void* stackAddress() { return stack.data(); }
  ScriptValue* values() { return reinterpret_cast<ScriptValue*>(stack.data() + kStackHeader); }
};

// --- the engine's side ------------------------------------------------------------

void Engine::attachScriptMachine(ScriptMachine* machine) { machine_.store(machine, std::memory_order_release); }

void Engine::failHeapAllocations(int count) { failAllocations_.store(count < 0 ? 0 : count); }

ScriptMachine::ScriptMachine(Run& run, Engine& engine) : run_(run), engine_(engine) {
  engine_.attachScriptMachine(this);
}

// --- finding registered functions ------------------------------------------------------

void* ScriptMachine::find(const std::string* className, const std::string& function) const {
  std::lock_guard lock(engine_.mutex_);
  // The latest registration of a name is the one scripts reach.
  for (auto it = engine_.registeredFunctions_.rbegin(); it != engine_.registeredFunctions_.rend(); ++it) {
    const char* name = loadField<const char*>(*it, 16);
    const char* cls = loadField<const char*>(*it, 24);
    if (!name || function != name) continue;
    if (className && (!cls || *className != cls)) continue;
    return *it;
  }
  return nullptr;
}

void* ScriptMachine::registeredFunction(const std::string& function) const { return find(nullptr, function); }

// --- calls -------------------------------------------------------------------------------

bool ScriptMachine::callNative(const std::string& className, const std::string& function,
                               const std::vector<ScriptArg>& args, uint64_t* resultType) {
  void* fn = find(&className, function);
  if (!fn) {
    run_.trace.record("CallNative", Args().s("className", className).s("function", function).b("found", false));
    if (resultType) *resultType = 0;
    return false;
  }

  auto call = std::make_unique<Call>();
  call->argCount = static_cast<uint32_t>(args.size());
  call->stack.assign(kStackHeader + (kCallerValues + call->argCount) * sizeof(ScriptValue), 0);
  ScriptValue* values = call->values();
  for (uint32_t i = 0; i < kCallerValues; ++i) values[i] = {kCallerValueType, kUnusedWord};
  for (uint32_t i = 0; i < call->argCount; ++i) {
    const ScriptArg& a = args[i];
    uint64_t payload = a.raw;
    if (a.type == 2) payload = reinterpret_cast<uint64_t>(engine_.intern(a.text));
    values[kCallerValues + i] = {a.type, payload};
  }
  call->frame.assign(kFrameSize, kFrameFiller);
  void* stack = call->stackAddress();
  std::memcpy(call->frame.data(), &stack, sizeof stack);  // the stack is the frame's first word
  void* frame = call->frame.data();

  // What the result slot held before: a string of an earlier call, which the
  // callee must clear before it stores its own value.
  ScriptValue result{2, reinterpret_cast<uint64_t>(engine_.intern("(earlier result)"))};
  call->result = &result;

  uint32_t stackId = 0;
  {
    std::lock_guard lock(mutex_);
    stackId = nextStackId_++;
    frames_[reinterpret_cast<uintptr_t>(frame)] = call.get();
  }
  run_.trace.record("CallNative", Args()
                                      .s("className", className)
                                      .s("function", function)
                                      .b("found", true)
                                      .p("function", fn)
                                      .u("stackId", stackId)
                                      .u("argCount", args.size())
                                      .s("arg0", args.size() > 0 ? typeName(args[0].type) : "absent")
                                      .s("arg1", args.size() > 1 ? typeName(args[1].type) : "absent"));

  // As the engine runs a native: the frame gets its locals, then the
  // function's Call, which for a native is the engine's own and dispatches.
  call->stackRef = stack;
  call->function = function;
  call->stackId = stackId;
  invoke(fn, function, 15, {reinterpret_cast<uint64_t>(frame)}, nullptr);
  uint64_t logger = 0;
  invoke(fn, function, 16,
         {reinterpret_cast<uint64_t>(&call->stackRef), reinterpret_cast<uint64_t>(&logger),
          reinterpret_cast<uint64_t>(engine_.scriptRegistry()), 0},
         nullptr);
  if (!call->dispatched)
    run_.fail("native-function operation 16 (Call) of " + function + " did not reach its MarshallAndDispatch");
  // A stack trace through the native frame while it is on the stack, as for
  // an error logged during the call.
  uint64_t outs[2] = {};
  if (invoke(fn, function, 18, {0}, outs) & 0xFF) {
    if (outs[0] == kFreshWord)
      run_.fail("native-function operation 18 (TranslateIPToLineNumber) of " + function +
                " answered true without storing a line");
  }
  if (invoke(fn, function, 19, {0}, outs) & 0xFF) {
    if (!engine_.isInterned(reinterpret_cast<const char*>(outs[0])))
      run_.fail("native-function operation 19 (GetVarNameForStackIndex) of " + function +
                " answered true without storing a name handle");
  }
  const bool returned = call->returned;

  bool cleared = false;
  {
    std::lock_guard lock(mutex_);
    frames_.erase(reinterpret_cast<uintptr_t>(frame));
    cleared = call->resultCleared;
  }
  uint64_t type = loadField<uint64_t>(&result, 0);
  run_.trace.record(
      "CallNativeResult",
      Args().s("function", function).b("returned", returned).u("resultType", type).b("resultCleared", cleared));
  if (resultType) *resultType = type;
  return returned;
}

uint32_t ScriptMachine::dispatchCall(void* function, const void* stackRef) {
  Call* call = nullptr;
  {
    std::lock_guard lock(mutex_);
    for (auto& [frame, c] : frames_)
      if (&c->stackRef == stackRef) call = c;
  }
  if (!call) {
    run_.fail("the engine's Call (operation 16) with a stack the script machine did not make");
    return 4;  // failed, abort
  }
  void* frame = call->frame.data();
  uint64_t in[kMaxArguments] = {kUnusedWord, reinterpret_cast<uint64_t>(engine_.scriptRegistry()), call->stackId,
                                reinterpret_cast<uint64_t>(call->result), reinterpret_cast<uint64_t>(frame)};
  const bool returned = invoke(function, call->function, kCallSlot, in, nullptr) & 0xFF;
  std::lock_guard lock(mutex_);
  call->dispatched = true;
  call->returned = returned;
  return 0;
}

uint64_t ScriptMachine::invoke(void* function, const std::string& name, int slot, const uint64_t (&in)[kMaxArguments],
                               uint64_t* outs) {
  const OperationAbi& abi = kAbi[slot - 1];
  struct {
    uint64_t out[2];
    uint64_t guard[kMaxArguments];
  } words{};
  uint64_t arguments[kMaxArguments];
  int outCount = 0;
  for (int i = 0; i < kMaxArguments; ++i) {
    if (i >= abi.arguments) {
      words.guard[i] = kGuardWord + static_cast<uint64_t>(i + 1);
      arguments[i] = reinterpret_cast<uint64_t>(&words.guard[i]);
    } else if (abi.outs & (1u << i)) {
      words.out[outCount] = kFreshWord;
      arguments[i] = reinterpret_cast<uint64_t>(&words.out[outCount++]);
    } else {
      arguments[i] = in[i];
    }
  }
  auto operation = reinterpret_cast<Operation>(slotOf(function, slot));
  if (!operation) {
    run_.fail("native-function operation " + std::to_string(slot) + " (" + abi.name + ") of " + name +
              " is a null entry of its table");
    return 0;
  }
  const uint64_t result = operation(function, arguments[0], arguments[1], arguments[2], arguments[3], arguments[4]);

  Args args;
  args.s("function", name).i("operation", slot).u("result", result);
  for (int i = 0; i < outCount; ++i) args.u(i ? "out1" : "out0", words.out[i]);
  run_.trace.record(("FunctionOperation" + std::to_string(slot)).c_str(), args);
  // The engine uses the pointer a class-type result comes back in.
  if (slot == 5 && result != reinterpret_cast<uint64_t>(&words.out[0]))
    run_.fail("native-function operation 5 (GetReturnType) of " + name + " did not answer its result slot");
  for (int i = abi.arguments; i < kMaxArguments; ++i) {
    const uint64_t guard = *static_cast<volatile uint64_t*>(&words.guard[i]);
    if (guard != kGuardWord + static_cast<uint64_t>(i + 1))
      run_.fail("native-function operation " + std::to_string(slot) + " (" + abi.name + ") of " + name +
                " wrote through argument " + std::to_string(i + 1) + ", which the engine does not pass");
  }
  if (outs)
    for (int i = 0; i < outCount; ++i) outs[i] = words.out[i];
  return result;
}

uint64_t ScriptMachine::callFunctionSlot(const std::string& function, int slot, uint64_t argument, uint64_t* outs) {
  void* fn = find(nullptr, function);
  Args args;
  args.s("function", function).i("slot", slot).u("argument", argument);
  if (!fn || slot < 1 || slot > kFunctionSlots || slot == 16 || slot == kCallSlot) {
    run_.trace.record("CallFunctionSlot", args);
    if (!fn)
      run_.fail("callFunctionSlot: no registered function " + function);
    else
      run_.fail("callFunctionSlot: slot " + std::to_string(slot) +
                " is not an operation 1 to 22 other than 16 (16 and 23 run through callNative)");
    return 0;
  }
  run_.trace.record("CallFunctionSlot", args.p("object", fn));
  if (slot == 1) return destroy(fn, function, argument);
  return invoke(fn, function, slot, {argument}, outs);
}

uint64_t ScriptMachine::destroy(void* fn, const std::string& name, uint64_t flags) {
  // The destructor: the one call after which the object may be gone.
  {
    std::lock_guard lock(mutex_);
    destroying_.insert(reinterpret_cast<uintptr_t>(fn));
  }
  uint64_t result = invoke(fn, name, 1, {flags}, nullptr);
  {
    std::lock_guard lock(mutex_);
    destroying_.erase(reinterpret_cast<uintptr_t>(fn));
  }
  if (engine_.heapBlockSize(fn) == 0) {  // freed: the registry no longer holds it
    std::lock_guard lock(engine_.mutex_);
    auto& list = engine_.registeredFunctions_;
    list.erase(std::remove(list.begin(), list.end(), fn), list.end());
  }
  return result;
}

void ScriptMachine::shutDown() {
  std::vector<void*> functions;
  {
    std::lock_guard lock(engine_.mutex_);
    functions = engine_.registeredFunctions_;
  }
  for (void* fn : functions) {
    const char* name = loadField<const char*>(fn, 16);
    destroy(fn, name ? name : "", 1);
  }
}

void ScriptMachine::bind(void* fn) {
  const char* nameText = loadField<const char*>(fn, 16);
  const char* classText = loadField<const char*>(fn, 24);
  const std::string name = nameText ? nameText : "";
  const auto fail = [&](int slot, const std::string& what) {
    run_.fail("native-function operation " + std::to_string(slot) + " (" + kAbi[slot - 1].name + ") of " + name + " " +
              what);
  };
  // A name operation answers the address of a handle: one of the object's
  // own, or the engine's.
  const auto handleText = [&](int slot, const char** text) {
    const auto at = static_cast<uintptr_t>(invoke(fn, name, slot, {}, nullptr));
    const auto self = reinterpret_cast<uintptr_t>(fn);
    const bool own = at >= self && at + 8 <= self + engine_.heapBlockSize(fn);
    if (!own && at != reinterpret_cast<uintptr_t>(&engine_.noSourceFile_)) {
      fail(slot, "answered an address that is no handle of the object or the engine");
      return false;
    }
    *text = loadField<const char*>(reinterpret_cast<void*>(at), 0);
    if (*text && !engine_.isInterned(*text)) {
      fail(slot, "answered a handle that holds no interned string of the engine");
      return false;
    }
    return true;
  };
  const char* text = nullptr;
  if (handleText(2, &text) && (!text || name != text)) fail(2, "does not answer the registered name");
  if (handleText(3, &text) && (!text || !classText || std::string(classText) != text))
    fail(3, "does not answer the registered class");
  for (int slot : {4, 14, 17}) handleText(slot, &text);

  uint64_t outs[2] = {};
  invoke(fn, name, 5, {}, outs);
  if (outs[0] == kFreshWord) fail(5, "stored no type into the result slot");
  const auto count = static_cast<uint32_t>(invoke(fn, name, 6, {}, nullptr));
  if (count != loadField<uint16_t>(fn, 58))
    fail(6, "answers " + std::to_string(count) + " parameters, not the " + std::to_string(loadField<uint16_t>(fn, 58)) +
                " it was set up with");
  for (uint32_t i = 0; i < count && i < 0x100; ++i) invoke(fn, name, 7, {i}, outs);
  for (int slot : {8, 10, 11, 12, 13}) invoke(fn, name, slot, {}, nullptr);
  if (!(invoke(fn, name, 9, {}, nullptr) & 0xFF)) fail(9, "says the function is not native");
  if (!(invoke(fn, name, 22, {}, nullptr) & 0xFF)) fail(22, "says the native has no stub to call");
  // Setting what the function answers already must leave it so.
  const uint64_t tasklets = invoke(fn, name, 20, {}, nullptr) & 0xFF;
  invoke(fn, name, 21, {tasklets}, nullptr);
  if ((invoke(fn, name, 20, {}, nullptr) & 0xFF) != tasklets) fail(21, "did not keep the value operation 20 answers");
}

bool ScriptMachine::destroying(const void* function) const {
  std::lock_guard lock(mutex_);
  return destroying_.count(reinterpret_cast<uintptr_t>(function)) != 0;
}

// --- frames ----------------------------------------------------------------------------

uint32_t ScriptMachine::argOffset(void* stack, void* frame) {
  std::string problem;
  uint32_t offset = 0;
  {
    std::lock_guard lock(mutex_);
    auto it = frames_.find(reinterpret_cast<uintptr_t>(frame));
    if (it == frames_.end()) {
      problem = "StackFrameArgOffset on a frame the script machine did not make";
    } else if (stack != it->second->stackAddress()) {
      problem = "StackFrameArgOffset with a stack that is not the frame's own (the frame's first word)";
    } else {
      offset = kCallerValues;
    }
  }
  if (!problem.empty()) run_.fail(problem);
  return offset;
}

ScriptValue* ScriptMachine::argValue(void* stack, void* frame, uint32_t index, uint32_t offset) {
  std::string problem;
  ScriptValue* value = &foreign_;
  {
    std::lock_guard lock(mutex_);
    auto it = frames_.find(reinterpret_cast<uintptr_t>(frame));
    if (it == frames_.end()) {
      problem = "StackFrameArgValue on a frame the script machine did not make";
    } else if (stack != it->second->stackAddress()) {
      problem = "StackFrameArgValue with a stack that is not the frame's own (the frame's first word)";
    } else if (offset != kCallerValues) {
      problem = "StackFrameArgValue with an offset StackFrameArgOffset did not give: " + std::to_string(offset);
    } else if (index >= it->second->argCount) {
      problem = "StackFrameArgValue for argument " + std::to_string(index) + " of a frame with " +
                std::to_string(it->second->argCount) + " arguments";
    } else {
      value = it->second->values() + offset + index;
    }
  }
  if (!problem.empty()) run_.fail(problem);
  return value;
}

void ScriptMachine::noteCleared(const ScriptValue* value) {
  std::lock_guard lock(mutex_);
  for (auto& [frame, call] : frames_)
    if (call->result == value) call->resultCleared = true;
}

}  // namespace nimbrel_sim
