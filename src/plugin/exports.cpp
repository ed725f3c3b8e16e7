// The two functions the SKSE host looks up by name.
#include "plugin/host.h"

#if defined(_WIN32)
#define NIMBREL_EXPORT extern "C" __declspec(dllexport)
#else
#define NIMBREL_EXPORT extern "C" __attribute__((visibility("default")))
#endif

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
