// GameDouble: the world (player, cells, sky, weather), the game's events
// (hits, menus, actions) sent as the game sends them, the main thread's
// hitches and frames, and what the world-changing natives did.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "double/game_double_impl.h"
#include "run/plugin_calls.h"

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

struct MenuOpenCloseEvent {
  const char* name;
  uint8_t opening;
};
static_assert(offsetof(MenuOpenCloseEvent, opening) == 8);

struct ActionEvent {
  uint32_t type;
  void* actor;
  void* sourceForm;
  uint32_t slot;
};
static_assert(offsetof(ActionEvent, actor) == 8);

std::string hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

// Sends an event to the sinks of a source in the order of its array, as
// the game would, its notifying flag set meanwhile. The game's own sinks are
// passed over (recorded only); the plug-in's are called through their
// vtables, and one that returns non-zero fails the run.
void deliver(Run& run, Engine& engine, Source source, const void* event, const char* what) {
  void* eventSource = engine.eventSource(source);
  if (!eventSource) return;
  engine.sources().setNotifying(eventSource, true);
  for (const EventSources::Sink& sink : engine.deliveryList(source)) {
    if (sink.game) {
      run.trace.record("GameSinkPassed", Args().s("event", what).p("sink", sink.object));
      continue;
    }
    uint32_t result = plugin_calls::receiveEvent(sink.object, event, eventSource);
    run.trace.record("ReceiveEvent", Args().s("event", what).p("sink", sink.object).u("result", result));
    if (result != 0) run.fail(std::string("a ") + what + " sink returned " + std::to_string(result));
  }
  engine.sources().setNotifying(eventSource, false);
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

void WorldAccess::setLoadedArea(float attachedRange, float cellRange) {
  impl_->world.setLoadedArea(attachedRange, cellRange);
}

// --- the game's events ------------------------------------------------------------

// Hit events come from the main thread: a sink that blocks stalls the game.
void WorldAccess::sendHitEvent(bool onPlayer, uint32_t sourceFormId) {
  DoubleState& d = *impl_;
  d.mainThread.call([&d, onPlayer, sourceFormId] {
    void* target = onPlayer ? d.engine.player() : d.engine.otherActor();
    HitEvent event{target, nullptr, sourceFormId, 0, 0};
    // hit-event: the first field holds the hit's source form (a spell of
    // the double's own when the id names none).
    if (d.layoutFault == LayoutFault::HitEvent) {
      event.target = d.data.findForm(sourceFormId);
      if (!event.target) event.target = d.hitEventSpell();
    }
    d.run.trace.record(
        "TESHitEvent",
        Args().b("onPlayer", onPlayer).p("target", target).p("firstField", event.target).u("source", sourceFormId));
    deliver(d.run, d.engine, Source::Hit, &event, "TESHitEvent");
  });
}

// Menu events come from the game's UI thread.
void WorldAccess::sendMenuEvent(const std::string& menuName, bool opening) {
  DoubleState& d = *impl_;
  auto send = [&d, menuName, opening] {
    std::string name = menuName;  // the engine's menu names live as long as the call
    MenuOpenCloseEvent event{name.c_str(), static_cast<uint8_t>(opening ? 1 : 0)};
    d.run.trace.record("MenuOpenCloseEvent", Args().s("menu", menuName).b("opening", opening));
    deliver(d.run, d.engine, Source::MenuOpenClose, &event, "MenuOpenCloseEvent");
  };
  if (Run::onThreadOf("ui"))
    send();
  else
    d.ui.call(send);
}

// Action events come from the main thread: a sink that blocks stalls the game.
void WorldAccess::sendActionEvent(uint32_t type, bool byPlayer) {
  DoubleState& d = *impl_;
  d.mainThread.call([&d, type, byPlayer] {
    ActionEvent event{type, byPlayer ? d.engine.player() : d.engine.otherActor(), nullptr, 0};
    d.run.trace.record("SKSEActionEvent", Args().u("type", type).b("byPlayer", byPlayer).p("actor", event.actor));
    deliver(d.run, d.engine, Source::Action, &event, "SKSEActionEvent");
  });
}

// --- the main thread and the simulated clock ----------------------------------------

void WorldAccess::stallMainThread(double simulatedMs) {
  DoubleState& d = *impl_;
  d.mainThread.call([&d, simulatedMs] {
    d.run.trace.record("Hitch", Args().f("ms", simulatedMs));
    d.mainThread.stall(simulatedMs);
  });
}

void WorldAccess::waitFrames(uint64_t count) { impl_->mainThread.waitFrames(count); }

double WorldAccess::simulatedMs() const { return impl_->world.simulatedMs(); }

// --- what the world saw -------------------------------------------------------------

std::vector<MoveRecord> WorldAccess::moves() const { return impl_->world.moves(); }
std::vector<CastRecord> WorldAccess::casts() const { return impl_->world.casts(); }
std::vector<FlashRecord> WorldAccess::flashes() const { return impl_->world.flashes(); }

}  // namespace nimbrel_sim
