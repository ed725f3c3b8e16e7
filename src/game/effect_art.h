// The model component of an effect-art form, reached through its own vtable.
#pragma once

#include "game/fields.h"

namespace NimbrelVR::game {

inline void* ModelComponent(void* effectArt) { return EmbeddedAt(effectArt, 0x40); }

// Slot 5 (byte offset 0x20): the model path, or null.
inline const char* ModelPath(void* effectArt) {
  void* component = ModelComponent(effectArt);
  auto* const* vtable = *static_cast<void* const* const*>(component);
  return reinterpret_cast<const char* (*)(void*)>(vtable[0x20 / sizeof(void*)])(component);
}

// Slot 6 (byte offset 0x28): sets the path; the engine keeps its own copy.
inline void SetModelPath(void* effectArt, const char* path) {
  void* component = ModelComponent(effectArt);
  auto* const* vtable = *static_cast<void* const* const*>(component);
  reinterpret_cast<void (*)(void*, const char*)>(vtable[0x28 / sizeof(void*)])(component, path);
}

}  // namespace NimbrelVR::game
