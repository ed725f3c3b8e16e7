#include <exception>
#include <thread>

#include "platform/platform.h"

namespace NimbrelVR::platform {

bool StartDetachedThread(std::function<void()> body) {
  try {
    std::thread([work = std::move(body)]() noexcept {
      // An exception must never leave a thread entry: it would end the game.
      try {
        work();
      } catch (...) {
      }
    }).detach();
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace NimbrelVR::platform
