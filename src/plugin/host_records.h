// Records exchanged with the SKSE host, in the host's memory layout.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lightning/task_delegate.h"

namespace NimbrelVR {

struct HostInterface {
  uint32_t interfaceVersion;  // not read
  uint32_t runtimeVersion;
  uint32_t editorVersion;  // not read
  uint32_t isEditor;
  void* (*QueryInterface)(uint32_t id);
  uint32_t (*GetPluginHandle)();
};
static_assert(offsetof(HostInterface, runtimeVersion) == 4);
static_assert(offsetof(HostInterface, isEditor) == 12);
static_assert(offsetof(HostInterface, QueryInterface) == 16);
static_assert(offsetof(HostInterface, GetPluginHandle) == 24);

struct PluginDescription {
  uint32_t infoVersion;
  const char* name;
  uint32_t version;
};
static_assert(offsetof(PluginDescription, name) == 8);
static_assert(offsetof(PluginDescription, version) == 16);

// What the Anniversary Edition's host reads from the DLL, as data, in place of
// calling the query: the DLL is mapped as an image and not started, so the
// record must be complete without running any code.
struct PluginVersionData {
  uint32_t dataVersion;
  uint32_t pluginVersion;
  char name[256];
  char author[256];
  char supportEmail[252];
  uint32_t versionIndependenceEx;
  uint32_t versionIndependence;
  uint32_t compatibleVersions[16];  // packed runtimes, zero-terminated
  uint32_t seVersionRequired;       // the oldest host, 0 for any
};
static_assert(offsetof(PluginVersionData, pluginVersion) == 0x004);
static_assert(offsetof(PluginVersionData, name) == 0x008);
static_assert(offsetof(PluginVersionData, author) == 0x108);
static_assert(offsetof(PluginVersionData, supportEmail) == 0x208);
static_assert(offsetof(PluginVersionData, versionIndependenceEx) == 0x304);
static_assert(offsetof(PluginVersionData, versionIndependence) == 0x308);
static_assert(offsetof(PluginVersionData, compatibleVersions) == 0x30C);
static_assert(offsetof(PluginVersionData, seVersionRequired) == 0x34C);
static_assert(sizeof(PluginVersionData) == 0x350);

inline constexpr uint32_t kPluginVersionDataVersion = 1;
// No structure of the game is used directly: the host's check of structures
// that changed in 1.6.629 does not apply.
inline constexpr uint32_t kVersionIndependentNoStructUse = 1;
// The Address Library's format 5 (the 1.7 databases) is read. SKSE for 1.7.104
// refuses a plug-in without it; older hosts ignore the bit.
inline constexpr uint32_t kVersionIndependentAddressLibraryV5 = 1 << 1;
// Addresses come from the Address Library's AE databases.
inline constexpr uint32_t kVersionIndependentAddressLibraryPostAE = 1;

struct HostMessage {
  const char* sender;  // not read
  uint32_t type;
  uint32_t dataLength;  // not read
  void* data;
};
static_assert(offsetof(HostMessage, type) == 8);
static_assert(offsetof(HostMessage, dataLength) == 12);
static_assert(offsetof(HostMessage, data) == 16);

using HostMessageListener = void (*)(HostMessage* message);
using ScriptRegistrationCallback = bool (*)(void* registry);

struct HostScriptInterface {
  uint32_t interfaceVersion;
  bool (*Register)(ScriptRegistrationCallback callback);
};
static_assert(offsetof(HostScriptInterface, Register) == 8);

struct HostTaskInterface {
  uint32_t interfaceVersion;
  TaskQueue AddTask;
};
static_assert(offsetof(HostTaskInterface, AddTask) == 8);

struct HostMessagingInterface {
  uint32_t interfaceVersion;
  bool (*RegisterListener)(uint32_t handle, const char* sender, HostMessageListener listener);
  void* Dispatch;  // not used
  void* (*GetEventDispatcher)(uint32_t dispatcherId);
};
static_assert(offsetof(HostMessagingInterface, RegisterListener) == 8);
static_assert(offsetof(HostMessagingInterface, GetEventDispatcher) == 24);

inline constexpr uint32_t kScriptInterfaceId = 2;
inline constexpr uint32_t kTaskInterfaceId = 4;
inline constexpr uint32_t kMessagingInterfaceId = 5;
inline constexpr uint32_t kActionEventDispatcherId = 3;

}  // namespace NimbrelVR
