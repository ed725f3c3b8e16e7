#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "lightning/strike_positions.h"
#include "settings/settings.h"

using namespace NimbrelVR;

namespace {

constexpr int kRuns = 500;

}  // namespace

TEST(StrikePositions, AtGridDistanceZeroTheSheetTargetStaysInThePlayersSquare) {
  Set(IntSetting::SheetDistanceMin, 0);
  Set(IntSetting::SheetDistanceMax, 0);
  for (int i = 0; i < kRuns; ++i) {
    const StrikePlacement p = GenerateStrikePositions(Sheet, 120.0f);
    ASSERT_LE(std::fabs(p.targetOffset.x), 2048.0f);
    ASSERT_LE(std::fabs(p.targetOffset.y), 2048.0f);
    ASSERT_EQ(p.gridDistance, 0.0f);
    const float height = p.targetOffset.z + 120.0f;
    ASSERT_GE(height, 25000.0f);
    ASSERT_LE(height, 30000.0f);
    // The caster sits StrikeDistance away, level within 50 units.
    ASSERT_NEAR(std::hypot(p.casterOffset.x, p.casterOffset.y), 200.0f, 0.01f);
    ASSERT_LE(std::fabs(p.casterOffset.z), 50.0f);
    ASSERT_FALSE(p.applyFlash);
    ASSERT_EQ(p.flashMs, 10u);
  }
}

TEST(StrikePositions, ForkTargetsFallBelowTheWorldAndCastersRiseAboveThePlayer) {
  const float playerZ = -2345.5f;
  for (int i = 0; i < kRuns; ++i) {
    const StrikePlacement p = GenerateStrikePositions(Fork, playerZ);
    ASSERT_EQ(p.targetOffset.z, -15000.0f - playerZ);
    ASSERT_EQ(p.casterOffset.z, playerZ + 15000.0f + 16384.0f);
    ASSERT_LE(p.gridDistance, std::sqrt(98.0f));  // grid 0..7 on both axes
    ASSERT_FALSE(p.applyFlash);
    ASSERT_EQ(p.flashMs, 15u);
  }
}

TEST(StrikePositions, SheetHeightsAreLoweredByTheSkyCurve) {
  Set(IntSetting::SheetDistanceMin, 7);
  Set(IntSetting::SheetDistanceMax, 7);
  for (int i = 0; i < kRuns; ++i) {
    const StrikePlacement p = GenerateStrikePositions(Sheet, 0.0f);
    const float curve = std::pow(1.035f, p.gridDistance);
    ASSERT_GE(p.targetOffset.z, std::trunc(25000.0f / curve));
    ASSERT_LE(p.targetOffset.z, std::trunc(30000.0f / curve));
  }
}

TEST(StrikePositions, ReversedGridAndHeightSettingsStillPlaceStrikes) {
  Set(IntSetting::SheetDistanceMin, 0);
  Set(IntSetting::SheetDistanceMax, 0);
  Set(FloatSetting::SheetHeightMin, 30000.0f);
  Set(FloatSetting::SheetHeightMax, 25000.0f);
  for (int i = 0; i < kRuns; ++i) {
    const float z = GenerateStrikePositions(Sheet, 0.0f).targetOffset.z;
    ASSERT_GE(z, 25000.0f);
    ASSERT_LE(z, 30000.0f);
  }
  Set(IntSetting::ForkDistanceMin, 3);
  Set(IntSetting::ForkDistanceMax, 1);
  for (int i = 0; i < kRuns; ++i) ASSERT_LE(GenerateStrikePositions(Fork, 0.0f).gridDistance, std::sqrt(18.0f));
}

TEST(StrikePositions, ExtremeSettingsGiveFiniteOffsets) {
  Set(IntSetting::ForkDistanceMin, -2000000000);
  Set(IntSetting::ForkDistanceMax, 2000000000);
  Set(FloatSetting::SkyCurve, std::nanf(""));
  Set(FloatSetting::StrikeDistance, std::numeric_limits<float>::infinity());
  for (int i = 0; i < 50; ++i) {
    const StrikePlacement p = GenerateStrikePositions(Fork, 0.0f);
    ASSERT_TRUE(std::isfinite(p.targetOffset.x));
    ASSERT_TRUE(std::isfinite(p.targetOffset.y));
  }
}

TEST(FlashRule, NearStrikesFlashLongerFarOnesNotAtAll) {
  uint32_t ms = 0;
  bool flash = false;
  ApplyFlashRule(1024.0f, 10, &ms, &flash);
  EXPECT_EQ(ms, 10u);
  EXPECT_TRUE(flash);
  ApplyFlashRule(3000.0f, 10, &ms, &flash);
  EXPECT_EQ(ms, 3u);
  EXPECT_FALSE(flash);
  ApplyFlashRule(std::max(50.0f, 20.0f), 10, &ms, &flash);
  EXPECT_EQ(ms, 204u);
  EXPECT_TRUE(flash);
  Set(FloatSetting::FlashDropDistanceMin, -1024.0f);
  Set(IntSetting::MinFlashAmount, -100);
  ApplyFlashRule(1024.0f, 10, &ms, &flash);
  EXPECT_EQ(ms, 0u);  // never an endless flash
}

TEST(FlashRule, EnabledSheetFlashFollowsTheHorizontalDistance) {
  Set(IntSetting::EnableSheetFlash, 1);
  Set(IntSetting::SheetDistanceMin, 0);
  Set(IntSetting::SheetDistanceMax, 0);
  for (int i = 0; i < kRuns; ++i) {
    const StrikePlacement p = GenerateStrikePositions(Sheet, 0.0f);
    const float horizontal = std::max(50.0f, std::hypot(p.targetOffset.x, p.targetOffset.y));
    const auto expected = static_cast<uint32_t>(1024.0f / horizontal * 10.0f);
    ASSERT_EQ(p.flashMs, expected);
    ASSERT_EQ(p.applyFlash, expected >= 5);
  }
}

TEST(ChainPositions, EveryChainHasExactlyCountEntries) {
  const game::Position player{100.0f, -50.0f, 300.0f};
  for (int count : {1, 2, 3, 4, 5, 6, 7, 12, 40}) {
    for (int run = 0; run < 20; ++run) {
      const ChainPlacement chain = GenerateChainPositions(count, player);
      ASSERT_EQ(chain.casterOffsets.size(), static_cast<size_t>(count));
      ASSERT_EQ(chain.targetOffsets.size(), static_cast<size_t>(count));
    }
  }
  EXPECT_TRUE(GenerateChainPositions(0, player).casterOffsets.empty());
  EXPECT_TRUE(GenerateChainPositions(-3, player).targetOffsets.empty());
}

TEST(ChainPositions, AChainOfTwoIsAMainBoltAndABranchNearItsEnd) {
  const game::Position player{0.0f, 0.0f, 500.0f};
  for (int run = 0; run < kRuns; ++run) {
    const ChainPlacement chain = GenerateChainPositions(2, player);
    const StrikeOffset& p0 = chain.casterOffsets[0];
    const StrikeOffset& q = chain.targetOffsets[0];
    ASSERT_NEAR(std::hypot(q.x, q.y), 500.0f, 0.01f);
    ASSERT_GE(p0.z + player.z, 25000.0f / std::pow(1.035f, std::sqrt(98.0f)) - 1.0f);
    // The branch starts 90 to 100 % of the way along the main bolt.
    const StrikeOffset& p1 = chain.casterOffsets[1];
    const float t = std::fabs(q.x) > std::fabs(q.y) ? (p1.x - p0.x) / q.x : (p1.y - p0.y) / q.y;
    ASSERT_GE(t, 0.90f - 1e-4f);
    ASSERT_LE(t, 1.00f + 1e-4f);
    ASSERT_NEAR(std::hypot(chain.targetOffsets[1].x, chain.targetOffsets[1].y), 200.0f, 0.01f);
  }
}

TEST(ChainPositions, FlashScalesWithTheDistanceToTheFirstStrikePoint) {
  Set(IntSetting::EnableSheetFlash, 1);
  const game::Position player{0.0f, 0.0f, 0.0f};
  for (int run = 0; run < 50; ++run) {
    const ChainPlacement chain = GenerateChainPositions(3, player);
    const StrikeOffset& p0 = chain.casterOffsets[0];
    const float distance = std::max(50.0f, std::sqrt(p0.x * p0.x + p0.y * p0.y + p0.z * p0.z));
    ASSERT_EQ(chain.flashMs, static_cast<uint32_t>(1024.0f / distance * 10.0f));
    ASSERT_FALSE(chain.applyFlash);  // 25000 units up is far: well under 5 ms
  }
}
