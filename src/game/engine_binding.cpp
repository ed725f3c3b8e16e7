#include "game/engine_binding.h"

#include <vector>

#include "game/layout.h"
#include "game/offsets.h"
#include "game/runtime_version.h"
#include "platform/platform.h"
#include "platform/process_wide.h"

namespace NimbrelVR::game {
namespace {

// The first runtimes whose cell, and whose script VM object, have the field
// the plug-in reads further on.
constexpr uint32_t kRuntime1_6_629 = PackRuntime(1, 6, 629);
constexpr uint32_t kRuntime1_7_99 = PackRuntime(1, 7, 99);
// No offset of the game's image lies this far from its base: such an entry
// is a damaged database, not an address.
constexpr uint64_t kMaxImageOffset = 0x10000000;

// Null for an entry the table does not give (offset 0).
template <typename T>
T At(uintptr_t base, uintptr_t offset) {
  return offset ? reinterpret_cast<T>(base + offset) : nullptr;
}

// The runtime a binding serves, and the fields that differ by runtime: the
// one place that sets them.
void ServeRuntime(EngineBinding& b, uint32_t runtime) {
  b.runtime = runtime;
  b.cellWorldspace = CellWorldspaceOffset(runtime);
  b.scriptMachineRegistry = ScriptMachineRegistryOffset(runtime);
}

// The entries of a table; the runtime is not known yet (ServeRuntime).
EngineBinding MakeBinding(uintptr_t base, const EditionOffsets& o) {
  EngineBinding b{};
  b.gameBase = base;
  b.FormFromId = At<EngineBinding::FormFromIdFn>(base, o.FormFromId);
  b.EngineDynamicCast = At<EngineBinding::DynamicCastFn>(base, o.EngineDynamicCast);
  b.SpellCastNative = At<EngineBinding::SpellCastFn>(base, o.SpellCastNative);
  b.RefMoveToNative = At<EngineBinding::RefMoveToFn>(base, o.RefMoveToNative);
  b.CellAttachedNative = At<EngineBinding::CellAttachedFn>(base, o.CellAttachedNative);
  b.ImodApplyNative = At<EngineBinding::ImodApplyFn>(base, o.ImodApplyNative);
  b.ImodRemoveNative = At<EngineBinding::ImodRemoveFn>(base, o.ImodRemoveNative);
  b.ScriptEventSourcesGet = At<EngineBinding::ScriptEventSourcesGetFn>(base, o.ScriptEventSourcesGet);
  b.EventSourceAddSink = At<EngineBinding::EventSourceAddSinkFn>(base, o.EventSourceAddSink);
  b.EngineHeapAllocate = At<EngineBinding::HeapAllocateFn>(base, o.EngineHeapAllocate);
  b.EngineHeapFree = At<EngineBinding::HeapFreeFn>(base, o.EngineHeapFree);
  b.InternedStringCreate = At<EngineBinding::InternedStringCreateFn>(base, o.InternedStringCreate);
  b.InternedStringAssign = At<EngineBinding::InternedStringAssignFn>(base, o.InternedStringAssign);
  b.NativeFunctionBaseInit = At<EngineBinding::NativeFunctionBaseInitFn>(base, o.NativeFunctionBaseInit);
  b.NativeFunctionBaseRelease = At<EngineBinding::NativeFunctionBaseReleaseFn>(base, o.NativeFunctionBaseRelease);
  b.StackFrameArgOffset = At<EngineBinding::StackFrameArgOffsetFn>(base, o.StackFrameArgOffset);
  b.StackFrameArgValue = At<EngineBinding::StackFrameArgValueFn>(base, o.StackFrameArgValue);
  b.ScriptValueClear = At<EngineBinding::ScriptValueClearFn>(base, o.ScriptValueClear);
  for (int i = 0; i < 4; ++i) b.FunctionBaseImpl[i] = base + o.FunctionBaseImpl[i];
  b.SkyHolder = At<void**>(base, o.SkyHolder);
  b.SkyGetSingleton = At<EngineBinding::SkyGetSingletonFn>(base, o.SkyGetSingleton);
  b.PlayerRefHolder = At<void**>(base, o.PlayerRefHolder);
  b.ScriptVmHolder = At<void**>(base, o.ScriptVmHolder);
  b.DataRegistryHolder = At<void**>(base, o.DataRegistryHolder);
  b.MenuManagerHolder = At<void**>(base, o.MenuManagerHolder);
  b.EngineHeap = At<void*>(base, o.EngineHeap);
  b.RttiForm = At<const void*>(base, o.RttiForm);
  b.RttiSpell = At<const void*>(base, o.RttiSpell);
  b.RttiEffectArt = At<const void*>(base, o.RttiEffectArt);
  b.RttiImageSpaceModifier = At<const void*>(base, o.RttiImageSpaceModifier);
  b.RttiFormList = At<const void*>(base, o.RttiFormList);
  b.RttiGlobalVariable = At<const void*>(base, o.RttiGlobalVariable);
  b.RttiObjectReference = At<const void*>(base, o.RttiObjectReference);
  b.RttiPlayer = At<const void*>(base, o.RttiPlayer);
  b.RttiSky = At<const void*>(base, o.RttiSky);
  b.RttiWeather = At<const void*>(base, o.RttiWeather);
  b.RttiPlayerCharacter = At<const void*>(base, o.RttiPlayerCharacter);
  b.RttiCell = At<const void*>(base, o.RttiCell);
  b.RttiWorldSpace = At<const void*>(base, o.RttiWorldSpace);
  b.RttiNiAVObject = At<const void*>(base, o.RttiNiAVObject);
  b.RttiSkyrimVM = At<const void*>(base, o.RttiSkyrimVM);
  b.RttiVirtualMachine = At<const void*>(base, o.RttiVirtualMachine);
  b.JumpPatchSite = At<uint8_t*>(base, o.JumpPatchSite);
  b.JumpPatchTarget = At<uint8_t*>(base, o.JumpPatchTarget);
  ServeRuntime(b, 0);
  return b;
}

// Built when the library loads, before the host first calls the plug-in. Its
// runtime is not known yet: its fields are those of the built-in table's.
ProcessWide<EngineBinding> binding{[] { return MakeBinding(platform::MainImageBase(), kOffsets); }};

}  // namespace

const EngineBinding& Engine() { return *binding; }

ptrdiff_t CellWorldspaceOffset(uint32_t runtime) {
  // The extra-data list before it gained a vtable in 1.6.629.
  return VersionOf(runtime) >= kRuntime1_6_629 ? layout::cell::kWorldspaceFrom1_6_629 : layout::cell::kWorldspace;
}

ptrdiff_t ScriptMachineRegistryOffset(uint32_t runtime) {
  // Two event sinks were added before it in 1.7.99.
  return VersionOf(runtime) >= kRuntime1_7_99 ? layout::script_machine::kRegistryFrom1_7_99
                                              : layout::script_machine::kRegistry;
}

bool HasBuiltInTable(uint32_t runtime) {
#if NIMBREL_EDITION_VR
  (void)runtime;
  return true;
#else
  return runtime == 0x01050270;  // 1.5.39
#endif
}

Problem BindFromAddressTable(uintptr_t base, uint32_t runtime, const AddressTable& table, EngineBinding* binding) {
  const bool anniversary = IsAnniversaryRuntime(runtime);
  EditionOffsets offsets{};
  Problem problem;
  for (const SpecialEditionEntry& entry : kSpecialEditionEntries) {
    const uint32_t id = anniversary ? entry.aeId : entry.seId;
    if (id == 0 || (entry.flags & (anniversary ? kNotBoundOnAe : kNotBoundOnSe))) continue;
    uint64_t offset = 0;
    switch (table.Find(id, &offset)) {
      case AddressTable::Lookup::Missing:
        problem.Set("it has no entry for id %u (%s)", id, entry.name);
        return problem;
      case AddressTable::Lookup::Ambiguous:
        problem.Set("it gives id %u (%s) more than one offset", id, entry.name);
        return problem;
      case AddressTable::Lookup::PastTable:
        problem.Set("it has no entry for id %u (%s): its table of %zu offsets ends before that id", id, entry.name,
                    table.size());
        return problem;
      case AddressTable::Lookup::NoOffset:
        problem.Set("it has no entry for id %u (%s): its offset is 0", id, entry.name);
        return problem;
      case AddressTable::Lookup::Found:
        break;
    }
    if (offset == 0 || offset >= kMaxImageOffset) {
      problem.Set("it puts id %u (%s) at offset 0x%llx, outside the game's image", id, entry.name,
                  static_cast<unsigned long long>(offset));
      return problem;
    }
    entry.slot(offsets) = static_cast<uintptr_t>(offset);
  }
  *binding = MakeBinding(base, offsets);
  ServeRuntime(*binding, runtime);
  return problem;
}

void InstallBinding(const EngineBinding& installed) { *binding = installed; }

BindingReport BindEngine(uint32_t runtime) {
  BindingReport report;
  if (HasBuiltInTable(runtime)) {
    ServeRuntime(*binding, runtime);
    return report;
  }
  AddressLibraryPath(runtime, report.file);
  std::vector<uint8_t> bytes;
  const platform::GameFileRead read = platform::ReadGameFile(report.file, kAddressLibraryMaxBytes, &bytes);
  switch (read.status) {
    case platform::GameFileStatus::Missing:
      report.outcome = BindingReport::Outcome::FileMissing;
      return report;
    case platform::GameFileStatus::Unreadable:
      report.problem.Set("it cannot be read (system error %u)", read.osError);
      break;
    case platform::GameFileStatus::TooLarge:
      report.problem.Set("it is oversized: %llu bytes, more than the %zu a database takes",
                         static_cast<unsigned long long>(read.size), kAddressLibraryMaxBytes);
      break;
    case platform::GameFileStatus::Read: {
      AddressTable table;
      report.problem = ParseAddressLibrary(bytes, runtime, &table);
      EngineBinding bound{};
      if (!report.problem.any())
        report.problem = BindFromAddressTable(platform::MainImageBase(), runtime, table, &bound);
      if (!report.problem.any()) InstallBinding(bound);
      break;
    }
  }
  if (report.problem.any()) report.outcome = BindingReport::Outcome::FileUnusable;
  return report;
}

}  // namespace NimbrelVR::game
