// The functions behind the image's function entries, where the plug-in's
// calls into the engine land: each notes the call (the run watches for calls
// from the plug-in's threads after it stood down), asks the run's fault plan
// whether to refuse, then hands the call to the active run's engine. Also
// the slots of the script registry's vtable, whose one used slot registers a
// native function, and of the object at the script VM's other offset, which
// only trap.
#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "engine/data.h"
#include "engine/engine.h"
#include "run/active_run.h"

namespace nimbrel_sim {

namespace {

Engine& active() { return *ActiveRun::engine(); }

// Every call into the engine's code is noted first.
Engine& enter(const char* entry) {
  Engine& engine = active();
  engine.run().noteEngineEntry(entry);
  return engine;
}

// An entry the fault plan refuses answers null or false, or does nothing.
bool refused(const char* entry) { return enter(entry).run().refuse(entry); }

void* simFormFromId(uint32_t formId) { return refused("FormFromId") ? nullptr : active().formFromId(formId); }
void* simDynamicCast(void* object, int32_t vfDelta, void* from, void* to, int32_t isReference) {
  if (refused("EngineDynamicCast")) return nullptr;
  return active().dynamicCast(object, vfDelta, from, to, isReference);
}
void simSpellCast(void* registry, uint32_t stackId, void* spell, void* caster, void* target) {
  // The first cast's look at the log comes before anything of the call, a
  // refusal included: the plug-in made the call either way.
  Run& run = active().run();
  run.lightningWorks.beforeSpellCast(run.onMainThread());
  if (!refused("SpellCastNative")) active().spellCast(registry, stackId, spell, caster, target);
}
void simRefMoveTo(void* registry, uint32_t stackId, void* ref, void* destination, float x, float y, float z,
                  bool matchRotation) {
  if (!refused("RefMoveToNative")) active().refMoveTo(registry, stackId, ref, destination, x, y, z, matchRotation);
}
bool simCellAttached(void* registry, uint32_t stackId, void* cell) {
  return !refused("CellAttachedNative") && active().cellAttached(registry, stackId, cell);
}
void simImodApply(void* registry, uint32_t stackId, void* imod, float strength) {
  if (!refused("ImodApplyNative")) active().imodApply(registry, stackId, imod, strength);
}
void simImodRemove(void* registry, uint32_t stackId, void* imod) {
  if (!refused("ImodRemoveNative")) active().imodRemove(registry, stackId, imod);
}
void* simScriptEventSourcesGet() {
  return refused("ScriptEventSourcesGet") ? nullptr : active().scriptEventSourcesGet();
}
void simAddSink(void* source, void* sink) {
  if (!refused("EventSourceAddSink")) active().addSink(source, sink);
}
void* simHeapAllocate(void* heap, uint64_t size, uint32_t alignment, bool aligned) {
  return refused("EngineHeapAllocate") ? nullptr : active().heapAllocate(heap, size, alignment, aligned);
}
void simHeapFree(void* heap, void* block, bool aligned) { enter("EngineHeapFree").heapFree(heap, block, aligned); }
void* simInternedCreate(void* ref, const char* text) {
  return refused("InternedStringCreate") ? nullptr : active().internedCreate(ref, text);
}
void* simInternedAssign(void* ref, const char* data) {
  return refused("InternedStringAssign") ? nullptr : active().internedAssign(ref, data);
}
void* simNativeInit(void* function, const char* name, const char* className, bool isStatic, uint32_t count) {
  return enter("NativeFunctionBaseInit").nativeInit(function, name, className, isStatic, count);
}
void simNativeRelease(void* function) { enter("NativeFunctionBaseRelease").nativeRelease(function); }
uint32_t simArgOffset(void* stack, void* frame) { return enter("StackFrameArgOffset").frameArgOffset(stack, frame); }
ScriptValue* simArgValue(void* stack, void* frame, uint32_t index, uint32_t offset) {
  return enter("StackFrameArgValue").frameArgValue(stack, frame, index, offset);
}
void simValueClear(ScriptValue* value) { enter("ScriptValueClear").valueClear(value); }
void* simSkyGetSingleton() { return refused("SkyGetSingleton") ? nullptr : active().skyGetSingleton(); }

template <int Operation>
uintptr_t simFunctionBase(void* self, uintptr_t a, uintptr_t b, uintptr_t c) {
  static const std::string name = "IFunctionBase" + std::to_string(Operation);
  return enter(name.c_str()).functionBase(Operation, self, a, b, c);
}

// The script registry's virtual table: slot 24 (byte offset 0xc0) registers
// a native function; any other slot is a fault of the caller.
constexpr int kRegistrySlots = 40;
constexpr int kRegisterFunctionSlot = 24;

template <int Slot>
uintptr_t simRegistrySlot(void* self, uintptr_t a, uintptr_t, uintptr_t) {
  if constexpr (Slot == kRegisterFunctionSlot) {
    if (refused("RegisterFunction")) return 0;
    return active().registerFunction(self, reinterpret_cast<void*>(a));
  } else {
    enter("ScriptRegistrySlot").registryTrap(Slot);
    return 0;
  }
}

template <int... Slots>
constexpr std::array<const void*, sizeof...(Slots)> registryTable(std::integer_sequence<int, Slots...>) {
  return {reinterpret_cast<const void*>(&simRegistrySlot<Slots>)...};
}

const std::array<const void*, kRegistrySlots> kRegistryTable =
    registryTable(std::make_integer_sequence<int, kRegistrySlots>());
static_assert(kRegistrySlots == kScriptMachineSlots);

// The virtual table of the object at the script VM's other offset: every
// slot, more than the registry has, is a fault of the caller.
constexpr int kVmOtherSlots = 64;

template <int Slot>
uintptr_t simVmOtherSlot(void*, uintptr_t, uintptr_t, uintptr_t) {
  enter("ScriptVmOtherSlot").vmOtherTrap(Slot);
  return 0;
}

template <int... Slots>
constexpr std::array<const void*, sizeof...(Slots)> vmOtherTable(std::integer_sequence<int, Slots...>) {
  return {reinterpret_cast<const void*>(&simVmOtherSlot<Slots>)...};
}

const std::array<const void*, kVmOtherSlots> kVmOtherTable =
    vmOtherTable(std::make_integer_sequence<int, kVmOtherSlots>());
static_assert(kVmOtherSlots == kVmSinkSlots);

const std::array<const void*, kEntryCount> kTargets = [] {
  std::array<const void*, kEntryCount> t{};
  t[kFormFromId] = reinterpret_cast<const void*>(&simFormFromId);
  t[kEngineDynamicCast] = reinterpret_cast<const void*>(&simDynamicCast);
  t[kSpellCastNative] = reinterpret_cast<const void*>(&simSpellCast);
  t[kRefMoveToNative] = reinterpret_cast<const void*>(&simRefMoveTo);
  t[kCellAttachedNative] = reinterpret_cast<const void*>(&simCellAttached);
  t[kImodApplyNative] = reinterpret_cast<const void*>(&simImodApply);
  t[kImodRemoveNative] = reinterpret_cast<const void*>(&simImodRemove);
  t[kScriptEventSourcesGet] = reinterpret_cast<const void*>(&simScriptEventSourcesGet);
  t[kEventSourceAddSink] = reinterpret_cast<const void*>(&simAddSink);
  t[kEngineHeapAllocate] = reinterpret_cast<const void*>(&simHeapAllocate);
  t[kEngineHeapFree] = reinterpret_cast<const void*>(&simHeapFree);
  t[kInternedStringCreate] = reinterpret_cast<const void*>(&simInternedCreate);
  t[kInternedStringAssign] = reinterpret_cast<const void*>(&simInternedAssign);
  t[kNativeFunctionBaseInit] = reinterpret_cast<const void*>(&simNativeInit);
  t[kNativeFunctionBaseRelease] = reinterpret_cast<const void*>(&simNativeRelease);
  t[kStackFrameArgOffset] = reinterpret_cast<const void*>(&simArgOffset);
  t[kStackFrameArgValue] = reinterpret_cast<const void*>(&simArgValue);
  t[kScriptValueClear] = reinterpret_cast<const void*>(&simValueClear);
  t[kIFunctionBase7] = reinterpret_cast<const void*>(&simFunctionBase<7>);
  t[kIFunctionBase16] = reinterpret_cast<const void*>(&simFunctionBase<16>);
  t[kIFunctionBase17] = reinterpret_cast<const void*>(&simFunctionBase<17>);
  t[kIFunctionBase19] = reinterpret_cast<const void*>(&simFunctionBase<19>);
  t[kSkyGetSingleton] = reinterpret_cast<const void*>(&simSkyGetSingleton);
  return t;
}();

}  // namespace

const void* const* Engine::functionTargets() { return kTargets.data(); }

VirtualSlots Engine::virtualSlots() {
  VirtualSlots slots;
  slots.scriptMachine = kRegistryTable.data();
  slots.vmSink = kVmOtherTable.data();
  slots.modelComponent = GameData::modelComponentTable();
  return slots;
}

}  // namespace nimbrel_sim
