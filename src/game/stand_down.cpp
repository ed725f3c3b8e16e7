#include "game/stand_down.h"

#include "game/stand_down_state.h"

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

using stand_down_state::state;

}  // namespace

constinit ProcessWide<stand_down_state::State> stand_down_state::state;

bool StoodDown() { return state->stoodDown.load(); }

RuntimeText ReportedRuntime() { return RuntimeText(Engine().runtime, StoreShown::Always); }

void SetStandDownHook(StandDownHook hook) { state->hook.store(hook); }

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
    // Only the passes of other threads: a finder inside a pass of its own
    // ends it once the lines are written.
    const uint32_t own = finder == Holding::EnginePass ? 1 : 0;
    for (int i = 0; i < kPassDrainTries && state->passes.load() > own; ++i) platform::SleepMs(kPassDrainSleepMs);
    const RuntimeText runtime = ReportedRuntime();
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
