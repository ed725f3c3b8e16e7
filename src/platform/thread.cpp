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

}  // namespace NimbrelVR::platform
