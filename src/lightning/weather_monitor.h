// The weather monitor: every 3 seconds it decides whether and how often
// lightning strikes, and starts the effects loops.
#pragma once

#include <cstdint>

#include "lightning/lightning_type.h"

namespace NimbrelVR {

// What the monitor carries from one cycle to the next.
struct MonitorMemory {
  uint8_t curFreq = 255;
  uint8_t outFreq = 255;
  int fadeStep = 15;
  int weatherClass = 0;
};

// Starts the effects loop of one type (StartEffectsLoop by default). Tests
// replace it to see which loops a cycle starts.
using EffectsLoopStarter = void (*)(LightningType type);
void SetEffectsLoopStarter(EffectsLoopStarter starter);

// One cycle; returns how long to sleep before the next.
uint32_t RunMonitorCycle(MonitorMemory& memory);

// Thread body: cycles for the life of the process.
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
