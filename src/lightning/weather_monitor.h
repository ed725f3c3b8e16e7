// The weather monitor: every 3 seconds it decides whether and how often
// lightning strikes, and starts the effects loops.
#pragma once

#include <cstdint>
#include <optional>

#include "lightning/lightning_type.h"
#include "lightning/storm_policy.h"

namespace NimbrelVR {

// What the monitor carries from one cycle to the next.
struct MonitorMemory {
  uint8_t curFreq = kNoLightning;
  uint8_t outFreq = kNoLightning;
  int fadeStep = 15;
  int weatherClass = 0;
  // The effects window the monitor opened last, the current weather then,
  // and whether the current weather has changed since within that window.
  uint32_t window = 0;
  const void* windowWeather = nullptr;
  bool weatherChanged = false;
};

// The kinds of lightning a weather wants.
struct Wants {
  bool sheet = false;
  bool fork = false;
  bool any() const { return sheet || fork; }
};

// One full cycle's look at the sky: its two weathers (either may be null),
// what each wants, the hour and the transition.
struct SkyReading {
  void* current = nullptr;
  void* outgoing = nullptr;
  Wants cur;
  Wants out;
  float hour = 0.0f;
  float transition = 0.0f;
  bool anyWanted() const { return cur.any() || out.any(); }
};

// What a cycle returns once lightning has stood down (a check of the player,
// the sky or what they point to failed, in this cycle or on another thread):
// the monitor ends.
inline constexpr uint32_t kMonitorStopped = 0;

// One cycle; returns how long to sleep before the next, or kMonitorStopped.
// Every wait ends the effects window. The steps below, in this order:
uint32_t RunMonitorCycle(MonitorMemory& memory);

// Where the player is: how long to wait when lightning cannot run there (no
// player or 3D, no cell, an interior, an interior worldspace); nothing with
// the player outside; kMonitorStopped when a check failed.
std::optional<uint32_t> PlayerPlaceWait();
// What the menus allow: false while a pausing menu is open.
bool MenusAllowLightning();
// The sky's weathers and their wants. The outgoing weather, when there is
// one, leaves its class in `memory`; with neither, the class stays. False
// when a check failed (nothing is left in `memory` then).
bool ReadSky(const void* sky, MonitorMemory& memory, SkyReading* reading);
// The time of day: switches the art when night or day begins (day runs from
// 5.0 to 19.0 inclusive); not once lightning has stood down.
void FollowTimeOfDay(float hour);
// The published frequency: computed and published when a weather wants
// lightning; otherwise it, curFreq and outFreq stay.
void PublishFrequency(const SkyReading& sky, MonitorMemory& memory);
// The floor: a published frequency below minLightningFrequency is raised to
// it, with a warning unless the current weather is exempt.
void EnforceFloor(const void* currentWeather);
// The loops: when lightning is wanted and effects are off, opens a window
// and starts a loop for each kind the current weather wants; when it is not
// wanted, ends the window. With effects on, FollowWeather.
void StartOrStopEffects(const SkyReading& sky, MonitorMemory& memory);
// With effects on: once the current weather has changed within the window,
// every cycle gives a loop to each kind the current weather wants (with a
// positive rate) that has none, and ends the loop of each kind that neither
// the current weather nor the outgoing one (while the transition is below
// 1.0) wants. In unchanged weather nothing changes until the next clear, so
// settings changed meanwhile wait for it.
void FollowWeather(const SkyReading& sky, MonitorMemory& memory);

// Starts the effects loop of one type (StartEffectsLoop by default). Tests
// replace it to see which loops a cycle starts.
using EffectsLoopStarter = void (*)(LightningType type);
void SetEffectsLoopStarter(EffectsLoopStarter starter);
// How the monitor sees and ends running loops (EffectsLoopRunning and
// EndEffectsLoop by default); tests replace them along with the starter.
struct EffectsLoopWatch {
  bool (*running)(LightningType type);
  void (*end)(LightningType type);
};
void SetEffectsLoopWatch(EffectsLoopWatch watch);

// Thread body: cycles until lightning stands down, for the life of the
// process otherwise.
void WeatherMonitorLoop();

// Starts the monitor thread once; false (logged) when no thread could start.
bool StartWeatherMonitor();

// The lightning frequency the monitor publishes for one cycle's weathers.
struct FrequencyInputs {
  bool curOn;
  bool outOn;
  uint8_t curFreq;
  uint8_t outFreq;
  float transition;
  uint8_t published;  // the frequency published so far
};
uint8_t ComputeFrequency(const FrequencyInputs& in, int* fadeStep);

}  // namespace NimbrelVR
