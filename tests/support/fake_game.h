// A game the plug-in's checked reads can follow, laid out in this process
// without the game double: an image (a buffer) holding the run-time type
// information of the classes the plug-in checks, objects of each on the heap
// whose first word is their class's vtable, linked as the plug-in reads them,
// the holders, and engine functions that count their calls. Building it
// installs a binding that points at all of it and makes the buffer the
// checks' image; destroying it puts back what was there.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "game/engine_binding.h"
#include "game/type_check.h"

namespace testsupport {

class FakeGame {
 public:
  // The SE build plays 1.7.99 (the sky through the engine's accessor, the
  // cell's worldspace at +0x128, the script machine at +0x210), the VR build
  // VR 1.4.15.1 (the sky's holder, +0x120, +0x200).
  FakeGame();
  ~FakeGame();
  FakeGame(const FakeGame&) = delete;
  FakeGame& operator=(const FakeGame&) = delete;

  // The player outside, at 14:00, under a thunderstorm (weathers[0], rainy,
  // frequency 30) coming in from weathers[1] (rainy, 200) at transition 0.5.
  static constexpr int kWeathers = 6;
  void* sky;
  void* weathers[kWeathers];
  void* player;
  void* loaded3D;  // no vtable
  void* rootNode;  // a fade node
  void* cell;
  void* worldspace;
  void* scriptVm;
  void* scriptMachine;
  void* dataRegistry;      // no vtable
  void* registryWeathers;  // its weathers: [0] the storm, [1] null, then weathers[1..]

  // The script VM object listens to hits by its BSTEventSink<TESHitEvent>
  // base at +0x88 (and to grab-release events by the one at +0x80); the hit
  // source (no vtable) holds that sink.
  static constexpr ptrdiff_t kVmHitSink = 0x88;
  static constexpr ptrdiff_t kVmGrabReleaseSink = 0x80;
  void* hitSource;
  void* hitSinks;  // the source's sink array, capacity 4
  // An effect-art form (a BGSProjectile: TESModel at +0x40, fade duration
  // 1.5 at +0xc4), a spell, and a form list of two spells and a null
  // (capacity 4).
  static constexpr uint32_t kEffectArtId = 0x12000ABC;
  static constexpr uint32_t kFormListId = 0x12000CF4;
  void* effectArt;
  void* spell;
  void* formList;
  void* formListArray;
  // A hit event on the player, and a menu event naming "Console".
  void* hitEvent;
  void* menuEvent;
  // What a moved layout may leave at the effect art's +0x40: the vtable of
  // its BGSPreloadable part (+0x68), and a vtable for +0x40 of a projectile
  // whose TESModel lies elsewhere.
  uintptr_t preloadablePartVtable;
  uintptr_t modelElsewhereVtable;
  // A second type descriptor named like TESWeather's, and a weather of it.
  uintptr_t twinWeatherDescriptor;
  void* twinWeather;

  void* skyHolder;
  void* playerHolder;
  void* scriptVmHolder;
  void* dataRegistryHolder;

  template <typename T>
  static void Put(void* object, ptrdiff_t offset, T value) {
    std::atomic_ref<T>(*reinterpret_cast<T*>(static_cast<uint8_t*>(object) + offset)).store(value);
  }

  // What a moved field may hold instead: a new object whose first word
  // (0x1d0c0) points outside the image, a page no one may read, a new sky.
  void* NotAnObject() { return NewObject(0x1d0c0); }
  void* Unreadable() const { return unreadable_; }
  void* AnotherSky() { return NewObject(skyVtable_); }

  const NimbrelVR::game::TypeScope& scope() const { return scope_; }
  uintptr_t imageBase() const { return scope_.imageBase; }

  // The engine's functions, counted since the game was built (or Reset).
  enum Call {
    FormFromId,
    DynamicCast,
    SkyGetSingleton,
    CellAttached,
    SpellCast,
    MoveTo,
    ImodApply,
    ImodRemove,
    kCalls
  };
  static int Calls(Call call);
  static int EngineCalls();
  static void ResetCalls();
  // Runs inside CellAttached, for a strike in the middle of an engine call.
  static void (*duringCellAttached)();

 private:
  void* NewObject(uintptr_t vtable);

  std::vector<std::unique_ptr<uint64_t[]>> objects_;
  std::unique_ptr<uint64_t[]> image_;
  void* unreadable_;
  uintptr_t skyVtable_;
  NimbrelVR::game::TypeScope scope_;
  NimbrelVR::game::EngineBinding before_;
};

}  // namespace testsupport
