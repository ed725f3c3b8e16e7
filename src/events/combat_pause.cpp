#include "events/combat_pause.h"

#include <mutex>

#include "log/debug_log.h"
#include "platform/platform.h"
#include "platform/process_wide.h"

namespace NimbrelVR {
namespace {

ProcessWide<std::mutex> pauseMutex;

constexpr uint32_t kPauseMs = 2000;

}  // namespace

constinit ProcessWide<CombatPauseState> gCombatPause;

void RunCombatPause() {
  if (gCombatPause->pauseFlag.load(std::memory_order_relaxed)) return;
  HoldCombatPause();
}

void HoldCombatPause() {
  std::lock_guard lock(*pauseMutex);
  gCombatPause->pauseFlag.exchange(1);
  platform::SleepMs(kPauseMs);
  gCombatPause->pauseFlag.exchange(0);
}

void RequestCombatPause() {
  if (gCombatPause->pauseFlag.load(std::memory_order_relaxed)) return;
  if (!platform::StartDetachedThread("nb-pause", RunCombatPause))
    PluginLog(0, "Could not start the combat pause thread.");
}

}  // namespace NimbrelVR
