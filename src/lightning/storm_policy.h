// What storms may do: the values the monitor, the effects loops, the strikes
// and the start-up handlers agree on, each said here once, and the decisions
// about the frequency floor.
#pragma once

#include <cstdint>

#include "lightning/lightning_type.h"

namespace NimbrelVR {

// A lightning frequency is a byte: the lower, the more often it strikes; this
// value means no lightning at all.
inline constexpr uint8_t kNoLightning = 255;

// Compatibility mode, for weather mods that bring their own frequencies: the
// floor set when the game's data is ready, the floor held from the first
// loaded game on, and the fixed frequencies the monitor gives weathers.
inline constexpr uint8_t kCompatibilityFloorAtDataReady = 100;
inline constexpr uint8_t kCompatibilityFloor = 50;
inline constexpr uint8_t kCompatibilityRainyFrequency = 50;
inline constexpr uint8_t kCompatibilityOtherFrequency = 200;

// Strike rates while a combat pause holds, far below the default 50.
inline constexpr float kPausedSheetRate = 3.0f;
inline constexpr float kPausedForkRate = 2.0f;

bool CompatibilityMode();

// The frequency compatibility mode gives a weather that wants lightning.
uint8_t CompatibilityFrequency(bool rainy);

// The type's rate setting (SheetFrequency or ForkFrequency).
float RateSetting(LightningType type);
float PausedRate(LightningType type);
// The rate that paces a type right now: the paused rate during a combat
// pause, else the type's rate setting.
float PacingRate(LightningType type);

// The floor under the published frequency (minLightningFrequency):
// - data ready: publishes no lightning, then takes the compatibility floor
//   or, outside that mode, scans the game's weathers for it;
void SetFloorAtDataReady();
// - after each saved-game load, and on each full monitor cycle: the
//   compatibility floor in that mode, else unchanged.
void HoldCompatibilityFloor();

// Lowers the floor to the most frequent lightning of the game's rainy
// weathers (exempt ones and frequency 0 aside) and logs the result; nothing
// when the weathers' check fails.
void ScanMinLightningFrequency();

}  // namespace NimbrelVR
