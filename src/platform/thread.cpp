#include <exception>
#include <thread>

#include "platform/platform.h"

namespace NimbrelVR::platform {

bool StartDetachedThread(const char* name, std::function<void()> body) {
  if (ThreadStartRefused(name)) return false;
  CreatorName creator;
  NeutralizeCreatorName(&creator);
  bool started = false;
  try {
    std::thread([name, work = std::move(body)]() noexcept {
      // An exception must never leave a thread entry: it would end the game.
      try {
        NameCurrentThread(name);
        work();
      } catch (...) {
      }
    }).detach();
    started = true;
  } catch (...) {
  }
  RestoreCreatorName(creator);
  return started;
}

void Bell::Ring() {
  // Taken, so that a sleeper that has just found goOn true is waiting
  // before the wake-up is sent.
  { std::lock_guard lock(mutex_); }
  rung_.notify_all();
}

bool Bell::SleepUntil(double dueMs, GoOn goOn, const void* context) {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (!goOn(context)) return false;
    const double left = dueMs - MonotonicMs();
    if (left <= 0.0) return true;
    WaitAtMost(lock, left);
  }
}

}  // namespace NimbrelVR::platform
