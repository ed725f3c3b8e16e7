// GameDouble's scenario calls: a scenario read into the double, its set-up,
// its play on the main thread's frames, and the account of its events. They
// live with the reader and the player; the double itself only steps what
// is being played once a frame.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "double/game_double_impl.h"
#include "engine/event_sources.h"
#include "engine/layout_faults.h"
#include "nimbrel_sim/game_double.h"
#include "scenario/player.h"
#include "scenario/reader.h"

namespace nimbrel_sim {

bool GameDouble::loadScenario(const std::string& text) {
  DoubleState& d = *impl_;
  Scenario parsed;
  std::string problem;
  if (!parseScenario(text.empty() ? defaultScenarioText() : text, parsed, problem)) {
    d.error = "scenario: " + problem;
    return false;
  }
  d.scenario = std::move(parsed);
  d.scenarioLoaded = true;
  // The plug-in reads its timer before it first sleeps, at start-up.
  if (d.scenario.timerResolutionMs && d.options.timerResolutionMs <= 0)
    setTimerResolutionEnv(*d.scenario.timerResolutionMs);
  return true;
}

std::string GameDouble::defaultScenario() { return defaultScenarioText(); }

std::vector<std::pair<double, std::string>> GameDouble::scenarioTimeline() const {
  const DoubleState& d = *impl_;
  std::vector<std::pair<double, std::string>> timeline;
  if (!d.scenarioLoaded) return timeline;
  for (const ScenarioEvent& e : d.scenario.events) timeline.emplace_back(e.atMs, e.text);
  return timeline;
}

namespace {

// The events the layout fault in force adds to the run (a day/night switch,
// a script call, a hit), read as scenario lines and played among the
// scenario's own, after those of the same time.
void addLayoutFaultEvents(DoubleState& d) {
  std::string text;
  for (const auto& [seconds, line] : layoutFaultEvents(d.layoutFault)) {
    char at[32];
    std::snprintf(at, sizeof at, "at %.3f ", seconds);
    text += at + line + "\n";
  }
  if (text.empty()) return;
  Scenario added;
  std::string problem;
  if (!parseScenario(text, added, problem)) {
    d.run.fail(std::string("the events of the layout fault ") + layoutFaultName(d.layoutFault) + ": " + problem);
    return;
  }
  for (ScenarioEvent& e : added.events) {
    e.line = 0;
    e.text += std::string(" (added by the layout fault ") + layoutFaultName(d.layoutFault) + ")";
    d.scenario.events.push_back(std::move(e));
  }
  std::stable_sort(d.scenario.events.begin(), d.scenario.events.end(),
                   [](const ScenarioEvent& a, const ScenarioEvent& b) { return a.atMs < b.atMs; });
}

}  // namespace

void GameDouble::applyScenarioSetUp() {
  DoubleState& d = *impl_;
  if (!d.scenarioLoaded) loadScenario({});
  d.startGame();  // unless the plug-in's load started it already
  const Scenario& s = d.scenario;
  d.run.trace.record("ScenarioSetUp", Args().b("data", s.installData).b("world", s.loadWorld));
  if (s.installData) data().installDefaultData(s.data);
  if (s.loadedArea) world().setLoadedArea(s.loadedArea->first, s.loadedArea->second);
  if (s.fps) d.mainThread.setFps(*s.fps);
  if (s.loadMs) d.loadMs.store(*s.loadMs);
  // The command line's layout fault wins; one is applied before the world
  // loads and before the plug-in's start-up.
  if (d.options.layoutFault == LayoutFault::None) d.applyLayoutFault(s.layoutFault);
  addLayoutFaultEvents(d);
  // The VM's moment was the game's to take as it started; a scenario read
  // after that cannot move it.
  if (s.vmHitSink && !d.options.vmHitSink && *s.vmHitSink != d.vmHitSink.load())
    d.run.fail(std::string("the scenario's vm-hit-sink ") + vmHitSinkName(*s.vmHitSink) +
               " came after the game had started (the script VM's moment: " + vmHitSinkName(d.vmHitSink.load()) +
               "): load the scenario before the plug-in");
  if (s.loadWorld) world().loadWorld();
}

double GameDouble::scenarioEndSeconds() const {
  const DoubleState& d = *impl_;
  if (!d.scenarioLoaded) {
    Scenario fallback;
    std::string problem;
    return parseScenario(defaultScenarioText(), fallback, problem) ? fallback.endMs / 1000.0 : 0.0;
  }
  return d.scenario.endMs / 1000.0;
}

void GameDouble::setScenarioEnd(double seconds) {
  DoubleState& d = *impl_;
  if (!d.scenarioLoaded) loadScenario({});
  d.scenario.endMs = seconds * 1000.0;
}

void GameDouble::playScenario(void (*progress)(double fraction, void* context), void* context) {
  DoubleState& d = *impl_;
  if (!d.scenarioLoaded) loadScenario({});
  ScenarioPlayer::Hooks hooks;
  hooks.toUi = [&d](std::function<void()> job) { d.ui.post(std::move(job)); };
  hooks.toScripts = [&d](std::function<void()> job) { d.scripts.post(std::move(job)); };
  hooks.stall = [this](double ms) { world().stallMainThread(ms); };
  ScenarioPlayer player(*this, d.run, d.world, d.scenario, std::move(hooks));
  // The frames step the scenario; this thread only watches it.
  if (d.mainThread.running()) {
    {
      std::lock_guard lock(d.playMutex);
      d.playing = [&player] { player.step(); };
    }
    while (!player.finished() && d.mainThread.running()) {
      if (progress && player.started()) progress(player.fraction(), context);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::lock_guard lock(d.playMutex);
    d.playing = nullptr;
  } else {
    while (!player.step()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (progress) progress(1.0, context);
  // The last events handed to the other threads have been delivered.
  d.ui.drain();
  d.scripts.drain();
  d.outcomes = player.account();
}

std::vector<ScenarioOutcome> GameDouble::scenarioOutcomes() const { return impl_->outcomes; }

std::vector<UnknownSettingKey> GameDouble::scenarioUnknownKeys() const {
  const DoubleState& d = *impl_;
  return d.scenarioLoaded ? d.scenario.unknownKeys : std::vector<UnknownSettingKey>{};
}

}  // namespace nimbrel_sim
