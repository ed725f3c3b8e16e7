// What differs between the Special Edition and the VR build at the host's level.
#pragma once

#include <cstdint>

#include "game/runtime_version.h"
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
inline constexpr const char* LogPathFor(uint32_t) { return kLogPath; }
// For the refusal in words: "This build runs on <game> <runtime><range>; ..."
inline constexpr const char* kGameName = "Skyrim VR";
inline constexpr const char* kRuntimeRange = " or a later 1.4";
#else
inline constexpr const char* kPluginName = "NimbrelPlugin";
inline constexpr uint32_t kPluginVersion = 4097;
inline constexpr const char* kBannerPrefix = "Nimbrel: ";
inline constexpr const char* kLogPath = "\\My Games\\Skyrim Special Edition\\SKSE\\NimbrelPlugin.log";
// The GOG store's SKSE writes below the GOG game's own documents folder.
inline constexpr const char* kGogLogPath = "\\My Games\\Skyrim Special Edition GOG\\SKSE\\NimbrelPlugin.log";
// The built-in offsets fit 1.5.39. Every other runtime accepted here is
// bound through its Address Library database: the later 1.5 runtimes, the
// Anniversary Edition's from 1.6.317 on, and 1.7 from 1.7.99 on (the first
// 1.7 the database and the host cover). The GOG store's SKSE exists from
// 1.6.659 on, for 1.6 only; SKSE refuses the Epic store's runtime, and a store
// not known here has no facts behind its ids.
inline constexpr uint32_t kRuntime = 0x01050270;  // 1.5.39
inline constexpr uint32_t kFirstAnniversaryRuntime = game::PackRuntime(1, 6, 317);
inline constexpr uint32_t kFirstGogRuntime = game::PackRuntime(1, 6, 659);
inline constexpr uint32_t kFirst1_7Runtime = game::PackRuntime(1, 7, 99);
inline constexpr bool RuntimeSupported(uint32_t runtime) {
  const uint32_t version = game::VersionOf(runtime);
  const auto within = [version](uint32_t first, uint32_t end) { return version >= first && version < end; };
  switch (game::StoreOf(runtime)) {
    case game::Store::Steam:
      return within(kRuntime, game::PackRuntime(1, 6, 0)) ||
             within(kFirstAnniversaryRuntime, game::PackRuntime(1, 7, 0)) ||
             within(kFirst1_7Runtime, game::PackRuntime(1, 8, 0));
    case game::Store::Gog:
      return within(kFirstGogRuntime, game::PackRuntime(1, 7, 0));
    default:
      return false;
  }
}
// The log's folder follows the store the host names; without a host, the
// Steam game's.
inline constexpr const char* LogPathFor(uint32_t runtime) {
  return game::StoreOf(runtime) == game::Store::Gog ? kGogLogPath : kLogPath;
}
inline constexpr const char* kGameName = "Skyrim Special Edition";
inline constexpr const char* kRuntimeRange =
    ", 1.5.97, 1.6.317 or a later 1.6 and 1.7.99 or a later 1.7 (GOG: 1.6.659 or a later 1.6)";
#endif

// The Anniversary Edition's host never calls the query: the load runs its
// steps when it comes first. The VR host always calls the query.
inline constexpr bool kLoadMayComeFirst = !NIMBREL_EDITION_VR;

// The Special Edition's runtimes come from several stores, whose builds the
// log's first lines tell apart ("Game runtime 1.6.1179 (GOG)."). VR's log
// keeps the lines it always had.
inline constexpr bool kLogsRuntimeAndStore = !NIMBREL_EDITION_VR;

}  // namespace NimbrelVR::edition
