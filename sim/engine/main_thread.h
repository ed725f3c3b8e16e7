// The game's main thread. It runs frames at a set rate: each frame the world
// moves on and the host runs its task queue (the frame's work, handed in).
// Host messages, hits and actions run on it too, between frames, and never
// while a task runs. A saved-game load or a hitch stalls it: no frame runs
// then, so tasks queued meanwhile wait for the frames after it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "run/run.h"

namespace nimbrel_sim {

class MainThread {
 public:
  // `frame` counts from 1.
  using FrameWork = std::function<void(uint64_t frame)>;

  MainThread(Run& run, double fps, double timeScale);
  ~MainThread();
  MainThread(const MainThread&) = delete;
  MainThread& operator=(const MainThread&) = delete;

  void start(FrameWork work);
  // Ends the thread after the jobs handed in so far; frames stop.
  void stop();
  bool running() const { return running_.load(); }

  // Runs a job on the main thread between frames and waits for it. On the
  // main thread itself, or once the thread has ended, it runs at once.
  void call(const std::function<void()>& job);
  // The same without waiting.
  void post(std::function<void()> job);
  // Blocks the main thread (the caller must be it) for simulated time.
  void stall(double simulatedMs);
  // Returns once `count` more frames have run (at once when stopped).
  void waitFrames(uint64_t count);

  double fps() const { return fps_.load(); }
  void setFps(double fps);
  uint64_t frames() const { return frame_.load(); }
  double stalledMs() const { return stalledMs_.load(); }

 private:
  void loop();

  Run& run_;
  std::atomic<double> fps_;
  const double timeScale_;
  std::atomic<double> periodMs_;  // wall time of one frame
  FrameWork work_;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable progress_;
  std::deque<std::function<void()>> jobs_;
  uint64_t jobsQueued_ = 0;
  uint64_t jobsDone_ = 0;
  bool stop_ = false;
  std::atomic<bool> running_{false};
  std::atomic<uint64_t> frame_{0};
  std::atomic<double> stalledMs_{0};
  std::thread thread_;
};

}  // namespace nimbrel_sim
