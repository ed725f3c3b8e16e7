#include "game/data_files.h"

#include "game/engine_binding.h"
#include "game/fields.h"

namespace NimbrelVR::game {
namespace {

constexpr ptrdiff_t kLoadedFileListHead = 0xd60;  // in the data registry
constexpr ptrdiff_t kFileName = 0x58;
constexpr ptrdiff_t kFileModIndex = 0x478;
constexpr ptrdiff_t kFileLightIndex = 0x47a;  // u16; light indexes run up to 0xFFF
// A list node: the file entry, then the next node.
constexpr ptrdiff_t kNodeFile = 0x0;
constexpr ptrdiff_t kNodeNext = 0x8;

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
  for (void* node = EmbeddedAt(registry, kLoadedFileListHead); node; node = LoadField<void*>(node, kNodeNext)) {
    void* file = LoadField<void*>(node, kNodeFile);
    if (file && EqualIgnoringCase(EmbeddedAt<const char>(file, kFileName), name))
      return static_cast<const LoadedFile*>(file);
  }
  return nullptr;
}

uint8_t ModIndex(const LoadedFile* file) { return LoadField<uint8_t>(file, kFileModIndex); }
uint16_t LightIndex(const LoadedFile* file) { return LoadField<uint16_t>(file, kFileLightIndex); }

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
