#include "lightning/random.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <random>

#include "platform/process_wide.h"
#include "settings/settings.h"

namespace NimbrelVR {
namespace {

// The operating system's random source, opened once, at the first draw (not
// while the library loads): opening it costs far more than reading it (on x86
// the library probes the processor each time).
struct SystemSource {
  std::mutex mutex;
  bool opened = false;
  std::optional<std::random_device> device;  // empty when no source could be opened
};

ProcessWide<SystemSource> source;

// Lets every clock-seeded draw differ from the one before.
constinit ProcessWide<std::atomic<uint32_t>> fallbackCounter;

uint32_t SeedFromSystem() {
  try {
    std::lock_guard lock(source->mutex);
    if (!source->opened) {
      source->opened = true;
      source->device.emplace();
    }
    if (source->device) return (*source->device)();
  } catch (...) {
  }
  // No random source: a clock and a counter still differ per call.
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  return static_cast<uint32_t>(now) ^ (fallbackCounter->fetch_add(0x9E3779B9u) * 2654435761u);
}

}  // namespace

uint32_t FreshMt19937::operator()() {
  if (next_ >= kLazyOutputs) {
    if (!library_) {
      library_.emplace(seed_);
      library_->discard(next_);
    }
    ++next_;
    return static_cast<uint32_t>((*library_)());
  }
  for (; seeded_ <= next_ + kShift; ++seeded_) {
    const uint32_t previous = state_[seeded_ - 1];
    state_[seeded_] = 1812433253u * (previous ^ (previous >> 30)) + static_cast<uint32_t>(seeded_);
  }
  const uint32_t y = (state_[next_] & 0x80000000u) | (state_[next_ + 1] & 0x7FFFFFFFu);
  uint32_t x = state_[next_ + kShift] ^ (y >> 1) ^ ((y & 1u) ? 0x9908B0DFu : 0u);
  ++next_;
  x ^= x >> 11;
  x ^= (x << 7) & 0x9D2C5680u;
  x ^= (x << 15) & 0xEFC60000u;
  return x ^ (x >> 18);
}

uint32_t RandomInRange(uint64_t lo64, uint64_t hi64) {
  const auto lo = static_cast<uint32_t>(lo64);
  const auto hi = static_cast<uint32_t>(hi64);
  const uint32_t span = hi - lo;
  if (span == 0) return lo;
  FreshMt19937 engine(SeedFromSystem());
  if (span == UINT32_MAX) return lo + engine();
  const uint32_t range = span + 1;
  const uint32_t buckets = UINT32_MAX / range;
  const bool exact = UINT32_MAX % range == span;
  for (;;) {
    const uint32_t x = engine();
    if (x / range < buckets || exact) return lo + x % range;
  }
}

int32_t RandomBetween(int32_t a, int32_t b) {
  const int32_t lo = std::min(a, b);
  const int32_t hi = std::max(a, b);
  return static_cast<int32_t>(RandomInRange(static_cast<uint32_t>(lo), static_cast<uint32_t>(hi)));
}

int DrawChainChildCount() {
  const int max = std::min(Get(IntSetting::MaxChainChildAmount), kChainChildCountLimit);
  const int min = Get(IntSetting::MinChainChildAmount);
  if (max < 0 || min > max) return 0;
  // Weights max + 1 - i for i in first..max are n, n - 1, .., 1: one uniform
  // draw below their sum, walked down the weights, gives i with probability
  // weight / sum exactly, with no table to build.
  const int first = std::max(min, 0);
  const auto n = static_cast<uint32_t>(max + 1 - first);
  uint32_t ticket = RandomInRange(0, n * (n + 1) / 2 - 1);
  for (int i = first;; ++i) {
    const auto weight = static_cast<uint32_t>(max + 1 - i);
    if (ticket < weight) return i;
    ticket -= weight;
  }
}

}  // namespace NimbrelVR
