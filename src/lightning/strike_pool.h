// Strike threads that wait for the next strike instead of ending after one:
// starting and ending a thread costs far more than the strike's own work.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace NimbrelVR {

// How long a strike thread waits for another strike before it ends, so that
// a clear sky holds no strike threads.
inline constexpr uint32_t kStrikeThreadIdleMs = 4000;

// The two kinds of strike, by the names their threads carry while they strike.
enum class StrikeKind : int { Single = 0, Chain = 1 };
const char* StrikeThreadName(StrikeKind kind);

class StrikePool {
 public:
  enum class Launch {
    Started,   // the work runs, on a waiting thread or a new one
    AtCap,     // `maxBusy` strikes are already under way
    NoThread,  // no thread waited and none could be started
  };

  // `idleMs` in real time; `maxBusy` strikes at most, and as many threads.
  StrikePool(uint32_t idleMs, int maxBusy) : idleMs_(idleMs), maxBusy_(maxBusy) {}
  StrikePool(const StrikePool&) = delete;
  StrikePool& operator=(const StrikePool&) = delete;

  // Hands `work` to a waiting thread of its kind, or starts one. A thread
  // waiting for the other kind takes it only when no further thread may
  // start, so that a kind whose threads cannot start never strikes.
  Launch Run(StrikeKind kind, std::function<void()> work);

  // Strikes under way (work handed over and not yet finished).
  int Busy() const { return busy_.load(); }
  // Threads alive, striking or waiting.
  int Threads() const { return threads_.load(); }
  // Threads started since the pool was made.
  long Started() const { return started_.load(); }

 private:
  struct Worker;
  void Serve(Worker* self);
  void PushIdle(Worker* worker);
  void Unlink(Worker* worker);

  const uint32_t idleMs_;
  const int maxBusy_;
  std::mutex mutex_;
  Worker* idle_[2] = {nullptr, nullptr};  // per kind, the last to wait first
  Worker* spare_ = nullptr;               // of threads that have ended
  std::atomic<int> busy_{0};
  std::atomic<int> threads_{0};
  std::atomic<long> started_{0};
};

}  // namespace NimbrelVR
