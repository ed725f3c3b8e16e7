#include "lightning/day_night_art.h"

#include "game/checked_reads.h"
#include "game/data_files.h"
#include "game/effect_art.h"
#include "game/engine_binding.h"
#include "game/id_tables.h"

namespace NimbrelVR {
namespace {

constexpr std::string_view kDayPrefix = "magic\\daytime\\";
constexpr std::string_view kNightPrefix = "magic\\";

// False when a form's model component failed its check (lightning has
// stood down): nothing more is switched.
bool SwitchList(const game::LoadedFile* file, std::span<const uint32_t> ids, bool night) {
  const void* effectArt = game::Engine().RttiEffectArt;
  std::string rewritten;
  for (uint32_t localId : ids) {
    const uint32_t formId = game::ComposeFormId(file, localId);
    void* art = game::LookUpFormAs(formId, effectArt);
    if (!art) continue;
    void* component = nullptr;
    // The monitor switches the art inside an engine pass of its own.
    if (!game::CheckedModelComponent(art, formId, &component, game::Holding::EnginePass)) return false;
    const char* path = game::ModelPath(component);
    if (!path) continue;
    if (DayNightPath(path, night, &rewritten)) game::SetModelPath(component, rewritten.c_str());
  }
  return true;
}

}  // namespace

std::string ReplaceAll(std::string_view text, std::string_view pattern, std::string_view replacement) {
  std::string result(text);
  if (pattern.empty()) return result;
  for (size_t at = result.find(pattern); at != std::string::npos; at = result.find(pattern, at + replacement.size())) {
    result.replace(at, pattern.size(), replacement);
  }
  return result;
}

bool DayNightPath(std::string_view path, bool night, std::string* rewritten) {
  const bool isDayArt = path.starts_with(kDayPrefix);
  if (night) {
    if (!isDayArt) return false;
    *rewritten = ReplaceAll(path, kDayPrefix, kNightPrefix);
    return true;
  }
  if (isDayArt) return false;
  // Set even when nothing matched: the art is re-applied as it stands.
  *rewritten = ReplaceAll(path, kNightPrefix, kDayPrefix);
  return true;
}

void SwitchDayNightArt(bool night) {
  const game::LoadedFile* file = game::FindLoadedFile(game::kPluginFileName);
  if (!file || !game::HasUsableModIndex(file)) return;
  if (SwitchList(file, sheetArtIds, night)) SwitchList(file, forkArtIds, night);
}

}  // namespace NimbrelVR
