#include "game/type_check.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "log/debug_log.h"
#include "platform/platform.h"

// The process reader loads words the plug-in does not own (a moved field may
// point anywhere readable): an address sanitizer must not take them for its
// own heap's bounds.
#if defined(__SANITIZE_ADDRESS__)
#define NIMBREL_FOREIGN_LOAD __attribute__((no_sanitize_address))
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NIMBREL_FOREIGN_LOAD __attribute__((no_sanitize("address")))
#endif
#endif
#ifndef NIMBREL_FOREIGN_LOAD
#define NIMBREL_FOREIGN_LOAD
#endif

namespace NimbrelVR::game {
namespace {

size_t ProcessReadable(const void*, uintptr_t address, size_t wanted) {
  return platform::ReadableBytes(address, wanted);
}

NIMBREL_FOREIGN_LOAD uint64_t ProcessLoad64(const void*, uintptr_t address) {
  return __atomic_load_n(reinterpret_cast<const uint64_t*>(address), __ATOMIC_RELAXED);
}

NIMBREL_FOREIGN_LOAD uint32_t ProcessLoad32(const void*, uintptr_t address) {
  return __atomic_load_n(reinterpret_cast<const uint32_t*>(address), __ATOMIC_RELAXED);
}

NIMBREL_FOREIGN_LOAD uint8_t ProcessLoad8(const void*, uintptr_t address) {
  return __atomic_load_n(reinterpret_cast<const uint8_t*>(address), __ATOMIC_RELAXED);
}

constexpr MemoryReader kProcessMemory{nullptr, &ProcessReadable, &ProcessLoad64, &ProcessLoad32, &ProcessLoad8};

constexpr uint32_t kLocatorSignature = 1;
constexpr size_t kLocatorSize = 24;
constexpr size_t kHierarchySize = 16;
constexpr uintptr_t kNameOffset = 0x10;

using ULL = unsigned long long;

void Say(TypeFinding* finding, TypeVerdict verdict, const char* format, ...) NIMBREL_PRINTF(3, 4);
void Say(TypeFinding* finding, TypeVerdict verdict, const char* format, ...) {
  if (!finding) return;
  finding->verdict = verdict;
  va_list args;
  va_start(args, format);
  std::vsnprintf(finding->text, sizeof finding->text, format, args);
  va_end(args);
}

// The image's reads of one walk. Each read must lie inside the image and in
// a stretch the platform reported readable; the stretches reported are kept
// for the rest of the walk, so that reads near one another ask once.
class ImageReads {
 public:
  explicit ImageReads(const TypeScope& scope)
      : memory_(*scope.memory), base_(scope.imageBase), size_(scope.imageSize) {}

  uintptr_t base() const { return base_; }

  bool Inside(uintptr_t address, size_t size) const {
    return address >= base_ && size <= size_ && address - base_ <= size_ - size;
  }

  // The address at image offset `offset`, if [it, it + size) lies in the
  // image and is aligned to `alignment`; 0 otherwise.
  uintptr_t At(int32_t offset, size_t size, uintptr_t alignment) const {
    if (offset < 0) return 0;
    const uintptr_t address = base_ + static_cast<uint32_t>(offset);
    return Inside(address, size) && address % alignment == 0 ? address : 0;
  }

  // Bytes from `address` (inside the image) to the image's end.
  size_t ToEnd(uintptr_t address) const { return size_ - (address - base_); }

  // How many bytes from `address` (inside the image) may be read, up to
  // `wanted`.
  size_t Readable(uintptr_t address, size_t wanted) {
    for (const Stretch& known : known_) {
      if (address >= known.begin && address < known.end && known.end - address >= wanted) return wanted;
    }
    const size_t got = memory_.readable(memory_.context, address, ToEnd(address));
    if (got > 0) known_[next_++ % kKnownStretches] = {address, address + got};
    return got < wanted ? got : wanted;
  }
  bool CanRead(uintptr_t address, size_t size) { return Readable(address, size) == size; }

  uint64_t Load64(uintptr_t address) const { return memory_.load64(memory_.context, address); }
  uint32_t Load32(uintptr_t address) const { return memory_.load32(memory_.context, address); }
  int32_t Offset(uintptr_t address) const { return static_cast<int32_t>(Load32(address)); }
  uint8_t Load8(uintptr_t address) const { return memory_.load8(memory_.context, address); }

 private:
  const MemoryReader& memory_;
  uintptr_t base_;
  size_t size_;
  // The records lie in a few places (the vtables, the locators, the
  // hierarchies): a stretch for each.
  static constexpr unsigned kKnownStretches = 4;
  struct Stretch {
    uintptr_t begin = 0;
    uintptr_t end = 0;
  };
  Stretch known_[kKnownStretches];
  unsigned next_ = 0;
};

// A decorated class name, ".?AVVirtualMachine@Internal@BSScript@@", as
// "BSScript::Internal::VirtualMachine". False for any other form (templates,
// anonymous namespaces): the decorated name then stands alone.
bool Undecorate(const char* decorated, char* out, size_t outSize) {
  if (std::strncmp(decorated, ".?AV", 4) != 0 && std::strncmp(decorated, ".?AU", 4) != 0) return false;
  const char* body = decorated + 4;
  const size_t length = std::strlen(body);
  if (length < 3 || std::strcmp(body + length - 2, "@@") != 0) return false;
  // Components from the innermost out: name@Outer@Outermost@@.
  const char* ends[16];
  const char* begins[16];
  int parts = 0;
  for (const char* at = body; at < body + length - 1;) {
    const char* end = std::strchr(at, '@');
    if (end == at || parts == 16) return false;
    for (const char* c = at; c < end; ++c) {
      const bool word = (*c >= 'A' && *c <= 'Z') || (*c >= 'a' && *c <= 'z') || (*c >= '0' && *c <= '9') || *c == '_';
      if (!word) return false;
    }
    begins[parts] = at;
    ends[parts] = end;
    ++parts;
    at = end + 1;
  }
  size_t used = 0;
  for (int i = parts - 1; i >= 0; --i) {
    const size_t size = static_cast<size_t>(ends[i] - begins[i]);
    const size_t separator = i + 1 < parts ? 2 : 0;
    if (used + separator + size + 1 > outSize) return false;
    if (separator) std::memcpy(out + used, "::", 2);
    std::memcpy(out + used + separator, begins[i], size);
    used += separator + size;
  }
  out[used] = '\0';
  return parts > 0;
}

// The decorated name of the class whose type descriptor lies at `descriptor`
// (inside the image, aligned): false where it holds none. `cut` says the
// name ran past what is read of it.
bool ReadDecorated(ImageReads& image, uintptr_t descriptor, char (&decorated)[kMaxClassNameBytes + 1], bool* cut) {
  const uintptr_t name = descriptor + kNameOffset;
  if (!image.Inside(name, 1)) return false;
  const size_t toEnd = image.ToEnd(name);
  const size_t limit = image.Readable(name, toEnd < kMaxClassNameBytes ? toEnd : kMaxClassNameBytes);
  size_t length = 0;
  while (length < limit) {
    const uint8_t c = image.Load8(name + length);
    if (c == 0) break;
    if (c <= 0x20 || c >= 0x7F) return false;
    decorated[length++] = static_cast<char>(c);
  }
  if (length < 4) return false;
  *cut = length == limit;
  decorated[length] = '\0';
  return std::strncmp(decorated, ".?A", 3) == 0;
}

// Names the class whose type descriptor lies at `descriptor`, as
// "class Sky (.?AVSky@@)".
bool NameClass(ImageReads& image, uintptr_t descriptor, char* out, size_t outSize) {
  char decorated[kMaxClassNameBytes + 1];
  bool cut = false;
  if (!ReadDecorated(image, descriptor, decorated, &cut)) return false;
  char plain[kMaxClassNameBytes + 1];
  if (!cut && Undecorate(decorated, plain, sizeof plain))
    std::snprintf(out, outSize, "class %s (%s)", plain, decorated);
  else
    std::snprintf(out, outSize, "class %s%s", decorated, cut ? "..." : "");
  return true;
}

constexpr size_t kBaseClassHeadSize = 16;  // descriptor, bases, mdisp, pdisp
constexpr uint32_t kNotVirtual = 0xFFFFFFFFu;

// The records a vtable word leads to, each checked to be the compiler's.
struct Rtti {
  uint32_t part = 0;  // the vtable's offset in the complete object
  uintptr_t descriptor = 0;
  uint32_t count = 0;    // bases, the class first
  uintptr_t array = 0;   // the base class array
  bool derives = false;  // a base (or the class) is the one asked about
};

// The walk from a vtable word to the class records, and whether the class
// derives from the one whose descriptor is `asked` (0: none). False with a
// finding that names the object and its word.
bool ReadRtti(ImageReads& image, uintptr_t object, uintptr_t vtable, uintptr_t asked, Rtti* rtti, char* where,
              size_t whereSize, TypeFinding* finding) {
  if (!image.Inside(vtable, 1)) {
    Say(finding, TypeVerdict::OutsideImage, "the word 0x%llx at 0x%llx, which points outside the game's image",
        ULL(vtable), ULL(object));
    return false;
  }
  // From here on every finding names the object and its vtable word.
  std::snprintf(where, whereSize, "the object at 0x%llx (vtable word 0x%llx)", ULL(object), ULL(vtable));
  const uintptr_t base = image.base();
  if (vtable % 8 != 0 || !image.Inside(vtable - 8, 8)) {
    Say(finding, TypeVerdict::NotRtti, "%s, which is no vtable: %s", where,
        vtable % 8 ? "not aligned" : "no locator slot before it in the image");
    return false;
  }
  if (!image.CanRead(vtable - 8, 8)) {
    Say(finding, TypeVerdict::NotRtti, "%s, whose locator slot is unreadable", where);
    return false;
  }

  const uintptr_t locator = image.Load64(vtable - 8);
  if (!image.Inside(locator, kLocatorSize) || locator % 4 != 0) {
    Say(finding, TypeVerdict::NotRtti, "%s, whose locator 0x%llx is not in the game's image", where, ULL(locator));
    return false;
  }
  if (!image.CanRead(locator, kLocatorSize)) {
    Say(finding, TypeVerdict::NotRtti, "%s, whose locator at 0x%llx is unreadable", where, ULL(locator));
    return false;
  }
  const uint32_t signature = image.Load32(locator);
  rtti->part = image.Load32(locator + 4);
  const int32_t descriptorOffset = image.Offset(locator + 12);
  const int32_t hierarchyOffset = image.Offset(locator + 16);
  const int32_t self = image.Offset(locator + 20);
  if (signature != kLocatorSignature) {
    Say(finding, TypeVerdict::NotRtti, "%s, whose locator's signature is %u, not 1", where, signature);
    return false;
  }
  if (self < 0 || static_cast<uintptr_t>(self) != locator - base) {
    Say(finding, TypeVerdict::NotRtti, "%s, whose locator gives its own offset as 0x%x, not 0x%llx", where,
        static_cast<uint32_t>(self), ULL(locator - base));
    return false;
  }
  rtti->descriptor = image.At(descriptorOffset, kNameOffset + 1, 8);
  const uintptr_t hierarchy = image.At(hierarchyOffset, kHierarchySize, 4);
  if (!rtti->descriptor || !hierarchy) {
    Say(finding, TypeVerdict::NotRtti, "%s, whose %s offset 0x%x is not in the game's image", where,
        rtti->descriptor ? "class hierarchy" : "type descriptor",
        static_cast<uint32_t>(rtti->descriptor ? hierarchyOffset : descriptorOffset));
    return false;
  }
  if (finding) finding->descriptor = rtti->descriptor;
  if (!image.CanRead(hierarchy, kHierarchySize)) {
    Say(finding, TypeVerdict::NotRtti, "%s, whose class hierarchy at 0x%llx is unreadable", where, ULL(hierarchy));
    return false;
  }
  rtti->count = image.Load32(hierarchy + 8);
  if (rtti->count == 0 || rtti->count > kMaxBaseClasses) {
    Say(finding, TypeVerdict::NotRtti, "%s, whose class hierarchy lists %u classes (1 to %u make one)", where,
        rtti->count, kMaxBaseClasses);
    return false;
  }
  rtti->array = image.At(image.Offset(hierarchy + 12), rtti->count * sizeof(int32_t), 4);
  if (!rtti->array || !image.CanRead(rtti->array, rtti->count * sizeof(int32_t))) {
    Say(finding, TypeVerdict::NotRtti, "%s, whose list of base classes is %s", where,
        rtti->array ? "unreadable" : "not in the game's image");
    return false;
  }
  // The whole list is read even once the class is found: a list with a
  // damaged entry is no hierarchy, wherever the damage lies.
  for (uint32_t i = 0; i < rtti->count; ++i) {
    const uintptr_t baseClass = image.At(image.Offset(rtti->array + 4 * i), kBaseClassHeadSize, 4);
    if (!baseClass || !image.CanRead(baseClass, kBaseClassHeadSize)) {
      Say(finding, TypeVerdict::NotRtti, "%s, whose base class %u is %s", where, i,
          baseClass ? "unreadable" : "not in the game's image");
      return false;
    }
    const int32_t descriptor = image.Offset(baseClass);
    const uintptr_t baseDescriptor = base + static_cast<uint32_t>(descriptor);
    // The compiler lists the class itself first.
    if (i == 0 && (descriptor < 0 || baseDescriptor != rtti->descriptor)) {
      Say(finding, TypeVerdict::NotRtti, "%s, whose class hierarchy does not begin with its own class", where);
      return false;
    }
    rtti->derives = rtti->derives || (asked && descriptor >= 0 && baseDescriptor == asked);
  }
  return true;
}

// Base class i of a hierarchy ReadRtti passed: its type descriptor (0 when
// its offset is negative), and whether it sits, not virtual, at `part`.
struct BaseClass {
  uintptr_t descriptor;
  uint32_t displacement;
  bool notVirtual;
  bool at(uint32_t part) const { return displacement == part && notVirtual; }
};
BaseClass BaseClassOf(const ImageReads& image, const Rtti& rtti, uint32_t i) {
  const uintptr_t baseClass = image.base() + static_cast<uint32_t>(image.Offset(rtti.array + 4 * i));
  const int32_t descriptor = image.Offset(baseClass);
  return {descriptor < 0 ? 0 : image.base() + static_cast<uint32_t>(descriptor), image.Load32(baseClass + 8),
          image.Load32(baseClass + 12) == kNotVirtual};
}

// The first base of a hierarchy ReadRtti passed that `wanted` takes by its
// place and `named` by its decorated name (read into `found`, empty when
// none is taken): its type descriptor, or 0.
template <typename Wanted, typename Named>
uintptr_t FindBase(ImageReads& image, const Rtti& rtti, Wanted wanted, Named named,
                   char (&found)[kMaxClassNameBytes + 1]) {
  for (uint32_t i = 0; i < rtti.count; ++i) {
    const BaseClass b = BaseClassOf(image, rtti, i);
    bool cut = false;
    if (!b.descriptor || !wanted(b) || !image.Inside(b.descriptor, kNameOffset + 1)) continue;
    if (ReadDecorated(image, b.descriptor, found, &cut) && !cut && named(found)) return b.descriptor;
  }
  found[0] = '\0';
  return 0;
}

// Whether a base at `part` carries the decorated name `name` (or, with
// `prefix`, a name whose text after its four-character code begins with
// it); its name in `found`.
bool BaseNamedAt(ImageReads& image, const Rtti& rtti, uint32_t part, const char* name, bool prefix,
                 char (&found)[kMaxClassNameBytes + 1]) {
  const size_t length = std::strlen(name);
  return FindBase(
             image, rtti, [part](const BaseClass& b) { return b.at(part); },
             [&](const char* decorated) {
               return prefix ? std::strncmp(decorated + 4, name, length) == 0 : std::strcmp(decorated, name) == 0;
             },
             found) != 0;
}

// A class of the hierarchy whose decorated name is `decorated`, by another
// descriptor than `expected`: the name the caller wants at another address.
uintptr_t SameNameElsewhere(ImageReads& image, const Rtti& rtti, const char* decorated, uintptr_t expected) {
  if (!decorated) return 0;
  char name[kMaxClassNameBytes + 1];
  return FindBase(
      image, rtti, [expected](const BaseClass& b) { return b.descriptor != expected; },
      [decorated](const char* found) { return std::strcmp(found, decorated) == 0; }, name);
}

// The walk from a vtable word to the answer.
bool Walk(const TypeScope& scope, uintptr_t object, uintptr_t vtable, const TypeExpectation& expected,
          TypeFinding* finding) {
  ImageReads image(scope);
  Rtti rtti;
  char where[96];
  if (!ReadRtti(image, object, vtable, expected.descriptor, &rtti, where, sizeof where, finding)) return false;
  const bool derives = rtti.derives;
  char partName[kMaxClassNameBytes + 1] = "";
  const bool rightPart =
      rtti.part == expected.part &&
      (!expected.partBase || BaseNamedAt(image, rtti, expected.part, expected.partBase, false, partName));
  if (derives && rightPart) {
    if (finding) {
      finding->verdict = TypeVerdict::Match;
      finding->text[0] = '\0';
    }
    return true;
  }

  char named[2 * kMaxClassNameBytes + 16];
  if (!NameClass(image, rtti.descriptor, named, sizeof named)) {
    Say(finding, TypeVerdict::NotRtti, "%s, whose type descriptor at 0x%llx holds no class name", where,
        ULL(rtti.descriptor));
    return false;
  }
  const uintptr_t base = image.base();
  if (!derives) {
    // The class expected, or a base of it, by name but not by the descriptor
    // this build binds: the binding, not the object, is what is off.
    if (const uintptr_t elsewhere = SameNameElsewhere(image, rtti, expected.decorated, expected.descriptor)) {
      if (elsewhere == rtti.descriptor)
        Say(finding, TypeVerdict::OtherClass,
            "an object of %s: the name matches, but its type descriptor is the one at image offset 0x%llx, and "
            "this build binds that class's at image offset 0x%llx",
            named, ULL(elsewhere - base), ULL(expected.descriptor - base));
      else
        Say(finding, TypeVerdict::OtherClass,
            "an object of %s, derived from a class of the expected name (%s) by the type descriptor at image "
            "offset 0x%llx; this build binds that class's at image offset 0x%llx",
            named, expected.decorated, ULL(elsewhere - base), ULL(expected.descriptor - base));
      return false;
    }
  }
  if (rtti.part == 0)
    Say(finding, TypeVerdict::OtherClass, "an object of %s", named);
  else if (derives && rtti.part == expected.part)
    Say(finding, TypeVerdict::OtherClass, "the vtable of the part at +0x%x of an object of %s, where no base %s lies",
        rtti.part, named, expected.partBase);
  else
    Say(finding, TypeVerdict::OtherClass, "the vtable of the part at +0x%x of an object of %s", rtti.part, named);
  return false;
}

// What every check does before it reads: null and misaligned addresses.
bool Addressable(uintptr_t object, TypeFinding* finding) {
  if (finding) {
    finding->object = object;
    finding->vtable = 0;
    finding->descriptor = 0;
  }
  if (object == 0) {
    Say(finding, TypeVerdict::Null, "a null pointer");
    return false;
  }
  if (object % 8 != 0) {
    Say(finding, TypeVerdict::Misaligned, "the misaligned address 0x%llx, where no object starts", ULL(object));
    return false;
  }
  return true;
}

bool FirstWord(const MemoryReader& memory, uintptr_t object, uintptr_t* word, TypeFinding* finding) {
  if (memory.readable(memory.context, object, sizeof(uint64_t)) < sizeof(uint64_t)) {
    Say(finding, TypeVerdict::Unreadable, "unreadable memory at 0x%llx", ULL(object));
    return false;
  }
  *word = memory.load64(memory.context, object);
  if (finding) finding->vtable = *word;
  return true;
}

}  // namespace

const MemoryReader& ProcessMemory() { return kProcessMemory; }

TypeScope GameScope() {
  const platform::ImageExtent image = platform::MainImageExtent();
  return {&kProcessMemory, image.base, image.size};
}

bool CheckType(const TypeScope& scope, uintptr_t object, const TypeExpectation& expected, TypeFinding* finding) {
  uintptr_t vtable = 0;
  if (!Addressable(object, finding) || !FirstWord(*scope.memory, object, &vtable, finding)) return false;
  return Walk(scope, object, vtable, expected, finding);
}

bool FindPartBase(const TypeScope& scope, uintptr_t place, const char* prefix, PartOfObject* part,
                  TypeFinding* finding) {
  uintptr_t vtable = 0;
  if (!Addressable(place, finding) || !FirstWord(*scope.memory, place, &vtable, finding)) return false;
  ImageReads image(scope);
  Rtti rtti;
  char where[96];
  if (!ReadRtti(image, place, vtable, 0, &rtti, where, sizeof where, finding)) return false;
  part->part = rtti.part;
  part->completeDescriptor = rtti.descriptor;
  BaseNamedAt(image, rtti, rtti.part, prefix, true, part->base);
  if (finding) {
    finding->verdict = TypeVerdict::Match;
    finding->text[0] = '\0';
  }
  return true;
}

bool NameOfDescriptor(const TypeScope& scope, uintptr_t descriptor, char* out, size_t outSize) {
  ImageReads image(scope);
  return image.Inside(descriptor, kNameOffset + 1) && descriptor % 8 == 0 && NameClass(image, descriptor, out, outSize);
}

void TypeGuard::Expect(const TypeExpectation& expected) {
  expected_.store(expected.descriptor, std::memory_order_relaxed);
  part_.store(expected.part, std::memory_order_relaxed);
  partBase_.store(expected.partBase, std::memory_order_relaxed);
  decorated_.store(expected.decorated, std::memory_order_relaxed);
  lastObject_.store(0, std::memory_order_relaxed);
  for (auto& word : verified_) word.store(0, std::memory_order_relaxed);
}

TypeExpectation TypeGuard::Expectation() const {
  return {expected(), part_.load(std::memory_order_relaxed), partBase_.load(std::memory_order_relaxed),
          decorated_.load(std::memory_order_relaxed)};
}

bool TypeGuard::Verified(uintptr_t vtable) const {
  if (vtable == 0) return false;  // an empty slot
  for (const auto& word : verified_) {
    if (word.load(std::memory_order_relaxed) == vtable) return true;
  }
  return false;
}

void TypeGuard::Remember(uintptr_t vtable) {
  for (auto& word : verified_) {
    uintptr_t empty = 0;
    if (word.compare_exchange_strong(empty, vtable, std::memory_order_relaxed) || empty == vtable) return;
  }
  verified_[nextVictim_.fetch_add(1, std::memory_order_relaxed) % kVerifiedWords].store(vtable,
                                                                                        std::memory_order_relaxed);
}

bool TypeGuard::Check(const TypeScope& scope, uintptr_t object, TypeFinding* finding) {
  if (!Addressable(object, finding)) return false;
  const MemoryReader& memory = *scope.memory;
  const bool repeat = object == lastObject_.load(std::memory_order_relaxed);
  uintptr_t vtable = 0;
  if (repeat) {
    vtable = memory.load64(memory.context, object);
    if (finding) finding->vtable = vtable;
  } else if (!FirstWord(memory, object, &vtable, finding)) {
    return false;
  }
  if (Verified(vtable)) {
    if (finding) {
      finding->verdict = TypeVerdict::Match;
      finding->text[0] = '\0';
    }
  } else if (Walk(scope, object, vtable, Expectation(), finding)) {
    Remember(vtable);
  } else {
    return false;
  }
  if (!repeat) lastObject_.store(object, std::memory_order_relaxed);
  return true;
}

}  // namespace NimbrelVR::game
