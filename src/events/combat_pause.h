// The short slow-down of lightning when the player fights or casts.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/process_wide.h"

namespace NimbrelVR {

struct CombatPauseState {
  // Set while a pause thread holds the pause; written by exchange, read plain.
  std::atomic<uint8_t> pauseFlag{0};
};
extern ProcessWide<CombatPauseState> gCombatPause;

// Whether lightning runs at the slow combat rates right now.
inline bool CombatPaused() { return gCombatPause->pauseFlag.load(std::memory_order_relaxed) != 0; }

// Thread body: holds pauseFlag set for 2000 ms. Pauses that pass the first
// test together run one after the other, never overlapping.
void RunCombatPause();

// The pause itself, for a thread that found the flag clear: waits for any
// pause before it, then holds the flag for 2000 ms.
void HoldCombatPause();

// Starts a pause thread unless one holds the flag already; a thread that
// cannot start is logged and the caller goes on.
void RequestCombatPause();

}  // namespace NimbrelVR
