// The one registry of the run the process plays: the image's function jumps,
// the host's records and the natives lead to plain functions, which find the
// engine, host and world of the active double here.
#pragma once

#include <atomic>
#include <type_traits>

namespace nimbrel_sim {

class Engine;
class Host;
class World;

class ActiveRun {
 public:
  static void setEngine(Engine* engine) { engine_.store(engine, std::memory_order_release); }
  static void setHost(Host* host) { host_.store(host, std::memory_order_release); }
  static void setWorld(World* world) { world_.store(world, std::memory_order_release); }
  // Forgets an object that is going away, if it is the active one.
  template <typename T>
  static void forget(T* object) {
    if constexpr (std::is_same_v<T, Engine>) engine_.compare_exchange_strong(object, nullptr);
    if constexpr (std::is_same_v<T, Host>) host_.compare_exchange_strong(object, nullptr);
    if constexpr (std::is_same_v<T, World>) world_.compare_exchange_strong(object, nullptr);
  }
  static Engine* engine() { return engine_.load(std::memory_order_acquire); }
  static Host* host() { return host_.load(std::memory_order_acquire); }
  static World* world() { return world_.load(std::memory_order_acquire); }

 private:
  static inline std::atomic<Engine*> engine_{nullptr};
  static inline std::atomic<Host*> host_{nullptr};
  static inline std::atomic<World*> world_{nullptr};
};

}  // namespace nimbrel_sim
