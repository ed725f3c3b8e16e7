// Uniform random whole numbers for strike timing, placement and spell choice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>

namespace NimbrelVR {

// MT19937 exactly as std::mt19937 defines it, seeded with one 32-bit value,
// but seeded lazily: output i (i < 227) depends only on words i, i + 1 and
// i + 397 of the seeded state, so a draw that needs one or two outputs seeds
// about 400 words instead of seeding all 624 and regenerating them before
// its first output. Past output 226 it hands over to the library's engine.
class FreshMt19937 {
 public:
  explicit FreshMt19937(uint32_t seed) : seed_(seed) { state_[0] = seed; }
  uint32_t operator()();

 private:
  static constexpr size_t kWords = 624;
  static constexpr size_t kShift = 397;
  static constexpr size_t kLazyOutputs = kWords - kShift;

  uint32_t seed_;
  size_t seeded_ = 1;  // words of state_ seeded so far
  size_t next_ = 0;    // index of the next output
  uint32_t state_[kWords];
  std::optional<std::mt19937> library_;
};

// Uniform in lo..hi inclusive, on the low 32 bits of both bounds (so a signed
// range with lo <= hi works through the wrap-around). Each call seeds a fresh
// MT19937 from the operating system's random source.
uint32_t RandomInRange(uint64_t lo, uint64_t hi);

// RandomInRange over two signed bounds taken in order, whichever is larger.
int32_t RandomBetween(int32_t a, int32_t b);

// The number of strikes in a chain, drawn with weights Max+1-i for
// i in Min..Max (0 when there are no positive weights).
int DrawChainChildCount();

// The largest chain the draw will produce, whatever the settings say: each
// entry of a chain moves two references, and a runaway setting must not
// exhaust memory.
inline constexpr int kChainChildCountLimit = 1000;

}  // namespace NimbrelVR
