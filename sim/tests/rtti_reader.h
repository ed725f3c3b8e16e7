// A reader of MSVC x64 run-time type information written for the double's
// tests, apart from the double's own tables and from the plug-in: from an
// object's vtable word to its complete object locator, the class hierarchy,
// each base class descriptor with its displacement, and the type
// descriptors' decorated names. Every read but the object's first word lies
// inside the image, and every structure is checked as it is read.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace nimbrel_sim_tests {

inline constexpr uintptr_t kArenaRva = 0x1000;
inline constexpr size_t kArenaSize = 0x4000000;

// One entry of a class hierarchy's base class array.
struct BaseRead {
  std::string name;  // decorated
  uint32_t contained = 0;
  int32_t mdisp = 0, pdisp = 0, vdisp = 0;
  uint32_t attributes = 0;
  std::string hierarchyOf;  // the decorated name its own hierarchy starts with
  uint32_t hierarchyCount = 0;
};

struct Found {
  std::string problem;  // empty when the walk held
  uint32_t subobject = 0;
  std::vector<std::string> classes;  // decorated names, the complete class first
  std::vector<BaseRead> bases;       // the same, with what each descriptor says
  // The base at a displacement (the first the hierarchy holds there); empty
  // when none.
  std::string baseAt(int32_t mdisp) const {
    for (const BaseRead& b : bases)
      if (b.mdisp == mdisp) return b.name;
    return "";
  }
  int32_t displacementOf(const std::string& name) const {
    for (const BaseRead& b : bases)
      if (b.name == name) return b.mdisp;
    return -1;
  }
};

class RttiReader {
 public:
  explicit RttiReader(uintptr_t base) : base_(base) {}

  bool inImage(uintptr_t at, size_t size) const {
    return at >= base_ + kArenaRva && at + size <= base_ + kArenaRva + kArenaSize;
  }

  // The class of the object whose vtable word lies at `object` (a complete
  // object's first word, or a base's within one).
  Found classOf(uintptr_t object) const {
    Found f;
    const uint64_t vtable = word(object);
    if (!inImage(vtable, 8) || vtable % 8) return fail(f, "the first word is no vtable of the image");
    const uint64_t locator = word(vtable - 8);
    if (!inImage(locator, 24) || locator % 4) return fail(f, "slot -1 points to no locator in the image");
    if (u32(locator) != 1) return fail(f, "the locator's signature is not 1");
    if (static_cast<uintptr_t>(i32(locator + 20)) != locator - base_)
      return fail(f, "the locator's own offset is not its place");
    f.subobject = u32(locator + 4);
    const std::string complete = descriptor(i32(locator + 12), true);
    if (complete.empty()) return fail(f, "the locator names no type descriptor");
    std::string problem;
    if (!hierarchy(i32(locator + 16), f.bases, problem)) return fail(f, problem.c_str());
    for (const BaseRead& b : f.bases) f.classes.push_back(b.name);
    if (f.classes.front() != complete) return fail(f, "the hierarchy does not start with the class itself");
    if (f.bases.front().mdisp != 0) return fail(f, "the class itself is not at displacement 0");
    return f;
  }

  // The base class array of the hierarchy at an image offset.
  bool hierarchy(int32_t offset, std::vector<BaseRead>& out, std::string& problem) const {
    const uintptr_t at = base_ + static_cast<uint32_t>(offset);
    if (!inImage(at, 16) || at % 4 || u32(at) != 0) return no(problem, "the locator names no class hierarchy");
    const uint32_t count = u32(at + 8);
    const uintptr_t array = base_ + static_cast<uint32_t>(i32(at + 12));
    if (count == 0 || count > 128 || !inImage(array, 4 * count) || array % 4)
      return no(problem, "the hierarchy's base class array is out of the image");
    for (uint32_t i = 0; i < count; ++i) {
      const uintptr_t bcd = base_ + static_cast<uint32_t>(i32(array + 4 * i));
      if (!inImage(bcd, 0x1c) || bcd % 4) return no(problem, "a base class descriptor is out of the image");
      BaseRead b;
      b.name = descriptor(i32(bcd), true);
      if (b.name.empty()) return no(problem, "a base class descriptor names no type descriptor");
      b.contained = u32(bcd + 4);
      b.mdisp = i32(bcd + 8);
      b.pdisp = i32(bcd + 12);
      b.vdisp = i32(bcd + 16);
      b.attributes = u32(bcd + 20);
      // Its own hierarchy, one level down: the name it starts with and its size.
      const uintptr_t own = base_ + static_cast<uint32_t>(i32(bcd + 24));
      if (!inImage(own, 16) || own % 4) return no(problem, "a base class descriptor names no hierarchy");
      const uintptr_t ownArray = base_ + static_cast<uint32_t>(i32(own + 12));
      b.hierarchyCount = u32(own + 8);
      if (!inImage(ownArray, 4) || b.hierarchyCount == 0) return no(problem, "a base's hierarchy is empty");
      const uintptr_t first = base_ + static_cast<uint32_t>(i32(ownArray));
      if (!inImage(first, 4)) return no(problem, "a base's hierarchy starts outside the image");
      b.hierarchyOf = descriptor(i32(first), false);
      out.push_back(std::move(b));
    }
    return true;
  }

  // The decorated name of the descriptor at an image offset; empty when it
  // is none. Its first word is type_info's vtable.
  std::string descriptor(int32_t offset, bool checkTypeInfo) const {
    const uintptr_t at = base_ + static_cast<uint32_t>(offset);
    if (!inImage(at, 0x20) || at % 8) return "";
    const char* name = reinterpret_cast<const char*>(at + 0x10);
    const size_t length = strnlen(name, 256);
    if (length == 256 || std::strncmp(name, ".?AV", 4) != 0) return "";
    if (checkTypeInfo) {
      const uint64_t typeInfo = word(at);
      if (!inImage(typeInfo, 8) || word(at + 8) != 0) return "";
      const uint64_t locator = word(typeInfo - 8);
      if (!inImage(locator, 24) || descriptor(i32(locator + 12), false) != ".?AVtype_info@@") return "";
    }
    return std::string(name, length);
  }

 private:
  static Found fail(Found& f, const char* what) {
    f.problem = what;
    return f;
  }
  static bool no(std::string& problem, const char* what) {
    problem = what;
    return false;
  }
  static uint64_t word(uintptr_t at) {
    uint64_t v;
    std::memcpy(&v, reinterpret_cast<const void*>(at), 8);
    return v;
  }
  static uint32_t u32(uintptr_t at) {
    uint32_t v;
    std::memcpy(&v, reinterpret_cast<const void*>(at), 4);
    return v;
  }
  static int32_t i32(uintptr_t at) { return static_cast<int32_t>(u32(at)); }
  uintptr_t base_;
};

}  // namespace nimbrel_sim_tests
