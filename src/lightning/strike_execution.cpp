#include "lightning/strike_execution.h"

#include <atomic>

#include "game/checked_reads.h"
#include "game/engine_binding.h"
#include "game/world.h"
#include "lightning/lightning_state.h"
#include "lightning/random.h"
#include "lightning/storm_policy.h"
#include "lightning/strike_positions.h"
#include "lightning/tasks.h"
#include "log/debug_log.h"
#include "platform/platform.h"
#include "settings/settings.h"

namespace NimbrelVR {
namespace {

constexpr int kPlacementChecks = 40;
constexpr uint32_t kPlacementPollMs = 50;

void* ReadSlot(void* const* slot) {
  return std::atomic_ref<void*>(*const_cast<void**>(slot)).load(std::memory_order_relaxed);
}

// The reads below run inside the strike's world access: a failed check
// stands lightning down without waiting for that access.
constexpr game::Holding kInAccess = game::Holding::WorldAccess;

// The player as a reference, for the moves relative to it; null without a
// player or when a check failed.
void* PlayerAsReference() {
  const game::EngineBinding& engine = game::Engine();
  void* player = nullptr;
  if (!game::CheckedPlayer(&player, kInAccess) || !player) return nullptr;
  return engine.EngineDynamicCast(player, 0, engine.RttiPlayer, engine.RttiObjectReference, 0);
}

// The player's world position; false while the player has no 3D, or when a
// check failed.
bool PlayerPosition(game::Position* position) {
  void* player = nullptr;
  void* node = nullptr;
  if (!game::CheckedPlayer(&player, kInAccess) || !player) return false;
  if (!game::CheckedPlayerRootNode(player, &node, kInAccess) || !node) return false;
  return game::CheckedNodePosition(node, position, kInAccess);
}

bool EffectsStillWanted(uint32_t window) {
  return EffectsWindowOpen(window) &&
         gLightningState->weatherLightningFreq.load(std::memory_order_relaxed) != kNoLightning;
}

void* PickSpell(const FormSequence& spells) {
  if (spells.empty()) return nullptr;
  if (spells.size() == 1) return spells[0];
  return spells[RandomInRange(0, spells.size() - 1)];
}

const FormSequence& SheetSpells() {
  return Get(IntSetting::SheetHostile) == 1 ? gPluginForms->hostileSheetSpells : gPluginForms->sheetSpells;
}

// A destination that is gone (the player's world unloaded meanwhile) moves
// nothing: the reference cannot arrive.
Arrival MoveAndAwait(void* const* slot, void* destination, const StrikeOffset& offset, uint32_t window) {
  if (!destination) return Arrival::NotArrived;
  if (!QueueTask(new taskMoveTo(ReadSlot(slot), destination, offset)))
    return game::StoodDown() ? Arrival::WindowEnded : Arrival::NotArrived;
  return AwaitPlacement(slot, window);
}

// The player as a reference, read inside the strike's window; null when the
// window has ended (*ended set) or there is no player.
void* PlayerDestination(uint32_t window, bool* ended) {
  WindowAccess access(window);
  void* player = access ? PlayerAsReference() : nullptr;
  // A failed check ends the window as well.
  *ended = !access || game::StoodDown();
  return player;
}

// What a strike takes when it starts: its effects window (once that ends,
// the strike ends), its rate, and the player's position.
struct StrikeStart {
  uint32_t window = 0;
  float rate = 0.0f;
  game::Position player{};
};

// False when the strike cannot start: the window has ended already, or the
// player has lost its 3D since the loop looked.
bool BeginStrike(LightningType type, StrikeStart* start) {
  start->window = CurrentEffectsWindow();
  start->rate = PacingRate(type);
  WindowAccess access(start->window);
  return access && PlayerPosition(&start->player);
}

enum class Role { Target, Caster };

// One move of a strike: the reference in `slot` goes next to the reference
// in `besideSlot`, or next to the player when that is null, and the strike
// waits for it to arrive. False when the strike ends here; a reference that
// never arrives is logged, a window that ends is not.
bool PlaceReference(Role role, void* const* slot, void* const* besideSlot, const StrikeOffset& offset,
                    uint32_t window) {
  PluginLog(2, role == Role::Target ? "Moving target" : "Moving caster");
  void* destination = nullptr;
  if (besideSlot) {
    destination = ReadSlot(besideSlot);
  } else {
    bool ended = false;
    destination = PlayerDestination(window, &ended);
    if (ended) return false;
  }
  const Arrival arrival = MoveAndAwait(slot, destination, offset, window);
  if (arrival == Arrival::NotArrived) {
    PluginLog(1, role == Role::Target ? "Target is not alive in new position. Skipping..."
                                      : "Caster is not alive in new position. Skipping...");
  }
  return arrival == Arrival::Arrived;
}

// Once every reference is in place: effects still on with lightning in the
// weather, and no pause begun (nor the rate lowered) during the moves.
bool StrikeGoesAhead(LightningType type, const StrikeStart& start) {
  return EffectsStillWanted(start.window) && !(start.rate - 1.0f > PacingRate(type));
}

// The bolt itself: the flash (when there is one) goes with the cast, and is
// removed after its time even if the window ends meanwhile, or lightning
// stands down: a flash must never stay on.
void CastBolt(LightningType type, void* const* caster, void* const* target, void* spell, bool flash, uint32_t flashMs) {
  bool flashQueued = false;
  if (flash) {
    PluginLog(2, "Applying image space modifier...");
    flashQueued = QueueTask(new taskApplyImod(type));
  }
  PluginLog(2, "Casting Spell...");
  QueueTask(new taskCastSpell(ReadSlot(caster), ReadSlot(target), spell));
  if (flashQueued) {
    platform::SleepMs(flashMs);
    PluginLog(2, "Removing image space modifier...");
    QueueFlashRemoval(type);
  }
}

}  // namespace

Arrival AwaitPlacement(void* const* slot, uint32_t window) {
  const game::EngineBinding& engine = game::Engine();
  for (int check = 0; check < kPlacementChecks; ++check) {
    {
      WindowAccess access(window);
      if (!access) return Arrival::WindowEnded;
      // The reference's cell is not checked: the player's, the same field of
      // the same class, is checked every monitor cycle.
      void* reference = ReadSlot(slot);
      void* cell = reference ? game::ParentCell(reference) : nullptr;
      void* registry = nullptr;
      // A failed check has ended the window.
      if (!game::CheckedScriptRegistry(&registry, kInAccess)) return Arrival::WindowEnded;
      if (cell && registry && (engine.CellAttachedNative(registry, 0, cell) & 0xFF) != 0) return Arrival::Arrived;
    }
    platform::SleepMs(kPlacementPollMs);
  }
  return Arrival::NotArrived;
}

void* ChooseStrikeSpell(LightningType type, float gridDistance) {
  if (type == Sheet) return PickSpell(SheetSpells());
  const bool hostile = Get(IntSetting::ForkHostile) == 1;
  const PluginForms& f = *gPluginForms;
  if (gridDistance < 3.0f) return PickSpell(hostile ? f.hostileForkSpells : f.forkSpells);
  if (gridDistance < 9.0f) return PickSpell(hostile ? f.hostileCloseFarForkSpells : f.closeFarForkSpells);
  if (gridDistance < 17.0f) return PickSpell(hostile ? f.hostileFarForkSpells : f.farForkSpells);
  if (gridDistance < 25.0f) return PickSpell(hostile ? f.hostileVeryFarForkSpells : f.veryFarForkSpells);
  return PickSpell(hostile ? f.hostileTooFarForkSpells : f.tooFarForkSpells);
}

void RunSingleStrike(LightningType type, const FormSequence* casters, const FormSequence* targets, uint32_t casterIndex,
                     uint32_t targetIndex) {
  if (!casters || !targets || casterIndex >= casters->size() || targetIndex >= targets->size()) return;
  StrikeStart start;
  if (!BeginStrike(type, &start)) return;
  const StrikePlacement placement = GenerateStrikePositions(type, start.player.z);
  void* const* target = &(*targets)[targetIndex];
  void* const* caster = &(*casters)[casterIndex];

  if (!PlaceReference(Role::Target, target, nullptr, placement.targetOffset, start.window)) return;
  if (!PlaceReference(Role::Caster, caster, target, placement.casterOffset, start.window)) return;
  if (!StrikeGoesAhead(type, start)) return;
  void* spell = ChooseStrikeSpell(type, placement.gridDistance);
  if (!spell) return;
  CastBolt(type, caster, target, spell, placement.applyFlash, placement.flashMs);
}

void RunChainStrike(std::vector<uint32_t> casterIndexes, std::vector<uint32_t> targetIndexes, int count) {
  const FormSequence& casters = gPluginForms->sheetCasters;
  const FormSequence& targets = gPluginForms->sheetTargets;
  StrikeStart start;
  if (!BeginStrike(Sheet, &start)) return;
  const ChainPlacement chain = GenerateChainPositions(count, start.player);
  const size_t n = chain.casterOffsets.size();
  if (casterIndexes.size() < n || targetIndexes.size() < n) return;
  for (size_t i = 0; i < n; ++i) {
    if (casterIndexes[i] >= casters.size() || targetIndexes[i] >= targets.size()) return;
  }

  // Every reference of the chain first, one at a time; a failed move ends the whole chain.
  for (size_t i = 0; i < n; ++i) {
    void* const* caster = &casters[casterIndexes[i]];
    void* const* target = &targets[targetIndexes[i]];
    if (!PlaceReference(Role::Caster, caster, nullptr, chain.casterOffsets[i], start.window)) return;
    if (!PlaceReference(Role::Target, target, caster, chain.targetOffsets[i], start.window)) return;
  }
  if (!StrikeGoesAhead(Sheet, start)) return;

  // Then all bolts together; the flash goes with the last.
  for (size_t i = 0; i < n; ++i) {
    void* spell = PickSpell(SheetSpells());
    if (!spell) continue;
    const bool last = i == n - 1;
    CastBolt(Sheet, &casters[casterIndexes[i]], &targets[targetIndexes[i]], spell, last && chain.applyFlash,
             chain.flashMs);
  }
}

}  // namespace NimbrelVR
