// Threads of the game other than its main thread: the UI thread that sends
// menu events, and the script machine's threads, several of which may run
// native calls at the same time.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nimbrel_sim {

class Workers {
 public:
  Workers(const std::string& name, int count);
  ~Workers();
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  // Runs a job on one of the threads and waits for it.
  void call(const std::function<void()>& job);
  // The same without waiting.
  void post(std::function<void()> job);
  // Waits until no job is queued or running.
  void drain();
  void stop();

 private:
  void loop(int index);

  std::vector<std::string> threadNames_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::deque<std::function<void()>> jobs_;
  int running_ = 0;
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

// Counts the plug-in's live threads by the names it gives them, sampled
// now and then from a thread of its own.
class ThreadCensus {
 public:
  struct Peaks {
    bool observed = false;  // false where the platform does not tell names
    size_t plugin = 0;      // every thread the double did not start
    size_t sheetLoops = 0;
    size_t forkLoops = 0;
    size_t strikes = 0;  // single and chain strike threads
  };
  // `everyTick` runs on the census thread at each sample. Without `sample`
  // no thread runs and nothing is observed.
  explicit ThreadCensus(bool sample = true, std::function<void()> everyTick = {});
  ~ThreadCensus();
  void stop();
  Peaks peaks() const;

 private:
  void loop();
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  Peaks peaks_;
  std::function<void()> everyTick_;
  std::thread thread_;
};

}  // namespace nimbrel_sim
