#include "lightning/weather_monitor.h"

#include <atomic>

#include "events/menus.h"
#include "game/id_tables.h"
#include "game/weather.h"
#include "game/world.h"
#include "lightning/day_night_art.h"
#include "lightning/effects_loop.h"
#include "lightning/lightning_state.h"
#include "log/debug_log.h"
#include "platform/platform.h"
#include "settings/conversions.h"
#include "settings/settings.h"

namespace NimbrelVR {
namespace {

constexpr uint32_t kWaitLong = 5000;
constexpr uint32_t kWaitMenu = 3000;
constexpr uint32_t kCycle = 3000;
// With the player in no cell (every load) the world is being rebuilt; a short
// wait keeps the thread off the CPU, and is far below the 3-second cycle.
constexpr uint32_t kWaitNoCell = 50;

enum WeatherClass : int { Unclassified = -1, Pleasant = 0, Cloudy = 1, Rainy = 2, Snowy = 3 };

struct Wants {
  bool sheet = false;
  bool fork = false;
};

struct EnableSettings {
  int32_t sheet, fork, cloudySheet, cloudyFork, snowySheet, snowyFork;
};

int Classify(uint8_t flags) {
  if (flags & game::kWeatherPleasant) return Pleasant;
  if (flags & game::kWeatherCloudy) return Cloudy;
  if (flags & game::kWeatherRainy) return Rainy;
  if (flags & game::kWeatherSnowy) return Snowy;
  return Unclassified;
}

Wants WantsOf(int weatherClass, const EnableSettings& enable) {
  switch (weatherClass) {
    case Cloudy:
      return {enable.cloudySheet != 0, enable.cloudyFork != 0};
    case Rainy:
      return {enable.sheet != 0, enable.fork != 0};
    case Snowy:
      return {enable.snowySheet != 0, enable.snowyFork != 0};
    default:
      return {};
  }
}

void StartEffectsLoopThread(LightningType type) { StartEffectsLoop(type); }

std::atomic<EffectsLoopStarter> gStarter{&StartEffectsLoopThread};

uint32_t Wait(uint32_t ms) {
  EndEffectsWindow();
  return ms;
}

uint8_t Published() { return gLightningState.weatherLightningFreq.load(std::memory_order_relaxed); }

// The frequency a weather of this cycle contributes.
uint8_t WeatherFrequency(bool on, const void* weather, int weatherClass) {
  if (!on || !weather) return 255;
  if (Get(IntSetting::CompatibilityMode) != 0) return weatherClass == Rainy ? 50 : 200;
  return game::WeatherLightningFrequency(weather);
}

}  // namespace

void SetEffectsLoopStarter(EffectsLoopStarter starter) {
  gStarter.store(starter ? starter : &StartEffectsLoopThread);
}

uint8_t ComputeFrequency(const FrequencyInputs& in, int* fadeStep) {
  const float t = in.transition;
  float result = 255.0f;
  if (in.curOn && in.outOn) {
    const int difference = static_cast<int>(in.curFreq) - static_cast<int>(in.outFreq);
    result = static_cast<float>(difference) * t + static_cast<float>(in.outFreq);
  } else if (in.curOn) {
    if (t < 1.0f) {
      result = 255.0f;
    } else if (in.published <= in.curFreq || *fadeStep <= 0) {
      *fadeStep = 15;
      result = in.curFreq;
    } else {
      --*fadeStep;
      result = static_cast<float>(255 - in.curFreq) * (static_cast<float>(*fadeStep) / 15.0f) +
               static_cast<float>(in.curFreq);
    }
  } else if (in.outOn) {
    result = t < 0.3f ? static_cast<float>(255 - in.outFreq) * t + static_cast<float>(in.outFreq) : 255.0f;
  }
  return static_cast<uint8_t>(TruncateToInt32(result));
}

uint32_t RunMonitorCycle(MonitorMemory& memory) {
  void* player = game::PlayerReference();
  if (!player || !game::Loaded3D(player)) {
    PluginLog(2, "player null. Waiting for 5seconds");
    return Wait(kWaitLong);
  }
  void* cell = game::ParentCell(player);
  if (!cell) return Wait(kWaitNoCell);
  void* worldspace = game::CellWorldspace(cell);
  if (!worldspace) {
    PluginLog(2, "In interior cell. Waiting for 5 seconds");
    return Wait(kWaitLong);
  }
  if (IsInteriorWorldspace(game::FormIdOf(worldspace))) {
    PluginLog(2, "In interior cell world. Waiting for 5 seconds");
    return Wait(kWaitLong);
  }
  if (FirstOpenPauseMenu()) return Wait(kWaitMenu);

  PluginLog(2, "In exterior cell...");
  if (Get(IntSetting::CompatibilityMode) != 0) gLightningState.minLightningFrequency.store(50, std::memory_order_relaxed);

  void* sky = game::Sky();
  if (!sky) {
    PluginLog(2, "Sky is null. waiting for 5 seconds.");
    return Wait(kWaitLong);
  }

  // Classification: the outgoing weather, when there is one, has the last word on the class.
  const EnableSettings enable{Get(IntSetting::EnableSheet),       Get(IntSetting::EnableFork),
                              Get(IntSetting::EnableCloudySheet), Get(IntSetting::EnableCloudyFork),
                              Get(IntSetting::EnableSnowySheet),  Get(IntSetting::EnableSnowyFork)};
  void* current = game::CurrentWeather(sky);
  void* outgoing = game::OutgoingWeather(sky);
  Wants cur, out;
  if (current) {
    memory.weatherClass = Classify(game::WeatherFlags(current));
    cur = WantsOf(memory.weatherClass, enable);
  }
  if (outgoing) {
    memory.weatherClass = Classify(game::WeatherFlags(outgoing));
    out = WantsOf(memory.weatherClass, enable);
  }

  // Day runs from 5.0 to 19.0 inclusive.
  const float hour = game::GameHour(sky);
  const bool night = hour < 5.0f || hour > 19.0f;
  if (night && !gLightningState.isNight.load(std::memory_order_relaxed)) {
    gLightningState.isNight.store(true, std::memory_order_relaxed);
    PluginLog(1, "Switching to night time: %g", static_cast<double>(hour));
    SwitchDayNightArt(true);
  } else if (!night && gLightningState.isNight.load(std::memory_order_relaxed)) {
    gLightningState.isNight.store(false, std::memory_order_relaxed);
    PluginLog(1, "Switching to day time: %g", static_cast<double>(hour));
    SwitchDayNightArt(false);
  }

  const bool curOn = cur.sheet || cur.fork;
  const bool outOn = out.sheet || out.fork;
  const float transition = game::WeatherTransition(sky);
  if (curOn || outOn) {
    memory.curFreq = WeatherFrequency(curOn, current, memory.weatherClass);
    memory.outFreq = WeatherFrequency(outOn, outgoing, memory.weatherClass);
    const FrequencyInputs inputs{curOn, outOn, memory.curFreq, memory.outFreq, transition, Published()};
    gLightningState.weatherLightningFreq.exchange(ComputeFrequency(inputs, &memory.fadeStep));
  }

  const uint8_t floor = gLightningState.minLightningFrequency.load(std::memory_order_relaxed);
  if (const uint8_t published = Published(); published < floor) {
    // With no current weather there is nothing exempt to excuse it.
    if (!current || !IsExemptWeather(game::FormIdOf(current))) {
      PluginLog(1, "This could be a bug: weatherLightningFreq: %d minLightningFrequency: %d. Fixing it manually.",
                published, floor);
    }
    gLightningState.weatherLightningFreq.exchange(floor);
  }

  PluginLog(2, "weatherLightningFreq: %d curFreq: %d outFreq:%d Transition: %g", Published(), memory.curFreq,
            memory.outFreq, static_cast<double>(transition));

  const bool wanted = (curOn || outOn) && Published() != 255;
  if (!wanted) {
    EndEffectsWindow();
  } else if (gLightningState.effectsRunning.load(std::memory_order_relaxed) == 0) {
    PluginLog(2, "Enabling lightning effects...");
    BeginEffectsWindow();
    // Only the current weather's wants start loops; the outgoing weather only keeps lightning wanted.
    const EffectsLoopStarter start = gStarter.load();
    if (cur.sheet) start(Sheet);
    if (cur.fork) start(Fork);
  }
  return kCycle;
}

void WeatherMonitorLoop() {
  MonitorMemory memory;
  for (;;) {
    uint32_t sleepMs = kCycle;
    try {
      sleepMs = RunMonitorCycle(memory);
    } catch (...) {
    }
    platform::SleepMs(sleepMs);
  }
}

bool StartWeatherMonitor() {
  if (platform::StartDetachedThread("nb-monitor", WeatherMonitorLoop)) return true;
  PluginLog(0, "Could not start the weather monitor thread. No lightning this session.");
  return false;
}

}  // namespace NimbrelVR
