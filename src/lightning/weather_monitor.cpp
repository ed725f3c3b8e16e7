#include "lightning/weather_monitor.h"

#include <atomic>

#include "events/menus.h"
#include "game/checked_reads.h"
#include "game/forms.h"
#include "game/id_tables.h"
#include "game/stand_down.h"
#include "game/weather.h"
#include "game/world.h"
#include "lightning/day_night_art.h"
#include "lightning/effects_loop.h"
#include "lightning/lightning_state.h"
#include "log/debug_log.h"
#include "platform/platform.h"
#include "platform/process_wide.h"
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

constexpr int kFadeSteps = 15;
// An outgoing storm fades out until the transition passes this point.
constexpr float kFadeOutEnd = 0.3f;

enum WeatherClass : int { Unclassified = -1, Pleasant = 0, Cloudy = 1, Rainy = 2, Snowy = 3 };

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

constinit ProcessWide<std::atomic<EffectsLoopStarter>> starter{
    [] { return std::atomic<EffectsLoopStarter>(&StartEffectsLoopThread); }};

using LoopRunning = bool (*)(LightningType type);
using LoopEnd = void (*)(LightningType type);
constinit ProcessWide<std::atomic<LoopRunning>> loopRunning{
    [] { return std::atomic<LoopRunning>(&EffectsLoopRunning); }};
constinit ProcessWide<std::atomic<LoopEnd>> loopEnd{[] { return std::atomic<LoopEnd>(&EndEffectsLoop); }};

uint32_t Wait(uint32_t ms) {
  EndEffectsWindow();
  return ms;
}

uint8_t Published() { return gLightningState->weatherLightningFreq.load(std::memory_order_relaxed); }

// The frequency a weather of this cycle contributes.
uint8_t WeatherFrequency(bool on, const void* weather, int weatherClass) {
  if (!on || !weather) return kNoLightning;
  if (CompatibilityMode()) return CompatibilityFrequency(weatherClass == Rainy);
  return game::WeatherLightningFrequency(weather);
}

}  // namespace

void SetEffectsLoopStarter(EffectsLoopStarter replacement) {
  starter->store(replacement ? replacement : &StartEffectsLoopThread);
}

void SetEffectsLoopWatch(EffectsLoopWatch replacement) {
  loopRunning->store(replacement.running ? replacement.running : &EffectsLoopRunning);
  loopEnd->store(replacement.end ? replacement.end : &EndEffectsLoop);
}

uint8_t ComputeFrequency(const FrequencyInputs& in, int* fadeStep) {
  constexpr float kNone = kNoLightning;
  const float t = in.transition;
  float result = kNone;
  if (in.curOn && in.outOn) {
    const int difference = static_cast<int>(in.curFreq) - static_cast<int>(in.outFreq);
    result = static_cast<float>(difference) * t + static_cast<float>(in.outFreq);
  } else if (in.curOn) {
    if (t < 1.0f) {
      result = kNone;
    } else if (in.published <= in.curFreq || *fadeStep <= 0) {
      *fadeStep = kFadeSteps;
      result = in.curFreq;
    } else {
      --*fadeStep;
      result = static_cast<float>(kNoLightning - in.curFreq) *
                   (static_cast<float>(*fadeStep) / static_cast<float>(kFadeSteps)) +
               static_cast<float>(in.curFreq);
    }
  } else if (in.outOn) {
    result =
        t < kFadeOutEnd ? static_cast<float>(kNoLightning - in.outFreq) * t + static_cast<float>(in.outFreq) : kNone;
  }
  return static_cast<uint8_t>(TruncateToInt32(result));
}

std::optional<uint32_t> PlayerPlaceWait() {
  void* player = nullptr;
  if (!game::CheckedPlayer(&player)) return kMonitorStopped;
  if (!player || !game::Loaded3D(player)) {
    PluginLog(2, "player null. Waiting for 5seconds");
    return kWaitLong;
  }
  void* cell = nullptr;
  if (!game::CheckedPlayerCell(player, &cell)) return kMonitorStopped;
  if (!cell) return kWaitNoCell;
  void* worldspace = nullptr;
  if (!game::CheckedCellWorldspace(cell, &worldspace)) return kMonitorStopped;
  if (!worldspace) {
    PluginLog(2, "In interior cell. Waiting for 5 seconds");
    return kWaitLong;
  }
  if (IsInteriorWorldspace(game::FormIdOf(worldspace))) {
    PluginLog(2, "In interior cell world. Waiting for 5 seconds");
    return kWaitLong;
  }
  return std::nullopt;
}

bool MenusAllowLightning() { return FirstOpenPauseMenu() == nullptr; }

bool ReadSky(const void* sky, MonitorMemory& memory, SkyReading* out) {
  const EnableSettings enable{Get(IntSetting::EnableSheet),       Get(IntSetting::EnableFork),
                              Get(IntSetting::EnableCloudySheet), Get(IntSetting::EnableCloudyFork),
                              Get(IntSetting::EnableSnowySheet),  Get(IntSetting::EnableSnowyFork)};
  SkyReading reading;
  if (!game::CheckedSkyWeathers(sky, &reading.current, &reading.outgoing)) return false;
  if (!game::CheckedSkyTime(sky, &reading.hour, &reading.transition)) return false;
  if (reading.current) {
    memory.weatherClass = Classify(game::WeatherFlags(reading.current));
    reading.cur = WantsOf(memory.weatherClass, enable);
  }
  if (reading.outgoing) {
    memory.weatherClass = Classify(game::WeatherFlags(reading.outgoing));
    reading.out = WantsOf(memory.weatherClass, enable);
  }
  *out = reading;
  return true;
}

void FollowTimeOfDay(float hour) {
  const bool night = hour < 5.0f || hour > 19.0f;
  const bool wasNight = gLightningState->isNight.load(std::memory_order_relaxed);
  if (night == wasNight) return;
  // Engine calls on the monitor's thread: not once lightning has stood down,
  // and the stand-down waits for one under way.
  const game::EnginePass pass;
  if (!pass) return;
  gLightningState->isNight.store(night, std::memory_order_relaxed);
  if (night) {
    PluginLog(1, "Switching to night time: %g", static_cast<double>(hour));
  } else {
    PluginLog(1, "Switching to day time: %g", static_cast<double>(hour));
  }
  SwitchDayNightArt(night);
}

void PublishFrequency(const SkyReading& sky, MonitorMemory& memory) {
  if (!sky.anyWanted()) return;
  const bool curOn = sky.cur.any();
  const bool outOn = sky.out.any();
  // One class serves both weathers: the last one classified.
  memory.curFreq = WeatherFrequency(curOn, sky.current, memory.weatherClass);
  memory.outFreq = WeatherFrequency(outOn, sky.outgoing, memory.weatherClass);
  const FrequencyInputs inputs{curOn, outOn, memory.curFreq, memory.outFreq, sky.transition, Published()};
  gLightningState->weatherLightningFreq.exchange(ComputeFrequency(inputs, &memory.fadeStep));
}

void EnforceFloor(const void* currentWeather) {
  const uint8_t floor = gLightningState->minLightningFrequency.load(std::memory_order_relaxed);
  const uint8_t published = Published();
  if (published >= floor) return;
  // With no current weather there is nothing exempt to excuse it.
  if (!currentWeather || !IsExemptWeather(game::FormIdOf(currentWeather))) {
    PluginLog(1, "This could be a bug: weatherLightningFreq: %d minLightningFrequency: %d. Fixing it manually.",
              published, floor);
  }
  gLightningState->weatherLightningFreq.exchange(floor);
}

void StartOrStopEffects(const SkyReading& sky, MonitorMemory& memory) {
  const bool wanted = sky.anyWanted() && Published() != kNoLightning;
  if (!wanted) {
    EndEffectsWindow();
    return;
  }
  if (gLightningState->effectsRunning.load(std::memory_order_relaxed) != 0) {
    FollowWeather(sky, memory);
    return;
  }
  PluginLog(2, "Enabling lightning effects...");
  if (!BeginEffectsWindow()) return;  // lightning has stood down
  memory.window = CurrentEffectsWindow();
  memory.windowWeather = sky.current;
  memory.weatherChanged = false;
  // Only the current weather's wants start loops; the outgoing weather only keeps lightning wanted.
  const EffectsLoopStarter start = starter->load();
  if (sky.cur.sheet) start(Sheet);
  if (sky.cur.fork) start(Fork);
}

void FollowWeather(const SkyReading& sky, MonitorMemory& memory) {
  const uint32_t window = CurrentEffectsWindow();
  if (window != memory.window) {
    // A window this monitor did not see open: its weather counts from now.
    memory.window = window;
    memory.windowWeather = sky.current;
    memory.weatherChanged = false;
    return;
  }
  if (sky.current != memory.windowWeather) memory.weatherChanged = true;
  if (!memory.weatherChanged) return;
  const bool outgoingHolds = sky.transition < 1.0f;
  for (const LightningType type : {Sheet, Fork}) {
    const bool current = type == Sheet ? sky.cur.sheet : sky.cur.fork;
    const bool outgoing = outgoingHolds && (type == Sheet ? sky.out.sheet : sky.out.fork);
    if (current) {
      if (RateSetting(type) > 0.0f && !loopRunning->load()(type)) starter->load()(type);
    } else if (!outgoing && loopRunning->load()(type)) {
      loopEnd->load()(type);
    }
  }
}

uint32_t RunMonitorCycle(MonitorMemory& memory) {
  if (game::StoodDown()) return kMonitorStopped;
  if (const std::optional<uint32_t> wait = PlayerPlaceWait())
    return *wait == kMonitorStopped ? kMonitorStopped : Wait(*wait);
  if (!MenusAllowLightning()) return Wait(kWaitMenu);
  PluginLog(2, "In exterior cell...");
  HoldCompatibilityFloor();
  void* sky = nullptr;
  if (!game::CheckedSky(&sky)) return kMonitorStopped;
  if (!sky) {
    PluginLog(2, "Sky is null. waiting for 5 seconds.");
    return Wait(kWaitLong);
  }
  SkyReading reading;
  if (!ReadSky(sky, memory, &reading)) return kMonitorStopped;
  FollowTimeOfDay(reading.hour);
  PublishFrequency(reading, memory);
  EnforceFloor(reading.current);
  PluginLog(2, "weatherLightningFreq: %d curFreq: %d outFreq:%d Transition: %g", Published(), memory.curFreq,
            memory.outFreq, static_cast<double>(reading.transition));
  StartOrStopEffects(reading, memory);
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
    if (sleepMs == kMonitorStopped || game::StoodDown()) return;
    platform::SleepMs(sleepMs);
  }
}

bool StartWeatherMonitor() {
  if (platform::StartDetachedThread("nb-monitor", WeatherMonitorLoop)) return true;
  PluginLog(0, "Could not start the weather monitor thread. No lightning this session.");
  return false;
}

}  // namespace NimbrelVR
