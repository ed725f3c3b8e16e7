// The engine's event-sink interface, in the engine's vtable layout.
#pragma once

#include <cstdint>

namespace NimbrelVR {

// Tells the event source to go on to its other sinks.
inline constexpr uint32_t kEventContinue = 0;

template <typename Event>
class BSTEventSink {
 public:
  // The engine's destructor slot: (this, flags). Our sinks are static objects
  // that are never freed, so it only hands the object back.
  virtual void* Destroy(unsigned flags) {
    (void)flags;
    return this;
  }
  virtual uint32_t ReceiveEvent(const Event* event, void* source) = 0;
};

}  // namespace NimbrelVR
