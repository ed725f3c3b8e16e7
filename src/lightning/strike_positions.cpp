#include "lightning/strike_positions.h"

#include <algorithm>
#include <cmath>

#include "lightning/random.h"
#include "log/debug_log.h"
#include "settings/conversions.h"
#include "settings/settings.h"

namespace NimbrelVR {
namespace {

constexpr float kDegrees = 3.14159265358979f / 180.0f;
constexpr float kForkTargetHeight = -15000.0f;
constexpr float kForkCasterRise = 16384.0f;
constexpr float kChainBoltLength = 500.0f;

// A whole degree in -180..180.
int32_t DrawAngle() { return static_cast<int32_t>(RandomInRange(0, 360)) - 180; }
int32_t DrawSigned(int32_t lo, int32_t hi) { return RandomBetween(lo, hi); }

struct GridSquare {
  int32_t cx;
  int32_t cy;
};

// The grid square of the strike relative to the player's, and a point within it.
GridSquare DrawGridSquare(int32_t distanceMin, int32_t distanceMax) {
  const int32_t a = DrawSigned(distanceMin, distanceMax);
  const int32_t b = DrawSigned(distanceMin, distanceMax);
  const float theta = static_cast<float>(DrawAngle()) * kDegrees;
  return {TruncateToInt32(std::sin(theta) * static_cast<float>(a)),
          TruncateToInt32(std::cos(theta) * static_cast<float>(b))};
}

float DrawWithinSquare(int32_t square) {
  // 64-bit: a huge grid setting must not overflow.
  const int64_t units = static_cast<int64_t>(RandomInRange(0, 4096)) - 2048 + static_cast<int64_t>(square) * 4096;
  return static_cast<float>(units);
}

int64_t SquaredGridDistance(const GridSquare& square) {
  return static_cast<int64_t>(square.cx) * square.cx + static_cast<int64_t>(square.cy) * square.cy;
}

// A sheet height lowered by the sky's curve.
int32_t DrawSheetHeight(float curve) {
  return DrawSigned(TruncateToInt32(Get(FloatSetting::SheetHeightMin) / curve),
                    TruncateToInt32(Get(FloatSetting::SheetHeightMax) / curve));
}

}  // namespace

void ApplyFlashRule(float distance, int32_t flashAmount, uint32_t* flashMs, bool* applyFlash) {
  const int32_t flash =
      TruncateToInt32(Get(FloatSetting::FlashDropDistanceMin) / distance * static_cast<float>(flashAmount));
  // A negative length would be an endless flash; it is none.
  *flashMs = static_cast<uint32_t>(std::max(flash, 0));
  *applyFlash = flash >= Get(IntSetting::MinFlashAmount);
}

StrikePlacement GenerateStrikePositions(LightningType type, float playerZ) {
  StrikePlacement placement;
  const bool sheet = type == Sheet;
  const GridSquare square = sheet ? DrawGridSquare(Get(IntSetting::SheetDistanceMin), Get(IntSetting::SheetDistanceMax))
                                  : DrawGridSquare(Get(IntSetting::ForkDistanceMin), Get(IntSetting::ForkDistanceMax));
  placement.targetOffset.x = DrawWithinSquare(square.cx);
  placement.targetOffset.y = DrawWithinSquare(square.cy);
  const float horizontal = std::sqrt(placement.targetOffset.x * placement.targetOffset.x +
                                     placement.targetOffset.y * placement.targetOffset.y);

  placement.gridDistance = std::sqrt(static_cast<float>(SquaredGridDistance(square)));
  const float curve = std::pow(Get(FloatSetting::SkyCurve), placement.gridDistance);
  const int32_t height = DrawSheetHeight(curve);

  int32_t flashAmount = 0;
  bool flashEnabled = false;
  if (sheet) {
    placement.targetOffset.z = static_cast<float>(height) - playerZ;
    flashAmount = Get(IntSetting::SheetFlashAmount);
    flashEnabled = Get(IntSetting::EnableSheetFlash) != 0;
  } else {
    placement.targetOffset.z = kForkTargetHeight - playerZ;
    flashAmount = Get(IntSetting::ForkFlashAmount);
    flashEnabled = Get(IntSetting::EnableForkFlash) != 0;
  }
  placement.flashMs = static_cast<uint32_t>(flashAmount);
  if (flashEnabled) ApplyFlashRule(std::max(50.0f, horizontal), flashAmount, &placement.flashMs, &placement.applyFlash);

  const float psi = static_cast<float>(DrawAngle()) * kDegrees;
  const float strikeDistance = Get(FloatSetting::StrikeDistance);
  if (sheet) {
    // The caster sits level with the target: the bolt runs across the sky.
    placement.casterOffset = {std::sin(psi) * strikeDistance, std::cos(psi) * strikeDistance,
                              static_cast<float>(static_cast<int32_t>(RandomInRange(0, 100)) - 50)};
    PluginLog(2, "----Sheet Lightning positions are ready---");
  } else {
    // The caster stands high above: the bolt falls steeply past the player.
    const float c3 = std::pow(curve, 3.0f);
    const int32_t lo = TruncateToInt32(strikeDistance * c3);
    const int32_t hi = TruncateToInt32(strikeDistance * 2.5f * c3);
    placement.casterOffset.x = static_cast<float>(DrawSigned(lo, hi)) * std::sin(psi);
    placement.casterOffset.y = static_cast<float>(DrawSigned(lo, hi)) * std::cos(psi);
    placement.casterOffset.z = (playerZ + 15000.0f) + kForkCasterRise;
    PluginLog(2, "----Fork Lightning positions are ready---");
  }
  return placement;
}

ChainPlacement GenerateChainPositions(int count, const game::Position& player) {
  ChainPlacement chain;
  const GridSquare square = DrawGridSquare(Get(IntSetting::SheetDistanceMin), Get(IntSetting::SheetDistanceMax));
  StrikeOffset p0;
  p0.x = DrawWithinSquare(square.cx);
  p0.y = DrawWithinSquare(square.cy);
  const auto curve = static_cast<float>(std::pow(static_cast<double>(Get(FloatSetting::SkyCurve)),
                                                 std::sqrt(static_cast<double>(SquaredGridDistance(square)))));
  p0.z = static_cast<float>(DrawSheetHeight(curve)) - player.z;

  const int32_t flashAmount = Get(IntSetting::SheetFlashAmount);
  chain.flashMs = static_cast<uint32_t>(flashAmount);
  if (Get(IntSetting::EnableSheetFlash) != 0) {
    // From the player to the first strike point, floored like a single strike's.
    const float distance = std::sqrt(p0.x * p0.x + p0.y * p0.y + p0.z * p0.z);
    ApplyFlashRule(std::max(50.0f, distance), flashAmount, &chain.flashMs, &chain.applyFlash);
  }
  if (count < 1) return chain;

  const float strikeDistance = Get(FloatSetting::StrikeDistance);
  chain.casterOffsets.reserve(static_cast<size_t>(count));
  chain.targetOffsets.reserve(static_cast<size_t>(count));
  int remaining = count;
  while (remaining > 0) {
    const int32_t phi = DrawAngle();
    const float phiRad = static_cast<float>(phi) * kDegrees;
    const StrikeOffset q{std::sin(phiRad) * kChainBoltLength, std::cos(phiRad) * kChainBoltLength,
                         static_cast<float>(static_cast<int32_t>(RandomInRange(0, 100)) - 50)};
    chain.casterOffsets.push_back(p0);
    chain.targetOffsets.push_back(q);
    if (remaining == 1) break;
    --remaining;
    const int branches = remaining <= 4 ? remaining : static_cast<int>(RandomInRange(2, 4));
    const int32_t step = 100 / branches;
    for (int j = 1; j <= branches; ++j) {
      const int32_t along = DrawSigned(TruncateToInt32(static_cast<float>(step * j) - 10.0f), step * j);
      const float t = static_cast<float>(along) / 100.0f;
      const StrikeOffset start{p0.x + t * ((p0.x + q.x) - p0.x), p0.y + t * ((p0.y + q.y) - p0.y),
                               p0.z + t * ((p0.z + q.z) - p0.z)};
      int32_t psi = static_cast<int32_t>(RandomInRange(0, 120)) - 60 + phi;
      // Reflected back into -180..180, not wrapped.
      if (psi > 180) {
        psi = -(psi - 180);
      } else if (psi < -180) {
        psi = -(psi + 180);
      }
      const float psiRad = static_cast<float>(psi) * kDegrees;
      const float rise = static_cast<float>(static_cast<int32_t>(RandomInRange(0, 100)) - 50);
      chain.casterOffsets.push_back(start);
      chain.targetOffsets.push_back({std::sin(psiRad) * strikeDistance, std::cos(psiRad) * strikeDistance, rise});
    }
    remaining -= branches;
  }
  return chain;
}

}  // namespace NimbrelVR
