#include "support/fake_game.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

#include "game/checked_reads.h"
#include "game/layout.h"

namespace testsupport {
namespace {

using namespace NimbrelVR::game;

constexpr size_t kImageSize = 0x8000;
constexpr uint32_t kThunderstormId = 0x0010A241;
constexpr uint32_t kWorldspaceId = 0x0000003C;  // Tamriel
constexpr uint8_t kRainy = 0x04;

std::atomic<int> gCalls[FakeGame::kCalls];
// The holder the engine's accessor reads.
std::atomic<void**> gSkyHolder{nullptr};

void Count(FakeGame::Call call) { gCalls[call].fetch_add(1); }

void* FakeFormFromId(uint32_t) {
  Count(FakeGame::FormFromId);
  return nullptr;
}
void* FakeDynamicCast(void* object, int32_t, const void*, const void*, int32_t) {
  Count(FakeGame::DynamicCast);
  return object;
}
[[maybe_unused]] void* FakeSkyGetSingleton() {
  Count(FakeGame::SkyGetSingleton);
  void** holder = gSkyHolder.load();
  return holder ? std::atomic_ref<void*>(*holder).load() : nullptr;
}
uint64_t FakeCellAttached(void*, uint32_t, void*) {
  Count(FakeGame::CellAttached);
  if (FakeGame::duringCellAttached) FakeGame::duringCellAttached();
  return 1;
}
void FakeSpellCast(void*, uint32_t, void*, void*, void*) { Count(FakeGame::SpellCast); }
void FakeMoveTo(void*, uint32_t, void*, void*, float, float, float, bool) { Count(FakeGame::MoveTo); }
void FakeImodApply(void*, uint32_t, void*, float) { Count(FakeGame::ImodApply); }
void FakeImodRemove(void*, uint32_t, void*) { Count(FakeGame::ImodRemove); }

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

void* FakeGame::NotAnObject() { return NewObject(0x1d0c0); }

void* FakeGame::AnotherSky() { return NewObject(skyVtable_); }

FakeGame::FakeGame() : image_(std::make_unique<uint64_t[]>(kImageSize / 8)) {
  const auto base = reinterpret_cast<uintptr_t>(image_.get());
  scope_ = {&ProcessMemory(), base, kImageSize};
  writer_ = std::make_unique<RttiWriter>(reinterpret_cast<uint8_t*>(image_.get()), kImageSize, base, base);
  RttiWriter& w = *writer_;

  const uintptr_t form = w.Descriptor(".?AVTESForm@@");
  const uintptr_t skyClass = w.Descriptor(".?AVSky@@");
  const uintptr_t weatherClass = w.Descriptor(".?AVTESWeather@@");
  const uintptr_t refr = w.Descriptor(".?AVTESObjectREFR@@");
  const uintptr_t actor = w.Descriptor(".?AVActor@@");
  const uintptr_t character = w.Descriptor(".?AVCharacter@@");
  const uintptr_t playerClass = w.Descriptor(".?AVPlayerCharacter@@");
  const uintptr_t cellClass = w.Descriptor(".?AVTESObjectCELL@@");
  const uintptr_t worldspaceClass = w.Descriptor(".?AVTESWorldSpace@@");
  const uintptr_t niObject = w.Descriptor(".?AVNiObject@@");
  const uintptr_t avObject = w.Descriptor(".?AVNiAVObject@@");
  const uintptr_t node = w.Descriptor(".?AVNiNode@@");
  const uintptr_t fadeNode = w.Descriptor(".?AVBSFadeNode@@");
  const uintptr_t skyrimVm = w.Descriptor(".?AVSkyrimVM@@");
  const uintptr_t ivm = w.Descriptor(".?AVIVirtualMachine@BSScript@@");
  const uintptr_t machine = w.Descriptor(".?AVVirtualMachine@Internal@BSScript@@");

  skyVtable_ = w.Define(skyClass, {}).vtable;
  const uintptr_t weatherVtable = w.Define(weatherClass, {form}).vtable;
  const uintptr_t playerVtable = w.Define(playerClass, {character, actor, refr, form}).vtable;
  const uintptr_t cellVtable = w.Define(cellClass, {form}).vtable;
  const uintptr_t worldspaceVtable = w.Define(worldspaceClass, {form}).vtable;
  // The root node is a fade node, which derives from the class checked.
  const uintptr_t rootVtable = w.Define(fadeNode, {node, avObject, niObject}).vtable;
  const uintptr_t vmVtable = w.Define(skyrimVm, {}).vtable;
  const uintptr_t machineVtable = w.Define(machine, {ivm}).vtable;

#if NIMBREL_EDITION_VR
  const uint32_t runtime = 0x010400F1;  // VR 1.4.15.1
#else
  const uint32_t runtime = 0x01070630;  // 1.7.99 (Steam)
#endif

  sky = NewObject(skyVtable_);
  for (void*& weather : weathers) {
    weather = NewObject(weatherVtable);
    Put<uint8_t>(weather, layout::weather::kClassification, kRainy);
    Put<uint8_t>(weather, layout::weather::kLightningFrequency, 200);
  }
  Put<uint32_t>(weathers[0], layout::form::kFormId, kThunderstormId);
  Put<uint8_t>(weathers[0], layout::weather::kLightningFrequency, 30);
  player = NewObject(playerVtable);
  loaded3D = NewObject(0);
  rootNode = NewObject(rootVtable);
  cell = NewObject(cellVtable);
  worldspace = NewObject(worldspaceVtable);
  scriptVm = NewObject(vmVtable);
  scriptMachine = NewObject(machineVtable);
  dataRegistry = NewObject(0);

  Put<void*>(sky, layout::sky::kCurrentWeather, weathers[0]);
  Put<void*>(sky, layout::sky::kOutgoingWeather, weathers[1]);
  Put<float>(sky, layout::sky::kGameHour, 14.0f);
  Put<float>(sky, layout::sky::kTransition, 0.5f);
  Put<void*>(player, layout::reference::kParentCell, cell);
  Put<void*>(player, layout::reference::kLoaded3D, loaded3D);
  Put<void*>(loaded3D, layout::loaded_3d::kRootNode, rootNode);
  Put<float>(rootNode, layout::scene_node::kWorldZ, 100.0f);
  Put<void*>(cell, CellWorldspaceOffset(runtime), worldspace);
  Put<uint32_t>(worldspace, layout::form::kFormId, kWorldspaceId);
  Put<void*>(scriptVm, ScriptMachineRegistryOffset(runtime), scriptMachine);
  // The registry's weathers: the first entry is the storm; a null entry among them.
  void** array = static_cast<void**>(NewObject(0));
  int entries = 0;
  array[entries++] = weathers[0];
  array[entries++] = nullptr;
  for (int i = 1; i < kWeathers; ++i) array[entries++] = weathers[i];
  Put<void* const*>(dataRegistry, layout::data_registry::kWeathers, array);
  Put<uint32_t>(dataRegistry, layout::data_registry::kWeatherCount, static_cast<uint32_t>(entries));

  skyHolder = sky;
  playerHolder = player;
  scriptVmHolder = scriptVm;
  dataRegistryHolder = dataRegistry;
  gSkyHolder.store(&skyHolder);

  const long page = sysconf(_SC_PAGESIZE);
  unreadable_ = mmap(nullptr, static_cast<size_t>(page), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (unreadable_ == MAP_FAILED) std::abort();

  before_ = Engine();
  EngineBinding& b = binding_;
  b = before_;
  b.runtime = runtime;
  b.cellWorldspace = CellWorldspaceOffset(runtime);
  b.scriptMachineRegistry = ScriptMachineRegistryOffset(runtime);
  b.FormFromId = &FakeFormFromId;
  b.EngineDynamicCast = &FakeDynamicCast;
  b.CellAttachedNative = &FakeCellAttached;
  b.SpellCastNative = &FakeSpellCast;
  b.RefMoveToNative = &FakeMoveTo;
  b.ImodApplyNative = &FakeImodApply;
  b.ImodRemoveNative = &FakeImodRemove;
#if NIMBREL_EDITION_VR
  b.SkyHolder = &skyHolder;
  b.SkyGetSingleton = nullptr;
#else
  b.SkyHolder = nullptr;
  b.SkyGetSingleton = &FakeSkyGetSingleton;
#endif
  b.PlayerRefHolder = &playerHolder;
  b.ScriptVmHolder = &scriptVmHolder;
  b.DataRegistryHolder = &dataRegistryHolder;
  const auto at = [](uintptr_t address) { return reinterpret_cast<const void*>(address); };
  b.RttiForm = at(form);
  b.RttiObjectReference = at(refr);
  b.RttiPlayer = at(actor);
  b.RttiSky = at(skyClass);
  b.RttiWeather = at(weatherClass);
  b.RttiPlayerCharacter = at(playerClass);
  b.RttiCell = at(cellClass);
  b.RttiWorldSpace = at(worldspaceClass);
  b.RttiNiAVObject = at(avObject);
  b.RttiSkyrimVM = at(skyrimVm);
  b.RttiVirtualMachine = at(machine);
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
