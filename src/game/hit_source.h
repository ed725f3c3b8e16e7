// Whether the event source the plug-in's hit sink is to join is the game's
// source of hit events. The script event holder has no type information of
// its own, and no public record of 1.7 has checked where in it the hit
// source lies; the sinks the game keeps in a source do have it. In a healthy
// game the script VM object is registered in the hit source by its
// BSTEventSink<TESHitEvent> base: a sink of the game's own, registered there
// by its sink base for hit events, proves the source is the hit source; one
// registered by its sink base for another event proves it is that event's
// source, a moved layout. Until the game has registered a sink there, the
// source says nothing either way: look again later.
#pragma once

#include <cstdint>

namespace NimbrelVR::game {

enum class HitSourceLook : uint8_t {
  // A sink of the game's own listens there for hit events: join it.
  IsHitSource,
  // No sink of the game's own is there yet (sinks of other plug-ins are not
  // the game's type information and tell nothing): look again later.
  NoGameSinkYet,
  // Not the hit source, or no event source at all: lightning has stood
  // down, with the two lines that say what was found (or had before).
  StoodDown,
};

// How many of a source's sinks a look reads at most.
inline constexpr uint32_t kMaxSinksLookedAt = 64;

// One look at the source at `source` (the hit source's place in the
// script event holder). Reads only memory the system reports readable and
// calls nothing of the engine.
HitSourceLook LookAtHitSource(const void* source);

}  // namespace NimbrelVR::game
