// Field access of engine objects that the plug-in also reads or writes from
// its own threads: relaxed atomics (floats included), so a race-free run
// stays quiet under ThreadSanitizer (on x86-64 these are plain moves).
#pragma once

#include <cstddef>
#include <cstdint>

namespace nimbrel_sim {

template <typename T>
void storeField(void* object, size_t offset, T value) {
  __atomic_store(reinterpret_cast<T*>(static_cast<uint8_t*>(object) + offset), &value, __ATOMIC_RELAXED);
}

template <typename T>
T loadField(const void* object, size_t offset) {
  T value;
  __atomic_load(reinterpret_cast<const T*>(static_cast<const uint8_t*>(object) + offset), &value, __ATOMIC_RELAXED);
  return value;
}

}  // namespace nimbrel_sim
