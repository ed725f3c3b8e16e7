#include "lightning/strike_execution.h"

#include <atomic>

#include "game/engine_binding.h"
#include "game/world.h"
#include "lightning/lightning_state.h"
#include "lightning/random.h"
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

// The player as a reference, for the moves relative to it.
void* PlayerAsReference() {
  const game::EngineBinding& engine = game::Engine();
  void* player = game::PlayerReference();
  return player ? engine.EngineDynamicCast(player, 0, engine.RttiPlayer, engine.RttiObjectReference, 0) : nullptr;
}

// The player's world position; false while the player has no 3D.
bool PlayerPosition(game::Position* position) {
  void* player = game::PlayerReference();
  void* loaded = player ? game::Loaded3D(player) : nullptr;
  void* node = loaded ? game::RootNode(loaded) : nullptr;
  if (!node) return false;
  *position = game::NodeWorldPosition(node);
  return true;
}

bool EffectsStillWanted(uint32_t window) {
  return EffectsWindowOpen(window) && gLightningState.weatherLightningFreq.load(std::memory_order_relaxed) != 255;
}

void* PickSpell(const FormSequence& spells) {
  if (spells.empty()) return nullptr;
  if (spells.size() == 1) return spells[0];
  return spells[RandomInRange(0, spells.size() - 1)];
}

const FormSequence& SheetSpells() {
  return Get(IntSetting::SheetHostile) == 1 ? gPluginForms.hostileSheetSpells : gPluginForms.sheetSpells;
}

// A destination that is gone (the player's world unloaded meanwhile) moves
// nothing: the reference cannot arrive.
Arrival MoveAndAwait(void* const* slot, void* destination, const StrikeOffset& offset, uint32_t window) {
  if (!destination) return Arrival::NotArrived;
  if (!QueueTask(new taskMoveTo(ReadSlot(slot), destination, offset))) return Arrival::NotArrived;
  return AwaitPlacement(slot, window);
}

// The player as a reference, read inside the strike's window; null when the
// window has ended (*ended set) or there is no player.
void* PlayerDestination(uint32_t window, bool* ended) {
  WindowAccess access(window);
  *ended = !access;
  return access ? PlayerAsReference() : nullptr;
}

}  // namespace

float TypeFrequencyValue(LightningType type) {
  const bool paused = gLightningState.pauseFlag.load(std::memory_order_relaxed) != 0;
  if (type == Sheet) return paused ? 3.0f : Get(FloatSetting::SheetFrequency);
  return paused ? 2.0f : Get(FloatSetting::ForkFrequency);
}

Arrival AwaitPlacement(void* const* slot, uint32_t window) {
  const game::EngineBinding& engine = game::Engine();
  for (int check = 0; check < kPlacementChecks; ++check) {
    {
      WindowAccess access(window);
      if (!access) return Arrival::WindowEnded;
      void* reference = ReadSlot(slot);
      void* cell = reference ? game::ParentCell(reference) : nullptr;
      void* registry = game::ScriptRegistry();
      if (cell && registry && (engine.CellAttachedNative(registry, 0, cell) & 0xFF) != 0) return Arrival::Arrived;
    }
    platform::SleepMs(kPlacementPollMs);
  }
  return Arrival::NotArrived;
}

void* ChooseStrikeSpell(LightningType type, float gridDistance) {
  if (type == Sheet) return PickSpell(SheetSpells());
  const bool hostile = Get(IntSetting::ForkHostile) == 1;
  const PluginForms& f = gPluginForms;
  if (gridDistance < 3.0f) return PickSpell(hostile ? f.hostileForkSpells : f.forkSpells);
  if (gridDistance < 9.0f) return PickSpell(hostile ? f.hostileCloseFarForkSpells : f.closeFarForkSpells);
  if (gridDistance < 17.0f) return PickSpell(hostile ? f.hostileFarForkSpells : f.farForkSpells);
  if (gridDistance < 25.0f) return PickSpell(hostile ? f.hostileVeryFarForkSpells : f.veryFarForkSpells);
  return PickSpell(hostile ? f.hostileTooFarForkSpells : f.tooFarForkSpells);
}

void RunSingleStrike(LightningType type, const FormSequence* casters, const FormSequence* targets,
                     uint32_t casterIndex, uint32_t targetIndex) {
  if (!casters || !targets || casterIndex >= casters->size() || targetIndex >= targets->size()) return;
  // The effects window this strike belongs to: once it ends, the strike ends.
  const uint32_t window = CurrentEffectsWindow();
  const float remembered = TypeFrequencyValue(type);
  game::Position player{};
  {
    WindowAccess access(window);
    if (!access || !PlayerPosition(&player)) return;  // the player lost its 3D since the loop looked
  }
  const StrikePlacement placement = GenerateStrikePositions(type, player.z);
  void* const* target = &(*targets)[targetIndex];
  void* const* caster = &(*casters)[casterIndex];

  PluginLog(2, "Moving target");
  bool ended = false;
  void* playerReference = PlayerDestination(window, &ended);
  if (ended) return;
  Arrival arrival = MoveAndAwait(target, playerReference, placement.targetOffset, window);
  if (arrival == Arrival::WindowEnded) return;
  if (arrival == Arrival::NotArrived) {
    PluginLog(1, "Target is not alive in new position. Skipping...");
    return;
  }
  PluginLog(2, "Moving caster");
  arrival = MoveAndAwait(caster, ReadSlot(target), placement.casterOffset, window);
  if (arrival == Arrival::WindowEnded) return;
  if (arrival == Arrival::NotArrived) {
    PluginLog(1, "Caster is not alive in new position. Skipping...");
    return;
  }
  if (!EffectsStillWanted(window)) return;
  // A pause that began during the moves (or a rate lowered meanwhile) drops the strike.
  if (remembered - 1.0f > TypeFrequencyValue(type)) return;
  void* spell = ChooseStrikeSpell(type, placement.gridDistance);
  if (!spell) return;

  if (placement.applyFlash) {
    PluginLog(2, "Applying image space modifier...");
    QueueTask(new taskApplyImod(type));
  }
  PluginLog(2, "Casting Spell...");
  QueueTask(new taskCastSpell(ReadSlot(caster), ReadSlot(target), spell));
  if (placement.applyFlash) {
    // Removed even if the window ends meanwhile: a flash must never stay on.
    platform::SleepMs(placement.flashMs);
    PluginLog(2, "Removing image space modifier...");
    QueueTask(new taskRemoveImod(type));
  }
}

void RunChainStrike(std::vector<uint32_t> casterIndexes, std::vector<uint32_t> targetIndexes, int count) {
  const FormSequence& casters = gPluginForms.sheetCasters;
  const FormSequence& targets = gPluginForms.sheetTargets;
  const uint32_t window = CurrentEffectsWindow();
  const float remembered = TypeFrequencyValue(Sheet);
  game::Position player{};
  {
    WindowAccess access(window);
    if (!access || !PlayerPosition(&player)) return;
  }
  const ChainPlacement chain = GenerateChainPositions(count, player);
  const size_t n = chain.casterOffsets.size();
  if (casterIndexes.size() < n || targetIndexes.size() < n) return;
  for (size_t i = 0; i < n; ++i) {
    if (casterIndexes[i] >= casters.size() || targetIndexes[i] >= targets.size()) return;
  }

  for (size_t i = 0; i < n; ++i) {
    void* const* caster = &casters[casterIndexes[i]];
    void* const* target = &targets[targetIndexes[i]];
    PluginLog(2, "Moving caster");
    bool ended = false;
    void* playerReference = PlayerDestination(window, &ended);
    if (ended) return;
    Arrival arrival = MoveAndAwait(caster, playerReference, chain.casterOffsets[i], window);
    if (arrival == Arrival::WindowEnded) return;
    if (arrival == Arrival::NotArrived) {
      PluginLog(1, "Caster is not alive in new position. Skipping...");
      return;
    }
    PluginLog(2, "Moving target");
    arrival = MoveAndAwait(target, ReadSlot(caster), chain.targetOffsets[i], window);
    if (arrival == Arrival::WindowEnded) return;
    if (arrival == Arrival::NotArrived) {
      PluginLog(1, "Target is not alive in new position. Skipping...");
      return;
    }
  }
  if (!EffectsStillWanted(window)) return;
  if (remembered - 1.0f > TypeFrequencyValue(Sheet)) return;

  // All bolts of the chain go out together; the flash goes with the last.
  for (size_t i = 0; i < n; ++i) {
    void* spell = PickSpell(SheetSpells());
    if (!spell) continue;
    const bool last = i == n - 1;
    if (last && chain.applyFlash) {
      PluginLog(2, "Applying image space modifier...");
      QueueTask(new taskApplyImod(Sheet));
    }
    PluginLog(2, "Casting Spell...");
    QueueTask(new taskCastSpell(ReadSlot(&casters[casterIndexes[i]]), ReadSlot(&targets[targetIndexes[i]]), spell));
    if (last && chain.applyFlash) {
      platform::SleepMs(chain.flashMs);
      PluginLog(2, "Removing image space modifier...");
      QueueTask(new taskRemoveImod(Sheet));
    }
  }
}

}  // namespace NimbrelVR
