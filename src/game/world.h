// The live world: the player, cells, worldspaces and the sky, read on the
// plug-in's own threads while the game changes them. The pointer fields here
// are read as they stand; the rest of the plug-in follows the player, the
// sky and what they point to through game/checked_reads.h, which checks the
// class of each object first.
#pragma once

#include <cstdint>

#include "game/engine_binding.h"
#include "game/fields.h"
#include "game/layout.h"

namespace NimbrelVR::game {

struct Position {
  float x;
  float y;
  float z;
};

inline void* PlayerReference() { return ReadHolder(Engine().PlayerRefHolder); }
// The engine's accessor returns what its holder holds; the binding has one.
inline void* Sky() {
  const EngineBinding& engine = Engine();
  return engine.SkyGetSingleton ? engine.SkyGetSingleton() : ReadHolder(engine.SkyHolder);
}

// References.
inline void* ParentCell(const void* reference) { return LoadField<void*>(reference, layout::reference::kParentCell); }
inline void* Loaded3D(const void* reference) { return LoadField<void*>(reference, layout::reference::kLoaded3D); }
inline void* RootNode(const void* loaded3D) { return LoadField<void*>(loaded3D, layout::loaded_3d::kRootNode); }
inline Position NodeWorldPosition(const void* node) {
  return {LoadField<float>(node, layout::scene_node::kWorldX), LoadField<float>(node, layout::scene_node::kWorldY),
          LoadField<float>(node, layout::scene_node::kWorldZ)};
}

// Cells: an interior cell has no worldspace.
inline void* CellWorldspace(const void* cell) { return LoadField<void*>(cell, Engine().cellWorldspace); }

// The sky.
inline void* CurrentWeather(const void* sky) { return LoadField<void*>(sky, layout::sky::kCurrentWeather); }
inline void* OutgoingWeather(const void* sky) { return LoadField<void*>(sky, layout::sky::kOutgoingWeather); }
inline float GameHour(const void* sky) { return LoadField<float>(sky, layout::sky::kGameHour); }
inline float WeatherTransition(const void* sky) { return LoadField<float>(sky, layout::sky::kTransition); }

}  // namespace NimbrelVR::game
