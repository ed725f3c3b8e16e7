// The watch on the plug-in's line that lightning works, which it writes once
// per game session right after its first strike's spell cast has run on the
// main thread. Its order is proved by two looks at the log, both on the main
// thread: right before the first SpellCastNative call runs (the line must
// not be there yet) and right after the task that made that call returns
// from Execute (it must be there). A line before the first cast, none by
// the time that task returned, a second one, or one in a session where the
// plug-in stood down fails the run. A run without a cast says nothing of it.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "nimbrel_sim/types.h"
#include "run/trace.h"

namespace nimbrel_sim {

class LightningWorksWatch {
 public:
  LightningWorksWatch(Trace& trace, std::function<void(const std::string&)> fail)
      : trace_(trace), fail_(std::move(fail)) {}

  // "Lightning works on runtime <runtime>: the first strike was cast, and
  // every object checked so far was of the expected class."
  static bool isLine(const std::string& line);

  // How to look at the log now, on the caller's thread (the log watch's
  // look; false while there is no log); without one the two looks see only
  // what the watch saw already.
  void setLook(std::function<bool()> look);
  // A line the log watch read; `stoodDown`: the plug-in's stand-down was
  // seen before it.
  void noteLine(const std::string& line, bool stoodDown);
  // The plug-in stood down: a line seen already fails the run.
  void noteStandDown();
  // Every SpellCastNative call as it enters the engine (the first one
  // looks), and every task as its Execute returns (the one that made the
  // first cast looks). Otherwise an atomic load each.
  void beforeSpellCast(bool onMainThread);
  void afterTaskExecute();

  LightningWorksSeen seen() const;

 private:
  // Failures are collected under the lock and handed to the run after it:
  // the run's own lock is taken around calls into this watch.
  void failOnce(bool& flag, const std::string& what, std::vector<std::string>& failures);

  Trace& trace_;
  std::function<void(const std::string&)> fail_;
  std::function<bool()> look_;
  // 0 before the first cast, 1 from its look on, 2 once its task's look was
  // made; changed under mutex_, read there too where it decides.
  std::atomic<int> stage_{0};
  std::atomic<bool> castClaimed_{false};
  mutable std::mutex mutex_;
  LightningWorksSeen seen_;
  bool stoodDown_ = false;
  bool failedBefore_ = false, failedSecond_ = false, failedLate_ = false, failedStoodDown_ = false;
};

}  // namespace nimbrel_sim
