// Query and load: the host's first two calls into the plug-in.
#include <cstring>

#include "game/engine_binding.h"
#include "game/runtime_version.h"
#include "game/stand_down.h"
#include "lightning/lightning_state.h"
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

// Opens the edition's log below the documents folder, the one of the store
// the host names. False when the folder cannot be found: the plug-in then
// refuses to load rather than end the game.
bool OpenPluginLog(const HostInterface* host) {
  const char* const logPath = edition::LogPathFor(host ? host->runtimeVersion : 0);
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
  const size_t suffixLength = std::strlen(logPath);
  if (folderLength + suffixLength >= sizeof path) {
    // Cutting the path would put the log somewhere unexpected; go without it.
    IDebugLog::Write(0, "Log path too long, logging to the console only: %s%s", path, logPath);
    return true;
  }
  std::memcpy(path + folderLength, logPath, suffixLength + 1);
  CreateDirectoriesAlong(path);
  IDebugLog::OpenLogFile(path);
  return true;
}

void* AskInterface(const HostInterface* host, uint32_t id) {
  void* found = host->QueryInterface ? host->QueryInterface(id) : nullptr;
  if (!found) PluginLog(0, "Host interface %u is missing; the steps that need it are skipped.", id);
  return found;
}

// Binds the engine for the runtime; false, with the reason in the log, when
// it cannot be bound.
bool BindEngine(uint32_t runtime) {
  const game::BindingReport report = game::BindEngine(runtime);
  switch (report.outcome) {
    case game::BindingReport::Outcome::Bound:
      if (report.file[0] != '\0') LogMessage("Engine addresses from %s.", report.file);
      return true;
    case game::BindingReport::Outcome::FileMissing:
      LogMessage("Cannot find %s.", report.file);
      LogMessage(
          "Install the Address Library for SKSE Plugins for Skyrim %s: this build finds the game's code through it.",
          game::RuntimeText(runtime, game::StoreShown::UnlessSteam).text);
      return false;
    case game::BindingReport::Outcome::FileUnusable:
      LogMessage("Cannot use %s: %s.", report.file, report.problem.text);
      return false;
  }
  return false;
}

// Everything the query decides: the log, the description, the checks of the
// host and the runtime, and the engine's binding.
bool RunQuerySteps(const HostInterface* host, PluginDescription* info) {
  if (!OpenPluginLog(host)) return false;
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
  if (edition::kLogsRuntimeAndStore)
    LogMessage("Game runtime %s.", game::RuntimeText(host->runtimeVersion, game::StoreShown::Always).text);

  if (host->isEditor) {
    LogMessage("loaded in editor, marking as incompatible");
    return false;
  }
  if (!edition::RuntimeSupported(host->runtimeVersion)) {
    LogMessage("unsupported runtime version %08X", host->runtimeVersion);
    LogMessage("This build runs on %s %s%s; this game is %s.", edition::kGameName,
               game::RuntimeText(edition::kRuntime).text, edition::kRuntimeRange,
               game::RuntimeText(host->runtimeVersion, game::StoreShown::UnlessSteam).text);
    return false;
  }
  gHost->runtime = host->runtimeVersion;
  return BindEngine(host->runtimeVersion);
}

bool RunQuery(const HostInterface* host, PluginDescription* info) {
  gHost->queried = true;
  gHost->accepted = RunQuerySteps(host, info);
  return gHost->accepted;
}

}  // namespace

bool QueryPlugin(const HostInterface* host, PluginDescription* info) { return RunQuery(host, info); }

bool LoadPlugin(const HostInterface* host) {
  if (edition::kLoadMayComeFirst) {
    if (!gHost->queried) {
      try {
        RunQuery(host, nullptr);
      } catch (...) {
      }
    }
    // Nothing of the load runs where the query refused: the engine may be
    // bound for another runtime.
    if (!gHost->accepted) return false;
  }
  LogMessage("NimbrelVRPluginScript loaded");
  if (!host) return true;

  gHost->script = static_cast<HostScriptInterface*>(AskInterface(host, kScriptInterfaceId));
  gHost->task = static_cast<HostTaskInterface*>(AskInterface(host, kTaskInterfaceId));
  gHost->messaging = static_cast<HostMessagingInterface*>(AskInterface(host, kMessagingInterfaceId));
  if (gHost->task) SetTaskQueue(gHost->task->AddTask);
  // A failed type check ends the effects window before it logs why.
  game::SetStandDownHook(&EndEffectsForStandDown);

  if (gHost->messaging) gHost->messaging->RegisterListener(gHost->pluginHandle, "SKSE", OnHostMessage);
  if (gHost->script) gHost->script->Register(RegisterScriptFunctions);
  return true;
}

}  // namespace NimbrelVR
