// A packed runtime version in the words players know it by.
#pragma once

#include <cstdint>
#include <cstdio>

namespace NimbrelVR {

// The host packs a runtime as major << 24 | minor << 16 | build << 4 | sub;
// players know it as "1.5.39" (the sub-version shown only when it is set).
struct RuntimeText {
  char text[24];
  explicit RuntimeText(uint32_t runtime) {
    const unsigned major = runtime >> 24, minor = (runtime >> 16) & 0xFF, build = (runtime >> 4) & 0xFFF;
    if (const unsigned sub = runtime & 0xF) {
      std::snprintf(text, sizeof text, "%u.%u.%u.%u", major, minor, build, sub);
    } else {
      std::snprintf(text, sizeof text, "%u.%u.%u", major, minor, build);
    }
  }
};

}  // namespace NimbrelVR
