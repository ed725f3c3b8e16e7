#include "lightning/effects_loop.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <utility>

#include "events/combat_pause.h"
#include "lightning/lightning_state.h"
#include "lightning/random.h"
#include "lightning/storm_policy.h"
#include "lightning/strike_execution.h"
#include "lightning/strike_pool.h"
#include "log/debug_log.h"
#include "platform/platform.h"
#include "platform/process_wide.h"
#include "settings/conversions.h"
#include "settings/settings.h"

namespace NimbrelVR {
namespace {

bool ValidType(LightningType type) { return type == Sheet || type == Fork; }

const FormSequence& Casters(LightningType type) {
  return type == Sheet ? gPluginForms->sheetCasters : gPluginForms->forkCasters;
}
const FormSequence& Targets(LightningType type) {
  return type == Sheet ? gPluginForms->sheetTargets : gPluginForms->forkTargets;
}

uint32_t Advance(uint32_t index, size_t size) { return index + 1 > size - 1 ? 0 : index + 1; }

bool WantsChain() {
  const float chance = Get(FloatSetting::ChainLightningPercentage);
  if (!(chance > 0.0f)) return false;
  if (chance == 100.0f) return true;
  return chance >= static_cast<float>(RandomInRange(1, 100));
}

struct LaunchRecord {
  // The window whose held-back strikes were last reported: one line per storm.
  std::atomic<uint32_t> capReportedWindow{UINT32_MAX};
  std::atomic<bool> loopRunning[2] = {false, false};
  std::atomic<uint32_t> loopEndRequests[2] = {0, 0};
};
constinit ProcessWide<LaunchRecord> launches;

// The strike threads, at most kMaxLiveStrikes of them, each striking once at
// a time.
ProcessWide<StrikePool> strikeThreads([] { return StrikePool(kStrikeThreadIdleMs, kMaxLiveStrikes); });

// False (logged) when the strike could not be launched.
bool Launch(StrikeKind kind, std::function<void()> strike) {
  switch (strikeThreads->Run(kind, std::move(strike))) {
    case StrikePool::Launch::Started:
      return true;
    case StrikePool::Launch::AtCap: {
      const uint32_t window = CurrentEffectsWindow();
      if (launches->capReportedWindow.exchange(window) != window)
        PluginLog(1, "%d strikes are already under way; further strikes are held back until some end.",
                  strikeThreads->Busy());
      return true;
    }
    case StrikePool::Launch::NoThread:
      break;
  }
  return false;
}

void StartSingle(LightningType type, const FormSequence* casters, const FormSequence* targets, uint32_t casterIndex,
                 uint32_t targetIndex) {
  if (!Launch(StrikeKind::Single, [=] { RunSingleStrike(type, casters, targets, casterIndex, targetIndex); }))
    PluginLog(0, "Could not start a strike thread.");
}

void StartChain(std::vector<uint32_t> casterIndexes, std::vector<uint32_t> targetIndexes, int count) {
  if (!Launch(StrikeKind::Chain, [c = std::move(casterIndexes), t = std::move(targetIndexes), count]() mutable {
        RunChainStrike(std::move(c), std::move(t), count);
      }))
    PluginLog(0, "Could not start a chain strike thread.");
}

// The one running loop of a type: held from a successful TryClaim until the
// object goes.
class LoopClaim {
 public:
  explicit LoopClaim(LightningType type) : flag_(launches->loopRunning[type]) {}
  ~LoopClaim() {
    if (!held_) return;
    platform::NameCurrentThread(platform::kNeutralThreadName);
    flag_.store(false);
  }
  LoopClaim(const LoopClaim&) = delete;
  LoopClaim& operator=(const LoopClaim&) = delete;
  bool TryClaim() {
    bool expected = false;
    held_ = held_ || flag_.compare_exchange_strong(expected, true);
    return held_;
  }

 private:
  std::atomic<bool>& flag_;
  bool held_ = false;
};

const char* LoopThreadName(LightningType type) { return type == Sheet ? "nb-loop-sheet" : "nb-loop-fork"; }

uint32_t EndRequests(LightningType type) { return ValidType(type) ? launches->loopEndRequests[type].load() : 0; }

// The loop's window is still open and nobody asked it to end.
bool LoopGoesOn(LightningType type, const EffectsLoopState& state) {
  return EffectsWindowOpen(state.window) && EndRequests(type) == state.endRequests;
}

}  // namespace

StrikeLauncher DetachedStrikeLauncher() { return {&StartSingle, &StartChain}; }

int LiveStrikeThreads() { return strikeThreads->Busy(); }

bool BeginEffectsLoop(LightningType type, EffectsLoopState& state) {
  PluginLog(2, "Lightning Effects called.");
  state = EffectsLoopState{};
  state.window = CurrentEffectsWindow();
  state.endRequests = EndRequests(type);
  if (!ValidType(type) || !(RateSetting(type) > 0.0f)) return false;
  return true;
}

bool NextWait(LightningType type, EffectsLoopState& state, uint32_t* waitMs) {
  if (!LoopGoesOn(type, state)) return false;
  float rate = RateSetting(type);
  if (!(rate > 0.0f)) return false;
  if (CombatPaused()) rate = PausedRate(type);

  const float lo = 800.0f / rate;
  const float hi = 1200.0f / rate;
  const uint8_t published = gLightningState->weatherLightningFreq.load(std::memory_order_relaxed);
  if (published < kNoLightning) {
    const uint8_t floor = gLightningState->minLightningFrequency.load(std::memory_order_relaxed);
    const float ratio = (float{kNoLightning} - floor) / (float{kNoLightning} - published);
    state.sleepMs = RandomBetween(TruncateToInt32(ratio * lo), TruncateToInt32(ratio * hi));
  }
  // Saturated rather than wrapped: a huge wait stays huge.
  const int64_t wait = state.sleepMs * state.multiplier;
  *waitMs = static_cast<uint32_t>(std::clamp<int64_t>(wait, kMinLaunchWaitMs, UINT32_MAX));
  state.multiplier = 1;
  return true;
}

bool SleepInWindow(uint32_t waitMs, uint32_t window) {
  while (waitMs > 0) {
    if (!EffectsWindowOpen(window)) return false;
    const uint32_t slice = std::min(waitMs, kLoopSleepSliceMs);
    platform::SleepMs(slice);
    waitMs -= slice;
  }
  return EffectsWindowOpen(window);
}

double LaunchDueMs(const EffectsLoopState& state, uint32_t waitMs) {
  return std::max(state.dueMs + waitMs, state.lastLaunchMs + kMinLaunchGapMs);
}

void RecordLaunch(EffectsLoopState& state, uint32_t waitMs, double nowMs) {
  const double due = state.dueMs + waitMs;
  state.dueMs = nowMs - due > waitMs ? nowMs : due;
  state.lastLaunchMs = nowMs;
}

bool SleepUntil(double dueMs, LightningType type, const EffectsLoopState& state) {
  // Only the end of the window or of the loop can cut the wait short, and
  // both ring the bell: no need to wake before the launch is due.
  struct Loop {
    LightningType type;
    const EffectsLoopState& state;
  } loop{type, state};
  return EffectsBell().SleepUntil(
      dueMs,
      [](const void* at) {
        return LoopGoesOn(static_cast<const Loop*>(at)->type, static_cast<const Loop*>(at)->state);
      },
      &loop);
}

void LaunchStrike(LightningType type, EffectsLoopState& state, const StrikeLauncher& launcher) {
  if (gLightningState->weatherLightningFreq.load(std::memory_order_relaxed) == kNoLightning) {
    PluginLog(2, "Weather doesn't have lightning...");
    return;
  }
  const FormSequence& casters = Casters(type);
  const FormSequence& targets = Targets(type);
  // With nothing to strike from or at, the loop only keeps waiting.
  if (casters.empty() || targets.empty()) return;

  if (type == Sheet && WantsChain()) {
    const int count = std::max(DrawChainChildCount(), 2);
    std::vector<uint32_t> casterIndexes;
    std::vector<uint32_t> targetIndexes;
    casterIndexes.reserve(static_cast<size_t>(count));
    targetIndexes.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
      casterIndexes.push_back(state.casterIndex);
      targetIndexes.push_back(state.targetIndex);
      state.casterIndex = Advance(state.casterIndex, casters.size());
      state.targetIndex = Advance(state.targetIndex, targets.size());
    }
    launcher.chain(std::move(casterIndexes), std::move(targetIndexes), count);
    state.multiplier = count;
    return;
  }

  void* caster = state.casterIndex < casters.size() ? casters[state.casterIndex] : nullptr;
  void* target = state.targetIndex < targets.size() ? targets[state.targetIndex] : nullptr;
  if (caster && target) launcher.single(type, &casters, &targets, state.casterIndex, state.targetIndex);
  state.casterIndex = Advance(state.casterIndex, casters.size());
  state.targetIndex = Advance(state.targetIndex, targets.size());
}

void LightningEffectsLoop(LightningType type) { RunEffectsLoop(type, DetachedStrikeLauncher()); }

void RunEffectsLoop(LightningType type, const StrikeLauncher& launcher) {
  EffectsLoopState state;
  if (!BeginEffectsLoop(type, state)) return;
  // A loop whose window has ended may still be finishing its last slice.
  // Until this thread holds the claim it is no loop, and goes by the neutral
  // name so that a count of loops by name never sees two.
  LoopClaim claim(type);
  if (!claim.TryClaim()) {
    platform::NameCurrentThread(platform::kNeutralThreadName);
    do {
      if (!SleepInWindow(kLoopSleepSliceMs, state.window)) return;
    } while (!claim.TryClaim());
    platform::NameCurrentThread(LoopThreadName(type));
  }
  // Only end requests made while it runs concern this loop.
  state.endRequests = EndRequests(type);
  state.dueMs = platform::MonotonicMs();
  uint32_t waitMs = 0;
  while (NextWait(type, state, &waitMs)) {
    if (!SleepUntil(LaunchDueMs(state, waitMs), type, state)) return;
    RecordLaunch(state, waitMs, platform::MonotonicMs());
    LaunchStrike(type, state, launcher);
  }
}

bool EffectsLoopRunning(LightningType type) { return ValidType(type) && launches->loopRunning[type].load(); }

void EndEffectsLoop(LightningType type) {
  if (!ValidType(type)) return;
  launches->loopEndRequests[type].fetch_add(1);
  EffectsBell().Ring();
}

bool StartEffectsLoop(LightningType type) {
  // The old loop leaves within one slice of its window's end; waiting here
  // keeps the two from ever running side by side in the usual case.
  constexpr int kTries = 40;
  for (int i = 0; i < kTries && EffectsLoopRunning(type); ++i) platform::SleepMs(kLoopSleepSliceMs);
  if (platform::StartDetachedThread(LoopThreadName(type), [type] { LightningEffectsLoop(type); })) return true;
  PluginLog(0, "Could not start the lightning effects thread.");
  return false;
}

}  // namespace NimbrelVR
