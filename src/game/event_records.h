// Fields of the event records the game and the host deliver to our sinks.
#pragma once

#include <cstdint>

#include "game/fields.h"

namespace NimbrelVR::game {

inline const char* MenuEventName(const void* event) { return LoadField<const char*>(event, 0x0); }
inline bool MenuEventOpening(const void* event) { return LoadField<uint8_t>(event, 0x8) != 0; }

inline void* HitEventTarget(const void* event) { return LoadField<void*>(event, 0x0); }
inline uint32_t HitEventSourceFormId(const void* event) { return LoadField<uint32_t>(event, 0x10); }

inline uint32_t ActionEventType(const void* event) { return LoadField<uint32_t>(event, 0x0); }
inline void* ActionEventActor(const void* event) { return LoadField<void*>(event, 0x8); }

inline constexpr uint32_t kPlayerFormId = 0x14;

}  // namespace NimbrelVR::game
