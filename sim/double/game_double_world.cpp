// GameDouble: the world (player, cells, sky, weather, hits), what the
// world-changing natives did.
#include <cstdio>

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

double WorldAccess::simulatedMs() const { return impl_->world.simulatedMs(); }

}  // namespace nimbrel_sim
