// Query and load: the host's first two calls into the plug-in.
#include <cstdio>
#include <cstring>

#include "lightning/tasks.h"
#include "log/debug_log.h"
#include "platform/platform.h"
#include "plugin/edition.h"
#include "plugin/host.h"
#include "settings/script_bridge.h"

namespace NimbrelVR {

constinit ProcessWide<HostConnection> gHost;

namespace {

constexpr int kDocumentsFolderId = 5;  // CSIDL_PERSONAL

// Creates every directory along `path`, one level at a time. Errors (already
// there, a drive prefix) are expected and ignored.
void CreateDirectoriesAlong(const char* path) {
  char prefix[platform::kMaxPath];
  for (size_t i = 0; path[i] != '\0' && i < sizeof prefix; ++i) {
    if (path[i] == '\\' || path[i] == '/') {
      std::memcpy(prefix, path, i);
      prefix[i] = '\0';
      platform::CreateOneDirectory(prefix);
    }
  }
}

// Opens the edition's log below the documents folder. False when the folder
// cannot be found: the plug-in then refuses to load rather than end the game.
bool OpenPluginLog() {
  char path[platform::kMaxPath];
  int32_t result = 0;
  uint32_t lastError = 0;
  if (!platform::DocumentsFolder(path, &result, &lastError)) {
    IDebugLog::Write(0, "SHGetFolderPath %08X failed (result = %08X lasterr = %08X)", kDocumentsFolderId,
                     static_cast<uint32_t>(result), lastError);
    IDebugLog::ReportFailedAssertion("IDebugLog", 64, "SUCCEEDED(err)",
                                     static_cast<uint64_t>(static_cast<int64_t>(result)));
    return false;
  }
  const size_t folderLength = std::strlen(path);
  const size_t suffixLength = std::strlen(edition::kLogPath);
  if (folderLength + suffixLength >= sizeof path) {
    // Cutting the path would put the log somewhere unexpected; go without it.
    IDebugLog::Write(0, "Log path too long, logging to the console only: %s%s", path, edition::kLogPath);
    return true;
  }
  std::memcpy(path + folderLength, edition::kLogPath, suffixLength + 1);
  CreateDirectoriesAlong(path);
  IDebugLog::OpenLogFile(path);
  return true;
}

// The host packs a runtime as major << 24 | minor << 16 | build << 4 | sub;
// players know it as "1.5.39" (the sub-version shown only when it is set).
struct RuntimeText {
  char text[24];
  explicit RuntimeText(uint32_t runtime) {
    const unsigned major = runtime >> 24, minor = (runtime >> 16) & 0xFF, build = (runtime >> 4) & 0xFFF;
    if (const unsigned sub = runtime & 0xF) {
      std::snprintf(text, sizeof text, "%u.%u.%u.%u", major, minor, build, sub);
    } else {
      std::snprintf(text, sizeof text, "%u.%u.%u", major, minor, build);
    }
  }
};

void* AskInterface(const HostInterface* host, uint32_t id) {
  void* found = host->QueryInterface ? host->QueryInterface(id) : nullptr;
  if (!found) PluginLog(0, "Host interface %u is missing; the steps that need it are skipped.", id);
  return found;
}

}  // namespace

bool QueryPlugin(const HostInterface* host, PluginDescription* info) {
  if (!OpenPluginLog()) return false;
  IDebugLog::SetLevels(5, 1);
  LogMessage("%s%s", edition::kBannerPrefix, edition::kVersionString);

  if (info) {
    info->infoVersion = 1;
    info->name = edition::kPluginName;
    info->version = edition::kPluginVersion;
  }
  if (!host) {
    PluginLog(0, "No host interface given; marking as incompatible");
    return false;
  }
  if (host->GetPluginHandle) gHost->pluginHandle = host->GetPluginHandle();
  LogMessage("SKSE Version: %u", host->runtimeVersion);

  if (host->isEditor) {
    LogMessage("loaded in editor, marking as incompatible");
    return false;
  }
  if (!edition::RuntimeSupported(host->runtimeVersion)) {
    LogMessage("unsupported runtime version %08X", host->runtimeVersion);
    LogMessage("This build runs on %s %s%s; this game is %s.", edition::kGameName, RuntimeText(edition::kRuntime).text,
               edition::kRuntimeRange, RuntimeText(host->runtimeVersion).text);
    return false;
  }
  return true;
}

bool LoadPlugin(const HostInterface* host) {
  LogMessage("NimbrelVRPluginScript loaded");
  if (!host) return true;

  gHost->script = static_cast<HostScriptInterface*>(AskInterface(host, kScriptInterfaceId));
  gHost->task = static_cast<HostTaskInterface*>(AskInterface(host, kTaskInterfaceId));
  gHost->messaging = static_cast<HostMessagingInterface*>(AskInterface(host, kMessagingInterfaceId));
  if (gHost->task) SetTaskQueue(gHost->task->AddTask);

  if (gHost->messaging) gHost->messaging->RegisterListener(gHost->pluginHandle, "SKSE", OnHostMessage);
  if (gHost->script) gHost->script->Register(RegisterScriptFunctions);
  return true;
}

}  // namespace NimbrelVR
