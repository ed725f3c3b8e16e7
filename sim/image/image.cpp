#include "image/image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "run/os.h"

// Defined by arena_elf.S / arena_pe.S, placed at RVA 0x1000 by the link options.
extern "C" unsigned char nimbrel_arena[];

namespace nimbrel_sim {

namespace {

using K = EntryKind;

// The engine's entries for Skyrim Special Edition 1.5.39 and Skyrim VR.
constexpr Entry kEntries[kEntryCount] = {
    {"FormFromId", K::Function, 0x1943b0, 0x1a3f60},
    {"EngineDynamicCast", K::Function, 0x1363522, 0x138baba},
    {"SpellCastNative", K::Function, 0x980de0, 0x9bb6b0},
    {"RefMoveToNative", K::Function, 0x994cf0, 0x9cf360},
    {"CellAttachedNative", K::Function, 0x98f3c0, 0x9c9d60},
    {"ImodApplyNative", K::Function, 0x988fa0, 0x9c3c70},
    {"ImodRemoveNative", K::Function, 0x989010, 0x9c3ce0},
    {"ScriptEventSourcesGet", K::Function, 0x186910, 0x1964c0},
    {"EventSourceAddSink", K::Function, 0x56bab0, 0x571c00},
    {"EngineHeapAllocate", K::Function, 0xc02770, 0xc3d0e0},
    {"EngineHeapFree", K::Function, 0xc02a70, 0xc3d3e0},
    {"InternedStringCreate", K::Function, 0xc28c50, 0xc6db20},
    {"InternedStringAssign", K::Function, 0xc28dc0, 0xc6dc90},
    {"NativeFunctionBaseInit", K::Function, 0x12683e0, 0x129e220},
    {"NativeFunctionBaseRelease", K::Function, 0x1268630, 0x129e470},
    {"StackFrameArgOffset", K::Function, 0x125c0d0, 0x129a6c0},
    {"StackFrameArgValue", K::Function, 0x125c130, 0x129a720},
    {"ScriptValueClear", K::Function, 0x124e470, 0x126f1c0},
    {"IFunctionBase7", K::Function, 0x1267dd0, 0x129dc10},
    {"IFunctionBase16", K::Function, 0x1267f50, 0x129dd90},
    {"IFunctionBase17", K::Function, 0x1267eb0, 0x129dcf0},
    {"IFunctionBase19", K::Function, 0x1267ed0, 0x129dd10},  // id 97920 (0x12689a0 is id 97933)
    {"SkyHolder", K::Holder, 0x2f283d8, 0x2fc62c8},
    {"PlayerRefHolder", K::Holder, 0x2f4def8, 0x2feb9f0},
    {"ScriptVmHolder", K::Holder, 0x1eeab78, 0x1f889d8},
    {"DataRegistryHolder", K::Holder, 0x1ee5428, 0x1f82ad8},
    {"MenuManagerHolder", K::Holder, 0x1ee5b20, 0x1f83200},
    {"EngineHeap", K::Object, 0x1ee4280, 0x1f81900},
    {"RttiForm", K::TypeDescriptor, 0x1e36e80, 0x1ed6d20},
    {"RttiSpell", K::TypeDescriptor, 0x1e36ea0, 0x1ed6d40},
    {"RttiEffectArt", K::TypeDescriptor, 0x1e37240, 0x1ed70e0},
    {"RttiImageSpaceModifier", K::TypeDescriptor, 0x1e37670, 0x1ed7510},
    {"RttiFormList", K::TypeDescriptor, 0x1e37818, 0x1ed76b8},
    {"RttiGlobalVariable", K::TypeDescriptor, 0x1e38090, 0x1ed7f30},
    {"RttiObjectReference", K::TypeDescriptor, 0x1e397e8, 0x1ed96b8},
    {"RttiPlayer", K::TypeDescriptor, 0x1e3ab28, 0x1edaa58},
    {"JumpPatchSite", K::Code, 0x12734bd, 0x127b7ed},
    {"JumpPatchTarget", K::Code, 0x12734ef, 0x127b81f},
};

constexpr size_t kJumpSize = 14;
constexpr size_t kPage = 0x1000;
constexpr size_t kEngineHeapSize = 0x40;
constexpr size_t kDescriptorSize = 0x10;

// Bytes an entry occupies in the arena (the patch target lies inside the
// patch site's engine code and has no extent of its own).
size_t extentOf(EntryId id) {
  switch (entry(id).kind) {
    case K::Function:
      return kJumpSize;
    case K::Holder:
      return 8;
    case K::Object:
      return kEngineHeapSize;
    case K::TypeDescriptor:
      return kDescriptorSize;
    case K::Code:
      return id == kJumpPatchSite ? Image::kEngineCodeSize : 0;
  }
  return 0;
}

}  // namespace

// Recognisable engine code: a run of ordinary instructions that the plug-in
// must leave alone except for the five bytes of its jump.
const uint8_t Image::kEngineCode[Image::kEngineCodeSize] = {
    0x48, 0x8B, 0x0D, 0x4E, 0x49, 0x4D, 0x42,  // mov rcx, [rip+...]
    0x48, 0x85, 0xC9,                          // test rcx, rcx
    0x74, 0x23,                                // je +0x23
    0x48, 0x8B, 0x01,                          // mov rax, [rcx]
    0xBA, 0x52, 0x45, 0x4C, 0x00,              // mov edx, 0x4c4552
    0xFF, 0x50, 0x28,                          // call [rax+0x28]
    0x84, 0xC0,                                // test al, al
    0x74, 0x15,                                // je +0x15
    0x48, 0x8D, 0x15, 0x10, 0x20, 0x30, 0x40,  // lea rdx, [rip+...]
    0x48, 0x8B, 0xCB,                          // mov rcx, rbx
    0xE8, 0x11, 0x22, 0x33, 0x44,              // call ...
    0x0F, 0x28, 0xC6,                          // movaps xmm0, xmm6
    0xF3, 0x0F, 0x11, 0x43, 0x40,              // movss [rbx+0x40], xmm0
    // JumpPatchTarget (site + 0x32):
    0x48, 0x8B, 0x5C, 0x24, 0x30,  // mov rbx, [rsp+0x30]
    0x48, 0x83, 0xC4, 0x20,        // add rsp, 0x20
    0x5F,                          // pop rdi
    0xC3,                          // ret
    0x90, 0x90, 0x90,              // padding
};

const Entry& entry(EntryId id) { return kEntries[id]; }

uint32_t offsetOf(EntryId id, Edition edition) { return edition == Edition::VR ? kEntries[id].vr : kEntries[id].se; }

Image& image() {
  static Image instance;
  return instance;
}

bool Image::checkLayout(std::string& error) const {
  char text[200];
  struct Span {
    uintptr_t begin, end;
    EntryId id;
  };
  std::vector<Span> spans;
  for (int i = 0; i < kEntryCount; ++i) {
    auto id = static_cast<EntryId>(i);
    uintptr_t offset = offsetOf(id, edition_);
    size_t size = extentOf(id);
    if (offset < kArenaRva || offset + std::max<size_t>(size, 1) > kArenaRva + kArenaSize) {
      std::snprintf(text, sizeof text, "arena does not cover %s at 0x%zx", entry(id).name, static_cast<size_t>(offset));
      error = text;
      return false;
    }
    if (size) spans.push_back({offset, offset + size, id});
  }
  std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.begin < b.begin; });
  for (size_t i = 1; i < spans.size(); ++i) {
    if (spans[i].begin < spans[i - 1].end) {
      error = std::string("arena entries overlap: ") + entry(spans[i - 1].id).name + " and " + entry(spans[i].id).name;
      return false;
    }
  }
  uintptr_t site = offsetOf(kJumpPatchSite, edition_);
  if (offsetOf(kJumpPatchTarget, edition_) != site + 0x32) {
    error = "patch target is not 0x32 bytes after the patch site";
    return false;
  }
  // The patch site's pages are made read + execute; nothing the double writes
  // later may share them.
  uintptr_t firstPage = site & ~(kPage - 1);
  uintptr_t endPage = (site + kEngineCodeSize + kPage - 1) & ~(kPage - 1);
  for (const Span& span : spans) {
    if (span.id != kJumpPatchSite && span.begin < endPage && span.end > firstPage) {
      error = std::string(entry(span.id).name) + " shares a page with the patch site";
      return false;
    }
  }
  return true;
}

bool Image::prepare(Edition edition, const void* const* functionTargets, std::string& error) {
  if (ready_) {
    if (edition != edition_) {
      error = std::string("the image of this process is laid out for ") +
              (edition_ == Edition::VR ? "Skyrim VR" : "Skyrim Special Edition") + "; one edition per process";
      return false;
    }
    return true;
  }
  edition_ = edition;
  base_ = os::mainImageBase();
  auto arena = reinterpret_cast<uintptr_t>(nimbrel_arena);
  char text[160];
  if (arena != base_ + kArenaRva) {
    std::snprintf(text, sizeof text, "arena at 0x%zx is not image base 0x%zx + 0x1000", static_cast<size_t>(arena),
                  static_cast<size_t>(base_));
    error = text;
    return false;
  }
  if (!checkLayout(error)) return false;
  if (!os::makeArenaReady(arena, kArenaSize, error)) return false;

  std::memset(nimbrel_arena, 0xCC, kArenaSize);
  for (int i = kFirstFunction; i <= kLastFunction; ++i) {
    auto* at = reinterpret_cast<uint8_t*>(address(static_cast<EntryId>(i)));
    const uint8_t jump[6] = {0xFF, 0x25, 0, 0, 0, 0};  // jmp [rip+0]
    auto target = reinterpret_cast<uint64_t>(functionTargets[i]);
    std::memcpy(at, jump, sizeof jump);
    std::memcpy(at + sizeof jump, &target, sizeof target);
  }
  for (int i = kSkyHolder; i <= kMenuManagerHolder; ++i) setHolder(static_cast<EntryId>(i), nullptr);
  std::memset(reinterpret_cast<void*>(address(kEngineHeap)), 0, kEngineHeapSize);

  uintptr_t site = address(kJumpPatchSite);
  std::memcpy(reinterpret_cast<void*>(site), kEngineCode, kEngineCodeSize);
  uintptr_t firstPage = site & ~(kPage - 1);
  uintptr_t endPage = (site + kEngineCodeSize + kPage - 1) & ~(kPage - 1);
  if (!os::protectReadExecute(firstPage, endPage - firstPage, error)) return false;
  ready_ = true;
  return true;
}

void Image::setHolder(EntryId holder, void* object) const {
  __atomic_store_n(reinterpret_cast<void**>(address(holder)), object, __ATOMIC_RELAXED);
}

EntryId Image::descriptorAt(uintptr_t at) const {
  for (int i = kFirstDescriptor; i <= kLastDescriptor; ++i) {
    if (address(static_cast<EntryId>(i)) == at) return static_cast<EntryId>(i);
  }
  return kEntryCount;
}

}  // namespace nimbrel_sim
