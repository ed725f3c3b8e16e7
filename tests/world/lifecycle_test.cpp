// What data-ready and a saved-game load leave in the shared lightning state.
#include <gtest/gtest.h>

#include <cstdlib>

#include "lightning/lightning_state.h"
#include "plugin/host.h"
#include "settings/settings.h"
#include "support/in_process.h"
#include "support/threads.h"
#include "support/trace_query.h"

using namespace NimbrelVR;

namespace {

// Without the plug-in's data file no monitor thread starts, so the state is
// the handlers' alone.
class Lifecycle : public ::testing::Test {
 protected:
  void SetUp() override { world_.StartWithDefaults(nimbrel_sim::DataSet{.pluginLoaded = false}); }
  testsupport::InProcessGame world_;
};

}  // namespace

TEST_F(Lifecycle, DataReadyScansForTheFloorAndPublishesNoLightning) {
  OnDataReady();
  EXPECT_EQ(gLightningState->minLightningFrequency.load(), 30);  // the default data's thunderstorm
  EXPECT_EQ(gLightningState->weatherLightningFreq.load(), 255);
  OnGameLoaded();
  EXPECT_EQ(gLightningState->minLightningFrequency.load(), 30);  // compatibility off: unchanged
}

TEST_F(Lifecycle, CompatibilityModeSetsFloorsOfOneHundredThenFifty) {
  Set(IntSetting::CompatibilityMode, 1);
  OnDataReady();
  EXPECT_EQ(gLightningState->minLightningFrequency.load(), 100);
  EXPECT_EQ(gLightningState->weatherLightningFreq.load(), 255);
  EXPECT_EQ(world_.Log().find("Min Lightning Frequency is"), std::string::npos);
  OnGameLoaded();
  EXPECT_EQ(gLightningState->minLightningFrequency.load(), 50);
  // Turning the mode off does not bring the scanned floor back.
  Set(IntSetting::CompatibilityMode, 0);
  OnGameLoaded();
  EXPECT_EQ(gLightningState->minLightningFrequency.load(), 50);
}

TEST_F(Lifecycle, MessageTwoEndsTheEffectsWindow) {
  BeginEffectsWindow();
  const uint32_t window = CurrentEffectsWindow();
  HostMessage message{"SKSE", 2, 0, nullptr};
  OnHostMessage(&message);
  EXPECT_EQ(gLightningState->effectsRunning.load(), 0);
  BeginEffectsWindow();  // on again after the load: still not the old window
  EXPECT_FALSE(EffectsWindowOpen(window));
  EXPECT_TRUE(EffectsWindowOpen(CurrentEffectsWindow()));
}

TEST(LifecycleWithoutThreads, AMonitorThatCannotStartIsLoggedAndDataReadyGoesOn) {
  testsupport::InProcessGame world;
  world.StartWithDefaults();
  ::setenv("NIMBREL_REFUSE_THREADS", "nb-loop-sheet,nb-monitor", 1);
  OnDataReady();
  ::unsetenv("NIMBREL_REFUSE_THREADS");
  const std::string log = world.Log();
  EXPECT_TRUE(testsupport::HasLine(log, "Could not start the weather monitor thread. No lightning this session."))
      << log;
  EXPECT_TRUE(testsupport::HasLine(log, "Min Lightning Frequency is 30"));
  EXPECT_EQ(gLightningState->weatherLightningFreq.load(), 255);
  EXPECT_EQ(testsupport::CountThreads("nb-monitor"), 0);
}
