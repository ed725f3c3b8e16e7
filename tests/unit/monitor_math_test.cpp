// The monitor's frequency arithmetic and the day/night path rewrite.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "lightning/day_night_art.h"
#include "lightning/weather_monitor.h"

using namespace NimbrelVR;

TEST(MonitorFrequency, FadeInStepsDownToTheWeathersFrequencyOverFifteenCycles) {
  int fadeStep = 15;
  uint8_t published = 255;
  std::vector<int> seen;
  for (int cycle = 0; cycle < 16; ++cycle) {
    published = ComputeFrequency({true, false, 60, 255, 1.0f, published}, &fadeStep);
    seen.push_back(published);
  }
  EXPECT_EQ(seen, (std::vector<int>{242, 229, 216, 203, 190, 177, 164, 151, 138, 125, 112, 99, 86, 73, 60, 60}));
  EXPECT_EQ(fadeStep, 15);  // back at 15 once the weather's own frequency is reached
}

TEST(MonitorFrequency, TheFadeRestartsWhenThePublishedValueIsAlreadyLow) {
  int fadeStep = 7;
  EXPECT_EQ(ComputeFrequency({true, false, 60, 255, 1.0f, 40}, &fadeStep), 60);
  EXPECT_EQ(fadeStep, 15);
  fadeStep = 0;
  EXPECT_EQ(ComputeFrequency({true, false, 60, 255, 1.0f, 200}, &fadeStep), 60);
  EXPECT_EQ(fadeStep, 15);
}

TEST(MonitorFrequency, CurrentWeatherOnlyHasNoLightningUntilTheTransitionEnds) {
  int fadeStep = 15;
  EXPECT_EQ(ComputeFrequency({true, false, 60, 255, 0.999f, 255}, &fadeStep), 255);
  EXPECT_EQ(fadeStep, 15);
  EXPECT_EQ(ComputeFrequency({true, false, 60, 255, 1.0f, 255}, &fadeStep), 242);
}

TEST(MonitorFrequency, AnOutgoingStormFadesOutBelowThirtyPercent) {
  int fadeStep = 15;
  EXPECT_EQ(ComputeFrequency({false, true, 255, 60, 0.29f, 255}, &fadeStep), 116);
  EXPECT_EQ(ComputeFrequency({false, true, 255, 60, 0.0f, 255}, &fadeStep), 60);
  EXPECT_EQ(ComputeFrequency({false, true, 255, 60, 0.3f, 255}, &fadeStep), 255);
  EXPECT_EQ(ComputeFrequency({false, true, 255, 60, 0.7f, 255}, &fadeStep), 255);
}

TEST(MonitorFrequency, TwoStormsBlendByTheTransition) {
  int fadeStep = 15;
  EXPECT_EQ(ComputeFrequency({true, true, 60, 120, 0.5f, 255}, &fadeStep), 90);
  EXPECT_EQ(ComputeFrequency({true, true, 120, 60, 0.5f, 255}, &fadeStep), 90);
  EXPECT_EQ(ComputeFrequency({true, true, 60, 120, 0.0f, 255}, &fadeStep), 120);
  EXPECT_EQ(ComputeFrequency({true, true, 60, 120, 1.0f, 255}, &fadeStep), 60);
  EXPECT_EQ(fadeStep, 15);  // the fade belongs to the current-only case
}

TEST(MonitorFrequency, ABrokenTransitionValueStillGivesADefinedByte) {
  int fadeStep = 15;
  const float nan = std::nanf("");
  EXPECT_EQ(ComputeFrequency({true, true, 60, 120, nan, 255}, &fadeStep), 0);
  EXPECT_EQ(ComputeFrequency({true, true, 120, 60, 1e30f, 255}, &fadeStep), 255);  // saturated, low byte
}

TEST(DayNightPaths, DayAndNightRoundTrip) {
  std::string out;
  ASSERT_TRUE(DayNightPath("magic\\fx\\sheet01.nif", false, &out));
  EXPECT_EQ(out, "magic\\daytime\\fx\\sheet01.nif");
  ASSERT_TRUE(DayNightPath(out, true, &out));
  EXPECT_EQ(out, "magic\\fx\\sheet01.nif");
}

TEST(DayNightPaths, PathsAlreadyInTheWantedFolderAreLeftAlone) {
  std::string out = "untouched";
  EXPECT_FALSE(DayNightPath("magic\\daytime\\fx\\sheet01.nif", false, &out));
  EXPECT_FALSE(DayNightPath("magic\\fx\\sheet01.nif", true, &out));
  EXPECT_EQ(out, "untouched");
}

TEST(DayNightPaths, OnlyAPathStartingWithTheDayFolderGoesBackToNight) {
  std::string out;
  ASSERT_TRUE(DayNightPath("effects\\magic\\a.nif", false, &out));
  EXPECT_EQ(out, "effects\\magic\\daytime\\a.nif");
  EXPECT_FALSE(DayNightPath(out, true, &out));
  ASSERT_TRUE(DayNightPath("effects\\magic\\daytime\\a.nif", false, &out));
  EXPECT_EQ(out, "effects\\magic\\daytime\\daytime\\a.nif");
}

TEST(DayNightPaths, MatchingIsCaseSensitiveAndEveryOccurrenceIsRewritten) {
  std::string out;
  ASSERT_TRUE(DayNightPath("Magic\\a.nif", false, &out));
  EXPECT_EQ(out, "Magic\\a.nif");  // set again, unchanged
  ASSERT_TRUE(DayNightPath("magic\\a\\magic\\b.nif", false, &out));
  EXPECT_EQ(out, "magic\\daytime\\a\\magic\\daytime\\b.nif");
  ASSERT_TRUE(DayNightPath("magic\\daytime\\a\\magic\\daytime\\b.nif", true, &out));
  EXPECT_EQ(out, "magic\\a\\magic\\b.nif");
}

TEST(DayNightPaths, ReplaceAllNeverSearchesInsertedText) {
  EXPECT_EQ(ReplaceAll("aaa", "a", "aa"), "aaaaaa");
  EXPECT_EQ(ReplaceAll("xyz", "", "q"), "xyz");
  EXPECT_EQ(ReplaceAll("", "magic\\", "magic\\daytime\\"), "");
}
