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
  // Bumped whenever effectsRunning is set or cleared. An effects window is
  // the span from one set to the next clear; loops and strikes remember the
  // epoch they began in, so one that outlived its window (a saved-game load,
  // a short menu visit) notices even when effects are on again.
  std::atomic<uint32_t> effectsEpoch{0};
  // Strike threads inside a WindowAccess.
  std::atomic<uint32_t> worldAccesses{0};
};

extern LightningState gLightningState;

// Opens a new effects window (effectsRunning 0 -> 1, by the monitor).
void BeginEffectsWindow();
// Clears effectsRunning and ends the current window. Returns once no strike
// thread is still inside a world access of the ended window (bounded: a
// stuck engine call cannot hold the caller, which may be the game's main
// thread, for long).
void EndEffectsWindow();
// The window open now; meaningful while effectsRunning is set.
uint32_t CurrentEffectsWindow();
// Effects are on and `window` is still the current one.
bool EffectsWindowOpen(uint32_t window);

// Held by a strike thread around each touch of the world (an engine call or a
// read of engine objects): it tests the window, and ending the window waits
// for it. While a saved-game load tears the world down, no strike touches it.
class WindowAccess {
 public:
  explicit WindowAccess(uint32_t window);
  ~WindowAccess();
  WindowAccess(const WindowAccess&) = delete;
  WindowAccess& operator=(const WindowAccess&) = delete;
  explicit operator bool() const { return open_; }

 private:
  bool open_;
};

}  // namespace NimbrelVR
