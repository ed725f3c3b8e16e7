#include "lightning/tasks.h"

#include <atomic>

#include "game/checked_reads.h"
#include "game/engine_binding.h"
#include "game/plugin_forms.h"
#include "game/stand_down.h"
#include "log/debug_log.h"
#include "platform/process_wide.h"

namespace NimbrelVR {
namespace {

constinit ProcessWide<std::atomic<TaskQueue>> taskQueue;
// Whether the log has said that lightning works: once per game session.
constinit ProcessWide<std::atomic<bool>> saidItWorks;

// The first cast of the session is the plug-in's proof in the player's game:
// every record it relied on to get there passed its check.
void SayLightningWorks() {
  if (game::StoodDown() || saidItWorks->exchange(true)) return;
  const game::RuntimeText runtime = game::ReportedRuntime();
  PluginLog(0,
            "Lightning works on runtime %s: the first strike was cast, and every object checked so far was of the "
            "expected class.",
            runtime.text);
}

void* ModifierFor(uint32_t type) {
  if (type == Sheet) return gPluginForms->sheetImod;
  if (type == Fork) return gPluginForms->forkImod;
  return nullptr;
}

// The registry for a task's native call; null when there is none, or when a
// check failed or lightning has stood down (the task then does nothing).
void* Registry() {
  void* registry = nullptr;
  return game::CheckedScriptRegistry(&registry) ? registry : nullptr;
}

bool Hand(TaskDelegate* task) {
  const TaskQueue queue = taskQueue->load();
  if (!queue) {
    task->Release();
    return false;
  }
  queue(task);
  return true;
}

}  // namespace

// Execute runs inside the game's main thread: nothing may escape.

void taskApplyImod::Execute() {
  try {
    void* modifier = ModifierFor(type);
    void* registry = Registry();
    if (modifier && registry) game::Engine().ImodApplyNative(registry, 0, modifier, 1.0f);
  } catch (...) {
  }
}

// The one task that runs after the stand-down too: a flash applied must not
// stay on.
void taskRemoveImod::Execute() {
  try {
    void* modifier = ModifierFor(type);
    void* registry = nullptr;
    if (!game::CheckedScriptRegistryToUndo(&registry)) {
      PluginLog(0, "The flash's removal is dropped: the script machine failed its check.");
      return;
    }
    if (modifier && registry) game::Engine().ImodRemoveNative(registry, 0, modifier);
  } catch (...) {
  }
}

void taskMoveTo::Execute() {
  try {
    void* registry = Registry();
    if (reference && registry)
      game::Engine().RefMoveToNative(registry, 0, reference, destination, offsetX, offsetY, offsetZ, false);
  } catch (...) {
  }
}

void taskCastSpell::Execute() {
  try {
    void* registry = Registry();
    if (!registry) return;
    game::Engine().SpellCastNative(registry, 0, spell, caster, target);
    SayLightningWorks();
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
  if (game::StoodDown()) {
    task->Release();
    return false;
  }
  return Hand(task);
}

bool QueueFlashRemoval(uint32_t type) { return Hand(new taskRemoveImod(type)); }

}  // namespace NimbrelVR
