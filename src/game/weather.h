// Weathers and the data registry's weather array.
#pragma once

#include <cstdint>
#include <span>

#include "game/engine_binding.h"
#include "game/fields.h"
#include "game/forms.h"
#include "game/layout.h"

namespace NimbrelVR::game {

inline constexpr uint8_t kWeatherPleasant = 0x01;
inline constexpr uint8_t kWeatherCloudy = 0x02;
inline constexpr uint8_t kWeatherRainy = 0x04;
inline constexpr uint8_t kWeatherSnowy = 0x08;

inline uint8_t WeatherLightningFrequency(const void* weather) {
  return LoadField<uint8_t>(weather, layout::weather::kLightningFrequency);
}
inline uint8_t WeatherFlags(const void* weather) {
  return LoadField<uint8_t>(weather, layout::weather::kClassification);
}

// Rainy and neither pleasant nor cloudy; snow does not matter.
inline bool IsStormWeather(uint8_t flags) {
  return (flags & kWeatherRainy) && !(flags & (kWeatherPleasant | kWeatherCloudy));
}

// Every weather form of the game (entries may be null); empty before the data
// registry exists. Unchecked: the plug-in reads it through CheckedAllWeathers
// (game/checked_reads.h).
inline std::span<void* const> AllWeathers() {
  void* registry = ReadHolder(Engine().DataRegistryHolder);
  if (!registry) return {};
  auto* weathers = LoadField<void* const*>(registry, layout::data_registry::kWeathers);
  const uint32_t count = LoadField<uint32_t>(registry, layout::data_registry::kWeatherCount);
  if (!weathers) return {};
  return {weathers, count};
}

}  // namespace NimbrelVR::game
