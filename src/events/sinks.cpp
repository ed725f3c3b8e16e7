#include "events/sinks.h"

namespace NimbrelVR {

AllMenuEventHandler gMenuEventHandler;
HitEventHandler gHitEventHandler;
MYSKSEActionEvent gActionEventHandler;

// The menu record and the combat pause are not wired in yet: the sinks are
// registered so the game's sources know them, and let every event through.
uint32_t AllMenuEventHandler::ReceiveEvent(const MenuOpenCloseEvent*, void*) { return kEventContinue; }
uint32_t HitEventHandler::ReceiveEvent(const TESHitEvent*, void*) { return kEventContinue; }
uint32_t MYSKSEActionEvent::ReceiveEvent(const SKSEActionEvent*, void*) { return kEventContinue; }

}  // namespace NimbrelVR
