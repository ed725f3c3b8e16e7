// The engine's run-time type information as bytes in the image, laid out as
// MSVC x64 lays it out (runtimes.md, "Type checks"): for every class of an
// object the double hands out a vtable per vtable word its objects hold
// (slot -1 pointing to the complete object locator, which says where in the
// complete object that word sits), the class hierarchy with a base class
// descriptor per base at its displacement, and the type descriptors with
// their decorated names. Descriptors sit at each runtime's published offsets
// where there are some; everything else in a region of the arena the double
// keeps for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "image/rtti.h"
#include "image/runtimes.h"

namespace nimbrel_sim {

// Slots of the vtables whose slots the engine's own code calls (the script
// machine's registration at 0xc0, the model component's get and set) or
// which a wrong read would call (the 1.7 sink). The engine hands their
// functions in when the image is laid out.
inline constexpr size_t kScriptMachineSlots = 40;
inline constexpr size_t kVmSinkSlots = 64;
inline constexpr size_t kModelComponentSlots = 8;
// Every other vtable has this many slots, each pointing into code fill.
inline constexpr size_t kPlainSlots = 16;
struct VirtualSlots {
  const void* const* scriptMachine = nullptr;   // kScriptMachineSlots
  const void* const* vmSink = nullptr;          // kVmSinkSlots
  const void* const* modelComponent = nullptr;  // kModelComponentSlots
};
// The effect art's model component, a base within the complete object
// (BGSProjectile's TESModel) whose vtable holds the get and set the engine
// hands in.
inline constexpr uint32_t kModelComponentOffset = 0x40;

// Where everything lies in one column (offsets from the image base).
struct RttiPlacement {
  uint32_t descriptor[kClassCount] = {};
  uint32_t hierarchy[kClassCount] = {};
  uint32_t baseArray[kClassCount] = {};
  // One base class descriptor for each class at each displacement some
  // hierarchy holds it at (a class as its own first entry is at 0).
  struct BaseDescriptor {
    ClassId cls;
    uint32_t at;  // mdisp
    uint32_t offset;
  };
  std::vector<BaseDescriptor> baseDescriptors;
  uint32_t baseDescriptorOf(ClassId cls, uint32_t at) const;
  struct Vtable {
    ClassId cls;
    uint32_t subobject;  // the vtable's place in the complete object
    uint32_t locator;
    uint32_t table;  // slot 0 (the word before is the locator's address)
    size_t slots;
  };
  std::vector<Vtable> vtables;
  // Every stretch of bytes the type information occupies, for the layout
  // check, the database's fillers and the code-change check.
  struct Span {
    uint32_t begin, end;
  };
  std::vector<Span> spans;
};
const RttiPlacement& rttiPlacement(Layout layout);
// Whether an offset lies in the type information of a column.
bool inRtti(uint32_t offset, Layout layout);

// The bytes of the type information of a column for an image at `base`:
// one block per stretch, and a name for each that says what it is.
struct RttiBlock {
  uint32_t offset;
  std::vector<uint8_t> bytes;
  std::string what;
};
std::vector<RttiBlock> rttiBytes(Layout layout, uintptr_t base, const VirtualSlots& slots);

}  // namespace nimbrel_sim
