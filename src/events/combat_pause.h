// The short slow-down of lightning when the player fights or casts.
#pragma once

namespace NimbrelVR {

// Thread body: holds pauseFlag set for 2000 ms. Pauses that pass the first
// test together run one after the other, never overlapping.
void RunCombatPause();

// Starts a pause thread unless one holds the flag already; a thread that
// cannot start is logged and the caller goes on.
void RequestCombatPause();

}  // namespace NimbrelVR
