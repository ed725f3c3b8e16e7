// The effect-art forms of the plug-in's data file: their model, reached
// through its component's own vtable, and their fade duration.
#pragma once

#include "game/fields.h"
#include "game/layout.h"

namespace NimbrelVR::game {

inline void* ModelComponent(void* effectArt) { return EmbeddedAt(effectArt, layout::effect_art::kModelComponent); }

// The model path, or null.
inline const char* ModelPath(void* effectArt) {
  void* component = ModelComponent(effectArt);
  using GetPath = const char* (*)(void*);
  return VirtualSlot<GetPath>(component, layout::model_component_vtable::kGetModelPath)(component);
}

// Sets the path; the engine keeps its own copy.
inline void SetModelPath(void* effectArt, const char* path) {
  void* component = ModelComponent(effectArt);
  using SetPath = void (*)(void*, const char*);
  VirtualSlot<SetPath>(component, layout::model_component_vtable::kSetModelPath)(component, path);
}

inline void SetFadeDuration(void* effectArt, float seconds) {
  StoreField<float>(effectArt, layout::effect_art::kFadeDuration, seconds);
}

}  // namespace NimbrelVR::game
