#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "lightning/random.h"
#include "settings/settings.h"

using namespace NimbrelVR;

TEST(FreshMt19937, GivesTheLibraryEnginesOutputsPastItsLazyPrefix) {
  // 1300 outputs: the lazily seeded prefix (227), the hand-over to the
  // library's engine, and two of its regenerations (624 words each).
  for (uint32_t seed : {0u, 1u, 5489u, 0x80000000u, 0xFFFFFFFFu, 0x9E3779B9u}) {
    std::mt19937 library(seed);
    FreshMt19937 fresh(seed);
    for (int i = 0; i < 1300; ++i) ASSERT_EQ(fresh(), library()) << "seed " << seed << " output " << i;
  }
}

TEST(RandomInRange, ASingleValueRangeGivesThatValue) {
  EXPECT_EQ(RandomInRange(0, 0), 0u);
  EXPECT_EQ(RandomInRange(4096, 4096), 4096u);
  // Only the low 32 bits of the bounds count.
  EXPECT_EQ(RandomInRange(0x100000007ull, 0x7), 7u);
}

TEST(RandomInRange, CoversEveryValueOfTheRangeAndNothingElse) {
  std::vector<int> seen(361, 0);
  // 20000 draws over 361 values: the chance that one value is never drawn is
  // below 361 * (360/361)^20000, about 3e-22.
  for (int i = 0; i < 20000; ++i) {
    const uint32_t value = RandomInRange(0, 360);
    ASSERT_LE(value, 360u);
    ++seen[value];
  }
  for (int v = 0; v <= 360; ++v) EXPECT_GT(seen[v], 0) << v;
}

TEST(RandomInRange, SignedRangesWorkThroughTheWrapAround) {
  for (int i = 0; i < 2000; ++i) {
    const auto value = static_cast<int32_t>(RandomInRange(static_cast<uint32_t>(-3), 7));
    ASSERT_GE(value, -3);
    ASSERT_LE(value, 7);
  }
}

TEST(RandomInRange, ReversedSettingsAreDrawnBetweenTheBoundsInOrder) {
  // 2000 draws over 8 values: either bound never drawn has a chance below
  // 2 * (7/8)^2000, about 1e-116.
  bool sawLow = false, sawHigh = false;
  for (int i = 0; i < 2000; ++i) {
    const int32_t value = RandomBetween(9, 2);
    ASSERT_GE(value, 2);
    ASSERT_LE(value, 9);
    sawLow |= value == 2;
    sawHigh |= value == 9;
  }
  EXPECT_TRUE(sawLow && sawHigh);
  EXPECT_EQ(RandomBetween(-5, -5), -5);
}

namespace {

std::vector<int> Histogram(int max, int min, int draws) {
  Set(IntSetting::MaxChainChildAmount, max);
  Set(IntSetting::MinChainChildAmount, min);
  std::vector<int> counts(std::max(max, 0) + 2, 0);
  for (int i = 0; i < draws; ++i) {
    const int n = DrawChainChildCount();
    EXPECT_GE(n, 0);
    EXPECT_LT(n, static_cast<int>(counts.size()));
    if (n >= 0 && n < static_cast<int>(counts.size())) ++counts[n];
  }
  return counts;
}

}  // namespace

TEST(ChainChildCount, DefaultWeightsFavourShortChains) {
  constexpr int kDraws = 30000;
  const std::vector<int> counts = Histogram(7, 3, kDraws);
  EXPECT_EQ(counts[0] + counts[1] + counts[2], 0);
  // Expected shares 5/15 .. 1/15; each bound is over 8 standard deviations wide.
  const double expected[] = {5, 4, 3, 2, 1};
  for (int i = 0; i < 5; ++i) {
    const double p = expected[i] / 15.0;
    const double sd = std::sqrt(kDraws * p * (1 - p));
    EXPECT_NEAR(counts[3 + i], kDraws * p, 8 * sd) << "value " << 3 + i;
  }
}

TEST(ChainChildCount, SmallAndEmptyWeightTables) {
  // Weights 2 and 1 over 3000 draws: 0 is drawn some 2000 times (standard
  // deviation 26), so drawing it no more often than 1 (1500 times or fewer,
  // 19 deviations off) or never drawing 1 ((2/3)^3000) is far below 1e-6.
  const std::vector<int> small = Histogram(1, 0, 3000);
  EXPECT_GT(small[0], small[1]);
  EXPECT_GT(small[1], 0);
  EXPECT_EQ(small[0] + small[1], 3000);
  EXPECT_EQ(Histogram(-1, 0, 50)[0], 50);  // no weights at all
  EXPECT_EQ(Histogram(4, 5, 50)[0], 50);   // every weight zero
}

TEST(ChainChildCount, ARunawayMaximumIsBounded) {
  Set(IntSetting::MaxChainChildAmount, 2000000000);
  Set(IntSetting::MinChainChildAmount, 0);
  for (int i = 0; i < 20; ++i) EXPECT_LE(DrawChainChildCount(), kChainChildCountLimit);
}
