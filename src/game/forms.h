// Fields every form has, and those of the kinds of form the plug-in reads.
#pragma once

#include <cstdint>

#include "game/fields.h"
#include "game/layout.h"

namespace NimbrelVR::game {

inline uint32_t FormIdOf(const void* form) { return LoadField<uint32_t>(form, layout::form::kFormId); }

inline float GlobalValue(const void* global) { return LoadField<float>(global, layout::global_variable::kValue); }

// A form list's entries (null when it has none) and their number.
inline void* const* FormListEntries(const void* list) {
  return LoadField<void* const*>(list, layout::form_list::kEntries);
}
inline uint32_t FormListCount(const void* list) { return LoadField<uint32_t>(list, layout::form_list::kCount); }
inline uint32_t FormListCapacity(const void* list) { return LoadField<uint32_t>(list, layout::form_list::kCapacity); }

}  // namespace NimbrelVR::game
