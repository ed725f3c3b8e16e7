// GameDouble: the world (player, cells, sky, weather, hits), what the
// world-changing natives did, and scenarios.
#include <chrono>
#include <cstdio>
#include <thread>

#include "double/game_double_impl.h"

namespace nimbrel_sim {

namespace {

// The game's hit event, as the hit source sends it.
struct HitEvent {
  void* target;
  void* cause;  // the aggressor; not read by the plug-in
  uint32_t source;
  uint32_t projectile;
  uint8_t flags;
};
static_assert(offsetof(HitEvent, cause) == 0x8);
static_assert(offsetof(HitEvent, source) == 0x10);

std::string hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

}  // namespace

// --- the world --------------------------------------------------------------------

void WorldAccess::loadWorld() {
  DoubleState& d = *impl_;
  d.world.load(DataAccess(*impl_).findForm(DataAccess(*impl_).weatherId(DefaultWeather::Clear)));
}

void WorldAccess::unloadWorld() { impl_->world.unload(); }

void WorldAccess::setPlayerPosition(float x, float y, float z) { impl_->world.setPlayerPosition({x, y, z}); }

void WorldAccess::setPlayerHas3D(bool has3D) { impl_->world.setPlayerHas3D(has3D); }

void WorldAccess::setPlayerHolderPresent(bool present) { impl_->world.setPlayerHolderPresent(present); }

void WorldAccess::setPlayerCellNull() { impl_->world.setPlayerCellNull(); }

void WorldAccess::enterInterior() { impl_->world.enterInterior(); }

void WorldAccess::enterExterior(uint32_t worldspaceFormId) {
  World& world = impl_->world;
  // The double's own worldspaces first, then a worldspace of the data (the
  // Dawnguard ones), else a new one of the double's own.
  void* worldspace = world.ownWorldspace(worldspaceFormId, false);
  if (!worldspace) worldspace = DataAccess(*impl_).findForm(worldspaceFormId);
  if (!worldspace) worldspace = world.ownWorldspace(worldspaceFormId);
  world.enterExterior(worldspace);
}

void WorldAccess::setSkyPresent(bool present) { impl_->world.setSkyPresent(present); }

void WorldAccess::setWeather(uint32_t currentFormId, uint32_t outgoingFormId, float transition) {
  DoubleState& d = *impl_;
  void* current = currentFormId ? DataAccess(*impl_).findForm(currentFormId) : nullptr;
  void* outgoing = outgoingFormId ? DataAccess(*impl_).findForm(outgoingFormId) : nullptr;
  if (currentFormId && !current) d.run.fail("setWeather: no weather form " + hex(currentFormId));
  if (outgoingFormId && !outgoing) d.run.fail("setWeather: no weather form " + hex(outgoingFormId));
  d.world.setWeather(current, outgoing, transition);
}

void WorldAccess::setWeatherTransition(float transition) { impl_->world.setTransition(transition); }

void WorldAccess::setGameHour(float hour) { impl_->world.setGameHour(hour); }

// Hit events come from the main thread: a sink that blocks stalls the game.
void WorldAccess::sendHitEvent(bool onPlayer, uint32_t sourceFormId) {
  DoubleState& d = *impl_;
  d.mainThread.call([&d, onPlayer, sourceFormId] {
    HitEvent event{onPlayer ? d.engine.player() : d.engine.otherActor(), nullptr, sourceFormId, 0, 0};
    d.run.trace.record("TESHitEvent",
                       Args().b("onPlayer", onPlayer).p("target", event.target).u("source", sourceFormId));
    deliver(d.run, d.engine, Source::Hit, &event, "TESHitEvent");
  });
}

std::vector<MoveRecord> WorldAccess::moves() const { return impl_->world.moves(); }
std::vector<CastRecord> WorldAccess::casts() const { return impl_->world.casts(); }
std::vector<FlashRecord> WorldAccess::flashes() const { return impl_->world.flashes(); }

size_t HostAccess::tasksRun() const { return impl_->host.taskStats().released; }

void HostAccess::holdMainThread(bool hold) { impl_->host.hold(hold); }

void WorldAccess::setLoadedArea(float attachedRange, float cellRange) {
  impl_->world.setLoadedArea(attachedRange, cellRange);
}

// --- scenarios ------------------------------------------------------------------------

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

void GameDouble::applyScenarioSetUp() {
  DoubleState& d = *impl_;
  if (!d.scenarioLoaded) loadScenario({});
  const Scenario& s = d.scenario;
  d.run.trace.record("ScenarioSetUp", Args().b("data", s.installData).b("world", s.loadWorld));
  if (s.installData) data().installDefaultData(s.data);
  if (s.loadedArea) world().setLoadedArea(s.loadedArea->first, s.loadedArea->second);
  if (s.fps) d.mainThread.setFps(*s.fps);
  if (s.loadMs) d.loadMs.store(*s.loadMs);
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
      d.playing = &player;
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

double WorldAccess::simulatedMs() const { return impl_->world.simulatedMs(); }

}  // namespace nimbrel_sim
