// Playing a scenario: its events applied on the simulated clock through the
// double's public calls, and what became of each of them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "nimbrel_sim/game_double.h"
#include "run/run.h"
#include "run/scenario_plan.h"

namespace nimbrel_sim {

class World;

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
