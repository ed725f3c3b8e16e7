// What data-ready and a saved-game load leave in the shared lightning state.
#include <gtest/gtest.h>

#include "lightning/lightning_state.h"
#include "plugin/host.h"
#include "settings/settings.h"
#include "support/in_process.h"

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
  EXPECT_EQ(gLightningState.minLightningFrequency.load(), 30);  // the default data's thunderstorm
  EXPECT_EQ(gLightningState.weatherLightningFreq.load(), 255);
  OnGameLoaded();
  EXPECT_EQ(gLightningState.minLightningFrequency.load(), 30);  // compatibility off: unchanged
}

TEST_F(Lifecycle, CompatibilityModeSetsFloorsOfOneHundredThenFifty) {
  Set(IntSetting::CompatibilityMode, 1);
  OnDataReady();
  EXPECT_EQ(gLightningState.minLightningFrequency.load(), 100);
  EXPECT_EQ(gLightningState.weatherLightningFreq.load(), 255);
  EXPECT_EQ(world_.Log().find("Min Lightning Frequency is"), std::string::npos);
  OnGameLoaded();
  EXPECT_EQ(gLightningState.minLightningFrequency.load(), 50);
  // Turning the mode off does not bring the scanned floor back.
  Set(IntSetting::CompatibilityMode, 0);
  OnGameLoaded();
  EXPECT_EQ(gLightningState.minLightningFrequency.load(), 50);
}

TEST_F(Lifecycle, MessageTwoStopsTheEffectsLoops) {
  gLightningState.effectsRunning.exchange(1);
  HostMessage message{"SKSE", 2, 0, nullptr};
  OnHostMessage(&message);
  EXPECT_EQ(gLightningState.effectsRunning.load(), 0);
}
