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

using CallOperation = bool (*)(void* self, uint64_t unused, void* registry, uint32_t stackId, ScriptValue* result,
                               void* frame);
using SlotOperation = uint64_t (*)(void* self, uint64_t a, uint64_t b, uint64_t c);

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

  auto op = reinterpret_cast<CallOperation>(slotOf(fn, kCallSlot));
  bool returned = op(fn, kUnusedWord, engine_.scriptRegistry(), stackId, &result, frame);

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

uint64_t ScriptMachine::callFunctionSlot(const std::string& function, int slot, uint64_t a, uint64_t b, uint64_t c) {
  void* fn = find(nullptr, function);
  Args args;
  args.s("function", function).i("slot", slot).u("a", a).u("b", b).u("c", c);
  if (!fn || slot < 1 || slot >= kCallSlot) {
    run_.trace.record("CallFunctionSlot", args);
    if (!fn)
      run_.fail("callFunctionSlot: no registered function " + function);
    else
      run_.fail("callFunctionSlot: slot " + std::to_string(slot) + " is not an operation 1 to 22 (23 is callNative)");
    return 0;
  }
  run_.trace.record("CallFunctionSlot", args.p("object", fn));
  auto op = reinterpret_cast<SlotOperation>(slotOf(fn, slot));
  if (slot != 1) return op(fn, a, b, c);

  // The destructor: the one call after which the object may be gone.
  {
    std::lock_guard lock(mutex_);
    destroying_.insert(reinterpret_cast<uintptr_t>(fn));
  }
  uint64_t result = op(fn, a, b, c);
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
