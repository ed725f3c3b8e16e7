// The engine's pointer fields the plug-in follows, each read through a check
// of the class of the object it points to (game/type_check.h), and the floats
// read beside them through a check that they are plausible. A game update
// that moves a field then costs lightning, never the game: the first failed
// check stands lightning down (game/stand_down.h).
//
// Every read here returns false when its check failed, or when lightning has
// stood down already (it then reads nothing); the caller stops at once. True
// with a null object where the engine allows none (no sky or player before a
// world, no cell, an interior's worldspace, no 3D, no weather, no script
// machine yet): null is not checked and is no failure.
//
// A check of the object checked last costs a load and a compare; each field
// has its own guard, so a field that keeps its object pays only that.
#pragma once

#include <cstdint>
#include <span>

#include "game/stand_down.h"
#include "game/type_check.h"

namespace NimbrelVR::game {

// The sky (Sky), from its holder or the engine's accessor.
bool CheckedSky(void** sky);
// The sky's current and outgoing weathers (TESWeather); either may be null.
bool CheckedSkyWeathers(const void* sky, void** current, void** outgoing);
// The game hour (0 to 24) and the weather transition (finite, not negative).
bool CheckedSkyTime(const void* sky, float* hour, float* transition);

// The player (PlayerCharacter).
bool CheckedPlayer(void** player, Holding holding = Holding::Nothing);
// The player's cell (TESObjectCELL), null while in none.
bool CheckedPlayerCell(const void* player, void** cell);
// The cell's worldspace (TESWorldSpace), null in an interior.
bool CheckedCellWorldspace(const void* cell, void** worldspace);
// The player's root scene node (NiAVObject), through its loaded 3D state
// (which has no vtable and is not checked); null without 3D.
bool CheckedPlayerRootNode(const void* player, void** node, Holding holding = Holding::Nothing);

// The registry every native call takes: the script VM object (SkyrimVM) and
// the script machine it holds at the runtime's offset
// (BSScript::Internal::VirtualMachine); null before they exist.
bool CheckedScriptRegistry(void** registry, Holding holding = Holding::Nothing);
// The same, checked also after lightning has stood down: for the removal of
// a flash already applied, which must still run when the machine passes.
bool CheckedScriptRegistryToUndo(void** registry);

// The data registry's weathers (entries may be null), the first
// kCheckedRegistryWeathers non-null ones checked (TESWeather); empty before
// the data registry exists.
inline constexpr int kCheckedRegistryWeathers = 4;
bool CheckedAllWeathers(std::span<void* const>* weathers);

// Where the checks look: the process's memory and the game's image, found
// when the library loads. Tests put a game of their own in its place, before
// any check runs.
void SetCheckScope(const TypeScope& scope);

}  // namespace NimbrelVR::game
