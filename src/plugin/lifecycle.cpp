// The host's messages and the start-up work they trigger.
#include "events/sinks.h"
#include "game/engine_binding.h"
#include "game/event_records.h"
#include "game/plugin_forms.h"
#include "game/runtime_version.h"
#include "lightning/lightning_state.h"
#include "lightning/storm_policy.h"
#include "lightning/weather_monitor.h"
#include "log/debug_log.h"
#include "plugin/code_patch.h"
#include "plugin/host.h"
#include "settings/settings.h"

namespace NimbrelVR {
namespace {

constexpr uint32_t kMessagePreLoadGame = 2;
constexpr uint32_t kMessagePostLoadGame = 3;
constexpr uint32_t kMessageInputLoaded = 6;
constexpr uint32_t kMessageDataLoaded = 8;

}  // namespace

void OnHostMessage(HostMessage* message) {
  // Called by the host: nothing may escape into it.
  try {
    if (!message) return;
    switch (message->type) {
      case kMessageDataLoaded:
        OnDataReady();
        break;
      case kMessagePreLoadGame:
        // Ends the effects window before the world goes away: loops and
        // strikes of this window stop, even once effects are on again.
        EndEffectsWindow();
        break;
      case kMessageInputLoaded:
        BuildEventSinks();
        break;
      case kMessagePostLoadGame:
        // A zero data word reports a load that failed.
        if (message->data) OnGameLoaded();
        break;
      default:
        break;
    }
  } catch (...) {
  }
}

void BuildEventSinks() {
  LogMessage("Building Event Sinks...");
  const game::EngineBinding& engine = game::Engine();
  if (void* sources = engine.ScriptEventSourcesGet()) {
    engine.EventSourceAddSink(game::HitEventSource(sources), gHitEventHandler.get());
  }
  if (!gHost->messaging) return;
  if (void* actions = gHost->messaging->GetEventDispatcher(kActionEventDispatcherId)) {
    engine.EventSourceAddSink(actions, gActionEventHandler.get());
  } else {
    PluginLog(0, "The host has no action event dispatcher; combat pauses on actions are off.");
  }
}

void OnDataReady() {
  const game::EngineBinding& engine = game::Engine();
  if (!engine.JumpPatchSite) {
    // Five bytes written into code whose bytes are not known would corrupt
    // the game (docs/CODE-PATCH.md).
    LogMessage("The game code patch is not written on runtime %s: its site is known on 1.5.39 and VR only.",
               game::RuntimeText(gHost->runtime).text);
  } else if (!WriteRelativeJump(engine.JumpPatchSite, engine.JumpPatchTarget)) {
    PluginLog(0, "Could not write the game code patch: the system refused to make the code writable.");
  }

  if (void* menuManager = game::ReadHolder(engine.MenuManagerHolder)) {
    engine.EventSourceAddSink(game::MenuOpenCloseEventSource(menuManager), gMenuEventHandler.get());
  }

  if (ResolvePluginForms()) {
    StartWeatherMonitor();
  } else {
    PluginLog(0, "FormId finding failed. Mod cannot function.");
  }

  SetFloorAtDataReady();
}

void OnGameLoaded() {
  AppendDawnguardWorldspaces();
  ReadDataFileSettings();
  HoldCompatibilityFloor();
}

}  // namespace NimbrelVR
