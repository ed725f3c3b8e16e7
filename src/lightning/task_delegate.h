// The host's unit of work for the game's main thread, in the host's layout.
#pragma once

namespace NimbrelVR {

// The host runs Execute on the game's main thread, then Release, which frees
// the task. Slots in the host's order; no virtual destructor, which would
// take two slots here.
class TaskDelegate {
 public:
  virtual void Execute() = 0;
  virtual void Release() = 0;
};

// The host's queue to the game's main thread.
using TaskQueue = void (*)(TaskDelegate* task);

}  // namespace NimbrelVR
