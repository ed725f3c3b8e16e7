#include "image/rtti.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "image/image.h"

namespace nimbrel_sim {

namespace {

using C = ClassId;

// What a class's vtable holds: none (a base only, or an object the double
// never makes), slots into code fill, or slots the engine hands in.
enum class Slots : uint8_t { None, Plain, ScriptMachine, VmSink };

struct ClassInfo {
  ClassId id;
  const char* name;
  const char* decorated;
  std::vector<ClassId> bases;  // direct bases, in declaration order
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
        {C::MagicItem, "MagicItem", ".?AVMagicItem@@", {C::TESBoundObject, C::TESFullName, C::BGSKeywordForm}},
        {C::SpellItem,
         "SpellItem",
         ".?AVSpellItem@@",
         {C::MagicItem, C::BGSEquipType, C::BGSMenuDisplayObject, C::TESDescription},
         Slots::Plain,
         kRttiSpell},
        {C::BGSProjectile,
         "BGSProjectile",
         ".?AVBGSProjectile@@",
         {C::TESBoundObject, C::TESFullName, C::TESModel, C::BGSPreloadable, C::BGSDestructibleObjectForm},
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
         {C::TESBoundObject, C::TESFullName, C::TESModel, C::BGSDestructibleObjectForm, C::BGSEquipType,
          C::BGSPreloadable, C::BGSKeywordForm, C::TESDescription},
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
         {C::TESForm, C::TESFullName},
         Slots::Plain,
         -1,
         513892,
         392430,
         {0x1e396d0, 0x1e13680, 0x1eaa300, 0x203a8d0, 0x20de160, 0x20de160, 0x1ed95a0}},
        {C::TESWorldSpace,
         "TESWorldSpace",
         ".?AVTESWorldSpace@@",
         {C::TESForm, C::TESFullName, C::TESTexture},
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
         {C::TESForm, C::BSHandleRefObject, C::AnimationGraphEventSink, C::IAnimationGraphManagerHolder},
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
         {C::TESObjectREFR, C::MagicTarget, C::ActorValueOwner, C::ActorState, C::TransformDeltaEventSink,
          C::CharacterMoveFinishEventSink, C::IPostAnimationChannelUpdateFunctor},
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
         {C::Character, C::MenuOpenCloseEventSink, C::MenuModeChangeEventSink, C::UserEventEnabledEventSink,
          C::TrackedStatsEventSink},
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
         {C::IVirtualMachine, C::IVMObjectBindInterface, C::IVMSaveLoadInterface, C::IVMDebugInterface,
          C::StatsEventSource},
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
        {C::SkyrimVMSingleton, "BSTSingletonSDM<SkyrimVM>", ".?AV?$BSTSingletonSDM@VSkyrimVM@@@@", {}},
        {C::SkyrimVM,
         "SkyrimVM",
         ".?AVSkyrimVM@@",
         {C::SkyrimVMSingleton, C::ActivateEventSink, C::ActiveEffectApplyRemoveEventSink,
          C::ActorLocationChangeEventSink},
         Slots::Plain,
         -1,
         689129,
         396984,
         {0x1eab010, 0x1e84fc0, 0x1f1c3a0, 0x20ae610, 0x2152a38, 0x2152a38, 0x1f4c540}},
        {C::FormDeleteEventSink,
         "BSTEventSink<TESFormDeleteEvent>",
         ".?AV?$BSTEventSink@UTESFormDeleteEvent@@@@",
         {},
         Slots::VmSink},
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
         {C::MenuOpenCloseEventSource, C::MenuModeChangeEventSource, C::UISingleton},
         Slots::Plain},
        {C::ActivateEventSource, "BSTEventSource<TESActivateEvent>", ".?AV?$BSTEventSource@UTESActivateEvent@@@@", {}},
        {C::HitEventSource, "BSTEventSource<TESHitEvent>", ".?AV?$BSTEventSource@UTESHitEvent@@@@", {}},
        {C::ScriptEventSourceHolder,
         "ScriptEventSourceHolder",
         ".?AVScriptEventSourceHolder@@",
         {C::ActivateEventSource, C::HitEventSource},
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

// Where the type information lies. The region is free in every column:
// above the engine heap object of 1.7.99 (0x369a810), below the database's
// last fillers (0x3e00000).
constexpr uint32_t kRegion = 0x3c00000;
// Descriptors without a published offset: a stretch per column, so that no
// two runtimes share a chosen offset.
constexpr uint32_t kChosenDescriptors = kRegion;
constexpr uint32_t kChosenStretch = 0x2000;
// Hierarchies, base class arrays and descriptors, locators and vtables,
// from an address that is 4 but not 8 aligned: MSVC aligns all but the
// vtables to 4 only, and a reader must take that.
constexpr uint32_t kStructures = kRegion + 0x10004;
// Slots of vtables whose functions nothing may call point into code fill
// here, a stretch of 0x100 bytes per vtable.
constexpr uint32_t kVirtualCode = kRegion + 0x80000;
constexpr uint32_t kVirtualCodeStretch = 0x100;

constexpr uint32_t kDescriptorHead = 0x10;  // type_info's vtable pointer, the spare word
constexpr uint32_t kHierarchySize = 0x10;
constexpr uint32_t kBaseDescriptorSize = 0x1c;
constexpr uint32_t kLocatorSize = 0x18;
constexpr uint32_t kBcdHasHierarchy = 0x40;  // the base class descriptor names its own hierarchy
constexpr uint32_t kChdMultipleInheritance = 1;

uint32_t descriptorSize(ClassId cls) {
  return kDescriptorHead + static_cast<uint32_t>(std::strlen(info(cls).decorated)) + 1;
}

uint32_t alignUp(uint32_t at, uint32_t to) { return (at + to - 1) / to * to; }

size_t slotsOf(Slots slots) {
  switch (slots) {
    case Slots::ScriptMachine:
      return kScriptMachineSlots;
    case Slots::VmSink:
      return kVmSinkSlots;
    case Slots::Plain:
      return kPlainSlots;
    case Slots::None:
      break;
  }
  return 0;
}

RttiPlacement place(Layout layout) {
  RttiPlacement p;
  std::vector<RttiPlacement::Span> spans;
  auto span = [&](uint32_t begin, uint32_t size) { spans.push_back({begin, begin + size}); };
  uint32_t chosen = kChosenDescriptors + kChosenStretch * static_cast<uint32_t>(layout);
  for (int i = 0; i < kClassCount; ++i) {
    const ClassInfo& s = classInfos()[static_cast<size_t>(i)];
    uint32_t at =
        s.entry >= 0 ? offsetOf(static_cast<EntryId>(s.entry), layout) : s.published[static_cast<size_t>(layout)];
    if (at == 0) {
      at = alignUp(chosen, 8);
      chosen = at + descriptorSize(s.id);
    }
    p.descriptor[i] = at;
    span(at, descriptorSize(s.id));
  }
  uint32_t at = kStructures;
  for (int i = 0; i < kClassCount; ++i, at += kHierarchySize) {
    p.hierarchy[i] = at;
    span(at, kHierarchySize);
  }
  for (int i = 0; i < kClassCount; ++i, at += kBaseDescriptorSize) {
    p.baseDescriptor[i] = at;
    span(at, kBaseDescriptorSize);
  }
  for (int i = 0; i < kClassCount; ++i) {
    const auto size = static_cast<uint32_t>(4 * hierarchyOf(static_cast<ClassId>(i)).size());
    p.baseArray[i] = at;
    span(at, size);
    at += size;
  }
  // Locators at 4 past an 8-aligned address, vtables 8-aligned.
  std::vector<RttiPlacement::Vtable> vtables;
  for (const ClassInfo& s : classInfos()) {
    if (s.vtable != Slots::None) vtables.push_back({s.id, 0, 0, 0, slotsOf(s.vtable)});
    if (s.id == C::BGSProjectile) vtables.push_back({s.id, kModelComponentOffset, 0, 0, kModelComponentSlots});
  }
  at = alignUp(at, 8) + 4;
  for (auto& v : vtables) {
    v.locator = at;
    span(at, kLocatorSize);
    at += kLocatorSize;
  }
  at = alignUp(at, 8);
  for (auto& v : vtables) {
    v.table = at + 8;
    span(at, static_cast<uint32_t>(8 + 8 * v.slots));
    at = v.table + static_cast<uint32_t>(8 * v.slots);
  }
  p.vtables = std::move(vtables);
  std::sort(spans.begin(), spans.end(), [](const auto& a, const auto& b) { return a.begin < b.begin; });
  for (const auto& s : spans) {
    if (!p.spans.empty() && p.spans.back().end == s.begin)
      p.spans.back().end = s.end;
    else
      p.spans.push_back(s);
  }
  return p;
}

void put32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void put64(std::vector<uint8_t>& out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void appendList(ClassId cls, std::vector<ClassId>& out) {
  out.push_back(cls);
  for (ClassId base : info(cls).bases) appendList(base, out);
}

}  // namespace

const char* className(ClassId cls) { return info(cls).name; }
const char* decoratedName(ClassId cls) { return info(cls).decorated; }

std::vector<ClassId> hierarchyOf(ClassId cls) {
  std::vector<ClassId> list;
  appendList(cls, list);
  return list;
}

bool derivesFrom(ClassId cls, ClassId base) {
  const std::vector<ClassId> list = hierarchyOf(cls);
  return std::find(list.begin(), list.end(), base) != list.end();
}

uint32_t descriptorIdOf(ClassId cls, Edition edition, uint32_t runtime) {
  const ClassInfo& s = info(cls);
  if (s.entry >= 0) return databaseIdOf(static_cast<EntryId>(s.entry), edition, runtime);
  if (edition != Edition::SpecialEdition) return 0;
  return isAnniversaryRuntime(edition, runtime) ? s.aeId : s.seId;
}

bool descriptorPublished(ClassId cls, Layout layout) {
  const ClassInfo& s = info(cls);
  return s.entry >= 0 || s.published[static_cast<size_t>(layout)] != 0;
}

const RttiPlacement& rttiPlacement(Layout layout) {
  static std::array<RttiPlacement, kLayoutCount> placements;
  static std::once_flag once;
  std::call_once(once, [] {
    for (int i = 0; i < kLayoutCount; ++i) placements[static_cast<size_t>(i)] = place(static_cast<Layout>(i));
  });
  return placements[static_cast<size_t>(layout)];
}

bool inRtti(uint32_t offset, Layout layout) {
  for (const auto& s : rttiPlacement(layout).spans)
    if (offset >= s.begin && offset < s.end) return true;
  return false;
}

std::vector<RttiBlock> rttiBytes(Layout layout, uintptr_t base, const VirtualSlots& slots) {
  const RttiPlacement& p = rttiPlacement(layout);
  std::vector<RttiBlock> blocks;
  auto vtableOf = [&](ClassId cls) -> uintptr_t {
    for (const auto& v : p.vtables)
      if (v.cls == cls && v.subobject == 0) return base + v.table;
    return 0;
  };
  const uintptr_t typeInfoVtable = vtableOf(C::TypeInfo);
  for (int i = 0; i < kClassCount; ++i) {
    const auto cls = static_cast<ClassId>(i);
    const std::string name = className(cls);
    RttiBlock descriptor{p.descriptor[i], {}, "the type descriptor of " + name};
    put64(descriptor.bytes, typeInfoVtable);
    put64(descriptor.bytes, 0);
    const char* decorated = decoratedName(cls);
    descriptor.bytes.insert(descriptor.bytes.end(), decorated, decorated + std::strlen(decorated) + 1);
    blocks.push_back(std::move(descriptor));

    const std::vector<ClassId> list = hierarchyOf(cls);
    bool multiple = false;
    for (ClassId c : list) multiple = multiple || info(c).bases.size() > 1;
    RttiBlock hierarchy{p.hierarchy[i], {}, "the class hierarchy of " + name};
    put32(hierarchy.bytes, 0);
    put32(hierarchy.bytes, multiple ? kChdMultipleInheritance : 0);
    put32(hierarchy.bytes, static_cast<uint32_t>(list.size()));
    put32(hierarchy.bytes, p.baseArray[i]);
    blocks.push_back(std::move(hierarchy));

    RttiBlock array{p.baseArray[i], {}, "the base class array of " + name};
    for (ClassId c : list) put32(array.bytes, p.baseDescriptor[static_cast<size_t>(c)]);
    blocks.push_back(std::move(array));

    // The class as a base: its descriptor, how many bases it brings, where
    // it sits (mdisp 0, no virtual base), and its own hierarchy.
    RttiBlock bcd{p.baseDescriptor[i], {}, "the base class descriptor of " + name};
    put32(bcd.bytes, p.descriptor[i]);
    put32(bcd.bytes, static_cast<uint32_t>(list.size() - 1));
    put32(bcd.bytes, 0);
    put32(bcd.bytes, 0xFFFFFFFFu);
    put32(bcd.bytes, 0);
    put32(bcd.bytes, kBcdHasHierarchy);
    put32(bcd.bytes, p.hierarchy[i]);
    blocks.push_back(std::move(bcd));
  }
  for (size_t v = 0; v < p.vtables.size(); ++v) {
    const RttiPlacement::Vtable& vt = p.vtables[v];
    const auto i = static_cast<size_t>(vt.cls);
    const std::string name = std::string(className(vt.cls)) + (vt.subobject ? " (its TESModel at +0x40)" : "");
    RttiBlock locator{vt.locator, {}, "the complete object locator of " + name};
    put32(locator.bytes, 1);
    put32(locator.bytes, vt.subobject);
    put32(locator.bytes, 0);
    put32(locator.bytes, p.descriptor[i]);
    put32(locator.bytes, p.hierarchy[i]);
    put32(locator.bytes, vt.locator);
    blocks.push_back(std::move(locator));

    RttiBlock table{vt.table - 8, {}, "the vtable of " + name};
    put64(table.bytes, base + vt.locator);
    const void* const* given = nullptr;
    if (vt.subobject == kModelComponentOffset)
      given = slots.modelComponent;
    else if (info(vt.cls).vtable == Slots::ScriptMachine)
      given = slots.scriptMachine;
    else if (info(vt.cls).vtable == Slots::VmSink)
      given = slots.vmSink;
    for (size_t s = 0; s < vt.slots; ++s) {
      const uintptr_t fill = base + kVirtualCode + kVirtualCodeStretch * v + 8 * s;
      put64(table.bytes, given ? reinterpret_cast<uintptr_t>(given[s]) : fill);
    }
    blocks.push_back(std::move(table));
  }
  return blocks;
}

}  // namespace nimbrel_sim
