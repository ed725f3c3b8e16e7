// The one way the plug-in keeps an object for the life of the process.
#pragma once

#include <concepts>

namespace NimbrelVR {

// Built when the library loads (at compile time where T allows it, so mark
// the variable constinit then), never destroyed: detached threads of the
// plug-in may still use it while the process exits.
template <typename T>
class ProcessWide {
 public:
  constexpr ProcessWide() : object_() {}
  // Built from what `make` returns, for objects that cannot be copied.
  template <std::invocable Make>
  constexpr explicit ProcessWide(Make make) : object_(make()) {}
  // Deliberately leaves object_ alone.
  ~ProcessWide() {}
  ProcessWide(const ProcessWide&) = delete;
  ProcessWide& operator=(const ProcessWide&) = delete;

  constexpr T& operator*() { return object_; }
  constexpr T* operator->() { return &object_; }
  constexpr T* get() { return &object_; }

 private:
  union {
    T object_;
  };
};

}  // namespace NimbrelVR
