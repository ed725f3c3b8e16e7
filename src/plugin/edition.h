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
// Oldest VR runtime the offsets fit. The 1.5 and 1.6 runtimes above it are the
// Special Edition's, where the VR offsets would patch unrelated code.
inline constexpr uint32_t kRuntime = 0x010400F1;
inline constexpr bool RuntimeSupported(uint32_t runtime) { return runtime >= kRuntime && runtime < 0x01050000; }
// For the refusal in words: "This build runs on <game> <runtime><range>; ..."
inline constexpr const char* kGameName = "Skyrim VR";
inline constexpr const char* kRuntimeRange = " or a later 1.4";
#else
inline constexpr const char* kPluginName = "NimbrelPlugin";
inline constexpr uint32_t kPluginVersion = 4097;
inline constexpr const char* kBannerPrefix = "Nimbrel: ";
inline constexpr const char* kLogPath = "\\My Games\\Skyrim Special Edition\\SKSE\\NimbrelPlugin.log";
// The offsets fit 1.5.39 only; in any other runtime they would patch unrelated code.
inline constexpr uint32_t kRuntime = 0x01050270;
inline constexpr bool RuntimeSupported(uint32_t runtime) { return runtime == kRuntime; }
inline constexpr const char* kGameName = "Skyrim Special Edition";
inline constexpr const char* kRuntimeRange = " only";
#endif

}  // namespace NimbrelVR::edition
