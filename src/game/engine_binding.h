// Every engine entry the plug-in uses: the game's image base plus the
// edition's offset, computed once at library load and never changed.
#pragma once

#include <atomic>
#include <cstdint>

namespace NimbrelVR::game {

struct EngineBinding {
  using FormFromIdFn = void* (*)(uint32_t formId);
  using DynamicCastFn = void* (*)(void* object, int32_t zero, const void* fromType, const void* toType, int32_t zero2);
  using SpellCastFn = void (*)(void* registry, uint32_t stackId, void* spell, void* caster, void* target);
  using RefMoveToFn = void (*)(void* registry, uint32_t stackId, void* reference, void* destination, float x, float y,
                               float z, bool matchRotation);
  // The engine answers a bool in the low byte; the rest of the register is noise.
  using CellAttachedFn = uint64_t (*)(void* registry, uint32_t stackId, void* cell);
  using ImodApplyFn = void (*)(void* registry, uint32_t stackId, void* modifier, float strength);
  using ImodRemoveFn = void (*)(void* registry, uint32_t stackId, void* modifier);
  using ScriptEventSourcesGetFn = void* (*)();
  using EventSourceAddSinkFn = void (*)(void* source, void* sink);
  using HeapAllocateFn = void* (*)(void* heap, uint64_t size, uint32_t alignment, bool aligned);
  using HeapFreeFn = void (*)(void* heap, void* memory, bool aligned);
  using InternedStringCreateFn = void* (*)(void* handle, const char* text);
  using InternedStringAssignFn = void* (*)(void* handle, const void* data);
  using NativeFunctionBaseInitFn = void* (*)(void* function, const char* name, const char* className, bool isStatic,
                                             uint32_t parameterCount);
  using NativeFunctionBaseReleaseFn = void (*)(void* function);
  using StackFrameArgOffsetFn = uint32_t (*)(void* stack, void* frame);
  using StackFrameArgValueFn = void* (*)(void* stack, void* frame, uint32_t index, uint32_t offset);
  using ScriptValueClearFn = void (*)(void* value);

  uintptr_t gameBase;

  FormFromIdFn FormFromId;
  DynamicCastFn EngineDynamicCast;
  SpellCastFn SpellCastNative;
  RefMoveToFn RefMoveToNative;
  CellAttachedFn CellAttachedNative;
  ImodApplyFn ImodApplyNative;
  ImodRemoveFn ImodRemoveNative;
  ScriptEventSourcesGetFn ScriptEventSourcesGet;
  EventSourceAddSinkFn EventSourceAddSink;
  HeapAllocateFn EngineHeapAllocate;
  HeapFreeFn EngineHeapFree;
  InternedStringCreateFn InternedStringCreate;
  InternedStringAssignFn InternedStringAssign;
  NativeFunctionBaseInitFn NativeFunctionBaseInit;
  NativeFunctionBaseReleaseFn NativeFunctionBaseRelease;
  StackFrameArgOffsetFn StackFrameArgOffset;
  StackFrameArgValueFn StackFrameArgValue;
  ScriptValueClearFn ScriptValueClear;
  uintptr_t FunctionBaseImpl[4];

  void** SkyHolder;
  void** PlayerRefHolder;
  void** ScriptVmHolder;
  void** DataRegistryHolder;
  void** MenuManagerHolder;
  void* EngineHeap;

  const void* RttiForm;
  const void* RttiSpell;
  const void* RttiEffectArt;
  const void* RttiImageSpaceModifier;
  const void* RttiFormList;
  const void* RttiGlobalVariable;
  const void* RttiObjectReference;
  const void* RttiPlayer;

  uint8_t* JumpPatchSite;
  uint8_t* JumpPatchTarget;
};

// The binding of this edition. Built during static initialisation.
const EngineBinding& Engine();

// The object a holder points to right now (possibly null). The game writes
// holders on its own threads.
inline void* ReadHolder(void** holder) { return std::atomic_ref<void*>(*holder).load(std::memory_order_relaxed); }

}  // namespace NimbrelVR::game
