// The short slow-down of lightning when the player fights or casts.
#pragma once

namespace NimbrelVR {

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
