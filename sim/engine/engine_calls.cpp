// The engine calls the plug-in reaches through the image: forms and casts,
// the heap and interned strings, native functions and the
// script registry, stack frames and values, and the script natives that
// change the world. Each records itself in the trace and fails the run on
// anything the game would not take.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "engine/engine.h"
#include "engine/relaxed.h"
#include "engine/script_machine.h"
#include "engine/world.h"
#include "run/active_run.h"
#include "run/os.h"

namespace nimbrel_sim {

namespace {

std::optional<Cls> parentOf(Cls cls) {
  switch (cls) {
    case Cls::Spell:
    case Cls::EffectArt:
    case Cls::ImageSpaceModifier:
    case Cls::FormList:
    case Cls::GlobalVariable:
    case Cls::ObjectReference:
    case Cls::Weather:
    case Cls::Cell:
    case Cls::Worldspace:
      return Cls::Form;
    case Cls::Actor:
      return Cls::ObjectReference;
    case Cls::Player:
      return Cls::Actor;
    default:
      return std::nullopt;
  }
}

bool derives(Cls cls, Cls base) {
  for (std::optional<Cls> c = cls; c; c = parentOf(*c)) {
    if (*c == base) return true;
  }
  return false;
}

Cls classOfDescriptor(EntryId id) {
  switch (id) {
    case kRttiSpell:
      return Cls::Spell;
    case kRttiEffectArt:
      return Cls::EffectArt;
    case kRttiImageSpaceModifier:
      return Cls::ImageSpaceModifier;
    case kRttiFormList:
      return Cls::FormList;
    case kRttiGlobalVariable:
      return Cls::GlobalVariable;
    case kRttiObjectReference:
      return Cls::ObjectReference;
    // The descriptor the plug-in knows as the player's is the engine's actor
    // type: every actor passes a cast to it, not only the player.
    case kRttiPlayer:
      return Cls::Actor;
    default:
      return Cls::Form;
  }
}

std::string descriptorName(EntryId id) { return id == kEntryCount ? "unknown" : entry(id).name; }

std::string textOrNull(const char* text) { return text ? text : "(null)"; }

constexpr size_t kNativeFunctionSize = 96;
constexpr uint8_t kFreshHeapByte = 0xAB;  // heap memory is not zeroed by the engine

}  // namespace

// --- forms and casts ---------------------------------------------------------

void* Engine::formFromId(uint32_t formId) {
  run_.noteEngineCall(os::osThreadId());
  void* form = nullptr;
  {
    std::lock_guard lock(mutex_);
    auto it = forms_.find(formId);
    if (it != forms_.end()) form = it->second;
  }
  // The entry's offset, so that the trace shows which runtime's layout the
  // call went through.
  run_.trace.record(
      "FormFromId",
      Args().u("formId", formId).p("result", form).p("rva", uintptr_t{offsetOf(kFormFromId, image().layout())}));
  return form;
}

// The sky, as the holder holds it: any thread may ask, and nothing changes.
void* Engine::skyGetSingleton() {
  run_.noteEngineCall(os::osThreadId());
  void* sky = __atomic_load_n(reinterpret_cast<void* const*>(image().address(kSkyHolder)), __ATOMIC_RELAXED);
  run_.trace.record("SkyGetSingleton", Args().p("result", sky));
  return sky;
}

void* Engine::dynamicCast(void* object, int32_t vfDelta, void* sourceType, void* targetType, int32_t isReference) {
  run_.noteEngineCall(os::osThreadId());
  EntryId from = image().descriptorAt(reinterpret_cast<uintptr_t>(sourceType));
  EntryId to = image().descriptorAt(reinterpret_cast<uintptr_t>(targetType));
  void* result = nullptr;
  std::string problem;
  if (from == kEntryCount || to == kEntryCount) {
    problem = "EngineDynamicCast with an unknown type descriptor";
  } else if (vfDelta != 0 || isReference != 0) {
    problem = "EngineDynamicCast with non-zero first or last integer argument";
  } else if (object && image().isPoison(reinterpret_cast<uintptr_t>(object))) {
    problem = fault_.load() == LayoutFault::CellWorldspace
                  ? "EngineDynamicCast of the address the layout fault cell-worldspace put in the cell's worldspace "
                    "field: the plug-in's check of the worldspace should have stood it down"
                  : "EngineDynamicCast of the poison the double keeps in the cell's unused worldspace field: the "
                    "plug-in reads the cell at the wrong offset for this runtime";
  } else if (object) {
    std::optional<Cls> cls = classOf(object);
    if (!cls) {
      problem = "EngineDynamicCast of a pointer that is no engine object";
    } else if (!derives(*cls, classOfDescriptor(from))) {
      problem = "EngineDynamicCast from " + descriptorName(from) + " of an object not of that class";
    } else if (derives(*cls, classOfDescriptor(to))) {
      result = object;
    }
  }
  run_.trace.record("EngineDynamicCast", Args()
                                             .p("object", object)
                                             .i("vfDelta", vfDelta)
                                             .s("from", descriptorName(from))
                                             .s("to", descriptorName(to))
                                             .i("isReference", isReference)
                                             .p("result", result));
  if (!problem.empty()) run_.fail(problem);
  return result;
}

// --- heap and strings --------------------------------------------------------

void* Engine::heapAllocate(void* heap, uint64_t size, uint32_t alignment, bool aligned) {
  bool rightHeap = reinterpret_cast<uintptr_t>(heap) == image().address(kEngineHeap);
  void* block = nullptr;
  // An allocation a test asked to fail answers null, as the engine does when
  // its heap is exhausted.
  int left = failAllocations_.load();
  while (left > 0 && !failAllocations_.compare_exchange_weak(left, left - 1)) {
  }
  const bool refused = left > 0;
  if (rightHeap && !refused) {
    auto* memory = new uint8_t[size ? size : 1];
    std::memset(memory, kFreshHeapByte, size ? size : 1);
    block = memory;
    std::lock_guard lock(mutex_);
    heapBlocks_[reinterpret_cast<uintptr_t>(block)] = size;
  }
  run_.trace.record("EngineHeapAllocate", Args()
                                              .p("heap", heap)
                                              .u("size", size)
                                              .u("alignment", alignment)
                                              .b("aligned", aligned)
                                              .b("refused", refused)
                                              .p("result", block));
  if (!rightHeap) run_.fail("EngineHeapAllocate on something other than the EngineHeap object");
  if (alignment != 0 || aligned) run_.fail("EngineHeapAllocate with non-zero alignment arguments");
  return block;
}

void Engine::heapFree(void* heap, void* block, bool aligned) {
  bool rightHeap = reinterpret_cast<uintptr_t>(heap) == image().address(kEngineHeap);
  bool known = false;
  // A registered function belongs to the registry: its memory goes back only
  // through its destructor, when the script machine destroys it.
  bool registered = false;
  {
    std::lock_guard lock(mutex_);
    registered =
        std::find(registeredFunctions_.begin(), registeredFunctions_.end(), block) != registeredFunctions_.end();
  }
  ScriptMachine* machine = machine_.load(std::memory_order_acquire);
  if (registered && !(machine && machine->destroying(block))) {
    run_.trace.record("EngineHeapFree", Args().p("heap", heap).p("block", block).b("registered", true));
    run_.fail("EngineHeapFree of a native function the script registry owns");
    return;
  }
  if (rightHeap && block) {
    std::lock_guard lock(mutex_);
    auto it = heapBlocks_.find(reinterpret_cast<uintptr_t>(block));
    if (it != heapBlocks_.end()) {
      known = true;
      heapBlocks_.erase(it);
      auto tables = paramTables_.find(reinterpret_cast<uintptr_t>(block));
      if (tables != paramTables_.end()) paramTables_.erase(tables);
    }
  }
  run_.trace.record("EngineHeapFree", Args().p("heap", heap).p("block", block).b("aligned", aligned).b("known", known));
  if (!rightHeap) run_.fail("EngineHeapFree on something other than the EngineHeap object");
  if (block && rightHeap && !known) run_.fail("EngineHeapFree of a block the engine heap did not hand out");
  if (known) delete[] static_cast<uint8_t*>(block);
}

void* Engine::internedCreate(void* ref, const char* text) {
  const char* interned = text ? intern(text) : nullptr;
  if (ref && interned) storeField<const char*>(ref, 0, interned);
  run_.trace.record("InternedStringCreate", Args().p("ref", ref).s("text", textOrNull(text)));
  if (!ref) run_.fail("InternedStringCreate with a null handle");
  if (!text) run_.fail("InternedStringCreate with a null text");
  return ref;
}

void* Engine::internedAssign(void* ref, const char* data) {
  bool ours = !data || isInterned(data);
  if (ref && ours) storeField<const char*>(ref, 0, data);
  run_.trace.record("InternedStringAssign", Args().p("ref", ref).s("text", ours ? textOrNull(data) : "(foreign)"));
  if (!ref) run_.fail("InternedStringAssign with a null handle");
  if (!ours) run_.fail("InternedStringAssign with data that is no interned string of the engine");
  return ref;
}

// --- native functions and the script registry --------------------------------

void* Engine::nativeInit(void* function, const char* name, const char* className, bool isStatic, uint32_t paramCount) {
  size_t size = heapBlockSize(function);
  bool usable = size >= kNativeFunctionSize && paramCount <= 0xffff;
  if (usable) {
    // One 16-byte entry per parameter: the engine's parameter name, then the
    // type word, none (0) until the caller sets it.
    auto table = std::make_unique<uint8_t[]>(paramCount * 16 + 16);
    for (uint32_t i = 0; i < paramCount; ++i)
      storeField<const char*>(table.get(), i * 16, intern("param" + std::to_string(i + 1)));
    storeField<const char*>(function, 16, intern(textOrNull(name)));
    storeField<const char*>(function, 24, intern(textOrNull(className)));
    storeField<void*>(function, 48, table.get());
    storeField<uint16_t>(function, 58, static_cast<uint16_t>(paramCount));
    storeField<uint8_t>(function, 64, isStatic ? 1 : 0);
    std::lock_guard lock(mutex_);
    paramTables_[reinterpret_cast<uintptr_t>(function)] = std::move(table);
  }
  run_.trace.record("NativeFunctionBaseInit", Args()
                                                  .p("function", function)
                                                  .s("name", textOrNull(name))
                                                  .s("className", textOrNull(className))
                                                  .b("isStatic", isStatic)
                                                  .u("paramCount", paramCount));
  if (!usable) run_.fail("NativeFunctionBaseInit on memory that is no 96-byte block of the engine heap");
  return function;
}

void Engine::nativeRelease(void* function) {
  bool allocated = heapBlockSize(function) != 0;
  bool registered = false;
  {
    std::lock_guard lock(mutex_);
    registered =
        std::find(registeredFunctions_.begin(), registeredFunctions_.end(), function) != registeredFunctions_.end();
  }
  ScriptMachine* machine = machine_.load(std::memory_order_acquire);
  bool ownedByRegistry = registered && !(machine && machine->destroying(function));
  bool known = false;
  if (allocated && !ownedByRegistry) {
    std::lock_guard lock(mutex_);
    known = paramTables_.erase(reinterpret_cast<uintptr_t>(function)) != 0;
  }
  run_.trace.record(
      "NativeFunctionBaseRelease",
      Args().p("function", function).b("allocated", allocated).b("registered", registered).b("initialised", known));
  if (!allocated) run_.fail("NativeFunctionBaseRelease of an object the engine heap did not hand out");
  if (ownedByRegistry) run_.fail("NativeFunctionBaseRelease of a native function the script registry owns");
}

uintptr_t Engine::registerFunction(void* registry, void* function) {
  Args args;
  args.p("registry", registry).p("function", function);
  std::string problem;
  if (registry != registry_) {
    problem = "register-function operation called on something other than the script registry";
  } else if (heapBlockSize(function) < kNativeFunctionSize) {
    problem = "registered native function is no 96-byte block of the engine heap";
  } else {
    const char* name = loadField<const char*>(function, 16);
    const char* className = loadField<const char*>(function, 24);
    bool namesOk = isInterned(name) && isInterned(className);
    args.s("name", namesOk ? name : "(not interned)").s("className", namesOk ? className : "(not interned)");
    const uint16_t paramCount = loadField<uint16_t>(function, 58);
    const void* table = loadField<const void*>(function, 0);
    const auto* params = loadField<const uint8_t*>(function, 48);
    bool ownParams = false;
    {
      std::lock_guard lock(mutex_);
      auto it = paramTables_.find(reinterpret_cast<uintptr_t>(function));
      ownParams = it != paramTables_.end() && it->second.get() == params;
    }
    args.p("vtable", table);
    args.u("paramCount", paramCount);
    if (ownParams) {
      std::string types;
      for (uint16_t i = 0; i < paramCount; ++i) {
        if (i) types += ',';
        types += std::to_string(loadField<uint64_t>(params, i * 16 + 8));
      }
      args.s("paramTypes", types);
    }
    args.u("returnType", loadField<uint64_t>(function, 40));
    args.u("isStatic", loadField<uint8_t>(function, 64));
    args.u("contextFlag", loadField<uint8_t>(function, 88));
    args.p("callback", loadField<void*>(function, 80));
    uint64_t freshWord = 0;
    std::memset(&freshWord, kFreshHeapByte, sizeof freshWord);
    if (!namesOk) {
      problem = "registered native function has name handles the engine did not make";
    } else if (!ownParams) {
      problem = "registered native function has no parameter table from NativeFunctionBaseInit";
    } else if (!table || reinterpret_cast<uintptr_t>(table) == freshWord) {
      problem = "registered native function has no virtual table";
    } else {
      std::lock_guard lock(mutex_);
      registeredFunctions_.push_back(function);
      ++registrations_;
    }
  }
  run_.trace.record("RegisterFunction", args);
  if (!problem.empty()) {
    run_.fail(problem);
  } else if (ScriptMachine* machine = machine_.load(std::memory_order_acquire)) {
    machine->bind(function);
  }
  return 1;
}

void Engine::registryTrap(int slot) {
  run_.trace.record("ScriptRegistrySlot", Args().i("slot", slot));
  run_.fail("script registry virtual slot " + std::to_string(slot) + " called; only slot 24 (0xc0) is used");
}

void Engine::vmOtherTrap(int slot) {
  run_.trace.record("ScriptVmOtherSlot", Args().u("field", vmOtherField_).i("slot", slot));
  run_.fail(vmOtherFieldWords() + " (it called virtual slot " + std::to_string(slot) + " of the object there)");
}

// The engine's own implementations of four operations, with the engine's
// parameter lists: GetParam (index, name out, type out), Call (stack, logger,
// machine, flag), GetSourceFilename () and GetVarNameForStackIndex (index,
// name out).
uintptr_t Engine::functionBase(int operation, void* self, uintptr_t a, uintptr_t b, uintptr_t c) {
  run_.trace.record(("IFunctionBase" + std::to_string(operation)).c_str(),
                    Args().p("function", self).u("a", a).u("b", b).u("c", c));
  switch (operation) {
    case 7: {
      const auto index = static_cast<uint32_t>(a);
      const auto* params = loadField<const uint8_t*>(self, 48);
      const bool inRange = params && index < loadField<uint16_t>(self, 58);
      if (b)
        storeField<const char*>(reinterpret_cast<void*>(b), 0,
                                inRange ? loadField<const char*>(params, index * 16) : nullptr);
      if (c)
        storeField<uint64_t>(reinterpret_cast<void*>(c), 0, inRange ? loadField<uint64_t>(params, index * 16 + 8) : 0);
      return 0;
    }
    case 16:
      if (ScriptMachine* machine = machine_.load(std::memory_order_acquire))
        return machine->dispatchCall(self, reinterpret_cast<const void*>(a));
      run_.fail("the engine's Call (operation 16) with no script machine");
      return 4;
    case 17:
      return reinterpret_cast<uintptr_t>(&noSourceFile_);
    default:
      return 0;  // a native function has no stack variables to name
  }
}

// --- stack frames and values --------------------------------------------------

uint32_t Engine::frameArgOffset(void* stack, void* frame) {
  run_.trace.record("StackFrameArgOffset", Args().p("stack", stack).p("frame", frame));
  if (ScriptMachine* machine = machine_.load(std::memory_order_acquire)) return machine->argOffset(stack, frame);
  run_.fail("StackFrameArgOffset on a frame the script machine did not make");
  return 0;
}

ScriptValue* Engine::frameArgValue(void* stack, void* frame, uint32_t index, uint32_t offset) {
  run_.trace.record("StackFrameArgValue",
                    Args().p("stack", stack).p("frame", frame).u("index", index).u("offset", offset));
  if (ScriptMachine* machine = machine_.load(std::memory_order_acquire))
    return machine->argValue(stack, frame, index, offset);
  run_.fail("StackFrameArgValue on a frame the script machine did not make");
  std::lock_guard lock(mutex_);
  scratchValue_ = {};
  return &scratchValue_;
}

void Engine::valueClear(ScriptValue* value) {
  run_.trace.record("ScriptValueClear", Args().p("value", value));
  if (!value) {
    run_.fail("ScriptValueClear with a null value");
    return;
  }
  storeField<uint64_t>(value, 0, 0);
  storeField<uint64_t>(value, 8, 0);
  if (ScriptMachine* machine = machine_.load(std::memory_order_acquire)) machine->noteCleared(value);
}

// --- script natives -------------------------------------------------------------

bool Engine::checkNative(const char* fn, void* registry, uint32_t stackId, bool changesWorld) {
  bool sound = true;
  if (registry && registry == vmOther_) {
    run_.fail(std::string(fn) + " called with the object at the script VM's +0x" +
              (fault_.load() == LayoutFault::VmMachine ? (vmMachineField_ == 0x200 ? "200" : "210")
                                                       : (vmOtherField_ == 0x200 ? "200" : "210")) +
              " as the script machine: " + vmOtherFieldWords());
    sound = false;
  } else if (registry != registry_) {
    run_.fail(std::string(fn) + " called with something other than the script registry");
    sound = false;
  }
  if (stackId != 0) {
    run_.fail(std::string(fn) + " called with a non-zero stack id");
    sound = false;
  }
  if (changesWorld && !run_.onMainThread()) {
    run_.fail(std::string(fn) + " called off the game's main thread");
    sound = false;
  }
  return sound;
}

void Engine::spellCast(void* registry, uint32_t stackId, void* spell, void* caster, void* target) {
  run_.trace.record(
      "SpellCastNative",
      Args().p("registry", registry).u("stackId", stackId).p("spell", spell).p("caster", caster).p("target", target));
  bool sound = checkNative("SpellCastNative", registry, stackId, true);
  auto cs = classOf(spell), cc = classOf(caster), ct = classOf(target);
  bool spellOk = cs && derives(*cs, Cls::Spell);
  bool casterOk = cc && derives(*cc, Cls::ObjectReference);
  bool targetOk = ct && derives(*ct, Cls::ObjectReference);
  if (!spellOk) run_.fail("SpellCastNative with a spell that is no spell");
  if (!casterOk) run_.fail("SpellCastNative with a caster that is no reference");
  if (!targetOk) run_.fail("SpellCastNative with a target that is no reference");
  World* world = ActiveRun::world();
  if (sound && spellOk && casterOk && targetOk && world) world->recordCast(spell, caster, target);
}

void Engine::refMoveTo(void* registry, uint32_t stackId, void* ref, void* destination, float x, float y, float z,
                       bool matchRotation) {
  run_.trace.record("RefMoveToNative", Args()
                                           .p("registry", registry)
                                           .u("stackId", stackId)
                                           .p("ref", ref)
                                           .p("destination", destination)
                                           .f("x", x)
                                           .f("y", y)
                                           .f("z", z)
                                           .b("matchRotation", matchRotation));
  bool sound = checkNative("RefMoveToNative", registry, stackId, true);
  auto cr = classOf(ref), cd = classOf(destination);
  bool refOk = cr && derives(*cr, Cls::ObjectReference);
  bool destinationOk = cd && derives(*cd, Cls::ObjectReference);
  if (!refOk) run_.fail("RefMoveToNative moving something that is no reference");
  if (!destinationOk) run_.fail("RefMoveToNative to a destination that is no reference");
  if (refOk) {
    // The world writes the reference's cell and 3D fields.
    std::lock_guard lock(mutex_);
    if (objects_.at(reinterpret_cast<uintptr_t>(ref)).size < field::kRefLoaded3D + sizeof(void*)) {
      refOk = false;
      run_.fail("RefMoveToNative moving a reference object too small for its cell and 3D fields");
    }
  }
  World* world = ActiveRun::world();
  if (sound && refOk && destinationOk && world) world->moveReference(ref, destination, {x, y, z});
}

bool Engine::cellAttached(void* registry, uint32_t stackId, void* cell) {
  run_.noteEngineCall(os::osThreadId());
  bool sound = checkNative("CellAttachedNative", registry, stackId, false);
  bool isCell = false;
  if (cell) {
    auto cls = classOf(cell);
    isCell = cls && *cls == Cls::Cell;
    if (!isCell) run_.fail("CellAttachedNative with something that is no cell");
  }
  World* world = ActiveRun::world();
  bool attached = sound && isCell && world && world->cellAttached(cell);
  run_.trace.record("CellAttachedNative",
                    Args().p("registry", registry).u("stackId", stackId).p("cell", cell).b("result", attached));
  return attached;
}

void Engine::imodApply(void* registry, uint32_t stackId, void* imod, float strength) {
  run_.trace.record("ImodApplyNative",
                    Args().p("registry", registry).u("stackId", stackId).p("imod", imod).f("strength", strength));
  bool sound = checkNative("ImodApplyNative", registry, stackId, true);
  auto cls = classOf(imod);
  bool isModifier = cls && *cls == Cls::ImageSpaceModifier;
  if (!isModifier) run_.fail("ImodApplyNative with something that is no modifier");
  if (strength != 1.0f) run_.fail("ImodApplyNative with a strength other than 1.0");
  World* world = ActiveRun::world();
  if (sound && isModifier && world) world->recordFlash(imod, true);
}

void Engine::imodRemove(void* registry, uint32_t stackId, void* imod) {
  run_.trace.record("ImodRemoveNative", Args().p("registry", registry).u("stackId", stackId).p("imod", imod));
  bool sound = checkNative("ImodRemoveNative", registry, stackId, true);
  auto cls = classOf(imod);
  bool isModifier = cls && *cls == Cls::ImageSpaceModifier;
  if (!isModifier) run_.fail("ImodRemoveNative with something that is no modifier");
  World* world = ActiveRun::world();
  if (sound && isModifier && world) world->recordFlash(imod, false);
}

}  // namespace nimbrel_sim
