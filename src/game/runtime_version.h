// Packed runtime versions: the host packs one as
// major << 24 | minor << 16 | build << 4 | sub.
#pragma once

#include <cstdint>
#include <cstdio>

namespace NimbrelVR::game {

struct RuntimeParts {
  unsigned major, minor, build, sub;
};
constexpr RuntimeParts PartsOf(uint32_t runtime) {
  return {runtime >> 24, (runtime >> 16) & 0xFF, (runtime >> 4) & 0xFFF, runtime & 0xF};
}

// A runtime in the words players know it by, "1.5.39" (the sub-version shown
// only when it is set).
struct RuntimeText {
  char text[24];
  explicit RuntimeText(uint32_t runtime) {
    const RuntimeParts p = PartsOf(runtime);
    if (p.sub) {
      std::snprintf(text, sizeof text, "%u.%u.%u.%u", p.major, p.minor, p.build, p.sub);
    } else {
      std::snprintf(text, sizeof text, "%u.%u.%u", p.major, p.minor, p.build);
    }
  }
};

}  // namespace NimbrelVR::game
