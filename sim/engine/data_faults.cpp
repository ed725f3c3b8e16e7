// The layout faults of the game's data: what each leaves in the forms of its
// kind where the plug-in reads (the effect art's model component and fade
// duration, the form lists' entries), while the double's own tables of its
// data stay as they were.
#include <cstring>
#include <vector>

#include "engine/data.h"
#include "engine/relaxed.h"
#include "image/image.h"

namespace nimbrel_sim {

namespace {

// Plain data a form list's entries point to: blocks of floats and of text,
// whose first words are no vtable of the image.
constexpr float kFloats[] = {1.5f, 0.25f, 3.0f, -7.5f};
constexpr char kText[] = "sheet lightning, fork lightning";

}  // namespace

void GameData::setLayoutFault(LayoutFault fault) {
  if (fault != LayoutFault::EffectArtModel && fault != LayoutFault::FadeDuration && fault != LayoutFault::FormList)
    return;
  fault_.store(fault);
  std::vector<void*> forms;
  {
    std::lock_guard lock(mutex_);
    forms = forms_;
  }
  for (void* form : forms)
    if (const std::optional<Cls> cls = engine_.classOf(form)) leaveFault(form, *cls);
}

void GameData::leaveFault(void* form, Cls cls) {
  const LayoutFault fault = fault_.load();
  if (cls == Cls::EffectArt && fault == LayoutFault::EffectArtModel) {
    // The vtable of another of the projectile's bases: BGSPreloadable's,
    // whose locator says 0x68. The model path's get and set stay in the
    // TESModel vtable, which no form holds now.
    storeField<uintptr_t>(form, field::kModelComponent, image().vtableOf(ClassId::BGSProjectile, 0x68));
  } else if (cls == Cls::EffectArt && fault == LayoutFault::FadeDuration) {
    // A pointer into the image, above 4 GiB on every platform, so that the
    // float at +0xc4 is its high half: a denormal number.
    const uintptr_t pointer = image().descriptorOf(ClassId::BGSProjectile);
    if (pointer >> 32 == 0) run_.fail("fade-duration: the image lies below 4 GiB, so no pointer has a high half");
    storeField<uintptr_t>(form, field::kFadeDurationWord, pointer);
  } else if (cls == Cls::FormList && fault == LayoutFault::FormList) {
    // Heap data that is no forms, as many entries as before: the array's
    // capacity and size stay sane.
    const uint32_t count = loadField<uint32_t>(form, field::kFormListCount);
    if (count == 0) return;
    auto* entries = static_cast<void**>(keep(count * sizeof(void*)));
    for (uint32_t i = 0; i < count; ++i) {
      void* block = keep(sizeof kFloats + sizeof kText);
      if (i % 2 == 0)
        std::memcpy(block, kFloats, sizeof kFloats);
      else
        std::memcpy(block, kText, sizeof kText);
      storeField<void*>(entries, i * sizeof(void*), block);
    }
    storeField<void**>(form, field::kFormListEntries, entries);
  }
}

}  // namespace nimbrel_sim
