#include "support/fake_game.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

#include "game/checked_reads.h"
#include "game/layout.h"
#include "support/fake_rtti.h"

namespace testsupport {
namespace {

using namespace NimbrelVR::game;

constexpr size_t kImageSize = 0x8000;
constexpr size_t kObjectSize = 0x1000;  // past every field read

std::atomic<int> gCalls[FakeGame::kCalls];
std::atomic<void**> gSkyHolder{nullptr};  // what the engine's accessor reads

template <FakeGame::Call call, typename Result, typename... Args>
Result Counted(Args...) {
  gCalls[call].fetch_add(1);
  if constexpr (call == FakeGame::CellAttached) {
    if (FakeGame::duringCellAttached) FakeGame::duringCellAttached();
    return 1;
  } else if constexpr (call == FakeGame::SkyGetSingleton) {
    return std::atomic_ref<void*>(*gSkyHolder.load()).load();
  } else if constexpr (!std::is_void_v<Result>) {
    return Result{};
  }
}

void* CountedCast(void* object, int32_t, const void*, const void*, int32_t) {
  gCalls[FakeGame::DynamicCast].fetch_add(1);
  return object;
}

}  // namespace

void (*FakeGame::duringCellAttached)() = nullptr;

int FakeGame::Calls(Call call) { return gCalls[call].load(); }

int FakeGame::EngineCalls() {
  int total = 0;
  for (const auto& calls : gCalls) total += calls.load();
  return total;
}

void FakeGame::ResetCalls() {
  for (auto& calls : gCalls) calls.store(0);
}

void* FakeGame::NewObject(uintptr_t vtable) {
  objects_.push_back(std::make_unique<uint64_t[]>(kObjectSize / 8));
  objects_.back()[0] = vtable;
  return objects_.back().get();
}

FakeGame::FakeGame() : image_(std::make_unique<uint64_t[]>(kImageSize / 8)) {
  const auto base = reinterpret_cast<uintptr_t>(image_.get());
  scope_ = {&ProcessMemory(), base, kImageSize};
  RttiWriter w(reinterpret_cast<uint8_t*>(image_.get()), kImageSize, base, base);
  const uintptr_t form = w.Descriptor(".?AVTESForm@@");
  const uintptr_t refr = w.Descriptor(".?AVTESObjectREFR@@");
  const uintptr_t actor = w.Descriptor(".?AVActor@@");
  const uintptr_t skyClass = w.Descriptor(".?AVSky@@");
  const uintptr_t weatherClass = w.Descriptor(".?AVTESWeather@@");
  const uintptr_t playerClass = w.Descriptor(".?AVPlayerCharacter@@");
  const uintptr_t cellClass = w.Descriptor(".?AVTESObjectCELL@@");
  const uintptr_t worldspaceClass = w.Descriptor(".?AVTESWorldSpace@@");
  const uintptr_t avObject = w.Descriptor(".?AVNiAVObject@@");
  const uintptr_t vmClass = w.Descriptor(".?AVSkyrimVM@@");
  const uintptr_t machineClass = w.Descriptor(".?AVVirtualMachine@Internal@BSScript@@");
  const uintptr_t spellClass = w.Descriptor(".?AVSpellItem@@");
  const uintptr_t projectileClass = w.Descriptor(".?AVBGSProjectile@@");
  const uintptr_t modelClass = w.Descriptor(".?AVTESModel@@");
  const uintptr_t preloadableClass = w.Descriptor(".?AVBGSPreloadable@@");
  const uintptr_t hitSinkClass = w.Descriptor(".?AV?$BSTEventSink@UTESHitEvent@@@@");
  const uintptr_t grabSinkClass = w.Descriptor(".?AV?$BSTEventSink@UTESGrabReleaseEvent@@@@");

  skyVtable_ = w.Define(skyClass, {}).vtable;
  sky = NewObject(skyVtable_);
  const uintptr_t weatherVtable = w.Define(weatherClass, {form}).vtable;
  for (void*& weather : weathers) {
    weather = NewObject(weatherVtable);
    Put<uint8_t>(weather, layout::weather::kClassification, 0x04);  // rainy
    Put<uint8_t>(weather, layout::weather::kLightningFrequency, 200);
  }
  Put<uint8_t>(weathers[0], layout::weather::kLightningFrequency, 30);
  player = NewObject(w.Define(playerClass, {w.Descriptor(".?AVCharacter@@"), actor, refr, form}).vtable);
  loaded3D = NewObject(0);
  rootNode = NewObject(w.Define(w.Descriptor(".?AVBSFadeNode@@"), {w.Descriptor(".?AVNiNode@@"), avObject}).vtable);
  cell = NewObject(w.Define(cellClass, {form}).vtable);
  worldspace = NewObject(w.Define(worldspaceClass, {form}).vtable);
  const RttiWriter::Class vm = w.Define(vmClass, {grabSinkClass, hitSinkClass}, 0, {kVmGrabReleaseSink, kVmHitSink});
  scriptVm = NewObject(vm.vtable);
  Put<uintptr_t>(scriptVm, kVmGrabReleaseSink, w.PartVtable(vm, kVmGrabReleaseSink));
  Put<uintptr_t>(scriptVm, kVmHitSink, w.PartVtable(vm, kVmHitSink));
  hitSinks = NewObject(0);
  static_cast<void**>(hitSinks)[0] = static_cast<uint8_t*>(scriptVm) + kVmHitSink;
  hitSource = NewObject(0);
  Put<void*>(hitSource, layout::event_source::kSinks, hitSinks);
  Put<uint32_t>(hitSource, layout::event_source::kSinkCapacity, 4);
  Put<uint32_t>(hitSource, layout::event_source::kSinkCount, 1);

  const std::vector<uintptr_t> projectileBases = {form, modelClass, preloadableClass};
  const RttiWriter::Class projectile = w.Define(projectileClass, projectileBases, 0, {0, 0x40, 0x68});
  effectArt = NewObject(projectile.vtable);
  Put<uintptr_t>(effectArt, layout::effect_art::kModelComponent, w.PartVtable(projectile, 0x40));
  Put<float>(effectArt, layout::effect_art::kFadeDuration, 1.5f);
  preloadablePartVtable = w.PartVtable(projectile, 0x68);
  modelElsewhereVtable = w.PartVtable(w.Define(projectileClass, projectileBases, 0, {0, 0x48, 0x68}), 0x40);
  spell = NewObject(w.Define(spellClass, {form}).vtable);
  formListArray = NewObject(0);
  static_cast<void**>(formListArray)[0] = spell;
  static_cast<void**>(formListArray)[2] = spell;
  formList = NewObject(w.Define(w.Descriptor(".?AVBGSListForm@@"), {form}).vtable);
  Put<void*>(formList, layout::form_list::kEntries, formListArray);
  Put<uint32_t>(formList, layout::form_list::kCapacity, 4);
  Put<uint32_t>(formList, layout::form_list::kCount, 3);
  twinWeatherDescriptor = w.Descriptor(".?AVTESWeather@@");
  twinWeather = NewObject(w.Define(twinWeatherDescriptor, {form}).vtable);
  scriptMachine = NewObject(w.Define(machineClass, {w.Descriptor(".?AVIVirtualMachine@BSScript@@")}).vtable);
  dataRegistry = NewObject(0);
  registryWeathers = NewObject(0);

#if NIMBREL_EDITION_VR
  const uint32_t runtime = 0x010400F1;  // VR 1.4.15.1
#else
  const uint32_t runtime = 0x01070630;  // 1.7.99 (Steam)
#endif
  Put<void*>(sky, layout::sky::kCurrentWeather, weathers[0]);
  Put<void*>(sky, layout::sky::kOutgoingWeather, weathers[1]);
  Put<float>(sky, layout::sky::kGameHour, 14.0f);
  Put<float>(sky, layout::sky::kTransition, 0.5f);
  Put<void*>(player, layout::reference::kParentCell, cell);
  Put<void*>(player, layout::reference::kLoaded3D, loaded3D);
  Put<void*>(loaded3D, layout::loaded_3d::kRootNode, rootNode);
  Put<void*>(cell, CellWorldspaceOffset(runtime), worldspace);
  Put<uint32_t>(worldspace, layout::form::kFormId, 0x3C);  // Tamriel
  Put<void*>(scriptVm, ScriptMachineRegistryOffset(runtime), scriptMachine);
  auto* const array = static_cast<void**>(registryWeathers);
  array[0] = weathers[0];
  for (int i = 1; i < kWeathers; ++i) array[i + 1] = weathers[i];
  Put<void*>(dataRegistry, layout::data_registry::kWeathers, array);
  Put<uint32_t>(dataRegistry, layout::data_registry::kWeatherCount, kWeathers + 1);

  skyHolder = sky;
  playerHolder = player;
  scriptVmHolder = scriptVm;
  hitEvent = NewObject(0);
  Put<void*>(hitEvent, layout::hit_event::kTarget, player);
  menuEvent = NewObject(0);
  Put<const char*>(menuEvent, layout::menu_event::kMenuName, "Console");
  dataRegistryHolder = dataRegistry;
  gSkyHolder.store(&skyHolder);
  unreadable_ =
      mmap(nullptr, static_cast<size_t>(sysconf(_SC_PAGESIZE)), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (unreadable_ == MAP_FAILED) std::abort();

  before_ = Engine();
  EngineBinding b = before_;
  b.runtime = runtime;
  b.cellWorldspace = CellWorldspaceOffset(runtime);
  b.scriptMachineRegistry = ScriptMachineRegistryOffset(runtime);
  b.FormFromId = &Counted<FormFromId, void*, uint32_t>;
  b.EngineDynamicCast = &CountedCast;
  b.CellAttachedNative = &Counted<CellAttached, uint64_t, void*, uint32_t, void*>;
  b.SpellCastNative = &Counted<SpellCast, void, void*, uint32_t, void*, void*, void*>;
  b.RefMoveToNative = &Counted<MoveTo, void, void*, uint32_t, void*, void*, float, float, float, bool>;
  b.ImodApplyNative = &Counted<ImodApply, void, void*, uint32_t, void*, float>;
  b.ImodRemoveNative = &Counted<ImodRemove, void, void*, uint32_t, void*>;
  const bool accessor = runtime >= 0x01060000;  // as the binding by id has it
  b.SkyHolder = accessor ? nullptr : &skyHolder;
  b.SkyGetSingleton = accessor ? &Counted<SkyGetSingleton, void*> : nullptr;
  b.PlayerRefHolder = &playerHolder;
  b.ScriptVmHolder = &scriptVmHolder;
  b.DataRegistryHolder = &dataRegistryHolder;
  const auto at = [](uintptr_t address) { return reinterpret_cast<const void*>(address); };
  b.RttiForm = at(form);
  b.RttiObjectReference = at(refr);
  b.RttiSpell = at(spellClass);
  b.RttiEffectArt = at(projectileClass);
  b.RttiPlayer = at(actor);
  b.RttiSky = at(skyClass);
  b.RttiWeather = at(weatherClass);
  b.RttiPlayerCharacter = at(playerClass);
  b.RttiCell = at(cellClass);
  b.RttiWorldSpace = at(worldspaceClass);
  b.RttiNiAVObject = at(avObject);
  b.RttiSkyrimVM = at(vmClass);
  b.RttiVirtualMachine = at(machineClass);
  InstallBinding(b);
  SetCheckScope(scope_);
  ResetCalls();
}

FakeGame::~FakeGame() {
  InstallBinding(before_);
  SetCheckScope(GameScope());
  gSkyHolder.store(nullptr);
  munmap(unreadable_, static_cast<size_t>(sysconf(_SC_PAGESIZE)));
}

}  // namespace testsupport
