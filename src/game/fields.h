// Named access to the fields of engine objects is built on these. The game
// writes the fields on its own threads while the plug-in reads them on
// others, so every access is a relaxed atomic one (a plain move on x86-64).
// The offsets are in game/layout.h; only src/game/ uses these helpers.
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

// Slot `byteOffset` of the vtable of `object`, as a function of type Fn.
template <typename Fn>
Fn VirtualSlot(const void* object, ptrdiff_t byteOffset) {
  auto* const* vtable = *static_cast<void* const* const*>(object);
  return reinterpret_cast<Fn>(vtable[byteOffset / static_cast<ptrdiff_t>(sizeof(void*))]);
}

}  // namespace NimbrelVR::game
