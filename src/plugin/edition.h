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
// The built-in offsets fit 1.5.39. The later 1.5 runtimes and the
// Anniversary Edition's from 1.6.317 on are bound through their Address
// Library database. 1.7 and later keep structures not yet on public record,
// and the facts behind the ids are the Steam builds' (runtime kind 0, the low
// four bits).
inline constexpr uint32_t kRuntime = 0x01050270;
inline constexpr uint32_t kFirstAnniversaryRuntime = 0x010613D0;  // 1.6.317
inline constexpr bool RuntimeSupported(uint32_t runtime) {
  if ((runtime & 0xF) != 0) return false;
  return (runtime >= kRuntime && runtime < 0x01060000) || (runtime >= kFirstAnniversaryRuntime && runtime < 0x01070000);
}
inline constexpr const char* kGameName = "Skyrim Special Edition";
inline constexpr const char* kRuntimeRange = ", 1.5.97 and 1.6.317 or a later 1.6";
#endif

// The Anniversary Edition's host never calls the query: the load runs its
// steps when it comes first. The VR host always calls the query.
inline constexpr bool kLoadMayComeFirst = !NIMBREL_EDITION_VR;

}  // namespace NimbrelVR::edition
