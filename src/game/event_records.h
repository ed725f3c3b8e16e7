// The event sources the plug-in's sinks join, and the fields of the records
// the game and the host deliver to them.
#pragma once

#include <cstdint>

#include "game/fields.h"
#include "game/layout.h"

namespace NimbrelVR::game {

// Event sources embedded in engine singletons.
inline void* MenuOpenCloseEventSource(void* menuManager) {
  return EmbeddedAt(menuManager, layout::menu_manager::kMenuOpenCloseSource);
}
inline void* HitEventSource(void* scriptEventSources) {
  return EmbeddedAt(scriptEventSources, layout::script_event_sources::kHitSource);
}

// An event source's sinks: the array (null while it has none), its capacity
// and its count.
inline void* const* EventSourceSinks(const void* source) {
  return LoadField<void* const*>(source, layout::event_source::kSinks);
}
inline uint32_t EventSourceSinkCapacity(const void* source) {
  return LoadField<uint32_t>(source, layout::event_source::kSinkCapacity);
}
inline uint32_t EventSourceSinkCount(const void* source) {
  return LoadField<uint32_t>(source, layout::event_source::kSinkCount);
}

inline const char* MenuEventName(const void* event) {
  return LoadField<const char*>(event, layout::menu_event::kMenuName);
}
inline bool MenuEventOpening(const void* event) { return LoadField<uint8_t>(event, layout::menu_event::kOpening) != 0; }

inline void* HitEventTarget(const void* event) { return LoadField<void*>(event, layout::hit_event::kTarget); }
inline uint32_t HitEventSourceFormId(const void* event) {
  return LoadField<uint32_t>(event, layout::hit_event::kSourceFormId);
}

inline uint32_t ActionEventType(const void* event) { return LoadField<uint32_t>(event, layout::action_event::kType); }
inline void* ActionEventActor(const void* event) { return LoadField<void*>(event, layout::action_event::kActor); }

inline constexpr uint32_t kPlayerFormId = 0x14;

}  // namespace NimbrelVR::game
