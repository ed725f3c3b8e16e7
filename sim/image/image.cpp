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

// The engine's entries: Address Library ids (SE, AE; the AE ids carry over
// to 1.7), then the offsets of 1.5.39, 1.5.97, 1.6.353, 1.6.1170, 1.7.99,
// 1.7.104 and VR. 1.5.39 and VR as the SE and VR games have them; 1.5.97 and
// the AE runtimes from runtimes.md ("Entries", "Runtimes 1.7.x").
// clang-format off
constexpr Entry kEntries[kEntryCount] = {
    //  name                          kind               SE id   AE id    1.5.39     1.5.97     1.6.353    1.6.1170   1.7.99     1.7.104    VR
    {"FormFromId",                    K::Function,       14461,  14617,  {0x1943b0,  0x194230,  0x19f050,  0x1e01a0,  0x1e5860,  0x1e5860,  0x1a3f60}},
    {"EngineDynamicCast",             K::Function,       102238, 109689, {0x1363522, 0x134bdb0, 0x147854a, 0x153cf2a, 0x15a957a, 0x15a97da, 0x138baba}},
    {"SpellCastNative",               K::Function,       55149,  55747,  {0x980de0,  0x980930,  0x9aa1e0,  0xa1a410,  0xa32c30,  0xa32e90,  0x9bb6b0}},
    {"RefMoveToNative",               K::Function,       55668,  56199,  {0x994cf0,  0x994840,  0x9bd800,  0xa2d980,  0xa461c0,  0xa46420,  0x9cf360}},
    {"CellAttachedNative",            K::Function,       55527,  56055,  {0x98f3c0,  0x98ef10,  0x9b72b0,  0xa274e0,  0xa3fd00,  0xa3ff60,  0x9c9d60}},
    {"ImodApplyNative",               K::Function,       55366,  55936,  {0x988fa0,  0x988af0,  0x9b1860,  0xa21a90,  0xa3a2b0,  0xa3a510,  0x9c3c70}},
    {"ImodRemoveNative",              K::Function,       55369,  55939,  {0x989010,  0x988b60,  0x9b18d0,  0xa21b00,  0xa3a320,  0xa3a580,  0x9c3ce0}},
    {"ScriptEventSourcesGet",         K::Function,       14108,  14298,  {0x186910,  0x186790,  0x194100,  0x1d5230,  0x1da8f0,  0x1da8f0,  0x1964c0}},
    {"EventSourceAddSink",            K::Function,       34381,  35182,  {0x56bab0,  0x56b600,  0x587e20,  0x5dc8c0,  0x5eb220,  0x5eb480,  0x571c00}},
    {"EngineHeapAllocate",            K::Function,       66859,  68115,  {0xc02770,  0xc02260,  0xc27d60,  0xcc40c0,  0xcddff0,  0xcde250,  0xc3d0e0}},
    {"EngineHeapFree",                K::Function,       66861,  68117,  {0xc02a70,  0xc02560,  0xc281b0,  0xcc4510,  0xcde440,  0xcde6a0,  0xc3d3e0}},
    {"InternedStringCreate",          K::Function,       67819,  69161,  {0xc28c50,  0xc28bf0,  0xc4f780,  0xcec5d0,  0xeb0d30,  0xeb0f90,  0xc6db20}},
    {"InternedStringAssign",          K::Function,       67823,  69165,  {0xc28dc0,  0xc28d60,  0xc4f910,  0xcec760,  0xeb0ec0,  0xeb1120,  0xc6dc90}},
    {"NativeFunctionBaseInit",        K::Function,       97925,  104653, {0x12683e0, 0x1250c80, 0x137ab30, 0x143e0e0, 0x14a9e90, 0x14aa0f0, 0x129e220}},
    {"NativeFunctionBaseRelease",     K::Function,       97927,  104655, {0x1268630, 0x1250ed0, 0x137ad80, 0x143e330, 0x14aa0e0, 0x14aa340, 0x129e470}},
    {"StackFrameArgOffset",           K::Function,       97745,  104483, {0x125c0d0, 0x1244970, 0x136f0e0, 0x14327e0, 0x149e590, 0x149e7f0, 0x129a6c0}},
    {"StackFrameArgValue",            K::Function,       97746,  104484, {0x125c130, 0x12449d0, 0x136f150, 0x1432850, 0x149e600, 0x149e860, 0x129a720}},
    {"ScriptValueClear",              K::Function,       97508,  104296, {0x124e470, 0x1236d10, 0x13622f0, 0x14259f0, 0x14917a0, 0x1491a00, 0x126f1c0}},
    {"IFunctionBase7",                K::Function,       97909,  104637, {0x1267dd0, 0x1250670, 0x137a450, 0x143da00, 0x14a97b0, 0x14a9a10, 0x129dc10}},
    {"IFunctionBase16",               K::Function,       97923,  104651, {0x1267f50, 0x12507f0, 0x137a650, 0x143dc00, 0x14a99b0, 0x14a9c10, 0x129dd90}},
    {"IFunctionBase17",               K::Function,       97918,  104646, {0x1267eb0, 0x1250750, 0x137a530, 0x143dae0, 0x14a9890, 0x14a9af0, 0x129dcf0}},
    // id 97920 (0x12689a0 in 1.5.39 is id 97933, another function)
    {"IFunctionBase19",               K::Function,       97920,  104648, {0x1267ed0, 0x1250770, 0x137a550, 0x143db00, 0x14a98b0, 0x14a9b10, 0x129dd10}},
    {"SkyGetSingleton",               K::Function,       13789,  13878,  {0,         0x177790,  0x181810,  0x1c2640,  0x1c7d00,  0x1c7d00,  0}},
    {"SkyHolder",                     K::Holder,         515512, 401651, {0x2f283d8, 0x2f013d8, 0x2f9cc78, 0x31390d8, 0x31e0d78, 0x31e0d78, 0x2fc62c8}},
    {"PlayerRefHolder",               K::Holder,         517014, 403521, {0x2f4def8, 0x2f26ef8, 0x2fc2b68, 0x31874f8, 0x3230778, 0x3230778, 0x2feb9f0}},
    {"ScriptVmHolder",                K::Holder,         514315, 400475, {0x1eeab78, 0x1ec3b78, 0x1f5f4f8, 0x20fba70, 0x21a36e0, 0x21a36e0, 0x1f889d8}},
    {"DataRegistryHolder",            K::Holder,         514141, 400269, {0x1ee5428, 0x1ebe428, 0x1f59da8, 0x20f6320, 0x219ded8, 0x219ded8, 0x1f82ad8}},
    {"MenuManagerHolder",             K::Holder,         514178, 400327, {0x1ee5b20, 0x1ebeb20, 0x1f5a4a0, 0x20f6a00, 0x219e5c0, 0x219e5c0, 0x1f83200}},
    {"EngineHeap",                    K::Object,         514110, 400188, {0x1ee4280, 0x1ebd280, 0x1f58c00, 0x35f11e0, 0x369a810, 0x369a810, 0x1f81900}},
    {"RttiForm",                      K::TypeDescriptor, 513848, 392216, {0x1e36e80, 0x1e10e30, 0x1ea7b50, 0x2038168, 0x20db9f8, 0x20db9f8, 0x1ed6d20}},
    {"RttiSpell",                     K::TypeDescriptor, 513849, 392217, {0x1e36ea0, 0x1e10e50, 0x1ea7b70, 0x2038188, 0x20dba18, 0x20dba18, 0x1ed6d40}},
    {"RttiEffectArt",                 K::TypeDescriptor, 513868, 392239, {0x1e37240, 0x1e111f0, 0x1ea7f28, 0x2038518, 0x20dbda8, 0x20dbda8, 0x1ed70e0}},
    {"RttiImageSpaceModifier",        K::TypeDescriptor, 513871, 392256, {0x1e37670, 0x1e11620, 0x1ea8340, 0x20388a8, 0x20dc138, 0x20dc138, 0x1ed7510}},
    {"RttiFormList",                  K::TypeDescriptor, 513877, 392264, {0x1e37818, 0x1e117c8, 0x1ea84f8, 0x2038ac8, 0x20dc358, 0x20dc358, 0x1ed76b8}},
    {"RttiGlobalVariable",            K::TypeDescriptor, 513882, 392299, {0x1e38090, 0x1e12040, 0x1ea8cc0, 0x2039290, 0x20dcb20, 0x20dcb20, 0x1ed7f30}},
    {"RttiObjectReference",           K::TypeDescriptor, 513899, 392437, {0x1e397e8, 0x1e13798, 0x1eaa418, 0x203a9e8, 0x20de278, 0x20de278, 0x1ed96b8}},
    {"RttiPlayer",                    K::TypeDescriptor, 513915, 392538, {0x1e3ab28, 0x1e14ad8, 0x1eab7f8, 0x203bde8, 0x20df628, 0x20df628, 0x1edaa58}},
    // Known engine bytes only in 1.5.39 and VR (runtimes.md, "The code patch").
    {"JumpPatchSite",                 K::Code,           0,      0,      {0x12734bd, 0,         0,         0,         0,         0,         0x127b7ed}},
    {"JumpPatchTarget",               K::Code,           0,      0,      {0x12734ef, 0,         0,         0,         0,         0,         0x127b81f}},
};
// clang-format on

constexpr size_t kJumpSize = 14;
constexpr size_t kPage = 0x1000;
constexpr size_t kEngineHeapSize = 0x40;

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
      return 0;  // laid out with the rest of the type information (rtti.h)
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

uint32_t offsetOf(EntryId id, Layout layout) { return kEntries[id].offset[static_cast<int>(layout)]; }

uint32_t databaseIdOf(EntryId id, Edition edition, uint32_t runtime) {
  if (edition != Edition::SpecialEdition) return 0;
  return isAnniversaryRuntime(edition, runtime) ? kEntries[id].aeId : kEntries[id].seId;
}

EntryId entryAt(uint32_t offset, Layout layout) {
  for (int i = 0; i < kEntryCount; ++i) {
    const auto id = static_cast<EntryId>(i);
    const uint32_t begin = offsetOf(id, layout);
    if (begin != 0 && offset >= begin && offset < begin + std::max<size_t>(extentOf(id), 1)) return id;
  }
  return kEntryCount;
}

bool inCodeFill(uint32_t offset, Layout layout) {
  return entryAt(offset, layout) == kEntryCount && !inRtti(offset, layout);
}

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
    if (!has(id)) continue;
    uintptr_t offset = offsetOf(id, layout_);
    size_t size = extentOf(id);
    if (offset < kArenaRva || offset + std::max<size_t>(size, 1) > kArenaRva + kArenaSize) {
      std::snprintf(text, sizeof text, "arena does not cover %s at 0x%zx", entry(id).name, static_cast<size_t>(offset));
      error = text;
      return false;
    }
    if (size) spans.push_back({offset, offset + size, id});
  }
  // The type information: kEntryCount stands for it.
  for (const auto& s : rttiPlacement(layout_).spans) {
    if (s.begin < kArenaRva || s.end > kArenaRva + kArenaSize) {
      std::snprintf(text, sizeof text, "arena does not cover the type information at 0x%zx",
                    static_cast<size_t>(s.begin));
      error = text;
      return false;
    }
    spans.push_back({s.begin, s.end, kEntryCount});
  }
  auto name = [](EntryId id) { return id == kEntryCount ? "the type information" : entry(id).name; };
  std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.begin < b.begin; });
  for (size_t i = 1; i < spans.size(); ++i) {
    if (spans[i].begin < spans[i - 1].end) {
      error = std::string("arena entries overlap: ") + name(spans[i - 1].id) + " and " + name(spans[i].id);
      return false;
    }
  }
  if (has(kJumpPatchSite) != has(kJumpPatchTarget)) {
    error = "a patch site without its target, or a target without its site";
    return false;
  }
  if (!has(kJumpPatchSite)) return true;
  uintptr_t site = offsetOf(kJumpPatchSite, layout_);
  if (offsetOf(kJumpPatchTarget, layout_) != site + 0x32) {
    error = "patch target is not 0x32 bytes after the patch site";
    return false;
  }
  // The patch site's pages are made read + execute; nothing the double writes
  // later may share them.
  uintptr_t firstPage = site & ~(kPage - 1);
  uintptr_t endPage = (site + kEngineCodeSize + kPage - 1) & ~(kPage - 1);
  for (const Span& span : spans) {
    if (span.id != kJumpPatchSite && span.begin < endPage && span.end > firstPage) {
      error = std::string(name(span.id)) + " shares a page with the patch site";
      return false;
    }
  }
  return true;
}

namespace {

void writeJump(uint8_t* at, const void* target) {
  const uint8_t jump[6] = {0xFF, 0x25, 0, 0, 0, 0};  // jmp [rip+0]
  const auto address = reinterpret_cast<uint64_t>(target);
  std::memcpy(at, jump, sizeof jump);
  std::memcpy(at + sizeof jump, &address, sizeof address);
}

}  // namespace

bool Image::prepare(Edition edition, uint32_t runtime, const void* const* functionTargets, const VirtualSlots& slots,
                    std::string& error) {
  const Layout layout = layoutFor(edition, runtime);
  if (ready_) {
    if (layout != layout_) {
      error = std::string("the image of this process is laid out for ") + layoutName(layout_) +
              "; one runtime's layout per process";
      return false;
    }
    return true;
  }
  edition_ = edition;
  layout_ = layout;
  targets_ = functionTargets;
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
    const auto id = static_cast<EntryId>(i);
    if (has(id)) writeJump(reinterpret_cast<uint8_t*>(address(id)), functionTargets[i]);
  }
  for (int i = kSkyHolder; i <= kMenuManagerHolder; ++i) setHolder(static_cast<EntryId>(i), nullptr);
  std::memset(reinterpret_cast<void*>(address(kEngineHeap)), 0, kEngineHeapSize);
  rtti_ = rttiBytes(layout_, base_, slots);
  for (const RttiBlock& block : rtti_)
    std::memcpy(reinterpret_cast<void*>(base_ + block.offset), block.bytes.data(), block.bytes.size());

  poison_ = os::reserveNoAccessPage(kPoisonPageSize, error);
  if (!poison_) return false;
  os::explainFaultsIn(poison_, poison_ + kPoisonPageSize,
                      "the plug-in read through the poison the double keeps in the cell's unused worldspace field "
                      "(0x120 from 1.6.629 on, 0x128 before): it reads the cell at the wrong offset for this runtime");
  if (has(kJumpPatchSite)) {
    uintptr_t site = address(kJumpPatchSite);
    std::memcpy(reinterpret_cast<void*>(site), kEngineCode, kEngineCodeSize);
    uintptr_t firstPage = site & ~(kPage - 1);
    uintptr_t endPage = (site + kEngineCodeSize + kPage - 1) & ~(kPage - 1);
    if (!os::protectReadExecute(firstPage, endPage - firstPage, error)) return false;
  }
  ready_ = true;
  return true;
}

void Image::setHolder(EntryId holder, void* object) const {
  __atomic_store_n(reinterpret_cast<void**>(address(holder)), object, __ATOMIC_RELAXED);
}

uintptr_t Image::vtableOf(ClassId cls, uint32_t subobject) const {
  if (!ready_) return 0;
  for (const auto& v : rttiPlacement(layout_).vtables)
    if (v.cls == cls && v.subobject == subobject) return base_ + v.table;
  return 0;
}

uintptr_t Image::descriptorOf(ClassId cls) const {
  return ready_ ? base_ + rttiPlacement(layout_).descriptor[static_cast<size_t>(cls)] : 0;
}

EntryId Image::descriptorAt(uintptr_t at) const {
  for (int i = kFirstDescriptor; i <= kLastDescriptor; ++i) {
    if (address(static_cast<EntryId>(i)) == at) return static_cast<EntryId>(i);
  }
  return kEntryCount;
}

std::vector<std::string> Image::codeChanges(size_t limit) const {
  std::vector<std::string> found;
  if (!ready_) return found;
  // What each byte should hold: the spans of the entries and of the type
  // information, 0xCC between them.
  struct Span {
    uintptr_t begin, end;
    EntryId id;  // kEntryCount: a block of type information
    const RttiBlock* block = nullptr;
  };
  std::vector<Span> spans;
  for (int i = 0; i < kEntryCount; ++i) {
    const auto id = static_cast<EntryId>(i);
    if (has(id) && extentOf(id)) spans.push_back({offsetOf(id, layout_), offsetOf(id, layout_) + extentOf(id), id});
  }
  for (const RttiBlock& block : rtti_)
    spans.push_back({block.offset, block.offset + block.bytes.size(), kEntryCount, &block});
  std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.begin < b.begin; });

  const auto* arena = reinterpret_cast<const uint8_t*>(base_);
  auto report = [&](uintptr_t at, size_t length, const std::string& where) {
    if (found.size() >= limit) return;
    char text[120];
    std::snprintf(text, sizeof text, "%zu byte(s) at image base + 0x%zx", length, static_cast<size_t>(at));
    found.push_back(std::string(text) + " (" + where + ") changed");
  };
  // Runs of bytes in [begin, end) that differ from `expected` (a pattern of
  // `period` bytes, or a single byte repeated when period is 0).
  auto compare = [&](uintptr_t begin, uintptr_t end, const uint8_t* expected, size_t period, const std::string& where) {
    uintptr_t at = begin;
    while (at < end && found.size() < limit) {
      if (arena[at] == expected[period ? (at - begin) % period : 0]) {
        ++at;
        // Whole stretches of fill compare by memcmp, a page at a time.
        static const std::vector<uint8_t> kFill(kPage, 0xCC);
        while (!period && expected[0] == 0xCC && at + kPage <= end && std::memcmp(arena + at, kFill.data(), kPage) == 0)
          at += kPage;
        continue;
      }
      uintptr_t stop = at;
      while (stop < end && arena[stop] != expected[period ? (stop - begin) % period : 0]) ++stop;
      report(at, stop - at, where);
      at = stop;
    }
  };
  const uint8_t fill = 0xCC, zero = 0;
  uintptr_t at = kArenaRva;
  std::string after = "code fill at the start of the image";
  for (const Span& span : spans) {
    compare(at, span.begin, &fill, 0, after);
    if (span.block) {
      compare(span.begin, span.end, span.block->bytes.data(), span.block->bytes.size(), span.block->what);
      after = "code fill after " + span.block->what;
      at = span.end;
      continue;
    }
    const Entry& e = entry(span.id);
    switch (e.kind) {
      case K::Function: {
        uint8_t jump[kJumpSize];
        writeJump(jump, targets_[span.id]);
        compare(span.begin, span.end, jump, kJumpSize, std::string("the jump of ") + e.name);
        break;
      }
      case K::Object:
        compare(span.begin, span.end, &zero, 0, e.name);
        break;
      case K::TypeDescriptor:  // among the type information's blocks
      case K::Holder:          // the world sets holders as it goes
      case K::Code:            // the patch site has checks of its own
        break;
    }
    after = std::string("code fill after ") + e.name;
    at = span.end;
  }
  compare(at, kArenaRva + kArenaSize, &fill, 0, after);
  return found;
}

}  // namespace nimbrel_sim
