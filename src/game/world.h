// The live world: the player, cells, worldspaces and the sky, read on the
// plug-in's own threads while the game changes them.
#pragma once

#include <cstdint>

#include "game/engine_binding.h"
#include "game/fields.h"

namespace NimbrelVR::game {

struct Position {
  float x;
  float y;
  float z;
};

inline void* PlayerReference() { return ReadHolder(Engine().PlayerRefHolder); }
inline void* Sky() { return ReadHolder(Engine().SkyHolder); }

// References.
inline void* ParentCell(const void* reference) { return LoadField<void*>(reference, 0x60); }
inline void* Loaded3D(const void* reference) { return LoadField<void*>(reference, 0x68); }
inline void* RootNode(const void* loaded3D) { return LoadField<void*>(loaded3D, 0x68); }
inline Position NodeWorldPosition(const void* node) {
  return {LoadField<float>(node, 0xd4), LoadField<float>(node, 0xd8), LoadField<float>(node, 0xdc)};
}

// Cells: an interior cell has no worldspace.
inline void* CellWorldspace(const void* cell) { return LoadField<void*>(cell, 0x120); }

// The sky.
inline void* CurrentWeather(const void* sky) { return LoadField<void*>(sky, 0x48); }
inline void* OutgoingWeather(const void* sky) { return LoadField<void*>(sky, 0x50); }
inline float GameHour(const void* sky) { return LoadField<float>(sky, 0x1b0); }
inline float WeatherTransition(const void* sky) { return LoadField<float>(sky, 0x1b8); }

}  // namespace NimbrelVR::game

namespace NimbrelVR::game {

// The script machine's registry, read afresh for every native call; null
// while the machine does not exist.
inline void* ScriptRegistry() {
  void* machine = ReadHolder(Engine().ScriptVmHolder);
  return machine ? LoadField<void*>(machine, 0x200) : nullptr;
}

}  // namespace NimbrelVR::game
