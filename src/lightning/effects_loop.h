// The effects loop: paces strikes of one type while a storm lasts.
#pragma once

#include <cstdint>
#include <vector>

#include "game/plugin_forms.h"
#include "lightning/lightning_type.h"

namespace NimbrelVR {

// What one loop carries from pass to pass.
struct EffectsLoopState {
  int64_t sleepMs = 400;
  uint32_t casterIndex = 0;
  uint32_t targetIndex = 0;
  int multiplier = 1;
};

// How a pass launches strikes; tests replace it to see what a pass launches.
struct StrikeLauncher {
  void (*single)(LightningType type, const FormSequence* casters, const FormSequence* targets, uint32_t casterIndex,
                 uint32_t targetIndex);
  void (*chain)(std::vector<uint32_t> casterIndexes, std::vector<uint32_t> targetIndexes, int count);
};
// Default: each strike on a detached thread of its own.
StrikeLauncher DetachedStrikeLauncher();

// Start of a loop: logs, and false when the type's rate (or the type) rules
// out any strike.
bool BeginEffectsLoop(LightningType type, EffectsLoopState& state);

// First half of a pass: false when the loop is to end; otherwise the wait
// before the strike, in milliseconds.
bool NextWait(LightningType type, EffectsLoopState& state, uint32_t* waitMs);

// Second half of a pass, after the wait: launches a single strike or a chain.
void LaunchStrike(LightningType type, EffectsLoopState& state, const StrikeLauncher& launcher);

// Thread body; returns when effects stop or the type's rate is not positive.
void LightningEffectsLoop(LightningType type);

}  // namespace NimbrelVR
