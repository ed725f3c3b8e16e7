#include "lightning/random.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <vector>

#include "settings/settings.h"

namespace NimbrelVR {
namespace {

// The operating system's random source, opened once: opening it costs far
// more than reading it (on x86 the library probes the processor each time).
struct SystemSource {
  std::mutex mutex;
  std::random_device* device = nullptr;  // null when no source could be opened
};

SystemSource& Source() {
  // Never destroyed: detached strike threads may still draw while the process exits.
  static SystemSource* source = [] {
    auto* opened = new SystemSource;
    try {
      opened->device = new std::random_device;
    } catch (...) {
    }
    return opened;
  }();
  return *source;
}

uint32_t SeedFromSystem() {
  SystemSource& source = Source();
  if (source.device) {
    try {
      std::lock_guard lock(source.mutex);
      return (*source.device)();
    } catch (...) {
    }
  }
  // No random source: a clock and a counter still differ per call.
  static std::atomic<uint32_t> counter{0};
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  return static_cast<uint32_t>(now) ^ (counter.fetch_add(0x9E3779B9u) * 2654435761u);
}

}  // namespace

uint32_t RandomInRange(uint64_t lo64, uint64_t hi64) {
  const auto lo = static_cast<uint32_t>(lo64);
  const auto hi = static_cast<uint32_t>(hi64);
  const uint32_t span = hi - lo;
  if (span == 0) return lo;
  std::mt19937 engine(SeedFromSystem());
  if (span == UINT32_MAX) return lo + static_cast<uint32_t>(engine());
  const uint32_t range = span + 1;
  const uint32_t buckets = UINT32_MAX / range;
  const bool exact = UINT32_MAX % range == span;
  for (;;) {
    const auto x = static_cast<uint32_t>(engine());
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
  std::vector<double> weights(static_cast<size_t>(max) + 1, 0.0);
  for (int i = std::max(min, 0); i <= max; ++i) weights[static_cast<size_t>(i)] = max + 1 - i;
  std::mt19937 engine(SeedFromSystem());
  std::discrete_distribution<int> distribution(weights.begin(), weights.end());
  return distribution(engine);
}

}  // namespace NimbrelVR
