#include "lightning/strike_pool.h"

#include <chrono>
#include <new>
#include <utility>

#include "platform/platform.h"

namespace NimbrelVR {

const char* StrikeThreadName(StrikeKind kind) { return kind == StrikeKind::Chain ? "nb-chain" : "nb-strike"; }

// One thread of the pool. Others hand it work only under the pool's lock,
// while it is on an idle list. It outlives its thread, kept for the next one:
// a wake-up sent just as its thread ended must find it still there.
struct StrikePool::Worker {
  StrikeKind kind = StrikeKind::Single;
  std::function<void()> work;
  bool handed = false;  // `work` is new, and the thread is no longer idle
  std::condition_variable wake;
  Worker* prev = nullptr;
  Worker* next = nullptr;
};

void StrikePool::PushIdle(Worker* worker) {
  Worker*& head = idle_[static_cast<int>(worker->kind)];
  worker->prev = nullptr;
  worker->next = head;
  if (head) head->prev = worker;
  head = worker;
}

void StrikePool::Unlink(Worker* worker) {
  Worker*& head = idle_[static_cast<int>(worker->kind)];
  if (worker->prev) worker->prev->next = worker->next;
  if (worker->next) worker->next->prev = worker->prev;
  if (head == worker) head = worker->next;
  worker->prev = worker->next = nullptr;
}

StrikePool::Launch StrikePool::Run(StrikeKind kind, std::function<void()> work) {
  std::unique_lock lock(mutex_);
  if (busy_.load() >= maxBusy_) return Launch::AtCap;
  Worker* waiting = idle_[static_cast<int>(kind)];
  if (!waiting && threads_.load() >= maxBusy_) waiting = idle_[1 - static_cast<int>(kind)];
  if (waiting) {
    Unlink(waiting);
    waiting->kind = kind;
    waiting->work = std::move(work);
    waiting->handed = true;
    busy_.fetch_add(1);
    lock.unlock();
    waiting->wake.notify_one();
    return Launch::Started;
  }
  Worker* fresh = spare_;
  if (fresh) {
    spare_ = fresh->next;
    fresh->next = nullptr;
  } else {
    fresh = new (std::nothrow) Worker;
    if (!fresh) return Launch::NoThread;
  }
  fresh->kind = kind;
  fresh->work = std::move(work);
  fresh->handed = false;
  busy_.fetch_add(1);
  threads_.fetch_add(1);
  lock.unlock();
  if (platform::StartDetachedThread(StrikeThreadName(kind), [this, fresh] { Serve(fresh); })) {
    started_.fetch_add(1);
    return Launch::Started;
  }
  lock.lock();
  busy_.fetch_sub(1);
  threads_.fetch_sub(1);
  fresh->work = nullptr;
  fresh->next = spare_;
  spare_ = fresh;
  return Launch::NoThread;
}

void StrikePool::Serve(Worker* self) {
  for (;;) {
    // A strike must never take its thread down with it.
    try {
      self->work();
    } catch (...) {
    }
    self->work = nullptr;  // the strike's own arguments go with it
    // Neutral before the strike counts as finished, so that a count of
    // threads by name never sees more strikers than strikes.
    platform::NameCurrentThread(platform::kNeutralThreadName);
    std::unique_lock lock(mutex_);
    self->handed = false;
    PushIdle(self);
    busy_.fetch_sub(1);
    if (!self->wake.wait_for(lock, std::chrono::milliseconds(idleMs_), [self] { return self->handed; })) {
      Unlink(self);
      self->next = spare_;
      spare_ = self;
      threads_.fetch_sub(1);
      return;
    }
    lock.unlock();
    platform::NameCurrentThread(StrikeThreadName(self->kind));
  }
}

}  // namespace NimbrelVR
