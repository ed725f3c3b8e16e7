#include "lightning/effects_loop.h"

#include <algorithm>

#include "lightning/lightning_state.h"
#include "lightning/random.h"
#include "lightning/strike_execution.h"
#include "log/debug_log.h"
#include "platform/platform.h"
#include "settings/conversions.h"
#include "settings/settings.h"

namespace NimbrelVR {
namespace {

bool ValidType(LightningType type) { return type == Sheet || type == Fork; }

float RateSetting(LightningType type) {
  return type == Sheet ? Get(FloatSetting::SheetFrequency) : Get(FloatSetting::ForkFrequency);
}

const FormSequence& Casters(LightningType type) {
  return type == Sheet ? gPluginForms.sheetCasters : gPluginForms.forkCasters;
}
const FormSequence& Targets(LightningType type) {
  return type == Sheet ? gPluginForms.sheetTargets : gPluginForms.forkTargets;
}

uint32_t Advance(uint32_t index, size_t size) { return index + 1 > size - 1 ? 0 : index + 1; }

bool WantsChain() {
  const float chance = Get(FloatSetting::ChainLightningPercentage);
  if (!(chance > 0.0f)) return false;
  if (chance == 100.0f) return true;
  return chance >= static_cast<float>(RandomInRange(1, 100));
}

void StartSingle(LightningType type, const FormSequence* casters, const FormSequence* targets, uint32_t casterIndex,
                 uint32_t targetIndex) {
  if (!platform::StartDetachedThread(
          [=] { RunSingleStrike(type, casters, targets, casterIndex, targetIndex); }))
    PluginLog(0, "Could not start a strike thread.");
}

void StartChain(std::vector<uint32_t> casterIndexes, std::vector<uint32_t> targetIndexes, int count) {
  if (!platform::StartDetachedThread([c = std::move(casterIndexes), t = std::move(targetIndexes), count]() mutable {
        RunChainStrike(std::move(c), std::move(t), count);
      }))
    PluginLog(0, "Could not start a chain strike thread.");
}

}  // namespace

StrikeLauncher DetachedStrikeLauncher() { return {&StartSingle, &StartChain}; }

bool BeginEffectsLoop(LightningType type, EffectsLoopState& state) {
  PluginLog(2, "Lightning Effects called.");
  state = EffectsLoopState{};
  if (!ValidType(type) || !(RateSetting(type) > 0.0f)) return false;
  return true;
}

bool NextWait(LightningType type, EffectsLoopState& state, uint32_t* waitMs) {
  if (gLightningState.effectsRunning.load(std::memory_order_relaxed) == 0) return false;
  float rate = RateSetting(type);
  if (!(rate > 0.0f)) return false;
  if (gLightningState.pauseFlag.load(std::memory_order_relaxed) != 0) rate = type == Sheet ? 3.0f : 2.0f;

  const float lo = 800.0f / rate;
  const float hi = 1200.0f / rate;
  const uint8_t published = gLightningState.weatherLightningFreq.load(std::memory_order_relaxed);
  if (published < 255) {
    const uint8_t floor = gLightningState.minLightningFrequency.load(std::memory_order_relaxed);
    const float ratio = (255.0f - floor) / (255.0f - published);
    state.sleepMs = RandomBetween(TruncateToInt32(ratio * lo), TruncateToInt32(ratio * hi));
  }
  // Saturated rather than wrapped: a huge wait stays huge.
  const int64_t wait = state.sleepMs * state.multiplier;
  *waitMs = static_cast<uint32_t>(std::clamp<int64_t>(wait, 0, UINT32_MAX));
  state.multiplier = 1;
  return true;
}

void LaunchStrike(LightningType type, EffectsLoopState& state, const StrikeLauncher& launcher) {
  if (gLightningState.weatherLightningFreq.load(std::memory_order_relaxed) == 255) {
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

void LightningEffectsLoop(LightningType type) {
  EffectsLoopState state;
  if (!BeginEffectsLoop(type, state)) return;
  const StrikeLauncher launcher = DetachedStrikeLauncher();
  uint32_t waitMs = 0;
  while (NextWait(type, state, &waitMs)) {
    platform::SleepMs(waitMs);
    LaunchStrike(type, state, launcher);
  }
}

}  // namespace NimbrelVR
