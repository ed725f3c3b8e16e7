// The class table: every class the double's type information names, its
// bases at their displacements, the vtable its complete objects hold, and
// its type descriptor's ids and published offsets.
#include "image/rtti.h"

#include <algorithm>
#include <array>
#include <cstdlib>

#include "image/image.h"

namespace nimbrel_sim {

namespace {

using C = ClassId;
using Slots = VtableKind;

// A direct base at its displacement in the class (0 unless given).
struct Base {
  constexpr Base(ClassId c, uint32_t a = 0) : cls(c), at(a) {}
  ClassId cls;
  uint32_t at;
};

struct ClassInfo {
  ClassId id;
  const char* name;
  const char* decorated;
  std::vector<Base> bases;  // direct bases, in declaration order
  Slots vtable = Slots::None;
  // The descriptor's Address Library ids and published offsets: from the
  // image's cast entry where the plug-in binds one, else its own column
  // (0: none published; the double chooses a place).
  int entry = -1;
  uint32_t seId = 0, aeId = 0;
  std::array<uint32_t, kLayoutCount> published{};
};

// Classes, bases and descriptor offsets: runtimes.md, "Type checks"; the
// eight cast descriptors are the image's entries. Columns: 1.5.39, 1.5.97,
// 1.6.353, 1.6.1170, 1.7.99, 1.7.104, VR.
//
// Displacements: BGSProjectile's and SkyrimVM's event sinks (from +0x10, one
// per event in SKSE's order) as runtimes.md gives them ("The effect-art
// form ...", "Who else listens to hits"); the rest are the double's own
// choice: the first base at 0, the others at distinct 8-aligned places clear
// of every field the double uses in objects of the class.
const std::vector<ClassInfo>& classInfos() {
  static const std::vector<ClassInfo> table = [] {
    std::vector<ClassInfo> t = {
        {C::TypeInfo, "type_info", ".?AVtype_info@@", {}, Slots::Plain},
        {C::BaseFormComponent, "BaseFormComponent", ".?AVBaseFormComponent@@", {}},
        {C::TESForm, "TESForm", ".?AVTESForm@@", {C::BaseFormComponent}, Slots::None, kRttiForm},
        {C::TESFullName, "TESFullName", ".?AVTESFullName@@", {C::BaseFormComponent}},
        {C::TESModel, "TESModel", ".?AVTESModel@@", {C::BaseFormComponent}},
        {C::TESTexture, "TESTexture", ".?AVTESTexture@@", {C::BaseFormComponent}},
        {C::BGSKeywordForm, "BGSKeywordForm", ".?AVBGSKeywordForm@@", {C::BaseFormComponent}},
        {C::BGSEquipType, "BGSEquipType", ".?AVBGSEquipType@@", {C::BaseFormComponent}},
        {C::BGSMenuDisplayObject, "BGSMenuDisplayObject", ".?AVBGSMenuDisplayObject@@", {C::BaseFormComponent}},
        {C::TESDescription, "TESDescription", ".?AVTESDescription@@", {C::BaseFormComponent}},
        {C::BGSPreloadable, "BGSPreloadable", ".?AVBGSPreloadable@@", {C::BaseFormComponent}},
        {C::BGSDestructibleObjectForm,
         "BGSDestructibleObjectForm",
         ".?AVBGSDestructibleObjectForm@@",
         {C::BaseFormComponent}},
        {C::TESObject, "TESObject", ".?AVTESObject@@", {C::TESForm}},
        {C::TESBoundObject, "TESBoundObject", ".?AVTESBoundObject@@", {C::TESObject}},
        {C::MagicItem,
         "MagicItem",
         ".?AVMagicItem@@",
         {{C::TESBoundObject, 0x00}, {C::TESFullName, 0x30}, {C::BGSKeywordForm, 0x40}}},
        {C::SpellItem,
         "SpellItem",
         ".?AVSpellItem@@",
         {{C::MagicItem, 0x00}, {C::BGSEquipType, 0x90}, {C::BGSMenuDisplayObject, 0xa0}, {C::TESDescription, 0xb0}},
         Slots::Plain,
         kRttiSpell},
        {C::BGSProjectile,
         "BGSProjectile",
         ".?AVBGSProjectile@@",
         {{C::TESBoundObject, 0x00},
          {C::TESFullName, 0x30},
          {C::TESModel, 0x40},
          {C::BGSPreloadable, 0x68},
          {C::BGSDestructibleObjectForm, 0x70}},
         Slots::Plain,
         kRttiEffectArt},
        {C::TESImageSpaceModifier,
         "TESImageSpaceModifier",
         ".?AVTESImageSpaceModifier@@",
         {C::TESForm},
         Slots::Plain,
         kRttiImageSpaceModifier},
        {C::BGSListForm, "BGSListForm", ".?AVBGSListForm@@", {C::TESForm}, Slots::Plain, kRttiFormList},
        {C::TESGlobal, "TESGlobal", ".?AVTESGlobal@@", {C::TESForm}, Slots::Plain, kRttiGlobalVariable},
        {C::TESObjectWEAP,
         "TESObjectWEAP",
         ".?AVTESObjectWEAP@@",
         {{C::TESBoundObject, 0x00},
          {C::TESFullName, 0x30},
          {C::TESModel, 0x40},
          {C::BGSDestructibleObjectForm, 0xd0},
          {C::BGSEquipType, 0xe0},
          {C::BGSPreloadable, 0xf0},
          {C::BGSKeywordForm, 0x140},
          {C::TESDescription, 0x158}},
         Slots::Plain},
        {C::TESWeather,
         "TESWeather",
         ".?AVTESWeather@@",
         {C::TESForm},
         Slots::Plain,
         -1,
         513983,
         392883,
         {0x1e3ff68, 0x1e19f18, 0x1eb0c00, 0x20411f0, 0x20e4a30, 0x20e4a30, 0x1edfe58}},
        {C::TESObjectCELL,
         "TESObjectCELL",
         ".?AVTESObjectCELL@@",
         {{C::TESForm, 0x00}, {C::TESFullName, 0x20}},
         Slots::Plain,
         -1,
         513892,
         392430,
         {0x1e396d0, 0x1e13680, 0x1eaa300, 0x203a8d0, 0x20de160, 0x20de160, 0x1ed95a0}},
        {C::TESWorldSpace,
         "TESWorldSpace",
         ".?AVTESWorldSpace@@",
         {{C::TESForm, 0x00}, {C::TESFullName, 0x20}, {C::TESTexture, 0x30}},
         Slots::Plain,
         -1,
         513891,
         392429,
         {0x1e396a8, 0x1e13658, 0x1eaa2d8, 0x203a8a8, 0x20de138, 0x20de138, 0x1ed9578}},
        {C::NiRefObject, "NiRefObject", ".?AVNiRefObject@@", {}},
        {C::BSHandleRefObject, "BSHandleRefObject", ".?AVBSHandleRefObject@@", {C::NiRefObject}},
        {C::AnimationGraphEventSink,
         "BSTEventSink<BSAnimationGraphEvent>",
         ".?AV?$BSTEventSink@VBSAnimationGraphEvent@@@@",
         {}},
        {C::IAnimationGraphManagerHolder, "IAnimationGraphManagerHolder", ".?AVIAnimationGraphManagerHolder@@", {}},
        {C::TESObjectREFR,
         "TESObjectREFR",
         ".?AVTESObjectREFR@@",
         {{C::TESForm, 0x00},
          {C::BSHandleRefObject, 0x20},
          {C::AnimationGraphEventSink, 0x30},
          {C::IAnimationGraphManagerHolder, 0x38}},
         Slots::Plain,
         kRttiObjectReference},
        {C::MagicTarget, "MagicTarget", ".?AVMagicTarget@@", {}},
        {C::ActorValueOwner, "ActorValueOwner", ".?AVActorValueOwner@@", {}},
        {C::IMovementInterface, "IMovementInterface", ".?AVIMovementInterface@@", {}},
        {C::IMovementState, "IMovementState", ".?AVIMovementState@@", {C::IMovementInterface}},
        {C::ActorState, "ActorState", ".?AVActorState@@", {C::IMovementState}},
        {C::TransformDeltaEventSink,
         "BSTEventSink<BSTransformDeltaEvent>",
         ".?AV?$BSTEventSink@UBSTransformDeltaEvent@@@@",
         {}},
        {C::CharacterMoveFinishEventSink,
         "BSTEventSink<bhkCharacterMoveFinishEvent>",
         ".?AV?$BSTEventSink@UbhkCharacterMoveFinishEvent@@@@",
         {}},
        {C::IPostAnimationChannelUpdateFunctor,
         "IPostAnimationChannelUpdateFunctor",
         ".?AVIPostAnimationChannelUpdateFunctor@@",
         {}},
        {C::Actor,
         "Actor",
         ".?AVActor@@",
         {{C::TESObjectREFR, 0x00},
          {C::MagicTarget, 0x98},
          {C::ActorValueOwner, 0xb0},
          {C::ActorState, 0xb8},
          {C::TransformDeltaEventSink, 0xc8},
          {C::CharacterMoveFinishEventSink, 0xd0},
          {C::IPostAnimationChannelUpdateFunctor, 0xd8}},
         Slots::None,
         kRttiPlayer},
        {C::Character, "Character", ".?AVCharacter@@", {C::Actor}, Slots::Plain},
        {C::MenuOpenCloseEventSink,
         "BSTEventSink<MenuOpenCloseEvent>",
         ".?AV?$BSTEventSink@VMenuOpenCloseEvent@@@@",
         {}},
        {C::MenuModeChangeEventSink,
         "BSTEventSink<MenuModeChangeEvent>",
         ".?AV?$BSTEventSink@VMenuModeChangeEvent@@@@",
         {}},
        {C::UserEventEnabledEventSink,
         "BSTEventSink<UserEventEnabledEvent>",
         ".?AV?$BSTEventSink@VUserEventEnabledEvent@@@@",
         {}},
        {C::TrackedStatsEventSink,
         "BSTEventSink<TESTrackedStatsEvent>",
         ".?AV?$BSTEventSink@UTESTrackedStatsEvent@@@@",
         {}},
        {C::PlayerCharacter,
         "PlayerCharacter",
         ".?AVPlayerCharacter@@",
         {{C::Character, 0x00},
          {C::MenuOpenCloseEventSink, 0x2b0},
          {C::MenuModeChangeEventSink, 0x2b8},
          {C::UserEventEnabledEventSink, 0x2c0},
          {C::TrackedStatsEventSink, 0x2c8}},
         Slots::Plain,
         -1,
         686898,
         394747,
         {0x1e66228, 0x1e401d8, 0x1ed77c8, 0x2069798, 0x210da78, 0x210da78, 0x1f07958}},
        {C::SkyObject, "SkyObject", ".?AVSkyObject@@", {}},
        {C::Clouds, "Clouds", ".?AVClouds@@", {C::SkyObject}, Slots::Plain},
        {C::Sky,
         "Sky",
         ".?AVSky@@",
         {},
         Slots::Plain,
         -1,
         685534,
         393319,
         {0x1e47670, 0x1e21620, 0x1eb8230, 0x2048690, 0x20ebef0, 0x20ebef0, 0x1ee7560}},
        {C::NiObject, "NiObject", ".?AVNiObject@@", {C::NiRefObject}},
        {C::NiObjectNET, "NiObjectNET", ".?AVNiObjectNET@@", {C::NiObject}},
        {C::NiAVObject,
         "NiAVObject",
         ".?AVNiAVObject@@",
         {C::NiObjectNET},
         Slots::None,
         -1,
         684827,
         392520,
         {0x1e3a6e0, 0x1e14690, 0x1eab380, 0x203b970, 0x20df1b0, 0x20df1b0, 0x1eda610}},
        {C::NiNode,
         "NiNode",
         ".?AVNiNode@@",
         {C::NiAVObject},
         Slots::Plain,
         -1,
         684841,
         392532,
         {0x1e3aa18, 0x1e149c8, 0x1eab648, 0x203bc38, 0x20df478, 0x20df478, 0x1eda920}},
        {C::BSFadeNode,
         "BSFadeNode",
         ".?AVBSFadeNode@@",
         {C::NiNode},
         Slots::Plain,
         -1,
         691872,
         399916,
         {0x1ee0550, 0x1eb9540, 0x1f54ee0, 0x20ed4d0, 0x2194fe0, 0x2194fe0, 0x1f7d738}},
        {C::NiTimeController, "NiTimeController", ".?AVNiTimeController@@", {C::NiObject}},
        {C::NiControllerManager,
         "NiControllerManager",
         ".?AVNiControllerManager@@",
         {C::NiTimeController},
         Slots::Plain},
        {C::BSIntrusiveRefCounted, "BSIntrusiveRefCounted", ".?AVBSIntrusiveRefCounted@@", {}},
        {C::IVirtualMachine,
         "BSScript::IVirtualMachine",
         ".?AVIVirtualMachine@BSScript@@",
         {C::BSIntrusiveRefCounted},
         Slots::None,
         -1,
         691836,
         399880,
         {0x1edfad8, 0x1eb8ac0, 0x1f54468, 0x20eca58, 0x2194568, 0x2194568, 0x1f7ccc0}},
        {C::IVMObjectBindInterface, "BSScript::IVMObjectBindInterface", ".?AVIVMObjectBindInterface@BSScript@@", {}},
        {C::IVMSaveLoadInterface, "BSScript::IVMSaveLoadInterface", ".?AVIVMSaveLoadInterface@BSScript@@", {}},
        {C::IVMDebugInterface, "BSScript::IVMDebugInterface", ".?AVIVMDebugInterface@BSScript@@", {}},
        {C::StatsEventSource,
         "BSTEventSource<BSScript::StatsEvent>",
         ".?AV?$BSTEventSource@UStatsEvent@BSScript@@@@",
         {}},
        {C::VirtualMachine,
         "BSScript::Internal::VirtualMachine",
         ".?AVVirtualMachine@Internal@BSScript@@",
         {{C::IVirtualMachine, 0x00},
          {C::IVMObjectBindInterface, 0x10},
          {C::IVMSaveLoadInterface, 0x18},
          {C::IVMDebugInterface, 0x20},
          {C::StatsEventSource, 0x28}},
         Slots::ScriptMachine,
         -1,
         691844,
         399888,
         {0x1edfce8, 0x1eb8cd8, 0x1f54678, 0x20ecc68, 0x2194778, 0x2194778, 0x1f7cd28}},
        {C::ActivateEventSink, "BSTEventSink<TESActivateEvent>", ".?AV?$BSTEventSink@UTESActivateEvent@@@@", {}},
        {C::ActiveEffectApplyRemoveEventSink,
         "BSTEventSink<TESActiveEffectApplyRemoveEvent>",
         ".?AV?$BSTEventSink@UTESActiveEffectApplyRemoveEvent@@@@",
         {}},
        {C::ActorLocationChangeEventSink,
         "BSTEventSink<TESActorLocationChangeEvent>",
         ".?AV?$BSTEventSink@UTESActorLocationChangeEvent@@@@",
         {}},
        {C::BookReadEventSink, "BSTEventSink<TESBookReadEvent>", ".?AV?$BSTEventSink@UTESBookReadEvent@@@@", {}},
        {C::CellAttachDetachEventSink,
         "BSTEventSink<TESCellAttachDetachEvent>",
         ".?AV?$BSTEventSink@UTESCellAttachDetachEvent@@@@",
         {}},
        {C::CellFullyLoadedEventSink,
         "BSTEventSink<TESCellFullyLoadedEvent>",
         ".?AV?$BSTEventSink@UTESCellFullyLoadedEvent@@@@",
         {}},
        {C::CombatEventSink, "BSTEventSink<TESCombatEvent>", ".?AV?$BSTEventSink@UTESCombatEvent@@@@", {}},
        {C::ContainerChangedEventSink,
         "BSTEventSink<TESContainerChangedEvent>",
         ".?AV?$BSTEventSink@UTESContainerChangedEvent@@@@",
         {}},
        {C::DeathEventSink, "BSTEventSink<TESDeathEvent>", ".?AV?$BSTEventSink@UTESDeathEvent@@@@", {}},
        {C::DestructionStageChangedEventSink,
         "BSTEventSink<TESDestructionStageChangedEvent>",
         ".?AV?$BSTEventSink@UTESDestructionStageChangedEvent@@@@",
         {}},
        {C::EnterBleedoutEventSink,
         "BSTEventSink<TESEnterBleedoutEvent>",
         ".?AV?$BSTEventSink@UTESEnterBleedoutEvent@@@@",
         {}},
        {C::EquipEventSink, "BSTEventSink<TESEquipEvent>", ".?AV?$BSTEventSink@UTESEquipEvent@@@@", {}},
        {C::FormDeleteEventSink,
         "BSTEventSink<TESFormDeleteEvent>",
         ".?AV?$BSTEventSink@UTESFormDeleteEvent@@@@",
         {},
         Slots::VmSink},
        {C::FurnitureEventSink, "BSTEventSink<TESFurnitureEvent>", ".?AV?$BSTEventSink@UTESFurnitureEvent@@@@", {}},
        {C::GrabReleaseEventSink,
         "BSTEventSink<TESGrabReleaseEvent>",
         ".?AV?$BSTEventSink@UTESGrabReleaseEvent@@@@",
         {}},
        {C::HitEventSink, "BSTEventSink<TESHitEvent>", ".?AV?$BSTEventSink@UTESHitEvent@@@@", {}},
        {C::InitScriptEventSink, "BSTEventSink<TESInitScriptEvent>", ".?AV?$BSTEventSink@UTESInitScriptEvent@@@@", {}},
        {C::LoadGameEventSink, "BSTEventSink<TESLoadGameEvent>", ".?AV?$BSTEventSink@UTESLoadGameEvent@@@@", {}},
        {C::SkyrimVMSingleton, "BSTSingletonSDM<SkyrimVM>", ".?AV?$BSTSingletonSDM@VSkyrimVM@@@@", {}},
        {C::SkyrimVM,
         "SkyrimVM",
         ".?AVSkyrimVM@@",
         {{C::SkyrimVMSingleton, 0x00},
          {C::ActivateEventSink, 0x10},
          {C::ActiveEffectApplyRemoveEventSink, 0x18},
          {C::ActorLocationChangeEventSink, 0x20},
          {C::BookReadEventSink, 0x28},
          {C::CellAttachDetachEventSink, 0x30},
          {C::CellFullyLoadedEventSink, 0x38},
          {C::CombatEventSink, 0x40},
          {C::ContainerChangedEventSink, 0x48},
          {C::DeathEventSink, 0x50},
          {C::DestructionStageChangedEventSink, 0x58},
          {C::EnterBleedoutEventSink, 0x60},
          {C::EquipEventSink, 0x68},
          {C::FormDeleteEventSink, 0x70},
          {C::FurnitureEventSink, 0x78},
          {C::GrabReleaseEventSink, 0x80},
          {C::HitEventSink, 0x88},
          {C::InitScriptEventSink, 0x90},
          {C::LoadGameEventSink, 0x98}},
         Slots::Plain,
         -1,
         689129,
         396984,
         {0x1eab010, 0x1e84fc0, 0x1f1c3a0, 0x20ae610, 0x2152a38, 0x2152a38, 0x1f4c540}},
        {C::DataHandlerSingleton, "BSTSingletonSDM<TESDataHandler>", ".?AV?$BSTSingletonSDM@VTESDataHandler@@@@", {}},
        {C::TESDataHandler, "TESDataHandler", ".?AVTESDataHandler@@", {C::DataHandlerSingleton}, Slots::Plain},
        {C::MenuOpenCloseEventSource,
         "BSTEventSource<MenuOpenCloseEvent>",
         ".?AV?$BSTEventSource@VMenuOpenCloseEvent@@@@",
         {}},
        {C::MenuModeChangeEventSource,
         "BSTEventSource<MenuModeChangeEvent>",
         ".?AV?$BSTEventSource@VMenuModeChangeEvent@@@@",
         {}},
        {C::UISingleton, "BSTSingletonSDM<UI>", ".?AV?$BSTSingletonSDM@VUI@@@@", {}},
        {C::UI,
         "UI",
         ".?AVUI@@",
         {{C::UISingleton, 0x00}, {C::MenuOpenCloseEventSource, 0x08}, {C::MenuModeChangeEventSource, 0x60}},
         Slots::Plain},
    };
    std::sort(t.begin(), t.end(), [](const ClassInfo& a, const ClassInfo& b) { return a.id < b.id; });
    // One row per class, in the order of ClassId.
    for (size_t i = 0; i < t.size(); ++i)
      if (static_cast<size_t>(t[i].id) != i) std::abort();
    if (t.size() != static_cast<size_t>(kClassCount)) std::abort();
    return t;
  }();
  return table;
}

const ClassInfo& info(ClassId cls) { return classInfos()[static_cast<size_t>(cls)]; }

void appendList(ClassId cls, uint32_t at, std::vector<BaseAt>& out) {
  out.push_back({cls, at});
  for (const Base& base : info(cls).bases) appendList(base.cls, at + base.at, out);
}

}  // namespace

const char* className(ClassId cls) { return info(cls).name; }
const char* decoratedName(ClassId cls) { return info(cls).decorated; }

std::vector<BaseAt> hierarchyOf(ClassId cls) {
  std::vector<BaseAt> list;
  appendList(cls, 0, list);
  return list;
}

std::optional<uint32_t> displacementOf(ClassId cls, const std::string& baseName) {
  for (const BaseAt& base : hierarchyOf(cls))
    if (baseName == className(base.cls)) return base.at;
  return std::nullopt;
}

bool polymorphic(ClassId cls) {
  switch (cls) {
    case C::BSIntrusiveRefCounted:
    case C::StatsEventSource:
    case C::SkyrimVMSingleton:
    case C::DataHandlerSingleton:
    case C::MenuOpenCloseEventSource:
    case C::MenuModeChangeEventSource:
    case C::UISingleton:
      return false;
    default:
      return true;
  }
}

VtableKind vtableKindOf(ClassId cls) { return info(cls).vtable; }

std::vector<uint32_t> secondaryVtablesOf(ClassId cls) {
  std::vector<uint32_t> found;
  if (vtableKindOf(cls) == VtableKind::None) return found;
  for (const BaseAt& base : hierarchyOf(cls))
    if (base.at != 0 && polymorphic(base.cls) && std::find(found.begin(), found.end(), base.at) == found.end())
      found.push_back(base.at);
  std::sort(found.begin(), found.end());
  return found;
}

ClassId baseAtDisplacement(ClassId cls, uint32_t at) {
  for (const BaseAt& base : hierarchyOf(cls))
    if (base.at == at) return base.cls;
  return cls;
}

uint32_t descriptorIdOf(ClassId cls, Edition edition, uint32_t runtime) {
  const ClassInfo& s = info(cls);
  if (s.entry >= 0) return databaseIdOf(static_cast<EntryId>(s.entry), edition, runtime);
  if (edition != Edition::SpecialEdition) return 0;
  return isAnniversaryRuntime(edition, runtime) ? s.aeId : s.seId;
}

uint32_t publishedDescriptorOffset(ClassId cls, Layout layout) {
  const ClassInfo& s = info(cls);
  return s.entry >= 0 ? offsetOf(static_cast<EntryId>(s.entry), layout) : s.published[static_cast<size_t>(layout)];
}

bool descriptorPublished(ClassId cls, Layout layout) { return publishedDescriptorOffset(cls, layout) != 0; }

}  // namespace nimbrel_sim
