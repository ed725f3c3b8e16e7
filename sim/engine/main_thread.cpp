#include "engine/main_thread.h"

namespace nimbrel_sim {

MainThread::MainThread(Run& run, double fps, double timeScale)
    : run_(run),
      fps_(fps > 0 ? fps : 60.0),
      timeScale_(timeScale > 0 ? timeScale : 1.0),
      periodMs_(1000.0 / fps_.load() / timeScale_) {}

void MainThread::setFps(double fps) {
  if (!(fps > 0)) return;
  fps_.store(fps);
  periodMs_.store(1000.0 / fps / timeScale_);
}

MainThread::~MainThread() { stop(); }

void MainThread::start(FrameWork work) {
  work_ = std::move(work);
  running_.store(true);
  thread_ = std::thread([this] { loop(); });
  run_.setMainThread(thread_.get_id());
}

void MainThread::stop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable() && std::this_thread::get_id() != thread_.get_id()) thread_.join();
}

void MainThread::loop() {
  Run::nameThisThread("main");
  using Clock = std::chrono::steady_clock;
  auto period = [this] {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(periodMs_.load()));
  };
  auto next = Clock::now() + period();
  std::unique_lock lock(mutex_);
  for (;;) {
    // Between frames: the jobs handed in, until the next frame is due.
    while (!jobs_.empty() || (!stop_ && Clock::now() < next)) {
      if (jobs_.empty()) {
        wake_.wait_until(lock, next);
        continue;
      }
      auto job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      job();
      lock.lock();
      ++jobsDone_;
      progress_.notify_all();
    }
    if (stop_) break;
    lock.unlock();
    const uint64_t frame = frame_.load() + 1;
    if (work_) work_(frame);
    frame_.store(frame);
    lock.lock();
    progress_.notify_all();
    // After a stall the game does not run the missed frames in a burst.
    next += period();
    if (next < Clock::now()) next = Clock::now() + period();
  }
  running_.store(false);
  progress_.notify_all();
}

void MainThread::call(const std::function<void()>& job) {
  if (run_.onMainThread() || !running_.load()) {
    job();
    return;
  }
  std::unique_lock lock(mutex_);
  if (stop_) {
    lock.unlock();
    job();
    return;
  }
  jobs_.push_back(job);
  const uint64_t ticket = ++jobsQueued_;
  wake_.notify_all();
  progress_.wait(lock, [&] { return jobsDone_ >= ticket || !running_.load(); });
}

void MainThread::post(std::function<void()> job) {
  std::unique_lock lock(mutex_);
  if (stop_ || !running_.load()) {
    lock.unlock();
    job();
    return;
  }
  jobs_.push_back(std::move(job));
  ++jobsQueued_;
  wake_.notify_all();
}

void MainThread::stall(double simulatedMs) {
  if (simulatedMs <= 0) return;
  std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(simulatedMs / timeScale_));
  stalledMs_.store(stalledMs_.load() + simulatedMs);
}

void MainThread::waitFrames(uint64_t count) {
  if (run_.onMainThread()) return;
  std::unique_lock lock(mutex_);
  const uint64_t until = frame_.load() + count;
  progress_.wait(lock, [&] { return frame_.load() >= until || !running_.load() || stop_; });
}

}  // namespace nimbrel_sim
