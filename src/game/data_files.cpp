#include "game/data_files.h"

#include "game/engine_binding.h"
#include "game/fields.h"
#include "game/layout.h"

namespace NimbrelVR::game {
namespace {

#if NIMBREL_EDITION_VR
constexpr bool kComposeLightFileIds = false;
#else
constexpr bool kComposeLightFileIds = true;
#endif

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualIgnoringCase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    if (LowerAscii(*a) != LowerAscii(*b)) return false;
  }
  return *a == *b;
}

}  // namespace

const LoadedFile* FindLoadedFile(const char* name) {
  void* registry = ReadHolder(Engine().DataRegistryHolder);
  if (!registry) return nullptr;
  for (void* node = EmbeddedAt(registry, layout::data_registry::kLoadedFileList); node;
       node = LoadField<void*>(node, layout::file_list_node::kNext)) {
    void* file = LoadField<void*>(node, layout::file_list_node::kFile);
    if (file && EqualIgnoringCase(EmbeddedAt<const char>(file, layout::loaded_file::kName), name))
      return static_cast<const LoadedFile*>(file);
  }
  return nullptr;
}

uint8_t ModIndex(const LoadedFile* file) { return LoadField<uint8_t>(file, layout::loaded_file::kModIndex); }
uint16_t LightIndex(const LoadedFile* file) { return LoadField<uint16_t>(file, layout::loaded_file::kLightIndex); }

uint32_t ComposeFormId(const LoadedFile* file, uint32_t localId) {
  if (kComposeLightFileIds) {
    if (const uint32_t light = LightIndex(file)) return 0xFE000000u | ((light & 0xFFFu) << 12) | (localId & 0xFFFu);
  }
  return (static_cast<uint32_t>(ModIndex(file)) << 24) | (localId & 0xFFFFFFu);
}

void* LookUpFormAs(uint32_t formId, const void* type) {
  const EngineBinding& engine = Engine();
  void* form = engine.FormFromId(formId);
  if (!form) return nullptr;
  return engine.EngineDynamicCast(form, 0, engine.RttiForm, type, 0);
}

}  // namespace NimbrelVR::game
