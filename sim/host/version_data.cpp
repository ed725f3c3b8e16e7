#include "host/version_data.h"

#include <cstdio>
#include <cstring>

#include "image/runtimes.h"

namespace nimbrel_sim {

namespace {

std::string hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

std::string versionList(const PluginVersionData& data) {
  std::string list;
  for (uint32_t v : data.compatibleVersions) {
    if (v == 0) break;
    list += (list.empty() ? "" : ", ") + runtimeName(v);
  }
  return list.empty() ? "none" : list;
}

}  // namespace

std::string aeHostRefusal(const PluginVersionData* data, const AeHostContext& host) {
  if (!data) return "no SKSEPlugin_Version export: SKSE for AE loads only plug-ins that carry their version data";
  if (data->dataVersion == 0) return "bad version data: dataVersion is 0";
  if (strnlen(data->name, sizeof data->name) == 0) return "bad version data: no name";
  const uint32_t independence = data->versionIndependence;
  const uint32_t known = kAddressLibraryPostAE | kSignatures | kStructsPost629;
  if (independence & ~known)
    return "unsupported version independence " + hex(independence) +
           " (known: 1 address library, 2 signatures, 4 structs after 1.6.629)";
  // SKSE 2.3.1 refuses every plug-in built before it could read format 5.
  if (host.hostVersion >= kSkse2_3_1 && !(data->versionIndependenceEx & kAddressLibraryV5))
    return "disabled, must be recompiled for new address library (its version data lacks AddressLibraryV5, bit 1 "
           "of versionIndependenceEx, which SKSE " +
           runtimeName(host.hostVersion) + " requires)";
  if ((independence & kAddressLibraryPostAE) && !host.databasePresent)
    return "address library needs to be updated: " + host.databasePath + " is missing";
  const bool claims = (independence & (kAddressLibraryPostAE | kSignatures)) != 0;
  if (host.runtime >= kRuntime1_6_629 && claims && !(independence & kStructsPost629) &&
      !(data->versionIndependenceEx & kNoStructUse))
    return "only compatible with versions earlier than 1.6.629 (independent of addresses, but neither "
           "StructsPost629 nor NoStructUse)";
  if (!claims) {
    bool listed = false;
    for (uint32_t v : data->compatibleVersions) {
      if (v == 0) break;
      listed = listed || v == host.runtime;
    }
    if (!listed)
      return "incompatible with runtime " + runtimeName(host.runtime) + " (" + hex(host.runtime) +
             "): no independence claimed, and its compatible versions are " + versionList(*data);
  }
  if (data->seVersionRequired > host.hostVersion)
    return "requires a newer SKSE: " + runtimeName(data->seVersionRequired) + ", the host is " +
           runtimeName(host.hostVersion);
  return "";
}

std::string describeVersionData(const PluginVersionData& data) {
  std::string independence;
  auto add = [&independence](const char* word) {
    independence += (independence.empty() ? "" : ", ") + std::string(word);
  };
  if (data.versionIndependence & kAddressLibraryPostAE) add("address library");
  if (data.versionIndependence & kSignatures) add("signatures");
  if (data.versionIndependence & kStructsPost629) add("structs after 1.6.629");
  if (data.versionIndependenceEx & kNoStructUse) add("no struct use");
  if (data.versionIndependenceEx & kAddressLibraryV5) add("address library format 5");
  char text[400];
  std::snprintf(text, sizeof text,
                "\"%.*s\" version %u, data version %u, independence: %s; compatible versions: %s; SKSE required: %s",
                static_cast<int>(strnlen(data.name, sizeof data.name)), data.name, data.pluginVersion, data.dataVersion,
                independence.empty() ? "none" : independence.c_str(), versionList(data).c_str(),
                data.seVersionRequired ? runtimeName(data.seVersionRequired).c_str() : "any");
  return text;
}

}  // namespace nimbrel_sim
