// Hits and actions that slow the storm for two seconds.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "events/combat_pause.h"
#include "support/in_process.h"
#include "support/threads.h"

using namespace NimbrelVR;
using namespace std::chrono;

namespace {

// 2000 ms of pause take 2000 / 40 = 50 ms of wall time.
constexpr double kTimeScale = 40.0;

class CombatPause : public ::testing::Test {
 protected:
  CombatPause() : world_(Options()) {}
  static nimbrel_sim::Options Options() {
    nimbrel_sim::Options options;
    options.timeScale = kTimeScale;
    return options;
  }
  void SetUp() override { world_.StartWithDefaults(); }
  nimbrel_sim::GameDouble& game() { return world_.game(); }
  uint32_t ASpell() { return game().data().pluginFormId(0x900); }
  static bool Paused() { return gCombatPause->pauseFlag.load() != 0; }
  // Waits until the flag reads `set`, at most `limit`.
  static bool AwaitFlag(bool set, milliseconds limit) {
    const auto deadline = steady_clock::now() + limit;
    while (steady_clock::now() < deadline) {
      if (Paused() == set) return true;
      std::this_thread::sleep_for(microseconds(200));
    }
    return Paused() == set;
  }

  testsupport::InProcessGame world_;
};

}  // namespace

TEST_F(CombatPause, ASpellHittingThePlayerPausesForTwoSeconds) {
  const auto start = steady_clock::now();
  game().world().sendHitEvent(true, ASpell());
  ASSERT_TRUE(AwaitFlag(true, milliseconds(2000)));
  EXPECT_EQ(testsupport::CountThreads("nb-pause"), 1);
  ASSERT_TRUE(AwaitFlag(false, milliseconds(5000)));
  const double simulatedMs = duration<double, std::milli>(steady_clock::now() - start).count() * kTimeScale;
  EXPECT_GE(simulatedMs, 1900.0);
  EXPECT_LE(simulatedMs, 20000.0);
  EXPECT_TRUE(game().checks().ok()) << ::testing::PrintToString(game().checks().failures());
}

TEST_F(CombatPause, WeaponsAndOtherActorsDoNotPause) {
  game().world().sendHitEvent(true, 0x00012EB7);  // a weapon of the game's own file
  game().world().sendHitEvent(false, ASpell());   // another actor struck by a spell
  game().world().sendActionEvent(2, false);       // another actor's action
  for (uint32_t type : {0u, 4u, 5u, 0xFFFFFFFFu}) game().world().sendActionEvent(type, true);
  EXPECT_FALSE(AwaitFlag(true, milliseconds(100)));
  EXPECT_TRUE(game().checks().ok()) << ::testing::PrintToString(game().checks().failures());
}

TEST_F(CombatPause, PlayerActionsOfTypesOneToThreePause) {
  for (uint32_t type : {1u, 2u, 3u}) {
    game().world().sendActionEvent(type, true);
    ASSERT_TRUE(AwaitFlag(true, milliseconds(2000))) << type;
    ASSERT_TRUE(AwaitFlag(false, milliseconds(5000))) << type;
  }
}

TEST_F(CombatPause, EventsDuringAPauseDoNotExtendIt) {
  game().world().sendActionEvent(1, true);
  ASSERT_TRUE(AwaitFlag(true, milliseconds(2000)));
  const auto set = steady_clock::now();
  game().world().sendActionEvent(2, true);
  game().world().sendHitEvent(true, ASpell());
  ASSERT_TRUE(AwaitFlag(false, milliseconds(5000)));
  const double heldMs = duration<double, std::milli>(steady_clock::now() - set).count() * kTimeScale;
  EXPECT_LE(heldMs, 2000.0 + 30.0 * kTimeScale);  // one pause, not three
  EXPECT_FALSE(AwaitFlag(true, milliseconds(60)));
}

TEST(CombatPauseThreads, PausesThatPassedTheFirstTestRunOneAfterTheOther) {
  setenv("NIMBREL_TIME_SCALE", "40", 1);
  std::atomic<bool> done{false};
  std::atomic<int> sets{0};
  // Watches the flag: each rising edge is one pause.
  std::thread watcher([&] {
    bool last = false;
    while (!done.load()) {
      const bool now = gCombatPause->pauseFlag.load() != 0;
      if (now && !last) ++sets;
      last = now;
      std::this_thread::sleep_for(microseconds(100));
    }
  });
  const auto start = steady_clock::now();
  std::thread first(HoldCombatPause);
  std::thread second(HoldCombatPause);
  first.join();
  second.join();
  const double simulatedMs = duration<double, std::milli>(steady_clock::now() - start).count() * 40.0;
  done = true;
  watcher.join();
  EXPECT_FALSE(gCombatPause->pauseFlag.load());
  EXPECT_GE(simulatedMs, 3900.0);  // two whole pauses, never overlapping
  EXPECT_LE(simulatedMs, 4000.0 + 100.0 * 40.0);
  EXPECT_GE(sets.load(), 1);
  EXPECT_LE(sets.load(), 2);  // the gap between them may be too short to see
}

TEST(CombatPauseThreads, AThreadThatFindsThePauseRunningEndsAtOnce) {
  setenv("NIMBREL_TIME_SCALE", "40", 1);
  gCombatPause->pauseFlag.exchange(1);
  const auto start = steady_clock::now();
  RunCombatPause();
  const double tookMs = duration<double, std::milli>(steady_clock::now() - start).count();
  EXPECT_LT(tookMs, 40.0);
  EXPECT_TRUE(gCombatPause->pauseFlag.load());
  gCombatPause->pauseFlag.exchange(0);
}
