#include "lightning/tasks.h"

#include <atomic>

#include "game/engine_binding.h"
#include "game/plugin_forms.h"
#include "game/script_machine.h"
#include "game/world.h"
#include "platform/process_wide.h"

namespace NimbrelVR {
namespace {

constinit ProcessWide<std::atomic<TaskQueue>> taskQueue;

void* ModifierFor(uint32_t type) {
  if (type == Sheet) return gPluginForms->sheetImod;
  if (type == Fork) return gPluginForms->forkImod;
  return nullptr;
}

}  // namespace

// Execute runs inside the game's main thread: nothing may escape.

void taskApplyImod::Execute() {
  try {
    void* modifier = ModifierFor(type);
    void* registry = game::ScriptRegistry();
    if (modifier && registry) game::Engine().ImodApplyNative(registry, 0, modifier, 1.0f);
  } catch (...) {
  }
}

void taskRemoveImod::Execute() {
  try {
    void* modifier = ModifierFor(type);
    void* registry = game::ScriptRegistry();
    if (modifier && registry) game::Engine().ImodRemoveNative(registry, 0, modifier);
  } catch (...) {
  }
}

void taskMoveTo::Execute() {
  try {
    void* registry = game::ScriptRegistry();
    if (reference && registry)
      game::Engine().RefMoveToNative(registry, 0, reference, destination, offsetX, offsetY, offsetZ, false);
  } catch (...) {
  }
}

void taskCastSpell::Execute() {
  try {
    void* registry = game::ScriptRegistry();
    if (registry) game::Engine().SpellCastNative(registry, 0, spell, caster, target);
  } catch (...) {
  }
}

void taskApplyImod::Release() { delete this; }
void taskRemoveImod::Release() { delete this; }
void taskMoveTo::Release() { delete this; }
void taskCastSpell::Release() { delete this; }

TaskQueue SetTaskQueue(TaskQueue queue) { return taskQueue->exchange(queue); }

bool QueueTask(TaskDelegate* task) {
  if (!task) return false;
  const TaskQueue queue = taskQueue->load();
  if (!queue) {
    task->Release();
    return false;
  }
  queue(task);
  return true;
}

}  // namespace NimbrelVR
