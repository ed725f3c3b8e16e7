// The simulated SKSE host: the records handed to the plug-in, its interfaces
// (script 2, task 4, messaging 5), message delivery and the game's main
// thread that runs queued tasks.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <chrono>
#include <deque>
#include <thread>
#include <unordered_map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine.h"
#include "nimbrel_sim/game_double.h"
#include "run.h"

namespace nimbrel_sim {

// Host records, in the host's layout.
struct HostInterfaceRecord {
  uint32_t interfaceVersion;
  uint32_t runtimeVersion;
  uint32_t editorVersion;
  uint32_t isEditor;
  void* (*queryInterface)(uint32_t id);
  uint32_t (*getPluginHandle)();
  uint32_t (*getReleaseIndex)();
};
static_assert(offsetof(HostInterfaceRecord, runtimeVersion) == 4);
static_assert(offsetof(HostInterfaceRecord, isEditor) == 12);
static_assert(offsetof(HostInterfaceRecord, queryInterface) == 16);
static_assert(offsetof(HostInterfaceRecord, getPluginHandle) == 24);

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

class Host {
 public:
  static constexpr uint32_t kPluginHandle = 7;
  static constexpr uint32_t kNoHandle = 0xFFFFFFFF;
  static constexpr uint32_t kActionDispatcherId = 3;

  Host(Run& run, Engine& engine, const Options& options);
  ~Host();
  // Ends the main thread once the tasks queued before the call have run;
  // tasks queued later stay queued (and reachable) without running.
  void stop();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Routes the host's function pointers to this host.
  void activate();
  const HostInterfaceRecord* record() const { return &record_; }

  // Returns the number of listeners the message reached.
  size_t sendMessage(uint32_t type, uint64_t dataWord);
  void sendNullMessage();
  void registerScriptFunctions();
  void drainTasks();
  // Task bookkeeping for the final checks: queued, run and released counts.
  void taskCounts(size_t& queued, size_t& released, size_t& pending) const;
  // Waits as drainTasks does and then takes the counts; `due` is the number
  // of tasks queued when the wait began, all of which should be released by
  // then (tasks the plug-in queued meanwhile may still be pending).
  void drainAndCount(size_t& due, size_t& queued, size_t& released, size_t& pending);
  // While held, the main thread leaves queued tasks in the queue; drainTasks
  // then returns without waiting for them.
  void hold(bool held);

  uint32_t listenerHandle() const;
  size_t listenerCount() const;
  size_t scriptCallbackCount() const;
  std::vector<uint32_t> interfaceRequests() const;

  // The host's side of each operation.
  void* queryInterface(uint32_t id);
  uint32_t pluginHandle();
  bool registerScriptCallback(void* callback);
  void addTask(void* task, bool ui);
  bool registerListener(uint32_t handle, const char* sender, void* listener);
  bool dispatch(uint32_t handle, uint32_t type, uint32_t length, const char* receiver);
  void* eventDispatcher(uint32_t id);

 private:
  struct Listener {
    uint32_t handle;
    std::string sender;
    void* fn;
  };
  void mainThread();
  void waitForTasksBefore(std::unique_lock<std::mutex>& lock, size_t ticket);

  Run& run_;
  Engine& engine_;
  const Options& options_;
  HostInterfaceRecord record_{};
  ScriptInterfaceRecord script_{};
  TaskInterfaceRecord task_{};
  MessagingInterfaceRecord messaging_{};

  mutable std::mutex mutex_;
  std::vector<uint32_t> requests_;
  std::vector<Listener> listeners_;
  uint32_t listenerHandle_ = kNoHandle;
  std::vector<void*> scriptCallbacks_;

  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<void*> queue_;
  // Burst numbers: per queued task, and per queuing thread its last burst.
  std::unordered_map<void*, uint32_t> taskBurst_;
  std::unordered_map<uint64_t, std::pair<uint32_t, std::chrono::steady_clock::time_point>> threadBurst_;
  uint32_t bursts_ = 0;
  std::set<void*> pending_;  // queued or running, not yet released
  bool running_ = false;
  bool held_ = false;
  bool stop_ = false;
  size_t stopTicket_ = 0;  // tasks queued when stop() was called
  bool stopped_ = false;
  size_t queued_ = 0;
  size_t released_ = 0;
  std::thread thread_;
};

}  // namespace nimbrel_sim
