// Tasks on the game's main thread for the double's tests: a plug-in of
// plain functions that keeps the host record, and tasks in the engine's
// layout (table first: Execute, then Release) that run a function there.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <utility>

#include "nimbrel_sim/game_double.h"

namespace nimbrel_sim_tests {

// A plug-in of plain functions that keeps the host record, so a test can
// queue tasks to the game's main thread.
struct HostRec {
  uint32_t version, runtime, editorVersion, editor;
  void* (*query)(uint32_t);
};
struct TaskRec {
  uint32_t version;
  void (*add)(void*);
};
inline const HostRec* gHost = nullptr;
inline bool testQuery(const void* host, void*) {
  gHost = static_cast<const HostRec*>(host);
  return true;
}
inline bool testLoad(const void*) { return true; }

struct FnTask {
  void* const* table;
  std::function<void()> body;
};
inline void fnExecute(FnTask* t) { t->body(); }
inline void fnRelease(FnTask* t) { delete t; }
inline void* const kFnTaskTable[] = {reinterpret_cast<void*>(&fnExecute), reinterpret_cast<void*>(&fnRelease)};

inline TaskRec* taskInterface(nimbrel_sim::GameDouble& game) {
  EXPECT_TRUE(game.usePluginEntryPoints(testQuery, testLoad));
  EXPECT_TRUE(game.query());
  return static_cast<TaskRec*>(gHost->query(4));
}

inline void queue(TaskRec* tasks, std::function<void()> body) { tasks->add(new FnTask{kFnTaskTable, std::move(body)}); }

// Runs `body` as a task on the game's main thread and waits for it.
inline void onMainThread(nimbrel_sim::GameDouble& game, TaskRec* tasks, std::function<void()> body) {
  queue(tasks, std::move(body));
  game.host().drainTasks();
}

}  // namespace nimbrel_sim_tests
