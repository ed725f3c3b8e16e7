// Where a strike's references go, around the player.
#pragma once

#include <cstdint>
#include <vector>

#include "game/world.h"
#include "lightning/lightning_type.h"

namespace NimbrelVR {

// An offset from some reference's position, in world units (z up).
struct StrikeOffset {
  float x = 0.0f;
  float y = 0.0f;
  float z = 0.0f;
};

struct StrikePlacement {
  StrikeOffset targetOffset;  // from the player
  StrikeOffset casterOffset;  // from the target once moved
  uint32_t flashMs = 0;
  float gridDistance = 0.0f;  // grid squares (4096 units) from the player
  bool applyFlash = false;
};

struct ChainPlacement {
  std::vector<StrikeOffset> casterOffsets;  // from the player
  std::vector<StrikeOffset> targetOffsets;  // from the caster of the same index once moved
  uint32_t flashMs = 0;
  bool applyFlash = false;
};

inline constexpr float kGridSquare = 4096.0f;

// One sheet or fork strike; `playerZ` is the player's world height.
StrikePlacement GenerateStrikePositions(LightningType type, float playerZ);
// A chain of `count` sheet strikes around the player at `player`.
ChainPlacement GenerateChainPositions(int count, const game::Position& player);

// The flash rule: longer for near strikes, none below MinFlashAmount.
void ApplyFlashRule(float distance, int32_t flashAmount, uint32_t* flashMs, bool* applyFlash);

}  // namespace NimbrelVR
