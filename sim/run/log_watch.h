// Follows the plug-in's log while the game runs, from a thread of the
// double's own, and tells the run the moment it sees the plug-in stand down
// (Run::noteStandDownLine): from then on an engine call from one of the
// plug-in's threads fails the run. It tells the run too of the plug-in's
// line that lightning works (Run::noteLightningWorksLine), whose order the
// run proves with looks of its own at two moments (lightning_works.h).
#pragma once

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "run/run.h"

namespace nimbrel_sim {

class LogWatch {
 public:
  // How often the thread looks at the log. Each look is a timed wake-up,
  // tens of microseconds on a virtual machine: every 4 ms costs about 1 % of
  // a core, every 2 ms twice that.
  static constexpr int kLookMs = 4;

  explicit LogWatch(Run& run) : run_(run) {}
  ~LogWatch();
  LogWatch(const LogWatch&) = delete;
  LogWatch& operator=(const LogWatch&) = delete;

  // Starts following the log at `path` (once; the file may not exist yet).
  void start(const std::string& path);
  void stop();
  // One look now, on the caller's thread: the lines written so far. False
  // while the plug-in has no log (no plug-in, or none that opened one).
  bool look();

  // The plug-in's words: a line naming what it found where it looked, and
  // the line that lightning stands down.
  static bool isReasonLine(const std::string& line);
  static bool isStandDownLine(const std::string& line);

 private:
  void loop();

  Run& run_;
  std::mutex lookMutex_;  // one look at a time
  std::string path_;
  std::FILE* file_ = nullptr;
  long offset_ = 0;  // read up to here
  std::string partial_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool started_ = false;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace nimbrel_sim
