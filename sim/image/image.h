// The fake game image: a 64 MiB arena pinned at RVA 0x1000 of the executable,
// laid out with the engine entries of one edition. The plug-in reaches every
// engine function, holder, object and type descriptor as image base + offset,
// exactly as it would in the game.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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

struct Entry {
  const char* name;
  EntryKind kind;
  uint32_t se;
  uint32_t vr;
};

const Entry& entry(EntryId id);
uint32_t offsetOf(EntryId id, Edition edition);
inline constexpr int kFirstFunction = kFormFromId;
inline constexpr int kLastFunction = kIFunctionBase19;
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

  // Lays the arena out for an edition: 0xCC everywhere, a jump at each
  // function entry into functionTargets[id], engine code at the patch site
  // (whose page is left read + execute). Done once per process; a later call
  // only reports whether the edition matches. False with a reason on error.
  bool prepare(Edition edition, const void* const* functionTargets, std::string& error);
  bool ready() const { return ready_; }
  Edition edition() const { return edition_; }

  uintptr_t base() const { return base_; }
  uintptr_t address(EntryId id) const { return base_ + offsetOf(id, edition_); }
  // Stores an object pointer into a holder (relaxed atomic: the plug-in reads
  // holders from its own threads).
  void setHolder(EntryId holder, void* object) const;
  // The descriptor entry at an address, or kEntryCount when none is there.
  EntryId descriptorAt(uintptr_t address) const;

 private:
  bool checkLayout(std::string& error) const;
  bool ready_ = false;
  Edition edition_ = Edition::SpecialEdition;
  uintptr_t base_ = 0;
};

// The one image of the process.
Image& image();

}  // namespace nimbrel_sim
