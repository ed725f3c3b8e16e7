// What differs between the Special Edition and the VR build at the host's level.
#pragma once

#include <cstdint>

#include "nimbrel/version.h"

namespace NimbrelVR::edition {

inline constexpr const char* kVersionString = kVersion;

#if NIMBREL_EDITION_VR
inline constexpr const char* kPluginName = "NimbrelVRPlugin";
inline constexpr uint32_t kPluginVersion = 4160;
inline constexpr const char* kBannerPrefix = "NimbrelVR: ";
inline constexpr const char* kLogPath = "\\My Games\\Skyrim VR\\SKSE\\NimbrelVRPlugin.log";
// Oldest VR runtime the offsets fit.
inline constexpr bool RuntimeSupported(uint32_t runtime) { return runtime >= 0x010400F1; }
#else
inline constexpr const char* kPluginName = "NimbrelPlugin";
inline constexpr uint32_t kPluginVersion = 4097;
inline constexpr const char* kBannerPrefix = "Nimbrel: ";
inline constexpr const char* kLogPath = "\\My Games\\Skyrim Special Edition\\SKSE\\NimbrelPlugin.log";
// The offsets fit 1.5.39 only; in any other runtime they would patch unrelated code.
inline constexpr bool RuntimeSupported(uint32_t runtime) { return runtime == 0x01050270; }
#endif

}  // namespace NimbrelVR::edition
