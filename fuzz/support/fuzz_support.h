// What every fuzz target shares: a check that stops the run with a message,
// the settings back at their defaults, and the floats worth trying.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "settings/settings.h"

// A broken expectation is a finding: libFuzzer saves the input that led here.
#define FUZZ_CHECK(condition, ...)                                                                  \
  do {                                                                                              \
    if (!(condition)) {                                                                             \
      std::fprintf(stderr, "\nFUZZ_CHECK failed at %s:%d: %s\n  ", __FILE__, __LINE__, #condition); \
      std::fprintf(stderr, __VA_ARGS__);                                                            \
      std::fputc('\n', stderr);                                                                     \
      std::abort();                                                                                 \
    }                                                                                               \
  } while (0)

namespace fuzzsupport {

// The plug-in's settings never reset by themselves; each input starts from
// the defaults so that inputs stay independent.
inline void ResetSettings() {
  using namespace NimbrelVR;
  for (int i = 0; i < kIntSettingCount; ++i) Set(static_cast<IntSetting>(i), DefaultOf(static_cast<IntSetting>(i)));
  for (int i = 0; i < kFloatSettingCount; ++i)
    Set(static_cast<FloatSetting>(i), DefaultOf(static_cast<FloatSetting>(i)));
}

// NaN, the infinities, the extremes and the usual values come up far more
// often than raw bits would give them.
inline float ConsumeFloat(FuzzedDataProvider& in) {
  static constexpr uint32_t kSpecial[] = {
      0x7FC00000u,  // NaN
      0xFFC00001u,  // negative NaN with payload
      0x7F800000u,  // +inf
      0xFF800000u,  // -inf
      0x7F7FFFFFu,  // FLT_MAX
      0xFF7FFFFFu,  // -FLT_MAX
      0x00000001u,  // smallest subnormal
      0x00800000u,  // FLT_MIN
      0x80000000u,  // -0
      0x00000000u,  // 0
      0x3F800000u,  // 1
      0xBF800000u,  // -1
      0x4F000000u,  // 2^31
      0xCF000000u,  // -2^31
      0x5F000000u,  // 2^63
      0x3FC00000u,  // 1.5
  };
  const uint8_t pick = in.ConsumeIntegral<uint8_t>();
  if (pick < 2 * std::size(kSpecial)) return std::bit_cast<float>(kSpecial[pick % std::size(kSpecial)]);
  if (pick < 0xC0) return static_cast<float>(in.ConsumeIntegralInRange<int32_t>(-100000, 100000)) / 4.0f;
  return std::bit_cast<float>(in.ConsumeIntegral<uint32_t>());
}

inline int32_t ConsumeInt(FuzzedDataProvider& in) {
  static constexpr int32_t kSpecial[] = {0, 1, -1, 2, 7, 255, 256, 1000, 1001, INT32_MAX, INT32_MIN, INT32_MAX - 1};
  const uint8_t pick = in.ConsumeIntegral<uint8_t>();
  if (pick < 2 * std::size(kSpecial)) return kSpecial[pick % std::size(kSpecial)];
  if (pick < 0xC0) return in.ConsumeIntegralInRange<int32_t>(-20, 20);
  return in.ConsumeIntegral<int32_t>();
}

// Silences the console: libFuzzer reports on stderr, the plug-in's echo of
// level-0 lines would only slow the run down.
void QuietStdout();

}  // namespace fuzzsupport
