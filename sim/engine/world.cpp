#include "engine/world.h"

#include "run/active_run.h"

#include <atomic>
#include <cmath>
#include <limits>

#include "engine/relaxed.h"
#include "image/image.h"
#include "run/os.h"

namespace nimbrel_sim {

namespace {

uint32_t formIdOf(const void* form) { return form ? loadField<uint32_t>(form, field::kFormId) : 0; }

constexpr size_t kLoaded3DSize = 0x80;
constexpr size_t kNodeSize = 0x100;
constexpr size_t kCellSize = 0x130;
constexpr size_t kWorldspaceSize = 0x40;
constexpr size_t kSkySize = 0x1c0;
// What the layout faults put in a field is read as what the field should
// hold: large enough for the fields a plug-in that does not check reads.
constexpr size_t kSkyMemberSize = 0x680;  // read as a weather
constexpr float kLoadedHour = 12.0f;

const char* cellKind(bool inCell, bool attached) { return !inCell ? "none" : attached ? "attached" : "unattached"; }

}  // namespace

World::World(Run& run, Engine& engine, const Options& options)
    : run_(run),
      engine_(engine),
      options_(options),
      cellWorldspace_(cellWorldspaceOffset(options.edition, runtimeOf(options))),
      cellPoisonField_(cellUnusedWorldspaceOffset(options.edition, runtimeOf(options))) {
  sky_ = engine_.create(Cls::Sky, kSkySize);
  storeField<float>(sky_, field::kSkyGameHour, kLoadedHour);
  storeField<float>(sky_, field::kSkyTransition, 1.0f);
  player_ = engine_.player();
  give3D(player_, player3D_);
  interior_.attachedCell = newCell(nullptr);
  ownWorldspaceLocked(kTamrielWorldspace);
  ownWorldspaceLocked(kInteriorLikeWorldspace);
}

void World::activate() {
  ActiveRun::setWorld(this);
  std::lock_guard lock(mutex_);
  publishHolders();
}

void World::startClock() { startTicks_.store(std::chrono::steady_clock::now().time_since_epoch().count()); }

double World::simulatedMs() const {
  std::chrono::steady_clock::time_point start{std::chrono::steady_clock::duration(startTicks_.load())};
  double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  return wall * timeScale();
}

void* World::keep(size_t size) {
  storage_.push_back(std::make_unique<uint8_t[]>(size));  // value-initialised: zeroed
  return storage_.back().get();
}

void* World::newCell(void* worldspace) {
  void* cell = engine_.create(Cls::Cell, kCellSize);
  writeCellWorldspace(cell, worldspace);
  // A read at the other offset (the layout of another runtime) finds an
  // address of the image's poison page.
  storeField<uintptr_t>(cell, cellPoisonField_, image().poisonValue());
  cellAttached_[cell] = false;
  return cell;
}

void World::writeCellWorldspace(void* cell, void* worldspace) {
  if (fault_ == LayoutFault::CellWorldspace)
    storeField<uintptr_t>(cell, cellWorldspace_, image().poisonValue());
  else
    storeField<void*>(cell, cellWorldspace_, worldspace);
}

void World::writeCurrentWeather(void* weather) {
  currentWeather_ = weather;
  storeField<void*>(sky_, field::kSkyCurrentWeather, fault_ == LayoutFault::SkyWeather ? clouds_ : weather);
}

World::Area& World::exterior(void* worldspace) {
  auto& slot = exteriors_[worldspace];
  if (!slot) {
    slot = std::make_unique<Area>();
    slot->worldspace = worldspace;
    slot->attachedCell = newCell(worldspace);
    slot->unattachedCell = newCell(worldspace);
  }
  return *slot;
}

void* World::ownWorldspace(uint32_t formId, bool create) {
  std::lock_guard lock(mutex_);
  return ownWorldspaceLocked(formId, create);
}

void* World::ownWorldspaceLocked(uint32_t formId, bool create) {
  auto it = ownWorldspaces_.find(formId);
  if (it != ownWorldspaces_.end()) return it->second;
  if (!create) return nullptr;
  void* ws = engine_.create(Cls::Worldspace, kWorldspaceSize);
  storeField<uint32_t>(ws, field::kFormId, formId);
  ownWorldspaces_[formId] = ws;
  return ws;
}

void World::give3D(void* reference, Placed& placed) {
  void* loaded3D = loadField<void*>(reference, field::kRefLoaded3D);
  if (!loaded3D) {
    loaded3D = keep(kLoaded3DSize);
    if (reference != player_) storeField<void*>(reference, field::kRefLoaded3D, loaded3D);
  }
  void* node = loadField<void*>(loaded3D, field::kLoaded3DRootNode);
  if (!node) {
    // The player's 3D root is a fade node, a reference's a plain node.
    node = engine_.create(reference == player_ ? Cls::FadeNode : Cls::SceneNode, kNodeSize);
    storeField<void*>(loaded3D, field::kLoaded3DRootNode, node);
  }
  placed.loaded3D = loaded3D;
  placed.node = node;
}

void World::writePosition(void* node, Position p) {
  // scene-position: the player's node stands nowhere a number can say.
  if (node == player3D_.node && fault_ == LayoutFault::ScenePosition) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    p = {nan, nan, nan};
  }
  storeField<float>(node, field::kNodePositionX, p.x);
  storeField<float>(node, field::kNodePositionY, p.y);
  storeField<float>(node, field::kNodePositionZ, p.z);
}

void* World::cellFor(const Area* area, Position at) const {
  if (!area || !loaded_ || loading_) return nullptr;
  Position p = player3D_.position;
  float distance = std::hypot(at.x - p.x, at.y - p.y);
  if (distance <= attachedRange_) return area->attachedCell;
  if (area->unattachedCell && distance <= cellRange_) return area->unattachedCell;
  return nullptr;
}

void World::publishHolders() {
  image().setHolder(kSkyHolder, loaded_ && skyPresent_ ? sky_ : nullptr);
  image().setHolder(kPlayerRefHolder, loaded_ && playerHolderPresent_ ? player_ : nullptr);
}

void World::publishPlayer() {
  storeField<void*>(player_, field::kRefLoaded3D, playerHas3D_ ? player3D_.loaded3D : nullptr);
  void* cell = playerArea_ && !loading_ ? playerArea_->attachedCell : nullptr;
  storeField<void*>(player_, field::kRefParentCell, fault_ == LayoutFault::PlayerCell ? notAnObject_ : cell);
}

void World::frame() {
  // The scene graph's world positions are those the frame before ended with.
  std::lock_guard lock(mutex_);
  writePosition(player3D_.node, player3D_.shown);
  for (auto& [reference, placed] : placed_) writePosition(placed.node, placed.shown);
}

void World::endFrame() {
  std::lock_guard lock(mutex_);
  player3D_.shown = player3D_.position;
  for (auto& [reference, placed] : placed_) placed.shown = placed.position;
}

void World::beginLoad() {
  // The game tears the world down: the player stands in no cell and no
  // cell is attached until the load is over.
  std::lock_guard lock(mutex_);
  loading_ = true;
  refreshCells();
  for (auto& [reference, placed] : placed_) storeField<void*>(reference, field::kRefParentCell, nullptr);
  run_.trace.record("LoadBegins");
}

void World::endLoad() {
  // The loaded game puts the plug-in's references back where it saved them,
  // away from the player, until they are moved again.
  std::lock_guard lock(mutex_);
  loading_ = false;
  for (auto& [reference, placed] : placed_) placed.area = nullptr;
  refreshCells();
  run_.trace.record("LoadEnds");
}

void World::refreshCells() {
  for (auto& [cell, attached] : cellAttached_)
    attached = loaded_ && !loading_ && playerArea_ && cell == playerArea_->attachedCell;
  for (auto& [reference, placed] : placed_) {
    // References left in another area keep their (now detached) cell.
    if (placed.area != playerArea_ || !playerArea_) continue;
    storeField<void*>(reference, field::kRefParentCell, cellFor(placed.area, placed.position));
  }
  publishPlayer();
}

// --- what the game does to the world ---------------------------------------

void World::load(void* clearWeather) {
  std::lock_guard lock(mutex_);
  loaded_ = true;
  skyPresent_ = true;
  playerHolderPresent_ = true;
  playerHas3D_ = true;
  player3D_.position = {};
  player3D_.shown = {};
  writePosition(player3D_.node, {});
  playerArea_ = &exterior(ownWorldspaceLocked(kTamrielWorldspace));
  writeCurrentWeather(clearWeather);
  storeField<void*>(sky_, field::kSkyOutgoingWeather, nullptr);
  storeField<float>(sky_, field::kSkyGameHour, kLoadedHour);
  storeField<float>(sky_, field::kSkyTransition, 1.0f);
  refreshCells();
  publishHolders();
  run_.trace.record("WorldLoaded", Args().p("sky", sky_).p("player", player_).p("cell", playerArea_->attachedCell));
}

void World::unload() {
  std::lock_guard lock(mutex_);
  loaded_ = false;
  refreshCells();
  publishHolders();
  run_.trace.record("WorldUnloaded");
}

void World::setPlayerPosition(Position position) {
  std::lock_guard lock(mutex_);
  player3D_.position = position;
  refreshCells();
  run_.trace.record("PlayerPosition", Args().f("x", position.x).f("y", position.y).f("z", position.z));
}

void World::setPlayerHas3D(bool has3D) {
  std::lock_guard lock(mutex_);
  playerHas3D_ = has3D;
  publishPlayer();
  run_.trace.record("Player3D", Args().b("present", has3D));
}

void World::setPlayerHolderPresent(bool present) {
  std::lock_guard lock(mutex_);
  playerHolderPresent_ = present;
  publishHolders();
  run_.trace.record("PlayerHolder", Args().b("present", present));
}

void World::setPlayerCellNull() {
  std::lock_guard lock(mutex_);
  playerArea_ = nullptr;
  refreshCells();
  run_.trace.record("PlayerCell", Args().s("cell", "none"));
}

void World::enterInterior() {
  std::lock_guard lock(mutex_);
  playerArea_ = &interior_;
  refreshCells();
  run_.trace.record("PlayerCell", Args().s("cell", "interior").p("cell", interior_.attachedCell));
}

void World::enterExterior(void* worldspace) {
  std::lock_guard lock(mutex_);
  if (!worldspace) worldspace = ownWorldspaceLocked(kTamrielWorldspace);
  playerArea_ = &exterior(worldspace);
  refreshCells();
  run_.trace.record(
      "PlayerCell",
      Args().s("cell", "exterior").u("worldspace", formIdOf(worldspace)).p("cell", playerArea_->attachedCell));
}

void World::setSkyPresent(bool present) {
  std::lock_guard lock(mutex_);
  skyPresent_ = present;
  publishHolders();
  run_.trace.record("SkyPresent", Args().b("present", present));
}

void World::setWeather(void* current, void* outgoing, float transition) {
  std::lock_guard lock(mutex_);
  writeCurrentWeather(current);
  storeField<void*>(sky_, field::kSkyOutgoingWeather, outgoing);
  storeField<float>(sky_, field::kSkyTransition, transition);
  run_.trace.record(
      "Weather", Args().u("current", formIdOf(current)).u("outgoing", formIdOf(outgoing)).f("transition", transition));
}

void World::setTransition(float transition) {
  std::lock_guard lock(mutex_);
  storeField<float>(sky_, field::kSkyTransition, transition);
}

uint32_t World::currentWeatherId() const {
  std::lock_guard lock(mutex_);
  return formIdOf(currentWeather_);
}

void World::setGameHour(float hour) {
  std::lock_guard lock(mutex_);
  storeField<float>(sky_, field::kSkyGameHour, hour);
}

void World::setLayoutFault(LayoutFault fault) {
  std::lock_guard lock(mutex_);
  fault_ = fault;
  switch (fault) {
    case LayoutFault::SkyWeather:
      if (!clouds_) clouds_ = engine_.create(Cls::SkyClouds, kSkyMemberSize);
      writeCurrentWeather(currentWeather_);
      break;
    case LayoutFault::PlayerCell:
      if (!notAnObject_) {
        // Plain data, as a list or an array header would be: its first word
        // points further into the heap, nowhere near the game's image.
        notAnObject_ = keep(kCellSize);
        storeField<void*>(notAnObject_, 0, keep(0x40));
        storeField<uint32_t>(notAnObject_, 8, 3);
      }
      publishPlayer();
      break;
    case LayoutFault::CellWorldspace:
      for (const auto& [worldspace, area] : exteriors_) {
        writeCellWorldspace(area->attachedCell, worldspace);
        writeCellWorldspace(area->unattachedCell, worldspace);
      }
      writeCellWorldspace(interior_.attachedCell, nullptr);
      // A read through it is the plug-in's fault, not another runtime's.
      os::explainFaultsIn(image().poisonValue() - Image::kPoisonValueOffset,
                          image().poisonValue() - Image::kPoisonValueOffset + Image::kPoisonPageSize,
                          "the plug-in read through the cell's worldspace field, where the layout fault "
                          "cell-worldspace put an address in a page no one may read: its check of the worldspace "
                          "should have found the memory unreadable and stood down");
      break;
    case LayoutFault::RootNode:
      if (!controller_) controller_ = engine_.create(Cls::AnimationController, kNodeSize);
      storeField<void*>(player3D_.loaded3D, field::kLoaded3DRootNode, controller_);
      break;
    case LayoutFault::ScenePosition:
      writePosition(player3D_.node, player3D_.shown);
      break;
    case LayoutFault::VmMachine:  // the engine's
    case LayoutFault::HitSource:
    case LayoutFault::HitEvent:        // the event's, as the double sends it
    case LayoutFault::EffectArtModel:  // the data's
    case LayoutFault::FadeDuration:
    case LayoutFault::FormList:
    case LayoutFault::None:
      break;
  }
}

void World::setLoadedArea(float attachedRange, float cellRange) {
  std::lock_guard lock(mutex_);
  attachedRange_ = attachedRange;
  cellRange_ = cellRange;
  refreshCells();
  run_.trace.record("LoadedArea", Args().f("attachedRange", attachedRange).f("cellRange", cellRange));
}

// --- the natives -----------------------------------------------------------

Position World::positionOf(void* reference) const {
  if (reference == player_) return player3D_.position;
  auto it = placed_.find(reference);
  if (it != placed_.end()) return it->second.position;
  // A reference the world never placed: where its own 3D says, if it has any.
  void* loaded3D = loadField<void*>(reference, field::kRefLoaded3D);
  void* node = loaded3D ? loadField<void*>(loaded3D, field::kLoaded3DRootNode) : nullptr;
  if (!node) return {};
  return {loadField<float>(node, field::kNodePositionX), loadField<float>(node, field::kNodePositionY),
          loadField<float>(node, field::kNodePositionZ)};
}

uint32_t World::strikeOf(bool cast) {
  const uint32_t burst = run_.runningTaskBurst.load();
  if (burst == 0) return 0;
  Strike& strike = strikes_[burst];
  if (strike.number == 0 || (!cast && strike.cast)) strike = {strike.number == 0 ? burst : nextStrike_--, false};
  strike.cast = strike.cast || cast;
  return strike.number;
}

void World::moveReference(void* reference, void* destination, Position offset) {
  std::lock_guard lock(mutex_);
  Position base = positionOf(destination);
  Position at{base.x + offset.x, base.y + offset.y, base.z + offset.z};
  MoveRecord record;
  record.referenceFormId = formIdOf(reference);
  record.destinationFormId = formIdOf(destination);
  record.offset = offset;
  record.placedAt = at;
  // The player is moved by the game, not by a strike.
  record.queuedBy = reference == player_ ? run_.runningTaskBurst.load() : strikeOf(false);
  if (reference == player_) {
    // The game moves the player within its own area.
    player3D_.position = at;
    refreshCells();
    record.inCell = playerArea_ != nullptr;
    record.attached = record.inCell && loaded_;
  } else {
    Placed& placed = placed_[reference];
    if (!placed.node) {
      give3D(reference, placed);
      placed.shown = at;
      writePosition(placed.node, at);
    }
    placed.position = at;
    placed.area = loaded_ ? playerArea_ : nullptr;
    void* cell = cellFor(placed.area, at);
    storeField<void*>(reference, field::kRefParentCell, cell);
    record.inCell = cell != nullptr;
    record.attached = cell && cellAttached_[cell];
  }
  record.ms = simulatedMs();
  record.queuedMs = record.ms;
  if (const int64_t queued = run_.runningTaskQueuedTicks.load()) {
    const auto since = std::chrono::steady_clock::duration(queued - startTicks_.load());
    record.queuedMs = std::chrono::duration<double, std::milli>(since).count() * timeScale();
  }
  moves_.push_back(record);
  run_.trace.record("Placed", Args()
                                  .u("reference", record.referenceFormId)
                                  .f("x", at.x)
                                  .f("y", at.y)
                                  .f("z", at.z)
                                  .s("cell", cellKind(record.inCell, record.attached)));
}

bool World::cellAttached(void* cell) const {
  std::lock_guard lock(mutex_);
  auto it = cellAttached_.find(cell);
  return it != cellAttached_.end() && it->second;
}

void World::recordCast(void* spell, void* caster, void* target) {
  std::lock_guard lock(mutex_);
  CastRecord record;
  record.ms = simulatedMs();
  record.spellFormId = formIdOf(spell);
  record.casterFormId = formIdOf(caster);
  record.targetFormId = formIdOf(target);
  record.caster = positionOf(caster);
  record.target = positionOf(target);
  record.player = positionOf(player_);
  record.queuedBy = strikeOf(true);
  casts_.push_back(record);
}

void World::recordFlash(void* modifier, bool applied) {
  std::lock_guard lock(mutex_);
  flashes_.push_back({simulatedMs(), applied, formIdOf(modifier)});
}

std::vector<MoveRecord> World::moves() const {
  std::lock_guard lock(mutex_);
  return moves_;
}

std::vector<CastRecord> World::casts() const {
  std::lock_guard lock(mutex_);
  return casts_;
}

std::vector<FlashRecord> World::flashes() const {
  std::lock_guard lock(mutex_);
  return flashes_;
}

}  // namespace nimbrel_sim
