// Fixed tables of form ids.
#pragma once

#include <cstdint>
#include <span>

namespace NimbrelVR {

// Local ids in the plug-in's data file.
extern const std::span<const uint32_t> sheetArtIds;
extern const std::span<const uint32_t> forkArtIds;
// Full ids of the game's own weathers.
extern const std::span<const uint32_t> exemptWeatherIds;
// Full ids of the game's worldspaces in which no weather lightning runs.
extern const std::span<const uint32_t> interiorWorldspaceIds;
// Local ids of the three such worldspaces of Dawnguard.esm.
extern const std::span<const uint32_t> dawnguardWorldspaceLocalIds;

bool IsExemptWeather(uint32_t formId);

}  // namespace NimbrelVR
