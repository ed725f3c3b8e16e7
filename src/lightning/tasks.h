// Work for the game's main thread: every change to the world goes through
// one of these, queued to the host. The host runs Execute, then Release,
// which frees the task.
#pragma once

#include <cstdint>

#include "lightning/lightning_type.h"
#include "lightning/strike_positions.h"
#include "lightning/task_delegate.h"

namespace NimbrelVR {

class taskApplyImod final : public TaskDelegate {
 public:
  explicit taskApplyImod(uint32_t type) : type(type) {}
  void Execute() override;
  void Release() override;
  uint32_t type;
};

class taskRemoveImod final : public TaskDelegate {
 public:
  explicit taskRemoveImod(uint32_t type) : type(type) {}
  void Execute() override;
  void Release() override;
  uint32_t type;
};

class taskMoveTo final : public TaskDelegate {
 public:
  taskMoveTo(void* reference, void* destination, const StrikeOffset& offset)
      : reference(reference), destination(destination), offsetX(offset.x), offsetY(offset.y), offsetZ(offset.z) {}
  void Execute() override;
  void Release() override;
  void* reference;
  void* destination;
  float offsetX;
  float offsetY;
  float offsetZ;
};

class taskCastSpell final : public TaskDelegate {
 public:
  taskCastSpell(void* caster, void* target, void* spell) : caster(caster), target(target), spell(spell) {}
  void Execute() override;
  void Release() override;
  void* caster;
  void* target;
  void* spell;
};

// The host's task queue, handed in when the plug-in loads; null (the
// default) when the host has none. Returns the queue it replaces.
TaskQueue SetTaskQueue(TaskQueue queue);

// Hands a task to the host. False (and the task freed) when there is no task
// queue or no memory for the task, or once lightning has stood down.
bool QueueTask(TaskDelegate* task);

// Queues the removal of a flash whose application was queued: also after
// lightning has stood down, so that no flash stays on. The removal runs when
// the script machine passes its checks; otherwise it is dropped, and the log
// says so.
bool QueueFlashRemoval(uint32_t type);

}  // namespace NimbrelVR
