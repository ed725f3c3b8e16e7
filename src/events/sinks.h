// The three event sinks the plug-in registers: menus, hits and host actions.
#pragma once

#include "events/event_sink.h"
#include "platform/process_wide.h"

namespace NimbrelVR {

struct MenuOpenCloseEvent;
struct TESHitEvent;
struct SKSEActionEvent;

class AllMenuEventHandler final : public BSTEventSink<MenuOpenCloseEvent> {
 public:
  uint32_t ReceiveEvent(const MenuOpenCloseEvent* event, void* source) override;
};

class HitEventHandler final : public BSTEventSink<TESHitEvent> {
 public:
  uint32_t ReceiveEvent(const TESHitEvent* event, void* source) override;
};

class MYSKSEActionEvent final : public BSTEventSink<SKSEActionEvent> {
 public:
  uint32_t ReceiveEvent(const SKSEActionEvent* event, void* source) override;
};

// One instance of each, registered by address and never removed.
extern ProcessWide<AllMenuEventHandler> gMenuEventHandler;
extern ProcessWide<HitEventHandler> gHitEventHandler;
extern ProcessWide<MYSKSEActionEvent> gActionEventHandler;

}  // namespace NimbrelVR
