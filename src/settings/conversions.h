// Float-to-integer conversions for values that come from scripts or data
// files. The language leaves NaN and out-of-range conversions undefined; here
// NaN gives 0 and everything else truncates toward zero and saturates.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace NimbrelVR {

inline int64_t TruncateToInt64(double value) {
  if (std::isnan(value)) return 0;
  // 2^63 is exactly representable; anything at or beyond it saturates.
  if (value >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
  if (value <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(value);
}

inline int32_t TruncateToInt32(double value) {
  const int64_t wide = TruncateToInt64(value);
  if (wide > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (wide < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(wide);
}

// Truncated toward zero, then the low 32 bits: -1.5 gives 0xFFFFFFFF.
inline uint32_t TruncateToLow32(double value) { return static_cast<uint32_t>(TruncateToInt64(value)); }

}  // namespace NimbrelVR
