// The bytes the monitor, the effects loops, the strikes, the pause thread and
// the host's message handlers share.
#pragma once

#include <atomic>
#include <cstdint>

namespace NimbrelVR {

struct LightningState {
  std::atomic<uint8_t> effectsRunning{0};
  std::atomic<uint8_t> weatherLightningFreq{0};
  std::atomic<uint8_t> minLightningFrequency{255};
  std::atomic<bool> isNight{true};
  std::atomic<uint8_t> pauseFlag{0};
};

extern LightningState gLightningState;

}  // namespace NimbrelVR
