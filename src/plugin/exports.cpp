// The two functions the SKSE host looks up by name.
#include "platform/export.h"
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
