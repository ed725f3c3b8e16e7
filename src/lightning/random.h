// Uniform random whole numbers for strike timing, placement and spell choice.
#pragma once

#include <cstdint>

namespace NimbrelVR {

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
