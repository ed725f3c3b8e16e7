// Fixed tables of form ids, and the two operations on weather data.
#pragma once

#include <cstdint>
#include <span>

namespace NimbrelVR {

// Local ids in the plug-in's data file.
extern const std::span<const uint32_t> sheetArtIds;
extern const std::span<const uint32_t> forkArtIds;
// Full ids of the game's own weathers.
extern const std::span<const uint32_t> exemptWeatherIds;

bool IsExemptWeather(uint32_t formId);

// Worldspaces in which no weather lightning runs. Grows on every game load
// while the monitor searches it; both sides take its lock.
bool IsInteriorWorldspace(uint32_t formId);
void AppendInteriorWorldspace(uint32_t formId);
size_t InteriorWorldspaceCount();

// Lowers minLightningFrequency to the most frequent lightning of the game's
// rainy weathers (exempt ones and frequency 0 aside) and logs the result.
void ScanMinLightningFrequency();

// Adds the three Dawnguard worldspaces to the interior table; nothing when
// Dawnguard is not loaded.
void AppendDawnguardWorldspaces();

}  // namespace NimbrelVR
