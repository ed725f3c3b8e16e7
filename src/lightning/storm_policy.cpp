#include "lightning/storm_policy.h"

#include <algorithm>
#include <span>

#include "events/combat_pause.h"
#include "game/checked_reads.h"
#include "game/forms.h"
#include "game/id_tables.h"
#include "game/weather.h"
#include "lightning/lightning_state.h"
#include "log/debug_log.h"
#include "settings/settings.h"

namespace NimbrelVR {

bool CompatibilityMode() { return Get(IntSetting::CompatibilityMode) != 0; }

uint8_t CompatibilityFrequency(bool rainy) {
  return rainy ? kCompatibilityRainyFrequency : kCompatibilityOtherFrequency;
}

float RateSetting(LightningType type) {
  return type == Sheet ? Get(FloatSetting::SheetFrequency) : Get(FloatSetting::ForkFrequency);
}

float PausedRate(LightningType type) { return type == Sheet ? kPausedSheetRate : kPausedForkRate; }

float PacingRate(LightningType type) { return CombatPaused() ? PausedRate(type) : RateSetting(type); }

void SetFloorAtDataReady() {
  if (CompatibilityMode()) {
    gLightningState->weatherLightningFreq.exchange(kNoLightning);
    gLightningState->minLightningFrequency.store(kCompatibilityFloorAtDataReady, std::memory_order_relaxed);
  } else {
    ScanMinLightningFrequency();
    gLightningState->weatherLightningFreq.exchange(kNoLightning);
  }
}

void HoldCompatibilityFloor() {
  if (CompatibilityMode()) gLightningState->minLightningFrequency.store(kCompatibilityFloor, std::memory_order_relaxed);
}

void ScanMinLightningFrequency() {
  uint8_t minimum = gLightningState->minLightningFrequency.load(std::memory_order_relaxed);
  std::span<void* const> weathers;
  // A failed check has stood lightning down: the floor stays as it is.
  if (!game::CheckedAllWeathers(&weathers)) return;
  for (void* weather : weathers) {
    if (!weather) continue;
    const uint32_t id = game::FormIdOf(weather);
    if (IsExemptWeather(id)) continue;
    if (!game::IsStormWeather(game::WeatherFlags(weather))) continue;
    const uint8_t frequency = game::WeatherLightningFrequency(weather);
    PluginLog(2, "Weather: %x -> %d", id, frequency);
    if (frequency != 0) minimum = std::min(minimum, frequency);
  }
  gLightningState->minLightningFrequency.store(minimum, std::memory_order_relaxed);
  PluginLog(0, "Min Lightning Frequency is %d", minimum);
}

}  // namespace NimbrelVR
