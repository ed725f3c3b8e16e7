// What the plug-in keeps of the host: its handle and the three interfaces.
#pragma once

#include <cstdint>

#include "platform/process_wide.h"
#include "plugin/host_records.h"

namespace NimbrelVR {

struct HostConnection {
  bool queried = false;   // the query's steps have run (in the query, or first in the load)
  bool accepted = false;  // and accepted the host and the runtime
  uint32_t runtime = 0;   // the runtime the engine is bound for
  uint32_t pluginHandle = 0xFFFFFFFF;
  HostScriptInterface* script = nullptr;
  HostTaskInterface* task = nullptr;
  HostMessagingInterface* messaging = nullptr;
};

// Written on the host's thread during query and load, before any thread of
// the plug-in exists; read-only afterwards.
extern ProcessWide<HostConnection> gHost;

// The exports' work; the exported functions only add the exception barrier.
bool QueryPlugin(const HostInterface* host, PluginDescription* info);
bool LoadPlugin(const HostInterface* host);

// The listener registered for the sender "SKSE", and what it dispatches to.
void OnHostMessage(HostMessage* message);
void BuildEventSinks();
void OnDataReady();
void OnGameLoaded();

}  // namespace NimbrelVR
