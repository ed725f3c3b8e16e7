// The bytes the monitor, the effects loops, the strikes and the host's
// message handlers share. (The combat pause keeps its own flag.)
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "game/stand_down.h"
#include "lightning/storm_policy.h"
#include "platform/platform.h"
#include "platform/process_wide.h"

namespace NimbrelVR {

struct LightningState {
  std::atomic<uint8_t> effectsRunning{0};
  std::atomic<uint8_t> weatherLightningFreq{0};
  std::atomic<uint8_t> minLightningFrequency{kNoLightning};
  std::atomic<bool> isNight{true};
  // Bumped whenever effectsRunning is set or cleared. An effects window is
  // the span from one set to the next clear; loops and strikes remember the
  // epoch they began in, so one that outlived its window (a saved-game load,
  // a short menu visit) notices even when effects are on again.
  std::atomic<uint32_t> effectsEpoch{0};
  // Strike threads inside a WindowAccess.
  std::atomic<uint32_t> worldAccesses{0};
};

extern ProcessWide<LightningState> gLightningState;

// Opens a new effects window (effectsRunning 0 -> 1, by the monitor). False,
// with no window open, once lightning has stood down (game/stand_down.h):
// no window opens again in the session.
bool BeginEffectsWindow();
// Clears effectsRunning and ends the current window. Returns once no strike
// thread is still inside a world access of the ended window (bounded: a
// stuck engine call cannot hold the caller, which may be the game's main
// thread, for long).
void EndEffectsWindow();
// The stand-down's hook, handed to game/ at load: ends the window as above,
// waiting for every strike inside a world access but the finder's own (a
// strike thread whose check failed inside its access).
void EndEffectsForStandDown(game::Holding finder);
// Rung when a window ends, so that the effects loops, which sleep on it,
// notice at once.
platform::Bell& EffectsBell();
// The window open now; meaningful while effectsRunning is set.
uint32_t CurrentEffectsWindow();
// Effects are on, `window` is still the current one, and lightning has not
// stood down.
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

// Worldspaces in which no weather lightning runs: the game's own, and
// Dawnguard's once a game is loaded. Grows on every game load while the
// monitor searches it; both sides take its lock.
bool IsInteriorWorldspace(uint32_t formId);
void AppendInteriorWorldspace(uint32_t formId);
size_t InteriorWorldspaceCount();
// Adds the three Dawnguard worldspaces; nothing when Dawnguard is not loaded.
void AppendDawnguardWorldspaces();

}  // namespace NimbrelVR
