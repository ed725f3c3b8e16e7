// What the SKSE host looks up by name: the two functions, and in the Special
// Edition build the record the Anniversary Edition's host reads instead of
// calling the query.
#include "platform/export.h"
#include "plugin/edition.h"
#include "plugin/host.h"

NIMBREL_EXPORT bool SKSEPlugin_Query(const NimbrelVR::HostInterface* host, NimbrelVR::PluginDescription* info) {
  try {
    return NimbrelVR::QueryPlugin(host, info);
  } catch (...) {
    return false;
  }
}

NIMBREL_EXPORT bool SKSEPlugin_Load(const NimbrelVR::HostInterface* host) {
  try {
    return NimbrelVR::LoadPlugin(host);
  } catch (...) {
    return true;
  }
}

#if !NIMBREL_EDITION_VR
namespace {

consteval NimbrelVR::PluginVersionData MakeVersionData() {
  using namespace NimbrelVR;
  PluginVersionData data{};
  data.dataVersion = kPluginVersionDataVersion;
  data.pluginVersion = edition::kPluginVersion;
  for (int i = 0; edition::kPluginName[i] != '\0'; ++i) data.name[i] = edition::kPluginName[i];
  data.versionIndependenceEx = kVersionIndependentNoStructUse | kVersionIndependentAddressLibraryV5;
  data.versionIndependence = kVersionIndependentAddressLibraryPostAE;
  return data;
}

}  // namespace

// Constant-initialised: the host reads it from the mapped file, before any of
// the DLL's code has run.
NIMBREL_DATA_EXPORT constinit const NimbrelVR::PluginVersionData SKSEPlugin_Version = MakeVersionData();
#endif
