#include "engine/workers.h"

#include <algorithm>
#include <chrono>

#include "run/os.h"
#include "run/run.h"

namespace nimbrel_sim {

Workers::Workers(const std::string& name, int count) {
  for (int i = 0; i < count; ++i) threadNames_.push_back(count == 1 ? name : name + "-" + std::to_string(i + 1));
  for (int i = 0; i < count; ++i) threads_.emplace_back([this, i] { loop(i); });
}

Workers::~Workers() { stop(); }

void Workers::loop(int index) {
  Run::nameThisThread(threadNames_[static_cast<size_t>(index)].c_str());
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
    if (jobs_.empty()) return;
    auto job = std::move(jobs_.front());
    jobs_.pop_front();
    ++running_;
    lock.unlock();
    job();
    lock.lock();
    --running_;
    done_.notify_all();
  }
}

void Workers::call(const std::function<void()>& job) {
  std::unique_lock lock(mutex_);
  if (stop_) {
    lock.unlock();
    job();
    return;
  }
  bool finished = false;
  jobs_.push_back([&] {
    job();
    std::lock_guard done(mutex_);
    finished = true;
  });
  wake_.notify_one();
  done_.wait(lock, [&] { return finished; });
}

void Workers::post(std::function<void()> job) {
  std::unique_lock lock(mutex_);
  if (stop_) {
    lock.unlock();
    job();
    return;
  }
  jobs_.push_back(std::move(job));
  wake_.notify_one();
}

void Workers::drain() {
  std::unique_lock lock(mutex_);
  done_.wait(lock, [&] { return (jobs_.empty() && running_ == 0) || threads_.empty() || stop_; });
}

void Workers::stop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  for (auto& t : threads_)
    if (t.joinable()) t.join();
  done_.notify_all();
}

ThreadCensus::ThreadCensus(bool sample, std::function<void()> everyTick) : everyTick_(std::move(everyTick)) {
  if (sample) thread_ = std::thread([this] { loop(); });
}

ThreadCensus::~ThreadCensus() { stop(); }

void ThreadCensus::stop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

ThreadCensus::Peaks ThreadCensus::peaks() const {
  std::lock_guard lock(mutex_);
  return peaks_;
}

void ThreadCensus::loop() {
  Run::nameThisThread("census");
  std::vector<os::ThreadInfo> threads;
  os::ThreadLister lister;
  std::unique_lock lock(mutex_);
  while (!stop_) {
    lock.unlock();
    if (everyTick_) everyTick_();
    const bool observed = lister.list(threads, &Run::isOwnThread);
    Peaks now;
    now.observed = observed;
    // Threads the double did not start are the plug-in's; the names it
    // gives them tell the loops and strikes apart.
    for (const auto& [id, name] : threads) {
      ++now.plugin;
      now.sheetLoops += name == "nb-loop-sheet";
      now.forkLoops += name == "nb-loop-fork";
      now.strikes += name == "nb-strike" || name == "nb-chain";
    }
    lock.lock();
    peaks_.observed = observed;
    peaks_.plugin = std::max(peaks_.plugin, now.plugin);
    peaks_.sheetLoops = std::max(peaks_.sheetLoops, now.sheetLoops);
    peaks_.forkLoops = std::max(peaks_.forkLoops, now.forkLoops);
    peaks_.strikes = std::max(peaks_.strikes, now.strikes);
    wake_.wait_for(lock, std::chrono::milliseconds(20));
  }
}

}  // namespace nimbrel_sim
