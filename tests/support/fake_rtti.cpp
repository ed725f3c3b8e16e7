#include "support/fake_rtti.h"

#include <cstdlib>
#include <cstring>

namespace testsupport {

RttiWriter::RttiWriter(uint8_t* bytes, size_t size, uintptr_t at, uintptr_t imageBase)
    : bytes_(bytes), size_(size), at_(at), imageBase_(imageBase) {}

uintptr_t RttiWriter::Reserve(size_t size, size_t alignment) {
  size_t start = (used_ + alignment - 1) / alignment * alignment;
  // The address, not the offset into the bytes, is what must be aligned.
  while ((at_ + start) % alignment != 0) ++start;
  if (start + size > size_) std::abort();  // a test asked for more room than it gave
  std::memset(bytes_ + start, 0, size);
  used_ = start + size;
  return at_ + start;
}

void RttiWriter::Put32(uintptr_t address, uint32_t value) { std::memcpy(bytes_ + (address - at_), &value, 4); }
void RttiWriter::Put64(uintptr_t address, uint64_t value) { std::memcpy(bytes_ + (address - at_), &value, 8); }
uint32_t RttiWriter::Get32(uintptr_t address) const {
  uint32_t value;
  std::memcpy(&value, bytes_ + (address - at_), 4);
  return value;
}
uintptr_t RttiWriter::LocatorOf(uintptr_t vtable) const {
  uint64_t locator;
  std::memcpy(&locator, bytes_ + (vtable - 8 - at_), 8);
  return static_cast<uintptr_t>(locator);
}

uintptr_t RttiWriter::Descriptor(const char* decorated) {
  const size_t length = std::strlen(decorated);
  const uintptr_t descriptor = Reserve(0x10 + length + 1, 8);
  Put64(descriptor, imageBase_ + 0x10);  // type_info's vtable: any address in the image
  std::memcpy(bytes_ + (descriptor + 0x10 - at_), decorated, length + 1);
  return descriptor;
}

RttiWriter::Class RttiWriter::Define(uintptr_t self, const std::vector<uintptr_t>& bases, uint32_t part,
                                     const std::vector<uint32_t>& displacements) {
  Class made{};
  // One base class descriptor (28 bytes, the compiler's size) per class:
  // its descriptor, its place (mdisp) and -1 for no virtual base (pdisp).
  auto baseClass = [&](uintptr_t descriptor, uint32_t displacement) {
    made.baseClasses.push_back(Reserve(28, 4));
    Put32(made.baseClasses.back(), Offset(descriptor));
    Put32(made.baseClasses.back() + 8, displacement);
    Put32(made.baseClasses.back() + 12, 0xFFFFFFFFu);
  };
  baseClass(self, 0);
  for (size_t i = 0; i < bases.size(); ++i) baseClass(bases[i], i < displacements.size() ? displacements[i] : 0);
  made.array = Reserve(4 * made.baseClasses.size(), 4);
  for (size_t i = 0; i < made.baseClasses.size(); ++i) Put32(made.array + 4 * i, Offset(made.baseClasses[i]));
  made.hierarchy = Reserve(16, 4);
  Put32(made.hierarchy + 8, static_cast<uint32_t>(made.baseClasses.size()));
  Put32(made.hierarchy + 12, Offset(made.array));
  made.vtable = PartVtable(made, part);
  made.locator = LocatorOf(made.vtable);
  return made;
}

uintptr_t RttiWriter::PartVtable(const Class& of, uint32_t part) {
  const uintptr_t locator = Reserve(24, 4);
  Put32(locator, 1);
  Put32(locator + 4, part);
  Put32(locator + 12, Get32(of.baseClasses.front()));  // the class's own descriptor
  Put32(locator + 16, Offset(of.hierarchy));
  Put32(locator + 20, Offset(locator));
  const uintptr_t slots = Reserve(8 * 7, 8);
  Put64(slots, locator);
  for (int i = 1; i < 7; ++i) Put64(slots + 8 * i, imageBase_ + 0x20 * i);  // functions: anywhere in the image
  return slots + 8;
}

}  // namespace testsupport
