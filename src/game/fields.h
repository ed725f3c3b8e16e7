// Named access to the fields of engine objects. The game writes these on its
// own threads while the plug-in reads them on others, so every access is a
// relaxed atomic one (a plain move on x86-64).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace NimbrelVR::game {

template <typename T>
T LoadField(const void* object, ptrdiff_t offset) {
  auto* field = reinterpret_cast<T*>(reinterpret_cast<uintptr_t>(object) + offset);
  return std::atomic_ref<T>(*field).load(std::memory_order_relaxed);
}

template <typename T>
void StoreField(void* object, ptrdiff_t offset, T value) {
  auto* field = reinterpret_cast<T*>(reinterpret_cast<uintptr_t>(object) + offset);
  std::atomic_ref<T>(*field).store(value, std::memory_order_relaxed);
}

// The address of something embedded in an engine object.
template <typename T = void>
T* EmbeddedAt(const void* object, ptrdiff_t offset) {
  return reinterpret_cast<T*>(reinterpret_cast<uintptr_t>(object) + offset);
}

// Event sources embedded in engine singletons.
inline void* MenuOpenCloseEventSource(void* menuManager) { return EmbeddedAt(menuManager, 0x8); }
inline void* HitEventSource(void* scriptEventSources) { return EmbeddedAt(scriptEventSources, 0x5d8); }

}  // namespace NimbrelVR::game
