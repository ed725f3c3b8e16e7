// The effects loop: paces strikes of one type while a storm lasts.
#pragma once

#include <cstdint>
#include <vector>

#include "game/plugin_forms.h"
#include "lightning/lightning_type.h"

namespace NimbrelVR {

// The shortest wait between two launches of one loop: one frame at 60 fps.
// The game's main thread runs queued work once per frame, so strikes launched
// faster only pile up behind each other; the floor also keeps a runaway rate
// setting from starting threads back to back.
inline constexpr uint32_t kMinLaunchWaitMs = 16;
// A loop that wakes after its launch was due launches at once, but never
// sooner than this after its previous launch.
inline constexpr double kMinLaunchGapMs = 8.0;
// How often a new loop looks whether the old one of its type has left, and
// the slice of SleepInWindow. (The wait before a launch is not sliced: the
// end of the window or of the loop wakes it.)
inline constexpr uint32_t kLoopSleepSliceMs = 25;
// Strike threads alive at once, a chain counting as one. A strike whose
// references land in a cell that is not attached yet polls for up to two
// seconds, so even the default storm peaks at about 62 in the game double;
// 64 leaves such storms alone and still stops a runaway rate, which with
// every strike waiting its two seconds would pile up hundreds.
inline constexpr int kMaxLiveStrikes = 64;

// What one loop carries from pass to pass.
struct EffectsLoopState {
  int64_t sleepMs = 400;
  uint32_t casterIndex = 0;
  uint32_t targetIndex = 0;
  int multiplier = 1;
  uint32_t window = 0;       // the effects window the loop belongs to
  uint32_t endRequests = 0;  // EndEffectsLoop calls for its type before it began
  // Deadline pacing, on platform::MonotonicMs: when the last launch was due
  // (the loop's start before the first) and when it happened.
  double dueMs = 0.0;
  double lastLaunchMs = -1e300;
};

// How a pass launches strikes; tests replace it to see what a pass launches.
struct StrikeLauncher {
  void (*single)(LightningType type, const FormSequence* casters, const FormSequence* targets, uint32_t casterIndex,
                 uint32_t targetIndex);
  void (*chain)(std::vector<uint32_t> casterIndexes, std::vector<uint32_t> targetIndexes, int count);
};
// Default: each strike on a strike thread of its own, up to kMaxLiveStrikes
// at once; a thread that has finished a strike waits a while for the next.
StrikeLauncher DetachedStrikeLauncher();
// Strikes launched by the default launcher that have not finished yet.
int LiveStrikeThreads();

// Start of a loop: logs, remembers the current effects window, and false when
// the type's rate (or the type) rules out any strike.
bool BeginEffectsLoop(LightningType type, EffectsLoopState& state);

// First half of a pass: false when the loop is to end; otherwise the wait
// before the strike, in milliseconds.
bool NextWait(LightningType type, EffectsLoopState& state, uint32_t* waitMs);

// Sleeps `waitMs` in short slices; false, at once, when the loop's window
// ends meanwhile.
bool SleepInWindow(uint32_t waitMs, uint32_t window);

// Deadline pacing. A launch is due `waitMs` (the pass's wait, chain
// multiplier and floor included) after the previous launch was due, so the
// cost of a launch, the sleep's slices and a coarse OS timer do not stretch
// the rate. The loop sleeps until this moment:
double LaunchDueMs(const EffectsLoopState& state, uint32_t waitMs);
// Records the launch made at `nowMs`. A loop more than one wait behind (a
// hitch, a load, a starved CPU) takes its schedule from now: it never
// catches up with a burst.
void RecordLaunch(EffectsLoopState& state, uint32_t waitMs, double nowMs);
// Sleeps until platform::MonotonicMs reaches `dueMs`; false, at once, when the
// loop is to end meanwhile (its window ended, or EndEffectsLoop): both ring
// EffectsBell, so the sleep needs no slices.
bool SleepUntil(double dueMs, LightningType type, const EffectsLoopState& state);

// Second half of a pass, after the wait: launches a single strike or a chain.
void LaunchStrike(LightningType type, EffectsLoopState& state, const StrikeLauncher& launcher);

// Thread body; returns when its effects window ends or the type's rate is not
// positive. At most one runs per type: a second one ends at once.
void LightningEffectsLoop(LightningType type);
// The same with another launcher (tests).
void RunEffectsLoop(LightningType type, const StrikeLauncher& launcher);

// Whether a loop of this type is running.
bool EffectsLoopRunning(LightningType type);
// Asks the running loop of this type to end (the weather no longer wants its
// kind): it launches nothing more. Strikes under way go on.
void EndEffectsLoop(LightningType type);
// The monitor's way to start a loop: waits briefly for a loop of the type
// whose window has ended to leave, then starts the new one on a named
// detached thread. False (logged) when none was started.
bool StartEffectsLoop(LightningType type);

}  // namespace NimbrelVR
