// A game the plug-in's checked reads can follow, laid out in this process
// without the game double: an image (a buffer) holding the run-time type
// information of the classes the plug-in checks, one object of each on the
// heap whose first word is its class's vtable, the fields between them as the
// plug-in reads them, the holders, and engine functions that count their
// calls. Building it installs a binding that points at all of it and makes
// the buffer the checks' image; destroying it puts back what was there.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "game/engine_binding.h"
#include "game/type_check.h"
#include "support/fake_rtti.h"

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

  static constexpr size_t kObjectSize = 0x1000;
  static constexpr int kWeathers = 6;

  // A world with the player outside, under a thunderstorm (rainy, frequency
  // 30) turning from a clear sky at transition 0.5, at 14:00.
  void* sky;
  void* weathers[kWeathers];  // [0] the storm, [1] a clear weather; all rainy, in the data registry
  void* player;
  void* loaded3D;  // the player's loaded 3D state: no vtable
  void* rootNode;
  void* cell;
  void* worldspace;
  void* scriptVm;
  void* scriptMachine;
  void* dataRegistry;  // no vtable either

  // The holders the binding points at.
  void* skyHolder = nullptr;
  void* playerHolder = nullptr;
  void* scriptVmHolder = nullptr;
  void* dataRegistryHolder = nullptr;

  // Writes `value` at `object` + `offset`, as the game would.
  template <typename T>
  static void Put(void* object, ptrdiff_t offset, T value) {
    std::atomic_ref<T>(*reinterpret_cast<T*>(static_cast<uint8_t*>(object) + offset)).store(value);
  }

  // Things that are not what a field should hold: a new object whose first
  // word points outside the image, and a page no one may read.
  void* NotAnObject();
  void* Unreadable() const { return unreadable_; }
  // A new object of class Sky, for a field that should hold another class.
  void* AnotherSky();

  // The image, for the line's expectations.
  const NimbrelVR::game::TypeScope& scope() const { return scope_; }
  uint32_t runtime() const { return binding_.runtime; }

  // Calls of the engine's functions since the game was built (or Reset).
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
  static int EngineCalls();  // every kind
  static void ResetCalls();
  // Runs inside CellAttached, for tests that stand down while a strike is in
  // an engine call.
  static void (*duringCellAttached)();

 private:
  void* NewObject(uintptr_t vtable);

  std::vector<std::unique_ptr<uint64_t[]>> objects_;
  std::unique_ptr<uint64_t[]> image_;
  void* unreadable_ = nullptr;
  NimbrelVR::game::TypeScope scope_{};
  std::unique_ptr<RttiWriter> writer_;
  uintptr_t skyVtable_ = 0;
  NimbrelVR::game::EngineBinding before_{};
  NimbrelVR::game::EngineBinding binding_{};
};

}  // namespace testsupport
