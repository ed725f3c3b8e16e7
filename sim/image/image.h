// The fake game image: a 64 MiB arena pinned at RVA 0x1000 of the executable,
// laid out with the engine entries of one runtime. The plug-in reaches every
// engine function, holder, object and type descriptor as image base + offset,
// exactly as it would in the game.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "image/rtti.h"
#include "image/rtti_layout.h"
#include "image/runtimes.h"
#include "nimbrel_sim/types.h"

namespace nimbrel_sim {

// Every engine entry the plug-in may use, by role.
enum EntryId : int {
  // functions
  kFormFromId,
  kEngineDynamicCast,
  kSpellCastNative,
  kRefMoveToNative,
  kCellAttachedNative,
  kImodApplyNative,
  kImodRemoveNative,
  kScriptEventSourcesGet,
  kEventSourceAddSink,
  kEngineHeapAllocate,
  kEngineHeapFree,
  kInternedStringCreate,
  kInternedStringAssign,
  kNativeFunctionBaseInit,
  kNativeFunctionBaseRelease,
  kStackFrameArgOffset,
  kStackFrameArgValue,
  kScriptValueClear,
  // the engine's implementations of IFunction operations 7, 16, 17 and 19
  // (operations counted from 1 in virtual-table order)
  kIFunctionBase7,
  kIFunctionBase16,
  kIFunctionBase17,
  kIFunctionBase19,
  // Sky::GetSingleton(), the engine's accessor of the sky (where its offset
  // is known: 1.5.97, 1.6.353, 1.6.1170, 1.7.99, 1.7.104)
  kSkyGetSingleton,
  // holders
  kSkyHolder,
  kPlayerRefHolder,
  kScriptVmHolder,
  kDataRegistryHolder,
  kMenuManagerHolder,
  // objects
  kEngineHeap,
  // type descriptors
  kRttiForm,
  kRttiSpell,
  kRttiEffectArt,
  kRttiImageSpaceModifier,
  kRttiFormList,
  kRttiGlobalVariable,
  kRttiObjectReference,
  kRttiPlayer,
  // code
  kJumpPatchSite,
  kJumpPatchTarget,
  kEntryCount
};

enum class EntryKind { Function, Holder, Object, TypeDescriptor, Code };

// An entry's Address Library ids (SE ids name it on 1.5.x, AE ids from 1.6
// on, 1.7 included; 0: none) and its offset in each column of Layout (0: the runtime has
// no such entry, or its offset is not known).
struct Entry {
  const char* name;
  EntryKind kind;
  uint32_t seId;
  uint32_t aeId;
  uint32_t offset[kLayoutCount];
};

const Entry& entry(EntryId id);
uint32_t offsetOf(EntryId id, Layout layout);
// The id that names an entry in a runtime's database (0: none).
uint32_t databaseIdOf(EntryId id, Edition edition, uint32_t runtime);
// The entry an arena offset belongs to in a column (kEntryCount: none).
EntryId entryAt(uint32_t offset, Layout layout);
// Whether an offset of a column lies in code fill: no entry, no type
// information.
bool inCodeFill(uint32_t offset, Layout layout);
inline constexpr int kFirstFunction = kFormFromId;
inline constexpr int kLastFunction = kSkyGetSingleton;
inline constexpr int kFirstDescriptor = kRttiForm;
inline constexpr int kLastDescriptor = kRttiPlayer;

class Image {
 public:
  static constexpr size_t kArenaSize = 0x4000000;
  static constexpr size_t kArenaRva = 0x1000;
  // Bytes of engine code laid at the patch site: the 0x32 bytes the jump
  // skips plus the instruction it lands on.
  static constexpr size_t kEngineCodeSize = 0x40;
  static const uint8_t kEngineCode[kEngineCodeSize];

  // The poison value of the cell's unused worldspace field points into a
  // page that no one may touch, so that a read through the wrong field faults
  // at once, and recognisably. The page lies outside the executable: a leak
  // checker scans the executable's sections, the arena among them, even while
  // the program runs (libFuzzer asks it after inputs), and would fault there.
  static constexpr size_t kPoisonValueOffset = 0x100;
  static constexpr size_t kPoisonPageSize = 0x1000;

  // Lays the arena out for a runtime: 0xCC everywhere, a jump at each
  // function entry the runtime has into functionTargets[id], the type
  // information of every class (rtti.h; the called vtables' slots from
  // `slots`), engine code at the patch site where there is one (its page is
  // left read + execute), the poison page. Done once per process; a later
  // call only reports whether the layout matches. False with a reason on
  // error.
  bool prepare(Edition edition, uint32_t runtime, const void* const* functionTargets, const VirtualSlots& slots,
               std::string& error);
  bool ready() const { return ready_; }
  Edition edition() const { return edition_; }
  Layout layout() const { return layout_; }

  uintptr_t base() const { return base_; }
  // Whether the laid-out runtime has the entry (the patch site is only known
  // for 1.5.39 and VR, the sky accessor not for 1.5.39 and VR).
  bool has(EntryId id) const { return offsetOf(id, layout_) != 0; }
  uintptr_t address(EntryId id) const { return base_ + offsetOf(id, layout_); }
  uintptr_t poisonValue() const { return poison_ + kPoisonValueOffset; }
  bool isPoison(uintptr_t at) const { return poison_ && at >= poison_ && at < poison_ + kPoisonPageSize; }
  // What changed in the game's code since prepare: the jumps of the function
  // entries, the engine heap object, the type information (vtables,
  // locators, hierarchies, descriptors) and the 0xCC fill everywhere else
  // (the holders excluded, and the patch site, which has checks of its own).
  // One line per changed run of bytes, at most `limit`.
  std::vector<std::string> codeChanges(size_t limit = 4) const;
  // Stores an object pointer into a holder (relaxed atomic: the plug-in reads
  // holders from its own threads).
  void setHolder(EntryId holder, void* object) const;
  // The descriptor entry at an address, or kEntryCount when none is there.
  EntryId descriptorAt(uintptr_t address) const;
  // The vtable an object of the class holds at `subobject` (0: its first
  // word; secondaryVtablesOf(cls) gives the others), and the class's type
  // descriptor; 0 where the class has none or the image is not laid out.
  uintptr_t vtableOf(ClassId cls, uint32_t subobject = 0) const;
  uintptr_t descriptorOf(ClassId cls) const;

 private:
  bool checkLayout(std::string& error) const;
  bool ready_ = false;
  Edition edition_ = Edition::SpecialEdition;
  Layout layout_ = Layout::Se1_5_39;
  uintptr_t base_ = 0;
  uintptr_t poison_ = 0;  // the poison page
  const void* const* targets_ = nullptr;
  std::vector<RttiBlock> rtti_;  // the type information as laid out
};

// The one image of the process.
Image& image();

}  // namespace nimbrel_sim
