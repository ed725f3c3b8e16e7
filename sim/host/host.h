// The simulated SKSE host: the records handed to the plug-in, its interfaces
// (script 2, task 4, messaging 5), message delivery and the game's main
// thread that runs queued tasks.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "engine/engine.h"
#include "nimbrel_sim/types.h"
#include "run/run.h"

namespace nimbrel_sim {

// Host records, in the host's layout (the same for SE and AE hosts).
struct HostInterfaceRecord {
  uint32_t skseVersion;
  uint32_t runtimeVersion;
  uint32_t editorVersion;
  uint32_t isEditor;
  void* (*queryInterface)(uint32_t id);
  uint32_t (*getPluginHandle)();
  uint32_t (*getReleaseIndex)();
  const void* (*getPluginInfo)(const char* name);  // since 2.0.18
};
static_assert(offsetof(HostInterfaceRecord, runtimeVersion) == 4);
static_assert(offsetof(HostInterfaceRecord, isEditor) == 12);
static_assert(offsetof(HostInterfaceRecord, queryInterface) == 16);
static_assert(offsetof(HostInterfaceRecord, getPluginHandle) == 24);
static_assert(offsetof(HostInterfaceRecord, getPluginInfo) == 40);

struct PluginDescriptionRecord {
  uint32_t infoVersion;
  const char* name;
  uint32_t version;
};
static_assert(offsetof(PluginDescriptionRecord, name) == 8);
static_assert(offsetof(PluginDescriptionRecord, version) == 16);

struct HostMessageRecord {
  const char* sender;
  uint32_t type;
  uint32_t dataLen;
  void* data;
};
static_assert(offsetof(HostMessageRecord, type) == 8);
static_assert(offsetof(HostMessageRecord, dataLen) == 12);
static_assert(offsetof(HostMessageRecord, data) == 16);

struct ScriptInterfaceRecord {
  uint32_t interfaceVersion;
  bool (*registerFunctions)(void* callback);
};
struct TaskInterfaceRecord {
  uint32_t interfaceVersion;
  void (*addTask)(void* task);
  void (*addUiTask)(void* task);
};
struct MessagingInterfaceRecord {
  uint32_t interfaceVersion;
  bool (*registerListener)(uint32_t handle, const char* sender, void* listener);
  bool (*dispatch)(uint32_t handle, uint32_t type, void* data, uint32_t length, const char* receiver);
  void* (*getEventDispatcher)(uint32_t id);
};
static_assert(offsetof(ScriptInterfaceRecord, registerFunctions) == 8);
static_assert(offsetof(TaskInterfaceRecord, addTask) == 8);
static_assert(offsetof(MessagingInterfaceRecord, registerListener) == 8);
static_assert(offsetof(MessagingInterfaceRecord, getEventDispatcher) == 24);

// What the frames saw of the task queue.
struct TaskStats {
  size_t queued = 0;
  size_t released = 0;
  size_t pending = 0;             // queued or running, not yet released
  size_t maxPerFrame = 0;         // tasks one frame ran
  uint64_t maxLatencyFrames = 0;  // frames from queuing to running
  size_t heldOverLoads = 0;       // queued during a load, run after it
  // The longest one task's Execute and Release held the main thread, in
  // wall-clock milliseconds: what the plug-in itself costs a frame, whatever
  // else the machine runs.
  double longestTaskMs = 0;
};

class Host {
 public:
  static constexpr uint32_t kNoHandle = 0xFFFFFFFF;
  static constexpr uint32_t kActionDispatcherId = 3;
  static constexpr const char* kHostSender = "SKSE";

  Host(Run& run, Engine& engine, const Options& options);
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Routes the host's function pointers to this host.
  void activate();
  const HostInterfaceRecord* record() const { return &record_; }

  // The plug-in's handle: its 1-based load index. The host hands it out
  // while the plug-in's query or load runs, and nowhere else.
  uint32_t handle() const { return options_.loadIndex; }
  void setInQueryOrLoad(bool inside) { inQueryOrLoad_.store(inside); }

  // Delivers a message from `sender` to the listeners registered for that
  // sender (names compare without regard to case); a listener registered
  // with a null sender hears every plug-in but never the host itself.
  // Returns the number of listeners the message reached.
  size_t sendMessage(uint32_t type, uint64_t dataWord, const char* sender = kHostSender);
  void sendNullMessage();
  void registerScriptFunctions();
  // A listener of another plug-in (handle `otherHandle`), for the host's rules.
  bool registerListenerOf(uint32_t otherHandle, const char* sender, void* listener);

  // The host's frame hook on the main thread: runs the tasks queued so far,
  // in order (tasks queued while it runs wait for the next frame).
  void runFrameTasks(uint64_t frame);
  // The frame that is running, for the latency of each task.
  void setFrame(uint64_t frame) { frame_.store(frame); }
  // Waits until every task queued before the call has run (at once on the
  // main thread, while tasks are held, or once frames have stopped).
  void drainTasks();
  void setFramesStopped() {
    {
      std::lock_guard lock(mutex_);
      framesStopped_ = true;
    }
    idle_.notify_all();
  }
  TaskStats taskStats() const;
  // Waits as drainTasks does; `due` is the number of tasks queued when the
  // wait began, all of which should be released by then.
  TaskStats drainAndCount(size_t& due);
  // While held, frames leave queued tasks in the queue.
  void hold(bool held);
  // A load holds the main thread: tasks queued meanwhile are counted when
  // they run after it.
  void setLoading(bool loading);

  uint32_t listenerHandle() const;
  size_t listenerCount() const;
  size_t scriptCallbackCount() const;
  std::vector<uint32_t> interfaceRequests() const;

  // The host's side of each operation.
  void* queryInterface(uint32_t id);
  uint32_t pluginHandle();
  const void* pluginInfo(const char* name);
  bool registerScriptCallback(void* callback);
  void addTask(void* task, bool ui);
  bool registerListener(uint32_t handle, const char* sender, void* listener);
  bool dispatch(uint32_t handle, uint32_t type, uint32_t length, const char* receiver);
  void* eventDispatcher(uint32_t id);

 private:
  struct Listener {
    uint32_t handle;
    std::string sender;  // empty: every sender but the host
    void* fn;
  };
  struct Queued {
    void* task;
    uint32_t burst;
    uint64_t frame;
    bool duringLoad;
    std::chrono::steady_clock::time_point queuedAt;
  };
  void runTask(const Queued& queued);
  std::vector<Listener> listenersFor(const char* sender) const;

  Run& run_;
  Engine& engine_;
  const Options& options_;
  HostInterfaceRecord record_{};
  ScriptInterfaceRecord script_{};
  TaskInterfaceRecord task_{};
  MessagingInterfaceRecord messaging_{};
  std::atomic<bool> inQueryOrLoad_{false};
  std::atomic<uint64_t> frame_{0};

  mutable std::mutex mutex_;
  std::vector<uint32_t> requests_;
  std::vector<Listener> listeners_;
  uint32_t listenerHandle_ = kNoHandle;
  std::vector<void*> scriptCallbacks_;

  // The VR host keeps its queue's (recursive) lock while a task runs, so an
  // AddTask from another thread waits for it; the SE host lets go first.
  std::recursive_mutex queueLock_;
  std::condition_variable idle_;
  std::deque<Queued> queue_;
  // Burst numbers: per queuing thread its last burst.
  std::unordered_map<uint64_t, std::pair<uint32_t, std::chrono::steady_clock::time_point>> threadBurst_;
  uint32_t bursts_ = 0;
  std::set<void*> pending_;  // queued or running, not yet released
  bool held_ = false;
  bool loading_ = false;
  bool framesStopped_ = false;
  size_t queued_ = 0;
  size_t released_ = 0;
  size_t maxPerFrame_ = 0;
  size_t ranThisFrame_ = 0;
  uint64_t maxLatency_ = 0;
  size_t heldOverLoads_ = 0;
  double longestTaskMs_ = 0;
};

}  // namespace nimbrel_sim
