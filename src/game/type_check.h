// The class of an engine object, told by the compiler's run-time type
// information (MSVC x64) and never by calling the engine. A game update that
// moves a field leaves something else where the plug-in looks: another
// object, a pointer into the heap, a float, nothing. Checking what a pointer
// field points to before following it turns that into a log line instead of
// a crash.
//
// The layout read, all offsets from the image base (i32) unless said:
//   object      +0   the vtable word
//   vtable      -8   the complete object locator's address
//   locator     +0 u32 signature (1), +4 u32 offset of this vtable in the
//               complete object, +8 u32 constructor displacement, +12 type
//               descriptor, +16 class hierarchy, +20 the locator's own offset
//   descriptor  +0 type_info's vtable, +8 spare, +0x10 the decorated name
//   hierarchy   +0 u32 signature, +4 u32 attributes, +8 u32 number of bases
//               (the class itself first), +12 the base class array
//   array       one offset of a base class descriptor per base
//   base class  +0 its type descriptor, +4 u32 number of bases it brings,
//               +8 i32 its displacement in the complete object (mdisp),
//               +12 i32 -1 for a base that is not virtual (pdisp)
// Everything but the object's first word must lie in the game's image.
//
// A checked place is usually an object's start (the vtable's locator gives
// offset 0), but may be a base inside it with a vtable of its own: the
// locator then gives that base's offset in the complete object, and the
// complete object begins that far before the place.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace NimbrelVR::game {

// What a check may read. The check asks `readable` before every read but
// one (a guard's repeat, below), and each load is aligned to its size.
struct MemoryReader {
  const void* context;
  // How many bytes from `address` on may be read, counting at most `wanted`.
  size_t (*readable)(const void* context, uintptr_t address, size_t wanted);
  uint64_t (*load64)(const void* context, uintptr_t address);
  uint32_t (*load32)(const void* context, uintptr_t address);
  uint8_t (*load8)(const void* context, uintptr_t address);
};

// The process's own memory as the platform reports it. Loads are relaxed
// atomic ones: the game writes its objects on other threads.
const MemoryReader& ProcessMemory();

// Where a check looks: the memory, and the game's image [imageBase,
// imageBase + imageSize).
struct TypeScope {
  const MemoryReader* memory;
  uintptr_t imageBase;
  size_t imageSize;
};

// The process's memory and its main executable (the game). Asks the system
// for the image's extent: build it once and keep it.
TypeScope GameScope();

// Bounds on one check's work. Long hierarchies are real (the player's class
// lists a base for every event it listens to), so the cap leaves room; a
// count above it is not a hierarchy.
inline constexpr uint32_t kMaxBaseClasses = 128;
inline constexpr size_t kMaxClassNameBytes = 96;

// What a checked place must hold: an object of the class whose type
// descriptor lies at `descriptor`, or of a class derived from it, whose part
// at `part` the place is (0: the object's start). With `partBase`, the base
// of the complete object at that displacement must carry that decorated
// name (".?AVTESModel@@"). `decorated` is the expected class's decorated
// name, for the words of a finding.
struct TypeExpectation {
  uintptr_t descriptor = 0;
  uint32_t part = 0;
  const char* partBase = nullptr;
  const char* decorated = nullptr;
};

enum class TypeVerdict : uint8_t {
  // Of the expected class or derived from it, at the expected part.
  Match,
  // A null pointer; nothing is read. Where the engine allows null (no cell,
  // no worldspace, no 3D) the caller tests for it before checking.
  Null,
  // Not aligned to 8 bytes: no engine object starts there. Nothing is read.
  Misaligned,
  // The object's first word lies in memory the platform reports unreadable.
  Unreadable,
  // The object's first word points outside the game's image: no vtable.
  OutsideImage,
  // The vtable's locator, the descriptors or the hierarchy are not the
  // compiler's type information (a signature, an offset outside the image, a
  // locator whose own offset is not its place, unreadable image memory).
  NotRtti,
  // An object of another class, or another part of an object than the one
  // expected; named from the object's own type descriptor.
  OtherClass,
};

inline constexpr size_t kTypeFindingSize = 320;

// What a check found, for one log line: "<field> should hold a <class>, but
// holds " + text.
struct TypeFinding {
  TypeVerdict verdict;
  uintptr_t object;
  uintptr_t vtable;  // the object's first word; 0 when it was not read
  // The complete object's type descriptor, where the walk got that far.
  uintptr_t descriptor;
  // Empty on a match, else e.g. "an object of class Sky (.?AVSky@@)",
  // "unreadable memory at 0x10", "the word 0x1d0c0 at 0x2a3f1b8, which
  // points outside the game's image".
  char text[kTypeFindingSize];
};

// One check, nothing remembered: whether the object at `object` is of the
// class whose type descriptor lies at `expectedDescriptor`, or derives from
// it. `finding` may be null. Never throws, never allocates, never calls the
// engine, and reads a bounded number of words.
bool CheckType(const TypeScope& scope, uintptr_t object, const TypeExpectation& expected, TypeFinding* finding);
inline bool CheckType(const TypeScope& scope, uintptr_t object, uintptr_t expectedDescriptor, TypeFinding* finding) {
  return CheckType(scope, object, TypeExpectation{expectedDescriptor}, finding);
}

// The base of the complete object that a place is, by its decorated name:
// the place's vtable leads to the locator, whose offset is the place's
// displacement in the complete object; of the bases listed at that
// displacement (not virtual), the first whose decorated name, after its
// class or struct code (".?AV", ".?AU"), begins with `prefix`
// ("?$BSTEventSink@"). For a sink in an event source, which event it
// listens to.
struct PartOfObject {
  uint32_t part = 0;                  // the place's displacement in the complete object
  uintptr_t completeDescriptor;       // the complete object's class
  char base[kMaxClassNameBytes + 1];  // the base's decorated name; empty when none there begins with `prefix`
};
// False (with `finding`) when the place holds no object of the game's type
// information; true otherwise, even when no base there matches `prefix`.
bool FindPartBase(const TypeScope& scope, uintptr_t place, const char* prefix, PartOfObject* part,
                  TypeFinding* finding);

// A decorated class name in words ("class Sky (.?AVSky@@)"), read from the
// type descriptor at `descriptor`; false where none can be read.
bool NameOfDescriptor(const TypeScope& scope, uintptr_t descriptor, char* out, size_t outSize);

// One guarded field's check, which remembers what passed so that repeats
// cost next to nothing:
// - the object checked last time (its pointer): its first word is read
//   without asking the platform first. It was readable when it passed, and
//   the caller is about to read the object's fields anyway, which no query
//   could make safer; the engine does not give back the pages of objects it
//   keeps, such as these. Then a compare with the verified vtable words.
// - another object: a readability query for its first word, then the same
//   compare.
// - a vtable word not verified yet: the full walk above.
// A vtable word that passed is a fact about the image, which never changes,
// so it is kept for this guard's class. Checks may run on several threads at
// once: the guard holds atomic words only, and no lock.
class TypeGuard {
 public:
  constexpr TypeGuard() = default;
  TypeGuard(const TypeGuard&) = delete;
  TypeGuard& operator=(const TypeGuard&) = delete;

  // What the field must hold. Forgets what passed before; call it before
  // checks begin, not during them.
  void Expect(const TypeExpectation& expected);
  void Expect(uintptr_t typeDescriptor) { Expect(TypeExpectation{typeDescriptor}); }
  uintptr_t expected() const { return expected_.load(std::memory_order_relaxed); }

  // As CheckType against the expectation. `finding` may be null.
  bool Check(const TypeScope& scope, uintptr_t object, TypeFinding* finding = nullptr);

 private:
  static constexpr int kVerifiedWords = 4;  // a base class's field sees a few classes
  bool Verified(uintptr_t vtable) const;
  void Remember(uintptr_t vtable);

  TypeExpectation Expectation() const;

  std::atomic<uintptr_t> expected_{0};
  std::atomic<uint32_t> part_{0};
  std::atomic<const char*> partBase_{nullptr};
  std::atomic<const char*> decorated_{nullptr};
  std::atomic<uintptr_t> lastObject_{0};
  std::atomic<uintptr_t> verified_[kVerifiedWords]{};
  std::atomic<uint32_t> nextVictim_{0};
};

}  // namespace NimbrelVR::game
