// One pass of the effects loop at a time: waits, chains and the index walk.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>
#include <vector>

#include "events/combat_pause.h"
#include "game/plugin_forms.h"
#include "lightning/effects_loop.h"
#include "lightning/lightning_state.h"
#include "platform/platform.h"
#include "settings/settings.h"

using namespace NimbrelVR;

namespace {

struct Launch {
  bool chain;
  LightningType type;
  std::vector<uint32_t> casters;
  std::vector<uint32_t> targets;
  int count;
};

std::vector<Launch> gLaunches;

void RecordSingle(LightningType type, const FormSequence*, const FormSequence*, uint32_t caster, uint32_t target) {
  gLaunches.push_back({false, type, {caster}, {target}, 1});
}
void RecordChain(std::vector<uint32_t> casters, std::vector<uint32_t> targets, int count) {
  gLaunches.push_back({true, Sheet, std::move(casters), std::move(targets), count});
}

const StrikeLauncher kRecorder{&RecordSingle, &RecordChain};

// Stand-ins for references: the loop only tests them for null.
int gRefs[8];

FormSequence Refs(size_t n) {
  FormSequence refs;
  for (size_t i = 0; i < n; ++i) refs.push_back(&gRefs[i]);
  return refs;
}

class EffectsLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    gLaunches.clear();
    gPluginForms->sheetCasters = Refs(3);
    gPluginForms->sheetTargets = Refs(2);
    gPluginForms->forkCasters = Refs(3);
    gPluginForms->forkTargets = Refs(2);
    BeginEffectsWindow();
    state_.window = CurrentEffectsWindow();
    gLightningState->minLightningFrequency.store(20);
    gLightningState->weatherLightningFreq.exchange(20);
    gCombatPause->pauseFlag.exchange(0);
  }
  // The waits of `passes` passes, each followed by its launch.
  std::vector<uint32_t> Waits(LightningType type, int passes) {
    std::vector<uint32_t> waits;
    uint32_t wait = 0;
    for (int i = 0; i < passes && NextWait(type, state_, &wait); ++i) {
      waits.push_back(wait);
      LaunchStrike(type, state_, kRecorder);
    }
    return waits;
  }

  EffectsLoopState state_;
};

}  // namespace

TEST_F(EffectsLoop, AtTheMostFrequentWeatherTheWaitIsAboutOneOverTheRate) {
  Set(FloatSetting::ChainLightningPercentage, 0.0f);
  for (uint32_t wait : Waits(Fork, 300)) {
    ASSERT_GE(wait, 16u);
    ASSERT_LE(wait, 24u);
  }
}

TEST_F(EffectsLoop, RarerWeatherStretchesTheWait) {
  gLightningState->weatherLightningFreq.exchange(200);  // ratio 235 / 55
  for (uint32_t wait : Waits(Fork, 300)) {
    ASSERT_GE(wait, 68u);
    ASSERT_LE(wait, 102u);
  }
}

TEST_F(EffectsLoop, DuringACombatPauseTheSlowRatesApply) {
  gCombatPause->pauseFlag.exchange(1);
  Set(FloatSetting::ChainLightningPercentage, 0.0f);
  for (uint32_t wait : Waits(Sheet, 200)) {
    ASSERT_GE(wait, 266u);
    ASSERT_LE(wait, 400u);
  }
  for (uint32_t wait : Waits(Fork, 200)) {
    ASSERT_GE(wait, 400u);
    ASSERT_LE(wait, 600u);
  }
}

TEST_F(EffectsLoop, WithoutPublishedLightningTheLastWaitRepeatsAndNothingStrikes) {
  gLightningState->weatherLightningFreq.exchange(255);
  EXPECT_EQ(Waits(Fork, 3), (std::vector<uint32_t>{400, 400, 400}));
  EXPECT_TRUE(gLaunches.empty());
  gLightningState->weatherLightningFreq.exchange(20);
  uint32_t computed = 0;
  ASSERT_TRUE(NextWait(Fork, state_, &computed));
  gLightningState->weatherLightningFreq.exchange(255);
  uint32_t repeated = 0;
  ASSERT_TRUE(NextWait(Fork, state_, &repeated));
  EXPECT_EQ(repeated, computed);
}

TEST_F(EffectsLoop, SinglesWalkBothListsAndWrapOnTheirOwn) {
  Waits(Fork, 7);
  std::vector<std::pair<uint32_t, uint32_t>> pairs;
  for (const Launch& launch : gLaunches) {
    ASSERT_FALSE(launch.chain);
    pairs.emplace_back(launch.casters[0], launch.targets[0]);
  }
  EXPECT_EQ(pairs,
            (std::vector<std::pair<uint32_t, uint32_t>>{{0, 0}, {1, 1}, {2, 0}, {0, 1}, {1, 0}, {2, 1}, {0, 0}}));
}

TEST_F(EffectsLoop, ForkLoopsNeverChain) {
  Set(FloatSetting::ChainLightningPercentage, 100.0f);
  Waits(Fork, 20);
  for (const Launch& launch : gLaunches) EXPECT_FALSE(launch.chain);
}

TEST_F(EffectsLoop, AHundredPercentAlwaysChainsAndZeroNever) {
  Set(FloatSetting::ChainLightningPercentage, 100.0f);
  Waits(Sheet, 20);
  ASSERT_EQ(gLaunches.size(), 20u);
  for (const Launch& launch : gLaunches) EXPECT_TRUE(launch.chain);
  gLaunches.clear();
  Set(FloatSetting::ChainLightningPercentage, 0.0f);
  Waits(Sheet, 20);
  for (const Launch& launch : gLaunches) EXPECT_FALSE(launch.chain);
  gLaunches.clear();
  Set(FloatSetting::ChainLightningPercentage, std::nanf(""));
  Waits(Sheet, 20);
  for (const Launch& launch : gLaunches) EXPECT_FALSE(launch.chain);
}

TEST_F(EffectsLoop, AChainTakesConsecutiveIndicesAndLengthensTheNextWait) {
  Set(FloatSetting::ChainLightningPercentage, 100.0f);
  Set(IntSetting::MinChainChildAmount, 4);
  Set(IntSetting::MaxChainChildAmount, 4);
  state_.casterIndex = 2;
  state_.targetIndex = 0;
  uint32_t wait = 0;
  ASSERT_TRUE(NextWait(Sheet, state_, &wait));
  LaunchStrike(Sheet, state_, kRecorder);
  ASSERT_EQ(gLaunches.size(), 1u);
  EXPECT_EQ(gLaunches[0].count, 4);
  EXPECT_EQ(gLaunches[0].casters, (std::vector<uint32_t>{2, 0, 1, 2}));
  EXPECT_EQ(gLaunches[0].targets, (std::vector<uint32_t>{0, 1, 0, 1}));
  EXPECT_EQ(state_.casterIndex, 0u);
  EXPECT_EQ(state_.targetIndex, 0u);
  // The next wait is four times a normal one, the one after normal again.
  ASSERT_TRUE(NextWait(Sheet, state_, &wait));
  EXPECT_GE(wait, 4u * 16u);
  EXPECT_LE(wait, 4u * 24u);
  Set(FloatSetting::ChainLightningPercentage, 0.0f);
  LaunchStrike(Sheet, state_, kRecorder);
  ASSERT_TRUE(NextWait(Sheet, state_, &wait));
  EXPECT_LE(wait, 24u);
}

TEST_F(EffectsLoop, ChainsHaveAtLeastTwoStrikes) {
  Set(FloatSetting::ChainLightningPercentage, 100.0f);
  for (auto [max, min] : {std::pair{1, 0}, std::pair{-1, 0}, std::pair{4, 5}}) {
    Set(IntSetting::MaxChainChildAmount, max);
    Set(IntSetting::MinChainChildAmount, min);
    gLaunches.clear();
    Waits(Sheet, 10);
    for (const Launch& launch : gLaunches) {
      EXPECT_EQ(launch.count, 2) << max << " " << min;
      EXPECT_EQ(launch.casters.size(), 2u);
    }
  }
}

TEST_F(EffectsLoop, NullEntriesSkipTheStrikeButTheIndicesStillAdvance) {
  gPluginForms->forkCasters[1] = nullptr;
  Waits(Fork, 3);
  ASSERT_EQ(gLaunches.size(), 2u);
  EXPECT_EQ(gLaunches[1].casters[0], 2u);
  EXPECT_EQ(gLaunches[1].targets[0], 0u);
}

TEST_F(EffectsLoop, EmptyListsAreNeverIndexedAndTheLoopKeepsWaiting) {
  gPluginForms->forkCasters.clear();
  gPluginForms->sheetTargets.clear();
  Set(FloatSetting::ChainLightningPercentage, 100.0f);
  EXPECT_EQ(Waits(Fork, 5).size(), 5u);
  EXPECT_EQ(Waits(Sheet, 5).size(), 5u);
  EXPECT_TRUE(gLaunches.empty());
}

TEST_F(EffectsLoop, TheLoopEndsWhenEffectsStopOrItsRateIsNotPositive) {
  EffectsLoopState state;
  Set(FloatSetting::SheetFrequency, 0.0f);
  EXPECT_FALSE(BeginEffectsLoop(Sheet, state));
  EXPECT_TRUE(BeginEffectsLoop(Fork, state));
  EXPECT_FALSE(BeginEffectsLoop(static_cast<LightningType>(7), state));
  uint32_t wait = 0;
  EXPECT_TRUE(NextWait(Fork, state, &wait));
  Set(FloatSetting::ForkFrequency, -3.0f);
  EXPECT_FALSE(NextWait(Fork, state, &wait));
  Set(FloatSetting::ForkFrequency, std::nanf(""));
  EXPECT_FALSE(NextWait(Fork, state, &wait));
  Set(FloatSetting::ForkFrequency, 50.0f);
  gLightningState->effectsRunning.exchange(0);
  EXPECT_FALSE(NextWait(Fork, state, &wait));
}

TEST_F(EffectsLoop, ATinyRateGivesTheLongestWaitInsteadOfOverflowing) {
  Set(FloatSetting::ForkFrequency, 1e-30f);
  uint32_t wait = 0;
  ASSERT_TRUE(NextWait(Fork, state_, &wait));
  EXPECT_EQ(wait, 2147483647u);
  state_.multiplier = 4;
  ASSERT_TRUE(NextWait(Fork, state_, &wait));
  EXPECT_EQ(wait, 0xFFFFFFFFu);  // a chain's multiple saturates too
}

TEST_F(EffectsLoop, NoWaitIsShorterThanOneFrame) {
  Set(FloatSetting::ForkFrequency, 100000.0f);
  for (uint32_t wait : Waits(Fork, 50)) ASSERT_EQ(wait, kMinLaunchWaitMs);
  gLightningState->weatherLightningFreq.exchange(254);  // the longest ratio: still a 0 ms draw
  for (uint32_t wait : Waits(Fork, 50)) ASSERT_EQ(wait, kMinLaunchWaitMs);
}

TEST_F(EffectsLoop, ALoopWhoseWindowEndedStopsEvenOnceEffectsAreBackOn) {
  uint32_t wait = 0;
  ASSERT_TRUE(NextWait(Fork, state_, &wait));
  EndEffectsWindow();  // a saved-game load or a short menu visit
  BeginEffectsWindow();
  EXPECT_FALSE(NextWait(Fork, state_, &wait));
  EXPECT_FALSE(SleepInWindow(60000, state_.window));  // at once, not after a minute
  EXPECT_FALSE(SleepUntil(platform::MonotonicMs() + 60000.0, Fork, state_));
  // A loop of the new window goes on.
  EffectsLoopState fresh;
  ASSERT_TRUE(BeginEffectsLoop(Fork, fresh));
  EXPECT_TRUE(NextWait(Fork, fresh, &wait));
}

TEST_F(EffectsLoop, ALongWaitEndsSoonAfterItsWindow) {
  // The loop's sleep before a launch, and the sliced one of a loop waiting for its predecessor.
  for (const bool sliced : {false, true}) {
    EffectsLoopState state;
    ASSERT_TRUE(BeginEffectsLoop(Fork, state));
    const auto start = std::chrono::steady_clock::now();
    std::thread ender([] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      EndEffectsWindow();
      BeginEffectsWindow();
    });
    const bool slept =
        sliced ? SleepInWindow(60000, state.window) : SleepUntil(platform::MonotonicMs() + 60000.0, Fork, state);
    const double took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    ender.join();
    EXPECT_FALSE(slept) << sliced;
    EXPECT_GE(took, 100.0);
    EXPECT_LT(took, 100.0 + 20 * kLoopSleepSliceMs);  // a slice or so, with room for a busy machine
  }
}

TEST_F(EffectsLoop, AnEndRequestStopsTheRunningLoopAtOnceButNotItsSuccessor) {
  uint32_t wait = 0;
  ASSERT_TRUE(BeginEffectsLoop(Fork, state_));
  ASSERT_TRUE(NextWait(Fork, state_, &wait));
  EffectsLoopState sheet;
  ASSERT_TRUE(BeginEffectsLoop(Sheet, sheet));
  std::thread ender([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EndEffectsLoop(Fork);
  });
  const auto start = std::chrono::steady_clock::now();
  const bool slept = SleepUntil(platform::MonotonicMs() + 60000.0, Fork, state_);
  const double took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  ender.join();
  EXPECT_FALSE(slept);
  EXPECT_LT(took, 100.0 + 20 * kLoopSleepSliceMs);
  EXPECT_FALSE(NextWait(Fork, state_, &wait));
  EXPECT_TRUE(NextWait(Sheet, sheet, &wait));  // the other kind goes on
  EffectsLoopState fresh;
  ASSERT_TRUE(BeginEffectsLoop(Fork, fresh));
  EXPECT_TRUE(NextWait(Fork, fresh, &wait));
}

// The loop's pacing against a clock that wakes it `late` ms after each due
// time; returns the launch times.
std::vector<double> PaceLaunches(const std::vector<uint32_t>& waits, double (*wake)(double due, size_t pass)) {
  EffectsLoopState state;
  state.dueMs = 1000.0;
  std::vector<double> launches;
  for (size_t i = 0; i < waits.size(); ++i) {
    const double now = wake(LaunchDueMs(state, waits[i]), i);
    RecordLaunch(state, waits[i], now);
    launches.push_back(now);
  }
  return launches;
}

TEST(LaunchPacing, LateWakesKeepTheScheduleAndAHitchNeverBringsABurst) {
  std::vector<uint32_t> waits;
  double total = 0;
  for (int i = 0; i < 3000; ++i) {
    waits.push_back(16 + static_cast<uint32_t>(i * 7 % 9));  // 16 to 24 ms
    total += waits.back();
  }
  // A hitch of 2 s before launch 100: that launch comes at once, the next a
  // whole wait later, and the schedule goes on from there.
  auto hitch = [](double due, size_t pass) { return pass == 100 ? due + 2000.0 : due; };
  std::vector<double> at = PaceLaunches(waits, hitch);
  const double after = at[100];
  EXPECT_EQ(std::count_if(at.begin(), at.end(), [&](double t) { return t >= after && t < after + 16.0; }), 1);
  EXPECT_DOUBLE_EQ(at[101], after + waits[101]);
  double expected = 0;
  for (size_t i = 102; i <= 200; ++i) expected += waits[i];
  EXPECT_DOUBLE_EQ(at[200] - at[101], expected);

  // Woken 15 ms late every other time: the late launch comes at once, the
  // next still on time but never within 8 ms of it.
  auto lateEveryOther = [](double due, size_t pass) { return pass % 2 ? due + 15.0 : due; };
  at = PaceLaunches(waits, lateEveryOther);
  EXPECT_NEAR((at.back() - 1000.0) / total, 1.0, 0.005);
  for (size_t i = 1; i < at.size(); ++i) ASSERT_GE(at[i] - at[i - 1], kMinLaunchGapMs);
}

// The loop thread itself stalls for 2 s inside a launch (a hitch, a starved
// CPU): afterwards it launches once at once, and the next a whole wait later.
std::vector<double> gLaunchTimes;
double gStallEnd = 0;
void StallOnce(LightningType, const FormSequence*, const FormSequence*, uint32_t, uint32_t) {
  gLaunchTimes.push_back(platform::MonotonicMs());
  if (gLaunchTimes.size() == 20) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    gStallEnd = platform::MonotonicMs();
  }
  if (gLaunchTimes.size() == 60) EndEffectsWindow();
}

TEST_F(EffectsLoop, AfterAHitchOfTheLoopItLaunchesOnceAndGoesOnAtItsRate) {
  Set(FloatSetting::ChainLightningPercentage, 0.0f);
  RunEffectsLoop(Fork, StrikeLauncher{&StallOnce, &RecordChain});
  ASSERT_EQ(gLaunchTimes.size(), 60u);
  EXPECT_LE(std::count_if(gLaunchTimes.begin(), gLaunchTimes.end(),
                          [](double t) { return t >= gStallEnd && t < gStallEnd + 16.0; }),
            1);
  // 39 waits of 16 to 24 ms after it; a busy machine only stretches them.
  EXPECT_GE(gLaunchTimes.back() - gLaunchTimes[20], 39 * 16.0);
}
