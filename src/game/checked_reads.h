// The engine's pointer fields the plug-in follows, each read through a check
// of the class of the object it points to (game/type_check.h), the floats
// read beside them through a check that they are plausible, and the records
// the game hands the plug-in's sinks. A game update
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
#include "game/world.h"

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

// The player's root node's world position: finite, and within
// kMaxWorldCoordinate of the origin on every axis.
inline constexpr float kMaxWorldCoordinate = 10'000'000.0f;
bool CheckedNodePosition(const void* node, Position* position, Holding holding = Holding::Nothing);

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

// The model component of an effect-art form (the TESModel base at +0x40 of
// a BGSProjectile), before any call through its vtable; `formId` names the
// form in the log.
bool CheckedModelComponent(void* effectArt, uint32_t formId, void** component, Holding holding = Holding::Nothing);
// Writes a fade duration into an effect-art form: only when its model
// component passed, and only over a plausible value. `seconds` must be
// plausible itself (PlausibleFadeDuration).
bool CheckedSetFadeDuration(void* effectArt, uint32_t formId, float seconds);
// A fade duration the engine could hold: 0, or a normal number of seconds up
// to an hour (the high half of a pointer reads as a tiny denormal).
bool PlausibleFadeDuration(float seconds);

// A form list's entries, before any of them reaches the engine: its count
// within its capacity and kMaxFormListEntries, its array readable for that
// many pointers, and every non-null entry a TESForm. `formId` names the list
// in the log.
inline constexpr uint32_t kMaxFormListEntries = 65535;
bool CheckedFormListEntries(const void* list, uint32_t formId, std::span<void* const>* entries);

// A hit event's target: null, or a reference (TESObjectREFR).
bool CheckedHitTarget(const void* event, void** target);
// A menu event's name: null, or a readable C string.
inline constexpr size_t kMaxMenuNameBytes = 256;
bool CheckedMenuName(const void* event, const char** name);

// Where the checks look: the process's memory and the game's image, found
// when the library loads. Tests put a game of their own in its place, before
// any check runs.
void SetCheckScope(const TypeScope& scope);
const TypeScope& CheckScope();

}  // namespace NimbrelVR::game
