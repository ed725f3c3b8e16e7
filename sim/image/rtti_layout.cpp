#include "image/rtti_layout.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace nimbrel_sim {

namespace {

using C = ClassId;

// Where the type information lies. The region is free in every column:
// above the engine heap object of 1.7.99 (0x369a810), below the database's
// last fillers (0x3e00000).
constexpr uint32_t kRegion = 0x3c00000;
// Descriptors without a published offset: a stretch per column, so that no
// two runtimes share a chosen offset.
constexpr uint32_t kChosenDescriptors = kRegion;
constexpr uint32_t kChosenStretch = 0x2000;
// Hierarchies, base class arrays and descriptors, locators and vtables,
// from an address that is 4 but not 8 aligned: MSVC aligns all but the
// vtables to 4 only, and a reader must take that.
constexpr uint32_t kStructures = kRegion + 0x10004;
// Slots of vtables whose functions nothing may call point into code fill
// here, a stretch of 0x100 bytes per vtable.
constexpr uint32_t kVirtualCode = kRegion + 0x80000;
constexpr uint32_t kVirtualCodeStretch = 0x100;
constexpr uint32_t kRegionEnd = kRegion + 0x200000;

constexpr uint32_t kDescriptorHead = 0x10;  // type_info's vtable pointer, the spare word
constexpr uint32_t kHierarchySize = 0x10;
constexpr uint32_t kBaseDescriptorSize = 0x1c;
constexpr uint32_t kLocatorSize = 0x18;
constexpr uint32_t kBcdHasHierarchy = 0x40;  // the base class descriptor names its own hierarchy
constexpr uint32_t kChdMultipleInheritance = 1;
constexpr uint32_t kNoVirtualBase = 0xFFFFFFFFu;  // pdisp -1: the base is not virtual

uint32_t descriptorSize(ClassId cls) {
  return kDescriptorHead + static_cast<uint32_t>(std::strlen(decoratedName(cls))) + 1;
}

uint32_t alignUp(uint32_t at, uint32_t to) { return (at + to - 1) / to * to; }

size_t slotsOf(VtableKind kind) {
  switch (kind) {
    case VtableKind::ScriptMachine:
      return kScriptMachineSlots;
    case VtableKind::VmSink:
      return kVmSinkSlots;
    case VtableKind::Plain:
      return kPlainSlots;
    case VtableKind::None:
      break;
  }
  return 0;
}

bool isModelComponent(ClassId cls, uint32_t subobject) {
  return cls == C::BGSProjectile && subobject == kModelComponentOffset;
}

RttiPlacement place(Layout layout) {
  RttiPlacement p;
  std::vector<RttiPlacement::Span> spans;
  auto span = [&](uint32_t begin, uint32_t size) { spans.push_back({begin, begin + size}); };
  uint32_t chosen = kChosenDescriptors + kChosenStretch * static_cast<uint32_t>(layout);
  for (int i = 0; i < kClassCount; ++i) {
    const auto cls = static_cast<ClassId>(i);
    uint32_t at = publishedDescriptorOffset(cls, layout);
    if (at == 0) {
      at = alignUp(chosen, 8);
      chosen = at + descriptorSize(cls);
    }
    p.descriptor[i] = at;
    span(at, descriptorSize(cls));
  }
  uint32_t at = kStructures;
  for (int i = 0; i < kClassCount; ++i, at += kHierarchySize) {
    p.hierarchy[i] = at;
    span(at, kHierarchySize);
  }
  // A base class descriptor per class and displacement, in the order the
  // hierarchies first name them.
  for (int i = 0; i < kClassCount; ++i) {
    for (const BaseAt& base : hierarchyOf(static_cast<ClassId>(i))) {
      const auto& known = p.baseDescriptors;
      if (std::any_of(known.begin(), known.end(), [&](const auto& d) { return d.cls == base.cls && d.at == base.at; }))
        continue;
      p.baseDescriptors.push_back({base.cls, base.at, at});
      span(at, kBaseDescriptorSize);
      at += kBaseDescriptorSize;
    }
  }
  for (int i = 0; i < kClassCount; ++i) {
    const auto size = static_cast<uint32_t>(4 * hierarchyOf(static_cast<ClassId>(i)).size());
    p.baseArray[i] = at;
    span(at, size);
    at += size;
  }
  // A vtable per vtable word of a complete object: its first word, and one
  // for each polymorphic base at a displacement of its own. Locators at 4
  // past an 8-aligned address, vtables 8-aligned.
  std::vector<RttiPlacement::Vtable> vtables;
  for (int i = 0; i < kClassCount; ++i) {
    const auto cls = static_cast<ClassId>(i);
    const VtableKind kind = vtableKindOf(cls);
    if (kind == VtableKind::None) continue;
    vtables.push_back({cls, 0, 0, 0, slotsOf(kind)});
    for (uint32_t sub : secondaryVtablesOf(cls))
      vtables.push_back({cls, sub, 0, 0, isModelComponent(cls, sub) ? kModelComponentSlots : kPlainSlots});
  }
  at = alignUp(at, 8) + 4;
  for (auto& v : vtables) {
    v.locator = at;
    span(at, kLocatorSize);
    at += kLocatorSize;
  }
  at = alignUp(at, 8);
  for (auto& v : vtables) {
    v.table = at + 8;
    span(at, static_cast<uint32_t>(8 + 8 * v.slots));
    at = v.table + static_cast<uint32_t>(8 * v.slots);
  }
  // The structures and the code fill their slots point into stay apart and
  // within the region.
  if (at > kVirtualCode || kVirtualCode + kVirtualCodeStretch * vtables.size() > kRegionEnd) std::abort();
  p.vtables = std::move(vtables);
  std::sort(spans.begin(), spans.end(), [](const auto& a, const auto& b) { return a.begin < b.begin; });
  for (const auto& s : spans) {
    if (!p.spans.empty() && p.spans.back().end == s.begin)
      p.spans.back().end = s.end;
    else
      p.spans.push_back(s);
  }
  return p;
}

void put32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void put64(std::vector<uint8_t>& out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

std::string hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", value);
  return text;
}

}  // namespace

uint32_t RttiPlacement::baseDescriptorOf(ClassId cls, uint32_t at) const {
  for (const BaseDescriptor& d : baseDescriptors)
    if (d.cls == cls && d.at == at) return d.offset;
  return 0;
}

const RttiPlacement& rttiPlacement(Layout layout) {
  static std::array<RttiPlacement, kLayoutCount> placements;
  static std::once_flag once;
  std::call_once(once, [] {
    for (int i = 0; i < kLayoutCount; ++i) placements[static_cast<size_t>(i)] = place(static_cast<Layout>(i));
  });
  return placements[static_cast<size_t>(layout)];
}

bool inRtti(uint32_t offset, Layout layout) {
  for (const auto& s : rttiPlacement(layout).spans)
    if (offset >= s.begin && offset < s.end) return true;
  return false;
}

std::vector<RttiBlock> rttiBytes(Layout layout, uintptr_t base, const VirtualSlots& slots) {
  const RttiPlacement& p = rttiPlacement(layout);
  std::vector<RttiBlock> blocks;
  auto vtableOf = [&](ClassId cls) -> uintptr_t {
    for (const auto& v : p.vtables)
      if (v.cls == cls && v.subobject == 0) return base + v.table;
    return 0;
  };
  const uintptr_t typeInfoVtable = vtableOf(C::TypeInfo);
  for (int i = 0; i < kClassCount; ++i) {
    const auto cls = static_cast<ClassId>(i);
    const std::string name = className(cls);
    RttiBlock descriptor{p.descriptor[i], {}, "the type descriptor of " + name};
    put64(descriptor.bytes, typeInfoVtable);
    put64(descriptor.bytes, 0);
    const char* decorated = decoratedName(cls);
    descriptor.bytes.insert(descriptor.bytes.end(), decorated, decorated + std::strlen(decorated) + 1);
    blocks.push_back(std::move(descriptor));

    const std::vector<BaseAt> list = hierarchyOf(cls);
    bool multiple = false;
    for (const BaseAt& c : list) {
      // A class with more than one direct base somewhere in the hierarchy:
      // its direct bases follow it, each with its own list.
      const std::vector<BaseAt> own = hierarchyOf(c.cls);
      size_t direct = 0;
      for (size_t k = 1; k < own.size(); k += hierarchyOf(own[k].cls).size()) ++direct;
      multiple = multiple || direct > 1;
    }
    RttiBlock hierarchy{p.hierarchy[i], {}, "the class hierarchy of " + name};
    put32(hierarchy.bytes, 0);
    put32(hierarchy.bytes, multiple ? kChdMultipleInheritance : 0);
    put32(hierarchy.bytes, static_cast<uint32_t>(list.size()));
    put32(hierarchy.bytes, p.baseArray[i]);
    blocks.push_back(std::move(hierarchy));

    RttiBlock array{p.baseArray[i], {}, "the base class array of " + name};
    for (const BaseAt& c : list) put32(array.bytes, p.baseDescriptorOf(c.cls, c.at));
    blocks.push_back(std::move(array));
  }
  // Each base at its place: its descriptor, how many bases it brings, its
  // displacement in the complete object (mdisp; no virtual base, so pdisp
  // -1 and vdisp 0), and its own hierarchy.
  for (const RttiPlacement::BaseDescriptor& d : p.baseDescriptors) {
    const auto i = static_cast<size_t>(d.cls);
    RttiBlock bcd{d.offset, {}, "the base class descriptor of " + std::string(className(d.cls)) + " at " + hex(d.at)};
    put32(bcd.bytes, p.descriptor[i]);
    put32(bcd.bytes, static_cast<uint32_t>(hierarchyOf(d.cls).size() - 1));
    put32(bcd.bytes, d.at);
    put32(bcd.bytes, kNoVirtualBase);
    put32(bcd.bytes, 0);
    put32(bcd.bytes, kBcdHasHierarchy);
    put32(bcd.bytes, p.hierarchy[i]);
    blocks.push_back(std::move(bcd));
  }
  for (size_t v = 0; v < p.vtables.size(); ++v) {
    const RttiPlacement::Vtable& vt = p.vtables[v];
    const auto i = static_cast<size_t>(vt.cls);
    std::string name = className(vt.cls);
    if (vt.subobject)
      name += std::string(" (its ") + className(baseAtDisplacement(vt.cls, vt.subobject)) + " at +" +
              hex(vt.subobject) + ")";
    RttiBlock locator{vt.locator, {}, "the complete object locator of " + name};
    put32(locator.bytes, 1);
    put32(locator.bytes, vt.subobject);
    put32(locator.bytes, 0);
    put32(locator.bytes, p.descriptor[i]);
    put32(locator.bytes, p.hierarchy[i]);
    put32(locator.bytes, vt.locator);
    blocks.push_back(std::move(locator));

    RttiBlock table{vt.table - 8, {}, "the vtable of " + name};
    put64(table.bytes, base + vt.locator);
    const void* const* given = nullptr;
    if (isModelComponent(vt.cls, vt.subobject))
      given = slots.modelComponent;
    else if (vt.subobject == 0 && vtableKindOf(vt.cls) == VtableKind::ScriptMachine)
      given = slots.scriptMachine;
    else if (vt.subobject == 0 && vtableKindOf(vt.cls) == VtableKind::VmSink)
      given = slots.vmSink;
    for (size_t s = 0; s < vt.slots; ++s) {
      const uintptr_t fill = base + kVirtualCode + kVirtualCodeStretch * v + 8 * s;
      put64(table.bytes, given ? reinterpret_cast<uintptr_t>(given[s]) : fill);
    }
    blocks.push_back(std::move(table));
  }
  return blocks;
}

}  // namespace nimbrel_sim
