#include "lightning/lightning_state.h"

#include "platform/platform.h"

namespace NimbrelVR {
namespace {

// How long ending a window waits for strikes inside a world access: they
// hold it for one engine call, microseconds; the bound only matters if the
// engine stalls one of them.
constexpr int kAccessDrainTries = 50;
constexpr uint32_t kAccessDrainSleepMs = 1;

}  // namespace

constinit LightningState gLightningState;

// The epoch moves before the flag in both directions, and every access here
// is sequentially consistent: a reader that sees the flag it expects also
// sees the epoch of that change or a later one.
void BeginEffectsWindow() {
  gLightningState.effectsEpoch.fetch_add(1);
  gLightningState.effectsRunning.exchange(1);
}

void EndEffectsWindow() {
  gLightningState.effectsEpoch.fetch_add(1);
  gLightningState.effectsRunning.exchange(0);
  // A strike that entered its access before the bump above may still be in
  // its engine call; one entering later sees the new epoch and backs off.
  for (int i = 0; i < kAccessDrainTries && gLightningState.worldAccesses.load() != 0; ++i)
    platform::SleepMs(kAccessDrainSleepMs);
}

uint32_t CurrentEffectsWindow() { return gLightningState.effectsEpoch.load(); }

bool EffectsWindowOpen(uint32_t window) {
  return gLightningState.effectsRunning.load() != 0 && gLightningState.effectsEpoch.load() == window;
}

WindowAccess::WindowAccess(uint32_t window) {
  gLightningState.worldAccesses.fetch_add(1);
  open_ = EffectsWindowOpen(window);
}

WindowAccess::~WindowAccess() { gLightningState.worldAccesses.fetch_sub(1); }

}  // namespace NimbrelVR
