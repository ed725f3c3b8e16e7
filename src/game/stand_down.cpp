#include "game/stand_down.h"

#include <atomic>

#include "game/engine_binding.h"
#include "game/runtime_version.h"
#include "log/debug_log.h"
#include "platform/platform.h"
#include "platform/process_wide.h"

namespace NimbrelVR::game {
namespace {

// How long the stand-down waits for engine passes: each is held for one
// engine call, microseconds; the bound only matters if the engine stalls one.
constexpr int kPassDrainTries = 50;
constexpr uint32_t kPassDrainSleepMs = 1;

struct StandDownState {
  std::atomic<bool> stoodDown{false};
  std::atomic<StandDownHook> hook{nullptr};
  std::atomic<uint32_t> passes{0};
};
constinit ProcessWide<StandDownState> state;

}  // namespace

bool StoodDown() { return state->stoodDown.load(); }

void SetStandDownHook(StandDownHook hook) { state->hook.store(hook); }

void ResetStandDownForTests() { state->stoodDown.store(false); }

EnginePass::EnginePass() {
  state->passes.fetch_add(1);
  open_ = !StoodDown();
}

EnginePass::~EnginePass() { state->passes.fetch_sub(1); }

void StandDown(const char* field, const char* expected, const char* found, Holding finder) {
  // Only the first failure of the process gets past here, whichever thread
  // finds it; every other caller has already stopped, or stops now.
  if (state->stoodDown.exchange(true)) return;
  try {
    // The flag is up: no new pass opens and no effects window either. What is
    // under way ends before the lines, so that no engine call from the
    // plug-in's threads follows them.
    if (const StandDownHook hook = state->hook.load()) hook(finder);
    // The finder holds no pass: the checked reads take theirs around the
    // engine call only, never around a check.
    for (int i = 0; i < kPassDrainTries && state->passes.load() != 0; ++i) platform::SleepMs(kPassDrainSleepMs);
    const RuntimeText runtime(Engine().runtime, StoreShown::Always);
    PluginLog(0, "Runtime %s is not laid out as this build expects: %s should hold %s, but holds %s.", runtime.text,
              field, expected, found);
    PluginLog(0,
              "Lightning stands down for this game session; the game goes on without it. Please report runtime %s "
              "and the line above.",
              runtime.text);
  } catch (...) {
  }
}

}  // namespace NimbrelVR::game
