// What one run of the double has seen: the trace and the failed checks.
#pragma once

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "nimbrel_sim/types.h"
#include "run/faults.h"
#include "run/lightning_works.h"
#include "run/os.h"
#include "run/trace.h"

namespace nimbrel_sim {

class Run {
 public:
  Trace trace;
  Faults faults;
  // The plug-in's line that lightning works, and its order (lightning_works.h).
  LightningWorksWatch lightningWorks{trace, [this](const std::string& what) { fail(what); }};

  // An engine entry the fault plan refuses: traced, and true.
  bool refuse(const char* entry) {
    if (!faults.refuse(entry)) return false;
    trace.record("Fault", Args().s("entry", entry));
    return true;
  }

  // The burst of queued tasks the main thread is running now: tasks one
  // thread queues back to back share a number, so the casts of one chain of
  // strikes can be told apart from single strikes.
  std::atomic<uint32_t> runningTaskBurst{0};
  // When the task running now was queued (steady clock ticks): a move or a
  // cast is the plug-in's decision of that moment, however late a busy main
  // thread runs it.
  std::atomic<int64_t> runningTaskQueuedTicks{0};

  // A check failed: kept for failures() and written to the trace.
  void fail(const std::string& what) {
    {
      std::lock_guard lock(mutex_);
      failures_.push_back(what);
    }
    trace.record("Failure", Args().s("what", what));
  }
  std::vector<std::string> failures() const {
    std::lock_guard lock(mutex_);
    return failures_;
  }

  void setMainThread(std::thread::id id) {
    mainThread_.store(id);
    trace.setMainThread(id);
  }
  bool onMainThread() const { return std::this_thread::get_id() == mainThread_.load(); }

  // The double's own threads (main, UI, script machine) name themselves for
  // the trace; any other thread belongs to the plug-in.
  // `name` must outlive the thread; the system's tools see it as "sim-NAME".
  static void nameThisThread(const char* name) {
    threadName_ = name;
    os::nameThread(std::string("sim-") + name);
    std::lock_guard lock(ownThreadsMutex_);
    ownThreads_.insert(os::osThreadId());
  }
  // Whether a system thread id is one of the double's own threads.
  static bool isOwnThread(uint64_t osThread) {
    std::lock_guard lock(ownThreadsMutex_);
    return ownThreads_.count(osThread) != 0;
  }
  static const char* thisThreadName() { return threadName_; }
  static bool onDoubleThread() { return threadName_ != nullptr; }
  // Whether the calling thread is one of the double's whose name starts so.
  static bool onThreadOf(const char* prefix) { return threadName_ && std::string(threadName_).rfind(prefix, 0) == 0; }

  // A saved-game load holds the main thread: the plug-in's strike threads
  // should leave the world alone meanwhile, since the game is tearing its
  // cells and references down. A strike thread is one that queues tasks;
  // its queuing and its engine calls during a load are counted.
  std::atomic<bool> loading{false};
  std::atomic<uint64_t> pluginCallsDuringLoads{0};
  void noteTaskQueued(uint64_t osThread) {
    if (onDoubleThread()) return;
    std::lock_guard lock(mutex_);
    strikeThreads_.insert(osThread);
    if (loading.load(std::memory_order_relaxed)) pluginCallsDuringLoads.fetch_add(1, std::memory_order_relaxed);
  }
  void noteEngineCall(uint64_t osThread) {
    if (!loading.load(std::memory_order_relaxed) || onDoubleThread()) return;
    std::lock_guard lock(mutex_);
    if (strikeThreads_.count(osThread)) pluginCallsDuringLoads.fetch_add(1, std::memory_order_relaxed);
  }

  // A trace line's "thread" is "other" for exactly these: the threads that
  // are neither the double's own, nor the game's main thread, nor the
  // host's (where the plug-in's load runs).
  bool onPluginThread() const { return !onDoubleThread() && !onMainThread() && !trace.onHostThread(); }

  // The plug-in stood down: its log's reason line ("... is not laid out as
  // this build expects ...") or its stand-down line ("... stands down for
  // this game session ..."), as the double's log watch saw it (the first of
  // each counts). From the first of them on, any engine call from one of the
  // plug-in's own threads fails the run: once it has stood down the plug-in
  // makes none. The check covers calls after the line was seen, not those
  // between its writing and its sight (the watch looks every few ms).
  void noteStandDownLine(bool reason, const std::string& line) {
    {
      std::lock_guard lock(mutex_);
      if (!(reason ? standDown_.reasonLine : standDown_.standDownLine).empty()) return;
    }
    // In the trace first: every call the check catches comes after it there.
    trace.record("StandDownLine", Args().s("which", reason ? "reason" : "stand-down").s("line", line));
    // The check is armed before anyone can read that the line was seen, so
    // that no call made after that reading escapes it.
    {
      std::lock_guard lock(mutex_);
      (reason ? standDown_.reasonLine : standDown_.standDownLine) = line;
      if (!standDown_.seen) {
        standDown_.seen = true;
        standDown_.seenMs = trace.nowMs();
      }
      standDownSeen_.store(true, std::memory_order_release);
    }
    lightningWorks.noteStandDown();  // outside the lock: it may fail the run
  }
  // A line of the plug-in's that lightning works, as the log watch read it.
  void noteLightningWorksLine(const std::string& line) {
    lightningWorks.noteLine(line, standDownSeen_.load(std::memory_order_acquire));
  }
  StandDownSeen standDown() const {
    std::lock_guard lock(mutex_);
    return standDown_;
  }
  // Every call into the engine's code, by its entry's name.
  void noteEngineEntry(const char* entry) {
    if (!standDownSeen_.load(std::memory_order_acquire) || !onPluginThread()) return;
    const uint64_t thread = os::osThreadId();
    bool first = false;
    double afterMs = 0;
    {
      std::lock_guard lock(mutex_);
      first = standDown_.pluginEngineCallsAfter++ == 0;
      afterMs = trace.nowMs() - standDown_.seenMs;
    }
    trace.record("EngineCallAfterStandDown", Args().s("entry", entry).u("osThread", thread));
    if (!first) return;
    char text[300];
    std::snprintf(text, sizeof text,
                  "%s called from one of the plug-in's own threads (system thread %llu) %.1f ms after the double saw "
                  "its stand-down line: once it has stood down, the plug-in may make no engine call from its threads",
                  entry, static_cast<unsigned long long>(thread), afterMs);
    fail(text);
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> failures_;
  StandDownSeen standDown_;
  std::atomic<bool> standDownSeen_{false};
  std::unordered_set<uint64_t> strikeThreads_;
  std::atomic<std::thread::id> mainThread_{};
  static inline thread_local const char* threadName_ = nullptr;
  static inline std::mutex ownThreadsMutex_;
  static inline std::unordered_set<uint64_t> ownThreads_;
};

}  // namespace nimbrel_sim
