#include "events/sinks.h"

#include "events/combat_pause.h"
#include "events/menus.h"
#include "game/checked_reads.h"
#include "game/data_files.h"
#include "game/engine_binding.h"
#include "game/event_records.h"

namespace NimbrelVR {

constinit ProcessWide<AllMenuEventHandler> gMenuEventHandler;
constinit ProcessWide<HitEventHandler> gHitEventHandler;
constinit ProcessWide<MYSKSEActionEvent> gActionEventHandler;

namespace {

void* FindPlayer() { return game::LookUpFormAs(game::kPlayerFormId, game::Engine().RttiPlayer); }

}  // namespace

// Every sink lets the event go on to the game's other sinks, whatever happens.

uint32_t AllMenuEventHandler::ReceiveEvent(const MenuOpenCloseEvent* event, void*) {
  try {
    if (!event) return kEventContinue;
    const char* name = nullptr;
    if (game::CheckedMenuName(event, &name) && name) RecordMenuEvent(name, game::MenuEventOpening(event));
  } catch (...) {
  }
  return kEventContinue;
}

uint32_t HitEventHandler::ReceiveEvent(const TESHitEvent* event, void*) {
  try {
    // Once lightning has stood down, a pause would change nothing.
    if (!event || game::StoodDown()) return kEventContinue;
    void* target = nullptr;
    if (!game::CheckedHitTarget(event, &target) || !target) return kEventContinue;
    void* player = FindPlayer();
    if (!player || target != player) return kEventContinue;
    // Weapons and anything else that is not a spell do not pause the storm.
    if (!game::LookUpFormAs(game::HitEventSourceFormId(event), game::Engine().RttiSpell)) return kEventContinue;
    RequestCombatPause();
  } catch (...) {
  }
  return kEventContinue;
}

uint32_t MYSKSEActionEvent::ReceiveEvent(const SKSEActionEvent* event, void*) {
  try {
    if (!event || game::StoodDown()) return kEventContinue;
    void* player = FindPlayer();
    if (!player || game::ActionEventActor(event) != player) return kEventContinue;
    if (game::ActionEventType(event) - 1u > 2u) return kEventContinue;  // only types 1, 2 and 3 count
    RequestCombatPause();
  } catch (...) {
  }
  return kEventContinue;
}

}  // namespace NimbrelVR
