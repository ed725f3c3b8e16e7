// The tunable values. Each is one 32-bit value that scripts may change at any
// moment while other threads read it, hence the atomics (relaxed: no ordering
// between settings is promised).
#pragma once

#include <atomic>
#include <cstdint>

namespace NimbrelVR {

struct PluginSettings {
  std::atomic<int32_t> EnableLog{2};
};

// Constant-initialised, so it holds its defaults before any other static
// initialiser of the library runs.
extern PluginSettings gSettings;

namespace settings {
inline int32_t EnableLog() { return gSettings.EnableLog.load(std::memory_order_relaxed); }
}  // namespace settings

}  // namespace NimbrelVR
