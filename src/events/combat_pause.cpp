#include "events/combat_pause.h"

#include <mutex>

#include "lightning/lightning_state.h"
#include "log/debug_log.h"
#include "platform/platform.h"

namespace NimbrelVR {
namespace {

// Never destroyed: a pause thread may hold it while the process exits.
std::mutex& PauseMutex() {
  static std::mutex* pauseMutex = new std::mutex;
  return *pauseMutex;
}

[[maybe_unused]] std::mutex& pauseMutexAtLoad = PauseMutex();

constexpr uint32_t kPauseMs = 2000;

}  // namespace

void RunCombatPause() {
  if (gLightningState.pauseFlag.load(std::memory_order_relaxed)) return;
  HoldCombatPause();
}

void HoldCombatPause() {
  std::lock_guard lock(PauseMutex());
  gLightningState.pauseFlag.exchange(1);
  platform::SleepMs(kPauseMs);
  gLightningState.pauseFlag.exchange(0);
}

void RequestCombatPause() {
  if (gLightningState.pauseFlag.load(std::memory_order_relaxed)) return;
  if (!platform::StartDetachedThread("nb-pause", RunCombatPause))
    PluginLog(0, "Could not start the combat pause thread.");
}

}  // namespace NimbrelVR
