// Every engine entry the plug-in uses: the game's image base plus the
// entry's offset. Built at library load from the edition's built-in table;
// on the Special Edition's other runtimes the query replaces it, once, with
// one built from the runtime's Address Library database.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "game/address_library.h"

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
  using SkyGetSingletonFn = void* (*)();

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

  // Exactly one of the two is set: the accessor on 1.6.x, the holder elsewhere.
  void** SkyHolder;
  SkyGetSingletonFn SkyGetSingleton;
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
  const void* RttiSky;
  const void* RttiWeather;
  const void* RttiPlayerCharacter;
  const void* RttiCell;
  const void* RttiWorldSpace;
  const void* RttiNiAVObject;
  const void* RttiSkyrimVM;
  const void* RttiVirtualMachine;

  // Null where the patch site is not known (every runtime bound by id).
  uint8_t* JumpPatchSite;
  uint8_t* JumpPatchTarget;

  // Byte offset of the cell's worldspace pointer, which moved in 1.6.629.
  ptrdiff_t cellWorldspace;
  // Byte offset of the script machine's registry pointer inside the script
  // VM object, which moved in 1.7.99.
  ptrdiff_t scriptMachineRegistry;
  // The packed runtime bound, as the host gave it (with its store); 0 before
  // the query.
  uint32_t runtime;
};

// The binding in use: built during static initialisation from the built-in
// table, replaced by the query on runtimes bound by id.
const EngineBinding& Engine();

// The offsets of the fields that moved, on a packed runtime (its version,
// whatever its store).
ptrdiff_t CellWorldspaceOffset(uint32_t runtime);
ptrdiff_t ScriptMachineRegistryOffset(uint32_t runtime);

// True where the built-in table fits the runtime: 1.5.39 in the Special
// Edition build, each runtime the VR build accepts in the VR build.
bool HasBuiltInTable(uint32_t runtime);

// Builds the binding of `runtime` (1.5.x, 1.6.x or 1.7.x) at image base
// `base` from its database's table: every entry the runtime needs, or none.
// On a problem `binding` is left alone and the problem names the id.
Problem BindFromAddressTable(uintptr_t base, uint32_t runtime, const AddressTable& table, EngineBinding* binding);

// Makes `binding` the one Engine() returns. Only on the host's thread during
// query or load: no thread of the plug-in exists yet and nothing of it has
// been handed to the engine.
void InstallBinding(const EngineBinding& binding);

// The query's step: binds the engine for a runtime the build accepts.
// Built-in runtimes keep the binding they have (and learn their runtime);
// the others read their
// database from the game's folder and install its binding only when every
// entry resolved.
struct BindingReport {
  enum class Outcome { Bound, FileMissing, FileUnusable };
  Outcome outcome = Outcome::Bound;
  char file[kAddressLibraryPathSize] = {};  // the database read, or empty
  Problem problem;                          // with FileUnusable
};
BindingReport BindEngine(uint32_t runtime);

// The object a holder points to right now (possibly null). The game writes
// holders on its own threads.
inline void* ReadHolder(void** holder) { return std::atomic_ref<void*>(*holder).load(std::memory_order_relaxed); }

}  // namespace NimbrelVR::game
