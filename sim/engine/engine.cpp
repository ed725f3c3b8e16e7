// The simulated engine's bookkeeping: its objects made at start, the
// holders pointed at them, and the tables every engine call looks things up
// in (objects and their classes, forms, interned strings, heap blocks,
// sinks) with their counts.
#include "engine/engine.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <mutex>
#include <unordered_set>
#include <utility>

#include "engine/relaxed.h"
#include "run/active_run.h"

namespace nimbrel_sim {

Engine::Engine(Run& run, const Options& options)
    : run_(run),
      options_(options),
      vmMachineField_(scriptVmMachineOffset(options.edition, runtimeOf(options))),
      vmOtherField_(scriptVmOtherOffset(options.edition, runtimeOf(options))) {
  noSourceFile_ = intern("");
  // The script machine's vtable keeps its registration slot working.
  registry_ = create(Cls::ScriptRegistry, 0x100);
  // The script machine where the runtime keeps it; at the other offset an
  // object with a vtable of its own, whose every use fails the run.
  vm_ = create(Cls::ScriptVm, field::kVmSize);
  storeField<void*>(vm_, vmMachineField_, registry_);
  vmOther_ = create(Cls::ScriptVmOther, 0x10);
  storeField<void*>(vm_, vmOtherField_, vmOther_);
  // No weathers and no loaded files yet: a null array and an empty head node.
  dataRegistry_ = create(Cls::DataRegistry, field::kLoadedFiles + 0x10);
  menuManager_ = create(Cls::MenuManager, field::kMenuManagerSize);
  // Room for the holder as a game update may grow it (one source more).
  scriptEventSources_ = create(Cls::ScriptEventSources, kScriptEventHolderSize + field::kEventSourceSize);
  actionSource_ = create(Cls::ActionEventSource, field::kEventSourceSize);
  layOutSources();
  // The player's form exists once the game runs; its holder is filled only
  // when a world is loaded.
  player_ = create(Cls::Player, kPlayerSize);
  addForm(kPlayerFormId, player_);
  otherActor_ = create(Cls::Actor, 0x100);
  addForm(kOtherActorFormId, otherActor_);
}

Engine::~Engine() {
  ActiveRun::forget(this);
  for (auto& [address, size] : heapBlocks_) delete[] reinterpret_cast<uint8_t*>(address);
}

void Engine::activate() {
  const Image& img = image();
  img.setHolder(kSkyHolder, nullptr);  // no world loaded
  img.setHolder(kPlayerRefHolder, nullptr);
  img.setHolder(kScriptVmHolder, vm_);
  img.setHolder(kDataRegistryHolder, dataRegistry_);
  img.setHolder(kMenuManagerHolder, options_.noMenuManager ? nullptr : menuManager_);
  ActiveRun::setEngine(this);
}

ClassId gameClassOf(Cls cls) {
  switch (cls) {
    case Cls::Form:
      return ClassId::TESObjectWEAP;  // the forms of no other kind are weapons
    case Cls::Spell:
      return ClassId::SpellItem;
    case Cls::EffectArt:
      return ClassId::BGSProjectile;
    case Cls::ImageSpaceModifier:
      return ClassId::TESImageSpaceModifier;
    case Cls::FormList:
      return ClassId::BGSListForm;
    case Cls::GlobalVariable:
      return ClassId::TESGlobal;
    case Cls::ObjectReference:
      return ClassId::TESObjectREFR;
    case Cls::Actor:
      return ClassId::Character;
    case Cls::Player:
      return ClassId::PlayerCharacter;
    case Cls::Weather:
      return ClassId::TESWeather;
    case Cls::Cell:
      return ClassId::TESObjectCELL;
    case Cls::Worldspace:
      return ClassId::TESWorldSpace;
    case Cls::Sky:
      return ClassId::Sky;
    case Cls::ScriptVm:
      return ClassId::SkyrimVM;
    case Cls::ScriptRegistry:
      return ClassId::VirtualMachine;
    case Cls::ScriptVmOther:
      return ClassId::FormDeleteEventSink;
    case Cls::DataRegistry:
      return ClassId::TESDataHandler;
    case Cls::MenuManager:
      return ClassId::UI;
    case Cls::SceneNode:
      return ClassId::NiNode;
    case Cls::FadeNode:
      return ClassId::BSFadeNode;
    case Cls::SkyClouds:
      return ClassId::Clouds;
    case Cls::AnimationController:
      return ClassId::NiControllerManager;
    case Cls::ScriptEventSources:  // a run of event sources: no vtable, no type information
    case Cls::ActionEventSource:   // the host's, an event source too
      break;
  }
  return ClassId::Count;
}

void* Engine::create(Cls cls, size_t size) {
  auto block = std::make_unique<uint8_t[]>(size);
  void* object = block.get();
  const ClassId game = gameClassOf(cls);
  if (game != ClassId::Count) {
    // Every vtable word of the complete object: its first, and one for each
    // polymorphic base at a place of its own.
    storeField<uintptr_t>(object, 0, image().vtableOf(game));
    for (uint32_t at : secondaryVtablesOf(game)) {
      if (at + sizeof(uintptr_t) <= size) {
        storeField<uintptr_t>(object, at, image().vtableOf(game, at));
        continue;
      }
      char text[160];
      std::snprintf(text, sizeof text, "the double made a %s of 0x%zx bytes, too small for its base at +0x%x",
                    className(game), size, at);
      run_.fail(text);
    }
  }
  std::lock_guard lock(mutex_);
  storage_.push_back(std::move(block));
  objects_[reinterpret_cast<uintptr_t>(object)] = {cls, size};
  return object;
}

void Engine::destroy(const std::vector<void*>& objects) {
  std::unordered_set<uintptr_t> gone;
  for (void* object : objects) gone.insert(reinterpret_cast<uintptr_t>(object));
  std::lock_guard lock(mutex_);
  for (auto it = forms_.begin(); it != forms_.end();)
    it = gone.count(reinterpret_cast<uintptr_t>(it->second)) ? forms_.erase(it) : std::next(it);
  for (uintptr_t address : gone) objects_.erase(address);
  std::erase_if(storage_, [&](const std::unique_ptr<uint8_t[]>& block) {
    return gone.count(reinterpret_cast<uintptr_t>(block.get())) != 0;
  });
}

void Engine::addForm(uint32_t formId, void* form) {
  storeField<uint32_t>(form, field::kFormId, formId);
  std::lock_guard lock(mutex_);
  forms_[formId] = form;
}

size_t Engine::registeredFunctionCount() const {
  std::lock_guard lock(mutex_);
  return registrations_;
}

size_t Engine::liveHeapBlocks() const {
  std::lock_guard lock(mutex_);
  return heapBlocks_.size();
}

void Engine::setLayoutFault(LayoutFault fault) {
  fault_.store(fault);
  if (fault == LayoutFault::VmMachine) storeField<void*>(vm_, vmMachineField_, vmOther_);
  std::string problem;
  if (fault == LayoutFault::HitSource && !holderInserted_ && !layOutScriptEvents(true, problem))
    run_.fail(
        "the layout fault hit-source moves the script event holder's sources, which the game lays out as it "
        "starts: give it before the plug-in loads (--layout-fault, or a scenario loaded first); " +
        problem);
}

std::string Engine::vmOtherFieldWords() const {
  if (fault_.load() == LayoutFault::VmMachine)
    return std::string(
               "the plug-in took the script VM's event sink for the script machine: the layout fault "
               "vm-machine put it at +0x") +
           (vmMachineField_ == 0x200 ? "200" : "210") +
           ", and the plug-in's check of the script machine there should have stood it down";
  if (vmOtherField_ == 0x200)
    return "the plug-in read the script VM's +0x200, where 1.6 kept the script machine; on 1.7 it is at +0x210";
  return "the plug-in read the script VM's +0x210, where 1.7 keeps the script machine; before 1.7 it is at +0x200";
}

std::optional<Cls> Engine::classOf(const void* object) const {
  std::lock_guard lock(mutex_);
  auto it = objects_.find(reinterpret_cast<uintptr_t>(object));
  if (it == objects_.end()) return std::nullopt;
  return it->second.cls;
}

const char* Engine::intern(const std::string& text) {
  std::lock_guard lock(mutex_);
  const char* interned = strings_.insert(text).first->c_str();
  stringAddresses_.insert(reinterpret_cast<uintptr_t>(interned));
  return interned;
}

bool Engine::isInterned(const char* text) const {
  std::lock_guard lock(mutex_);
  return stringAddresses_.count(reinterpret_cast<uintptr_t>(text)) != 0;
}

size_t Engine::heapBlockSize(const void* block) const {
  std::lock_guard lock(mutex_);
  auto it = heapBlocks_.find(reinterpret_cast<uintptr_t>(block));
  return it == heapBlocks_.end() ? 0 : it->second;
}

}  // namespace nimbrel_sim
