// The checked reads' tests' game: the fake game (tests/support/fake_game),
// the log in a folder of its own, the stand-down's hook as the load hands it
// in, the lines a stand-down writes, and the reads as lightning makes them.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "game/checked_reads.h"
#include "game/hit_source.h"
#include "game/layout.h"
#include "game/stand_down.h"
#include "lightning/effects_loop.h"
#include "lightning/lightning_state.h"
#include "lightning/storm_policy.h"
#include "lightning/strike_execution.h"
#include "lightning/tasks.h"
#include "lightning/weather_monitor.h"
#include "log/debug_log.h"
#include "settings/settings.h"
#include "support/fake_game.h"
#include "support/temp_dir.h"

namespace checked_test {

using namespace NimbrelVR;
using namespace NimbrelVR::game;
using testsupport::FakeGame;

#if NIMBREL_EDITION_VR
inline constexpr const char* kRuntime = "1.4.15.1";
inline constexpr const char* kSkyField = "the sky (from its holder)";
inline constexpr const char* kWorldspaceField = "the cell's worldspace (+0x120)";
inline constexpr const char* kMachineField = "the script VM object's script machine (+0x200)";
#else
inline constexpr const char* kRuntime = "1.7.99 (Steam)";
inline constexpr const char* kSkyField = "the sky (from the engine's accessor)";
inline constexpr const char* kWorldspaceField = "the cell's worldspace (+0x128)";
inline constexpr const char* kMachineField = "the script VM object's script machine (+0x210)";
#endif

inline std::string Hex(const void* address) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(address)));
  return text;
}

inline std::string FirstLine(const std::string& field, const std::string& expected, const std::string& found) {
  return std::string("Runtime ") + kRuntime + " is not laid out as this build expects: " + field + " should hold " +
         expected + ", but holds " + found + ".";
}

inline std::string SecondLine() {
  return std::string(
             "Lightning stands down for this game session; the game goes on without it. Please report runtime ") +
         kRuntime + " and the line above.";
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The fake game, the log in a folder of its own, and the stand-down's hook as
// the load hands it in.
class Checked : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.path() + "/NimbrelPlugin.log";
    IDebugLog::OpenLogFile(path_.c_str());
    SetStandDownHook(&EndEffectsForStandDown);
  }
  std::string Log() const { return testsupport::ReadFile(path_); }
  // The stand-down's lines in the log, in order.
  std::vector<std::string> StandDownLines() const {
    std::vector<std::string> found;
    for (const std::string& line : Lines(Log()))
      if (line.starts_with("Runtime ") || line.starts_with("Lightning stands down")) found.push_back(line);
    return found;
  }

  testsupport::TempDir dir_;
  std::string path_;
  FakeGame game_;
};

// Reads as lightning makes them. A failed one gives no object.
inline bool Gives(bool ok, const void* object) {
  EXPECT_TRUE(ok || !object) << "a failed read gives an object";
  return ok;
}
inline bool ReadTheSky(FakeGame&) {
  void* sky = &sky;
  const bool ok = CheckedSky(&sky);
  return Gives(ok, sky);
}
inline bool ReadWeathers(FakeGame& g) {
  void *current, *outgoing;
  return CheckedSkyWeathers(g.sky, &current, &outgoing);
}
inline bool ReadTime(FakeGame& g) {
  float hour, transition;
  return CheckedSkyTime(g.sky, &hour, &transition);
}
inline bool ReadPlayer(FakeGame&) {
  void* player;
  return CheckedPlayer(&player);
}
inline bool ReadCell(FakeGame& g) {
  void* cell = &cell;
  const bool ok = CheckedPlayerCell(g.player, &cell);
  return Gives(ok, cell);
}
inline bool ReadWorldspace(FakeGame& g) {
  void* worldspace;
  return CheckedCellWorldspace(g.cell, &worldspace);
}
inline bool ReadRootNode(FakeGame& g) {
  void* node;
  return CheckedPlayerRootNode(g.player, &node, Holding::WorldAccess);
}
inline bool ReadRegistry(FakeGame&) {
  void* registry;
  return CheckedScriptRegistry(&registry);
}
inline bool ReadAllWeathers(FakeGame&) {
  std::span<void* const> weathers;
  return CheckedAllWeathers(&weathers);
}
inline bool ReadModel(FakeGame& g) {
  void* component;
  return CheckedModelComponent(g.effectArt, FakeGame::kEffectArtId, &component);
}
inline bool WriteFade(FakeGame& g) { return CheckedSetFadeDuration(g.effectArt, FakeGame::kEffectArtId, 2.0f); }
inline bool ReadFormList(FakeGame& g) {
  std::span<void* const> entries;
  return CheckedFormListEntries(g.formList, FakeGame::kFormListId, &entries);
}
inline bool ReadHitTarget(FakeGame& g) {
  void* target;
  return CheckedHitTarget(g.hitEvent, &target);
}
inline bool ReadMenuName(FakeGame& g) {
  const char* name;
  return CheckedMenuName(g.menuEvent, &name);
}
inline bool ReadPosition(FakeGame& g) {
  Position position;
  return CheckedNodePosition(g.rootNode, &position);
}
inline bool LookAtTheHitSource(FakeGame& g) { return LookAtHitSource(g.hitSource) != HitSourceLook::StoodDown; }

inline std::string ImageOffset(const FakeGame& g, uintptr_t address) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(address - g.imageBase()));
  return text;
}

}  // namespace checked_test
