// What a scenario says once read: the set-up applied before the game starts
// and the events played on the simulated clock. The scenario room reads and
// plays it; the double keeps the one its run plays, so the types live here,
// below both.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "nimbrel_sim/types.h"

namespace nimbrel_sim {

// A weather or worldspace named in a scenario: by default-data role or by id.
struct FormRef {
  enum class Kind { None, Named, Id } kind = Kind::None;
  DefaultWeather name = DefaultWeather::Clear;
  uint32_t id = 0;
};

struct ScenarioEvent {
  enum class Kind {
    Weather,
    Transition,
    Hour,
    PlayerPosition,
    PlayerInterior,
    PlayerExterior,
    Player3D,
    PlayerHolder,
    PlayerNoCell,
    Sky,
    WorldLoad,
    WorldUnload,
    LoadedArea,
    Menu,
    Hit,
    Action,
    SavedGameLoad,
    SetInt,
    SetFloat,
    Hitch,
  };

  double atMs = 0;  // simulated milliseconds from the start of play
  int line = 0;
  std::string text;
  Kind kind = Kind::Weather;

  // Weather: current, outgoing (when `outgoingGiven`), the transition's start
  // value and the simulated time it takes to reach 1.0 (0: no ramp).
  FormRef current;
  FormRef outgoing;
  bool outgoingGiven = false;
  std::optional<float> transition;
  double overMs = 0;
  // Hour and its rate in game hours per simulated minute.
  float hour = 0;
  float rate = 0;
  // Player, sky, loaded area.
  Position position;
  uint32_t worldspaceId = 0;  // PlayerExterior
  bool on = true;             // Player3D, PlayerHolder, Sky, Menu (opening), SavedGameLoad (succeeded)
  float attachedRange = 0, cellRange = 0;
  // Menu name; script key.
  std::string name;
  // Hit: on the player or another actor, the source (0: the double's own
  // spell or weapon, by `weapon`).
  bool byPlayer = true;
  bool weapon = false;
  uint32_t sourceId = 0;
  // Action type; SetInt / SetFloat value.
  uint32_t actionType = 0;
  int32_t intValue = 0;
  float floatValue = 0;
  // Hitch: how long the main thread stalls.
  double stallMs = 0;
};

struct Scenario {
  // Set-up, applied before the game starts up.
  bool installData = true;
  DataSet data;
  bool loadWorld = true;
  std::optional<std::pair<float, float>> loadedArea;
  std::optional<double> fps;     // the main thread's frame rate
  std::optional<double> loadMs;  // how long a saved-game load holds it
  // The OS timer's tick for the plug-in's sleeps (simulated ms; 0: exact).
  std::optional<double> timerResolutionMs;
  // A field moved for the run (Options::layoutFault wins).
  LayoutFault layoutFault = LayoutFault::None;
  // When the script VM joins the hit source (Options::vmHitSink wins).
  std::optional<VmHitSink> vmHitSink;
  // Play.
  double endMs = 0;
  std::vector<ScenarioEvent> events;  // in time order (file order among equal times)
  std::vector<UnknownSettingKey> unknownKeys;
};

}  // namespace nimbrel_sim
