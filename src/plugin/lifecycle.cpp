// The host's messages and the start-up work they trigger.
#include "events/sinks.h"
#include "game/engine_binding.h"
#include "game/event_records.h"
#include "game/hit_source.h"
#include "game/plugin_forms.h"
#include "game/runtime_version.h"
#include "game/stand_down.h"
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
constexpr uint32_t kMessageNewGame = 7;
constexpr uint32_t kMessageDataLoaded = 8;

// Where the hit sink stands: not looked for yet, waiting for the game's own
// sinks in the hit source, joined, or never to join (no holder, or the
// source is not the hit source). Host messages come one at a time.
enum class HitSink : uint8_t { NotLooked, Waiting, Joined, Never };
constinit ProcessWide<HitSink> hitSink;  // NotLooked

// Joins the hit source once the game's own sinks in it show it is one: the
// sink is never added into a source that may be another (a moved layout
// would have the engine write it there). The first look comes with the
// sinks' registration; later ones only while that look is waiting.
void JoinHitSource() {
  HitSink& state = *hitSink;
  if (state == HitSink::Joined || state == HitSink::Never) return;
  const game::EngineBinding& engine = game::Engine();
  void* sources = engine.ScriptEventSourcesGet();
  if (!sources) {
    // No holder: no hit sink, and nothing said.
    if (state == HitSink::NotLooked) state = HitSink::Never;
    return;
  }
  void* source = game::HitEventSource(sources);
  switch (game::LookAtHitSource(source)) {
    case game::HitSourceLook::IsHitSource:
      engine.EventSourceAddSink(source, gHitEventHandler.get());
      if (state == HitSink::Waiting) PluginLog(1, "The hit sink joined the hit event source.");
      state = HitSink::Joined;
      return;
    case game::HitSourceLook::NoGameSinkYet:
      if (state == HitSink::NotLooked)
        PluginLog(1,
                  "The hit event source holds none of the game's sinks yet; the hit sink joins it once the game's "
                  "own show it is the hit source (looked for again at data-ready and at each game load).");
      state = HitSink::Waiting;
      return;
    case game::HitSourceLook::StoodDown:
      state = HitSink::Never;
      return;
  }
}

// A later look, while the first found none of the game's sinks yet.
void LookAgainForTheHitSource() {
  if (*hitSink == HitSink::Waiting) JoinHitSource();
}

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
        if (message->data) {
          OnGameLoaded();
          LookAgainForTheHitSource();
        }
        break;
      case kMessageNewGame:
        LookAgainForTheHitSource();
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
  JoinHitSource();
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

  LookAgainForTheHitSource();

  if (ResolvePluginForms()) {
    // A form list that failed its check stood lightning down: no monitor.
    if (!game::StoodDown()) StartWeatherMonitor();
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
