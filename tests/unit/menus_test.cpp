#include <gtest/gtest.h>

#include <set>
#include <string>

#include "events/menus.h"

using namespace NimbrelVR;

TEST(MenuRecord, OpenCloseIsRecordedWithoutCounting) {
  EXPECT_FALSE(IsMenuOpen("MapMenu"));
  RecordMenuEvent("MapMenu", true);
  EXPECT_TRUE(IsMenuOpen("MapMenu"));
  RecordMenuEvent("MapMenu", false);
  EXPECT_FALSE(IsMenuOpen("MapMenu"));
  RecordMenuEvent("MapMenu", true);
  RecordMenuEvent("MapMenu", true);
  RecordMenuEvent("MapMenu", false);
  EXPECT_FALSE(IsMenuOpen("MapMenu"));
}

TEST(MenuRecord, UnknownNamesAndOtherLetterCaseChangeNothing) {
  RecordMenuEvent("inventorymenu", true);
  RecordMenuEvent("Some Mod Menu", true);
  EXPECT_FALSE(IsMenuOpen("InventoryMenu"));
  EXPECT_FALSE(IsMenuOpen("inventorymenu"));
  EXPECT_FALSE(IsMenuOpen("Some Mod Menu"));
  EXPECT_EQ(FirstOpenPauseMenu(), nullptr);
}

TEST(MenuRecord, TrackedMenusThatDoNotPauseAreRecordedButNeverHoldTheMonitor) {
  for (const char* name :
       {"Dialogue Menu", "Fader Menu", "HUD Menu", "Overlay Interaction Menu", "Overlay Menu", "StatsMenu",
        "TitleSequence Menu", "Top Menu", "WSEnemyMeters", "WSDebugOverlay", "WSActivateRollover", "LoadWaitSpinner"}) {
    RecordMenuEvent(name, true);
    EXPECT_TRUE(IsMenuOpen(name)) << name;
  }
  EXPECT_EQ(FirstOpenPauseMenu(), nullptr);
}

TEST(MenuRecord, EveryPauseMenuHoldsTheMonitorAndTheFirstInListOrderIsReported) {
  ASSERT_EQ(pauseMenuNames.size(), 30u);
  std::set<std::string> distinct(pauseMenuNames.begin(), pauseMenuNames.end());
  EXPECT_EQ(distinct.size(), 30u);
  for (const char* name : pauseMenuNames) {
    RecordMenuEvent(name, true);
    EXPECT_STREQ(FirstOpenPauseMenu(), name);
    RecordMenuEvent(name, false);
  }
  RecordMenuEvent("TweenMenu", true);
  RecordMenuEvent("Loading Menu", true);
  EXPECT_STREQ(FirstOpenPauseMenu(), "Loading Menu");
  EXPECT_TRUE(IsMenuOpen("Loading Menu"));
}
