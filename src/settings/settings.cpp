#include "settings/settings.h"

#include <cstring>
#include <span>
#include <utility>

#include "game/checked_reads.h"
#include "game/data_files.h"
#include "game/engine_binding.h"
#include "game/forms.h"
#include "game/id_tables.h"
#include "log/debug_log.h"
#include "settings/conversions.h"

namespace NimbrelVR {
namespace {

struct IntRow {
  const char* key;
  int32_t defaultValue;
};
struct FloatRow {
  const char* key;
  float defaultValue;
};

constexpr IntRow kIntRows[kIntSettingCount] = {
    {"EnableSheet", 1},         {"EnableFork", 1},
    {"SheetHostile", 0},        {"ForkHostile", 0},
    {"SheetDistanceMin", 1},    {"SheetDistanceMax", 7},
    {"ForkDistanceMin", 0},     {"ForkDistanceMax", 7},
    {"MinFlashAmount", 5},      {"SheetFlashAmount", 10},
    {"ForkFlashAmount", 15},    {"EnableSheetFlash", 0},
    {"EnableForkFlash", 0},     {"EnableLog", kDefaultPluginLogLevel},
    {"EnableSnowySheet", 1},    {"EnableSnowyFork", 0},
    {"EnableCloudySheet", 1},   {"EnableCloudyFork", 0},
    {"CompatibilityMode", 0},   {"MinChainChildAmount", 3},
    {"MaxChainChildAmount", 7},
};

constexpr FloatRow kFloatRows[kFloatSettingCount] = {
    {"SheetFrequency", 50.0f},    {"ForkFrequency", 50.0f},
    {"StrikeDistance", 200.0f},   {"SheetHeightMin", 25000.0f},
    {"SheetHeightMax", 30000.0f}, {"FlashDropDistanceMin", 1024.0f},
    {"SkyCurve", 1.035f},         {"ChainLightningPercentage", 30.0f},
    {"SheetFadeDuration", 1.5f},  {"ForkFadeDuration", 1.5f},
};

// A prvalue initialises the non-copyable atomics in place.
template <size_t... I, size_t... J>
constexpr PluginSettings MakeDefaults(std::index_sequence<I...>, std::index_sequence<J...>) {
  return PluginSettings{{kIntRows[I].defaultValue...}, {kFloatRows[J].defaultValue...}};
}

// Writes a fade duration into every effect-art form of one kind. A value no
// fade duration can have is kept as the setting but never written into the
// game's forms, where the engine would use it.
void PushFadeDuration(FloatSetting setting, std::span<const uint32_t> artIds, float value) {
  const game::LoadedFile* file = game::FindLoadedFile(game::kPluginFileName);
  if (!file || !game::HasUsableModIndex(file)) return;
  if (!game::PlausibleFadeDuration(value)) {
    PluginLog(0, "%s %g is not written into the effect art: a fade duration is a number of seconds from 0 to 3600.",
              KeyOf(setting), static_cast<double>(value));
    return;
  }
  const void* effectArt = game::Engine().RttiEffectArt;
  for (uint32_t localId : artIds) {
    const uint32_t formId = game::ComposeFormId(file, localId);
    void* art = game::LookUpFormAs(formId, effectArt);
    // A failed check stands lightning down: no form is written after it.
    if (art && !game::CheckedSetFadeDuration(art, formId, value)) return;
  }
}

}  // namespace

constinit ProcessWide<PluginSettings> gSettings{[] {
  return MakeDefaults(std::make_index_sequence<kIntSettingCount>{}, std::make_index_sequence<kFloatSettingCount>{});
}};

void Set(IntSetting setting, int32_t value) {
  gSettings->ints[static_cast<int>(setting)].store(value, std::memory_order_relaxed);
  if (setting == IntSetting::EnableLog) SetPluginLogLevel(value);
}

const char* KeyOf(IntSetting setting) { return kIntRows[static_cast<int>(setting)].key; }
const char* KeyOf(FloatSetting setting) { return kFloatRows[static_cast<int>(setting)].key; }
int32_t DefaultOf(IntSetting setting) { return kIntRows[static_cast<int>(setting)].defaultValue; }
float DefaultOf(FloatSetting setting) { return kFloatRows[static_cast<int>(setting)].defaultValue; }

void SetIntValue(const char* key, uint32_t value) {
  for (int i = 0; i < kIntSettingCount; ++i) {
    if (std::strcmp(key, kIntRows[i].key) == 0) {
      Set(static_cast<IntSetting>(i), static_cast<int32_t>(value));
      break;
    }
  }
  PluginLog(2, "Value change - %s: %d", key, static_cast<int32_t>(value));
}

void SetFloatValue(const char* key, float value) {
  for (int i = 0; i < kFloatSettingCount; ++i) {
    if (std::strcmp(key, kFloatRows[i].key) != 0) continue;
    const auto setting = static_cast<FloatSetting>(i);
    if (setting == FloatSetting::SheetFadeDuration || setting == FloatSetting::ForkFadeDuration) {
      // The forms are only rewritten when the value really changes.
      if (!(value == Get(setting))) {
        Set(setting, value);
        PushFadeDuration(setting, setting == FloatSetting::SheetFadeDuration ? sheetArtIds : forkArtIds, value);
      }
    } else {
      Set(setting, value);
    }
    break;
  }
  PluginLog(2, "Value change - %s: %g", key, static_cast<double>(value));
}

void ReadDataFileSettings() {
  const game::LoadedFile* file = game::FindLoadedFile(game::kPluginFileName);
  if (!file || !game::HasUsableModIndex(file)) return;
  const void* globalType = game::Engine().RttiGlobalVariable;
  auto readGlobal = [&](uint32_t localId, float* value) {
    void* global = game::LookUpFormAs(game::ComposeFormId(file, localId), globalType);
    if (global) *value = game::GlobalValue(global);
    return global != nullptr;
  };

  float value = 0.0f;
  if (readGlobal(0xA6A, &value)) {
    Set(IntSetting::CompatibilityMode, TruncateToInt32(value) != 0 ? 1 : 0);
    PluginLog(0, "Compatibility Mode is %d", Get(IntSetting::CompatibilityMode));
  }
  if (readGlobal(0xCB5, &value)) {
    Set(IntSetting::MinChainChildAmount, TruncateToInt32(value));
    PluginLog(2, "minChainChildCount is %d", Get(IntSetting::MinChainChildAmount));
  }
  if (readGlobal(0xCB6, &value)) {
    Set(IntSetting::MaxChainChildAmount, TruncateToInt32(value));
    PluginLog(2, "maxChainChildCount is %d", Get(IntSetting::MaxChainChildAmount));
  }
  if (readGlobal(0xCB4, &value)) {
    Set(FloatSetting::ChainLightningPercentage, value);
    PluginLog(2, "chainPercentage is %g", static_cast<double>(value));
  }
  if (readGlobal(0xCF6, &value)) {
    Set(FloatSetting::SheetFadeDuration, value);
    PluginLog(2, "sheetFadeDuration is %g", static_cast<double>(value));
  }
  if (readGlobal(0xCF7, &value)) {
    Set(FloatSetting::ForkFadeDuration, value);
    PluginLog(2, "forkFadeDuration is %g", static_cast<double>(value));
  }
}

}  // namespace NimbrelVR
