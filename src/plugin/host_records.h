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
