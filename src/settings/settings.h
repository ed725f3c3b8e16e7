// The tunable values. Each is one 32-bit value that scripts may change at any
// moment while other threads read it, hence the atomics (relaxed: no ordering
// between settings is promised).
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/process_wide.h"

namespace NimbrelVR {

// Integer settings, in the order the setter compares their keys.
enum class IntSetting : int {
  EnableSheet,
  EnableFork,
  SheetHostile,
  ForkHostile,
  SheetDistanceMin,
  SheetDistanceMax,
  ForkDistanceMin,
  ForkDistanceMax,
  MinFlashAmount,
  SheetFlashAmount,
  ForkFlashAmount,
  EnableSheetFlash,
  EnableForkFlash,
  EnableLog,
  EnableSnowySheet,
  EnableSnowyFork,
  EnableCloudySheet,
  EnableCloudyFork,
  CompatibilityMode,
  MinChainChildAmount,
  MaxChainChildAmount,
  Count
};

// Float settings, in the order the setter compares their keys.
enum class FloatSetting : int {
  SheetFrequency,
  ForkFrequency,
  StrikeDistance,
  SheetHeightMin,
  SheetHeightMax,
  FlashDropDistanceMin,
  SkyCurve,
  ChainLightningPercentage,
  SheetFadeDuration,
  ForkFadeDuration,
  Count
};

inline constexpr int kIntSettingCount = static_cast<int>(IntSetting::Count);
inline constexpr int kFloatSettingCount = static_cast<int>(FloatSetting::Count);

struct PluginSettings {
  std::atomic<int32_t> ints[kIntSettingCount];
  std::atomic<float> floats[kFloatSettingCount];
};

// Constant-initialised with the defaults, so they hold before any other
// static initialiser of the library runs.
extern ProcessWide<PluginSettings> gSettings;

// The script key of each setting.
const char* KeyOf(IntSetting setting);
const char* KeyOf(FloatSetting setting);
int32_t DefaultOf(IntSetting setting);
float DefaultOf(FloatSetting setting);

inline int32_t Get(IntSetting setting) {
  return gSettings->ints[static_cast<int>(setting)].load(std::memory_order_relaxed);
}
inline float Get(FloatSetting setting) {
  return gSettings->floats[static_cast<int>(setting)].load(std::memory_order_relaxed);
}
// EnableLog is also handed to the log, which keeps its own copy.
void Set(IntSetting setting, int32_t value);
inline void Set(FloatSetting setting, float value) {
  gSettings->floats[static_cast<int>(setting)].store(value, std::memory_order_relaxed);
}

// Script setters. A key matching no setting changes nothing; every call is
// logged with the key as given.
void SetIntValue(const char* key, uint32_t value);
void SetFloatValue(const char* key, float value);

// The six settings the plug-in's data file carries as globals, read after
// every saved-game load.
void ReadDataFileSettings();

}  // namespace NimbrelVR
