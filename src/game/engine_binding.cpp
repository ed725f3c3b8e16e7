#include "game/engine_binding.h"

#include "game/offsets.h"
#include "platform/platform.h"
#include "platform/process_wide.h"

namespace NimbrelVR::game {
namespace {

template <typename T>
T At(uintptr_t base, uintptr_t offset) {
  return reinterpret_cast<T>(base + offset);
}

EngineBinding MakeBinding(uintptr_t base) {
  const EditionOffsets& o = kOffsets;
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
  b.JumpPatchSite = At<uint8_t*>(base, o.JumpPatchSite);
  b.JumpPatchTarget = At<uint8_t*>(base, o.JumpPatchTarget);
  return b;
}

// Built when the library loads, before the host first calls the plug-in.
ProcessWide<const EngineBinding> binding{[] { return MakeBinding(platform::MainImageBase()); }};

}  // namespace

const EngineBinding& Engine() { return *binding; }

}  // namespace NimbrelVR::game
