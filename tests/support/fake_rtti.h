// The compiler's run-time type information (MSVC x64), written by hand into
// bytes that stand for part of a game image, for the type check's tests,
// fuzz seeds and benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testsupport {

class RttiWriter {
 public:
  // `bytes` (`size` of them) lie at address `at` of an image whose offsets
  // count from `imageBase`.
  RttiWriter(uint8_t* bytes, size_t size, uintptr_t at, uintptr_t imageBase);

  // A type descriptor named `decorated` (".?AVSky@@"); its address.
  uintptr_t Descriptor(const char* decorated);

  // A class: its vtable (three slots after the locator's) and the records
  // that lead to it, for tests that damage them.
  struct Class {
    uintptr_t vtable;
    uintptr_t locator;
    uintptr_t hierarchy;
    uintptr_t array;
    std::vector<uintptr_t> baseClasses;  // base class descriptors, the class first
  };
  // The class whose type descriptor is `self`, deriving from `bases` (type
  // descriptors, nearest first); `part` is the vtable's offset in the
  // complete object (0: the primary vtable). `displacements` gives each base
  // its place in the complete object (missing ones: 0); no base is virtual.
  Class Define(uintptr_t self, const std::vector<uintptr_t>& bases, uint32_t part = 0,
               const std::vector<uint32_t>& displacements = {});
  // One more vtable of a class Define made, for its part at `part`: the
  // place a base with a vtable of its own holds inside the object.
  uintptr_t PartVtable(const Class& of, uint32_t part);

  // Room for `size` bytes at `alignment`, zeroed; its address.
  uintptr_t Reserve(size_t size, size_t alignment);
  void Put32(uintptr_t address, uint32_t value);
  void Put64(uintptr_t address, uint64_t value);
  uint32_t Get32(uintptr_t address) const;
  // The image offset of an address, as the records hold it.
  uint32_t Offset(uintptr_t address) const { return static_cast<uint32_t>(address - imageBase_); }

 private:
  uint8_t* bytes_;
  size_t size_;
  uintptr_t at_;
  uintptr_t imageBase_;
  size_t used_ = 0;
  uintptr_t LocatorOf(uintptr_t vtable) const;  // the locator a vtable's slot -1 holds
};

}  // namespace testsupport
