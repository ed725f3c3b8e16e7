// Carrying out strikes: the references are moved into place by the game's
// main thread, and once they have arrived the spell is cast.
#pragma once

#include <cstdint>
#include <vector>

#include "game/plugin_forms.h"
#include "lightning/lightning_type.h"

namespace NimbrelVR {

// Thread bodies. Each belongs to the effects window open when it starts.
void RunSingleStrike(LightningType type, const FormSequence* casters, const FormSequence* targets, uint32_t casterIndex,
                     uint32_t targetIndex);
void RunChainStrike(std::vector<uint32_t> casterIndexes, std::vector<uint32_t> targetIndexes, int count);

// The spell for a strike: sheet spells, or the fork spells of the distance
// band; the hostile lists only when the type's hostile setting is exactly 1.
void* ChooseStrikeSpell(LightningType type, float gridDistance);

// Polls until the reference in `slot` stands in an attached cell: up to 40
// checks, 50 ms apart. The slot is re-read at every check. Each check first
// tests the strike's effects window; once it has ended the wait gives up at
// once, without touching the world again.
enum class Arrival { Arrived, NotArrived, WindowEnded };
Arrival AwaitPlacement(void* const* slot, uint32_t window);

}  // namespace NimbrelVR
