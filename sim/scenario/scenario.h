// Scenarios: a line-based script of what happens in the game while the
// plug-in runs (weather, hour, the player, menus, hits, actions, saved-game
// loads, script calls), read from text and played on the simulated clock.
// The format is described in sim/SCENARIOS.md.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "nimbrel_sim/game_double.h"
#include "run/run.h"

namespace nimbrel_sim {

class World;

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

// The longest a scenario may run, so that every run ends.
inline constexpr double kMaxScenarioSeconds = 24 * 60 * 60;

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
  // Play.
  double endMs = 0;
  std::vector<ScenarioEvent> events;  // in time order (file order among equal times)
  std::vector<UnknownSettingKey> unknownKeys;
};

// Parses a scenario; false with "line N: ..." in `error` on the first fault.
bool parseScenario(const std::string& text, Scenario& out, std::string& error);

// A word of a scenario as a message shows it: quoted, bytes outside printable
// ASCII as \xNN, at most 40 characters, a byte-order mark named.
std::string quoteScenarioText(const std::string& text);

// The embedded default storm.
const char* defaultScenarioText();

// Ids of the forms a scenario hit uses when it names no source.
inline constexpr uint32_t kScenarioHitSpell = 0x00012FCD;
inline constexpr uint32_t kScenarioHitWeapon = 0x00012EB7;

// Plays a scenario's events through the double's public calls. The main
// thread steps it once a frame; menu events and script calls are handed to
// the game's other threads.
class ScenarioPlayer {
 public:
  struct Hooks {
    std::function<void(std::function<void()>)> toUi;       // the UI thread
    std::function<void(std::function<void()>)> toScripts;  // the script machine's threads
    std::function<void(double ms)> stall;                  // a hitch of the main thread
  };
  ScenarioPlayer(GameDouble& game, Run& run, World& world, const Scenario& scenario, Hooks hooks);
  // The events due by now, then the running ramp and the hour; true once the
  // end has been reached.
  bool step();
  bool finished() const { return finished_.load(); }
  bool started() const { return playedOnce_.load(); }
  double fraction() const;
  // What became of each event, in the scenario's time order. Due once play
  // is over (finished(), or the main thread ended): an event due by the end
  // that never played is a failure of the run, reported to `run`.
  std::vector<ScenarioOutcome> account();

 private:
  void apply(const ScenarioEvent& event);
  void advance(double nowMs);  // the running transition ramp and clock of the hour
  uint32_t weatherId(const FormRef& ref) const;

  GameDouble& game_;
  Run& run_;
  World& world_;
  const Scenario& scenario_;
  Hooks hooks_;
  bool started_ = false;
  double startMs_ = 0;
  size_t next_ = 0;
  std::atomic<double> playedMs_{0};
  std::atomic<bool> finished_{false};
  std::atomic<bool> playedOnce_{false};
  // The transition ramp in progress.
  bool ramping_ = false;
  double rampStartMs_ = 0, rampMs_ = 0;
  float rampFrom_ = 0;
  // When each event played (-1: not yet), and the spans a load or hitch held
  // the main thread, in simulated ms from the start of play.
  std::vector<double> playedAt_;
  struct Hold {
    double fromMs, toMs;
    int line;
    bool load;
  };
  std::vector<Hold> holds_;
  // The hour's clock.
  bool hourSet_ = false;
  double hourStartMs_ = 0;
  float hourBase_ = 0, hourRate_ = 0;
};

}  // namespace nimbrel_sim
