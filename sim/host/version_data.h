// SKSE for AE's side of loading a plug-in: the version data a plug-in
// exports as SKSEPlugin_Version, and the host's rules on it, in the host's
// order (runtimes.md, "The host on AE").
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace nimbrel_sim {

struct PluginVersionData {
  uint32_t dataVersion;
  uint32_t pluginVersion;
  char name[256];
  char author[256];
  char supportEmail[252];
  uint32_t versionIndependenceEx;
  uint32_t versionIndependence;
  uint32_t compatibleVersions[16];  // zero-terminated
  uint32_t seVersionRequired;
};
static_assert(sizeof(PluginVersionData) == 0x350);
static_assert(offsetof(PluginVersionData, name) == 0x008);
static_assert(offsetof(PluginVersionData, author) == 0x108);
static_assert(offsetof(PluginVersionData, supportEmail) == 0x208);
static_assert(offsetof(PluginVersionData, versionIndependenceEx) == 0x304);
static_assert(offsetof(PluginVersionData, versionIndependence) == 0x308);
static_assert(offsetof(PluginVersionData, compatibleVersions) == 0x30C);
static_assert(offsetof(PluginVersionData, seVersionRequired) == 0x34C);

inline constexpr uint32_t kNoStructUse = 1;           // versionIndependenceEx
inline constexpr uint32_t kAddressLibraryV5 = 2;      // versionIndependenceEx: reads format 5 (SKSE 2.3.1)
inline constexpr uint32_t kAddressLibraryPostAE = 1;  // versionIndependence
inline constexpr uint32_t kSignatures = 2;
inline constexpr uint32_t kStructsPost629 = 4;

// What the host checks a plug-in against.
struct AeHostContext {
  uint32_t runtime = 0;
  uint32_t hostVersion = 0;
  bool databasePresent = false;
  std::string databasePath;  // relative to the game folder, for the message
};

// Why SKSE for AE declines the plug-in (`data` null: it exports no version
// data), by the host's rules in the host's order; empty when it loads it.
// From 2.3.1 on the host also refuses version data without
// AddressLibraryV5; older hosts ignore the bits of versionIndependenceEx
// they do not know.
std::string aeHostRefusal(const PluginVersionData* data, const AeHostContext& host);

// One line on what the version data says ("NimbrelPlugin" 4097, ...).
std::string describeVersionData(const PluginVersionData& data);

}  // namespace nimbrel_sim
