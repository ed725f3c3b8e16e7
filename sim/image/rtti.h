// The engine's run-time type information, laid out in the image as MSVC x64
// lays it out (runtimes.md, "Type checks"): for every class of an object the
// double hands out, a vtable whose slot -1 points to the complete object
// locator, the class hierarchy with each base's descriptor, and the type
// descriptors with their decorated names. Descriptors sit at each runtime's
// published offsets where there are some; everything else in a region of
// the arena the double keeps for it.
#pragma once

#include <cstddef>
#include <cstdint>
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
  ActivateEventSink,
  ActiveEffectApplyRemoveEventSink,
  ActorLocationChangeEventSink,
  SkyrimVMSingleton,
  SkyrimVM,
  // what the 1.7 VM keeps at +0x200, one of its new event sinks
  FormDeleteEventSink,
  // the data registry, the menu manager, the script event sources
  DataHandlerSingleton,
  TESDataHandler,
  MenuOpenCloseEventSource,
  MenuModeChangeEventSource,
  UISingleton,
  UI,
  ActivateEventSource,
  HitEventSource,
  ScriptEventSourceHolder,
  Count
};
inline constexpr int kClassCount = static_cast<int>(ClassId::Count);

// The class's name as written in C++ ("BSScript::Internal::VirtualMachine")
// and as MSVC decorates it in the descriptor (".?AVVirtualMachine@Internal@BSScript@@").
const char* className(ClassId cls);
const char* decoratedName(ClassId cls);
// The class itself, then each direct base's own list in declaration order:
// the order of the class hierarchy's base class array.
std::vector<ClassId> hierarchyOf(ClassId cls);
bool derivesFrom(ClassId cls, ClassId base);
// The descriptor's Address Library id in a runtime's database (SE ids on
// 1.5.x, AE ids from 1.6 on; 0: none is public).
uint32_t descriptorIdOf(ClassId cls, Edition edition, uint32_t runtime);
// Whether the descriptor's offset in a column is a published one (false:
// the double chose it).
bool descriptorPublished(ClassId cls, Layout layout);

// Slots of the vtables whose slots the engine's own code calls (the script
// machine's registration at 0xc0, the model component's get and set) or
// which a wrong read would call (the 1.7 sink). The engine hands their
// functions in when the image is laid out.
inline constexpr size_t kScriptMachineSlots = 40;
inline constexpr size_t kVmSinkSlots = 64;
inline constexpr size_t kModelComponentSlots = 8;
// Every other vtable has this many slots, each pointing into code fill.
inline constexpr size_t kPlainSlots = 16;
struct VirtualSlots {
  const void* const* scriptMachine = nullptr;   // kScriptMachineSlots
  const void* const* vmSink = nullptr;          // kVmSinkSlots
  const void* const* modelComponent = nullptr;  // kModelComponentSlots
};
// The effect art's model component, a base within the complete object
// (BGSProjectile's TESModel) with a vtable of its own.
inline constexpr uint32_t kModelComponentOffset = 0x40;

// Where everything lies in one column (offsets from the image base).
struct RttiPlacement {
  uint32_t descriptor[kClassCount] = {};
  uint32_t hierarchy[kClassCount] = {};
  uint32_t baseArray[kClassCount] = {};
  uint32_t baseDescriptor[kClassCount] = {};
  struct Vtable {
    ClassId cls;
    uint32_t subobject;  // the vtable's place in the complete object
    uint32_t locator;
    uint32_t table;  // slot 0 (the word before is the locator's address)
    size_t slots;
  };
  std::vector<Vtable> vtables;
  // Every stretch of bytes the type information occupies, for the layout
  // check, the database's fillers and the code-change check.
  struct Span {
    uint32_t begin, end;
  };
  std::vector<Span> spans;
};
const RttiPlacement& rttiPlacement(Layout layout);
// Whether an offset lies in the type information of a column.
bool inRtti(uint32_t offset, Layout layout);

// The bytes of the type information of a column for an image at `base`:
// one block per stretch, and a name for each that says what it is.
struct RttiBlock {
  uint32_t offset;
  std::vector<uint8_t> bytes;
  std::string what;
};
std::vector<RttiBlock> rttiBytes(Layout layout, uintptr_t base, const VirtualSlots& slots);

}  // namespace nimbrel_sim
