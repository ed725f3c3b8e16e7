// The effect-art forms of the plug-in's data file: their model, reached
// through the vtable of their model component, and their fade duration.
// Unchecked: the plug-in reaches the component through
// CheckedModelComponent and writes the duration through
// CheckedSetFadeDuration (game/checked_reads.h).
#pragma once

#include "game/fields.h"
#include "game/layout.h"

namespace NimbrelVR::game {

inline void* ModelComponent(void* effectArt) { return EmbeddedAt(effectArt, layout::effect_art::kModelComponent); }

// The model path, or null.
inline const char* ModelPath(void* component) {
  using GetPath = const char* (*)(void*);
  return VirtualSlot<GetPath>(component, layout::model_component_vtable::kGetModelPath)(component);
}

// Sets the path; the engine keeps its own copy.
inline void SetModelPath(void* component, const char* path) {
  using SetPath = void (*)(void*, const char*);
  VirtualSlot<SetPath>(component, layout::model_component_vtable::kSetModelPath)(component, path);
}

inline float FadeDuration(const void* effectArt) {
  return LoadField<float>(effectArt, layout::effect_art::kFadeDuration);
}
inline void SetFadeDuration(void* effectArt, float seconds) {
  StoreField<float>(effectArt, layout::effect_art::kFadeDuration, seconds);
}

}  // namespace NimbrelVR::game
