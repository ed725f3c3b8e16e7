// The engine's classes as the game's run-time type information describes
// them (MSVC x64, runtimes.md "Type checks"): every class of an object the
// double hands out and of its bases, each base at its displacement in the
// complete object, which classes hold a vtable, and the type descriptors'
// Address Library ids and published offsets. How these lie in the image as
// bytes is rtti_layout's job.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "image/runtimes.h"
#include "nimbrel_sim/types.h"

namespace nimbrel_sim {

// Every class of the double's objects and of their bases.
enum class ClassId : uint8_t {
  TypeInfo,  // type_info: every descriptor's first word is its vtable
  // form components and forms
  BaseFormComponent,
  TESForm,
  TESFullName,
  TESModel,
  TESTexture,
  BGSKeywordForm,
  BGSEquipType,
  BGSMenuDisplayObject,
  TESDescription,
  BGSPreloadable,
  BGSDestructibleObjectForm,
  TESObject,
  TESBoundObject,
  MagicItem,
  SpellItem,
  BGSProjectile,  // the effect art's class (RttiEffectArt)
  TESImageSpaceModifier,
  BGSListForm,
  TESGlobal,
  TESObjectWEAP,
  TESWeather,
  TESObjectCELL,
  TESWorldSpace,
  // references, actors, the player
  NiRefObject,
  BSHandleRefObject,
  AnimationGraphEventSink,
  IAnimationGraphManagerHolder,
  TESObjectREFR,
  MagicTarget,
  ActorValueOwner,
  IMovementInterface,
  IMovementState,
  ActorState,
  TransformDeltaEventSink,
  CharacterMoveFinishEventSink,
  IPostAnimationChannelUpdateFunctor,
  Actor,
  Character,
  MenuOpenCloseEventSink,
  MenuModeChangeEventSink,
  UserEventEnabledEventSink,
  TrackedStatsEventSink,
  PlayerCharacter,
  // the sky and what it holds
  SkyObject,
  Clouds,
  Sky,
  // scene graph
  NiObject,
  NiObjectNET,
  NiAVObject,
  NiNode,
  BSFadeNode,
  NiTimeController,
  NiControllerManager,
  // the script VM and its machine
  BSIntrusiveRefCounted,
  IVirtualMachine,
  IVMObjectBindInterface,
  IVMSaveLoadInterface,
  IVMDebugInterface,
  StatsEventSource,
  VirtualMachine,
  // the script VM's event sinks, in the order of its bases
  ActivateEventSink,
  ActiveEffectApplyRemoveEventSink,
  ActorLocationChangeEventSink,
  BookReadEventSink,
  CellAttachDetachEventSink,
  CellFullyLoadedEventSink,
  CombatEventSink,
  ContainerChangedEventSink,
  DeathEventSink,
  DestructionStageChangedEventSink,
  EnterBleedoutEventSink,
  EquipEventSink,
  FormDeleteEventSink,  // also what the 1.7 VM keeps at +0x200, an object of its own
  FurnitureEventSink,
  GrabReleaseEventSink,
  HitEventSink,
  InitScriptEventSink,
  LoadGameEventSink,
  SkyrimVMSingleton,
  SkyrimVM,
  // the data registry and the menu manager
  DataHandlerSingleton,
  TESDataHandler,
  MenuOpenCloseEventSource,
  MenuModeChangeEventSource,
  UISingleton,
  UI,
  Count
};
inline constexpr int kClassCount = static_cast<int>(ClassId::Count);

// The class's name as written in C++ ("BSScript::Internal::VirtualMachine")
// and as MSVC decorates it in the descriptor (".?AVVirtualMachine@Internal@BSScript@@").
const char* className(ClassId cls);
const char* decoratedName(ClassId cls);

// A class within a complete object, at its member displacement (mdisp).
struct BaseAt {
  ClassId cls;
  uint32_t at;
};
// The class itself at 0, then each direct base's own list in declaration
// order, each base at the sum of the displacements that lead to it: the
// order of the class hierarchy's base class array.
std::vector<BaseAt> hierarchyOf(ClassId cls);
// Where a complete object of `cls` holds its base named `baseName` (C++
// name, "BSTEventSink<TESHitEvent>"); none when it has no such base.
std::optional<uint32_t> displacementOf(ClassId cls, const std::string& baseName);

// Whether objects of the class hold a vtable pointer (the class or one of
// its bases declares virtual functions). Event sources, singletons and the
// reference count base are plain data.
bool polymorphic(ClassId cls);
// The vtable a complete object of the class holds at offset 0: none (a base
// only, or an object the double never makes), slots into code fill, or
// slots the engine's own code calls, which the engine hands in.
enum class VtableKind : uint8_t { None, Plain, ScriptMachine, VmSink };
VtableKind vtableKindOf(ClassId cls);
// Where a complete object of the class holds a vtable besides its first
// word: each distinct displacement of a polymorphic base other than 0, in
// increasing order (none for a class without a vtable of its own).
std::vector<uint32_t> secondaryVtablesOf(ClassId cls);
// The base a secondary vtable at `at` stands for: the first base of the
// hierarchy at that displacement.
ClassId baseAtDisplacement(ClassId cls, uint32_t at);

// The descriptor's Address Library id in a runtime's database (SE ids on
// 1.5.x, AE ids from 1.6 on; 0: none is public).
uint32_t descriptorIdOf(ClassId cls, Edition edition, uint32_t runtime);
// The descriptor's offset in a column: the published one, or 0 where the
// double chooses a place (descriptorPublished false).
uint32_t publishedDescriptorOffset(ClassId cls, Layout layout);
bool descriptorPublished(ClassId cls, Layout layout);

}  // namespace nimbrel_sim
