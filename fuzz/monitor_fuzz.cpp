// The monitor cycle over fuzzed world states: weather flags and frequencies,
// transition and hour values with NaN and infinities (which stand lightning
// down, and nothing else may), a missing player, 3D, cell, worldspace or sky,
// pausing menus, and any state the cycle left.
#include <cmath>
#include <string>
#include <vector>

#include "events/combat_pause.h"
#include "events/menus.h"
#include "game/data_files.h"
#include "game/id_tables.h"
#include "game/stand_down_state.h"
#include "lightning/lightning_state.h"
#include "lightning/weather_monitor.h"
#include "settings/settings.h"
#include "support/fuzz_game.h"
#include "support/fuzz_support.h"
#include "support/loaded_data.h"
#include "support/world_state.h"

using namespace NimbrelVR;
using fuzzsupport::WorldState;

namespace {

constexpr uint32_t kWorldspaces[] = {0x3C, 0x69857, 0x1EE62, 0x020048C7, 0x7E000001};
constexpr uint8_t kPluginModIndex = 0x12;

std::vector<LightningType> gStarted;
void RecordStart(LightningType type) { gStarted.push_back(type); }

uint32_t ConsumeWeatherId(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      return exemptWeatherIds[in.ConsumeIntegralInRange<size_t>(0, exemptWeatherIds.size() - 1)];
    case 1:
      return 0x0010E1E9;
    default:
      return 0x33000000u | in.ConsumeIntegralInRange<uint32_t>(0, 0xFFFFFF);
  }
}

const char* ConsumeArtPath(FuzzedDataProvider& in, std::string& storage) {
  switch (in.ConsumeIntegralInRange<int>(0, 4)) {
    case 0:
      return nullptr;
    case 1:
      return "magic\\nimbrel\\sheet01.nif";
    case 2:
      return "magic\\daytime\\nimbrel\\fork01.nif";
    default:
      storage = in.ConsumeRandomLengthString(300);
      return storage.c_str();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  nimbrel_sim::GameDouble& game = fuzzsupport::StartedGame();
  SetEffectsLoopStarter(&RecordStart);
  // Each input is a session of its own: an earlier one may have stood down.
  game::stand_down_state::state->stoodDown.store(false);
  FuzzedDataProvider in(data, size);
  fuzzsupport::ResetSettings();
  fuzzsupport::FreshData(game);

  // The plug-in's file with some of its day/night art, for the hour's switch.
  if (in.ConsumeBool()) {
    fuzzsupport::AddFile(game, "Nimbrel.esp", kPluginModIndex, 0);
    for (int i = in.ConsumeIntegralInRange<int>(0, 4); i > 0; --i) {
      const bool sheet = in.ConsumeBool();
      const auto& ids = sheet ? sheetArtIds : forkArtIds;
      std::string path;
      const uint32_t localId = ids[in.ConsumeIntegralInRange<size_t>(0, ids.size() - 1)];
      fuzzsupport::AddEffectArt(game, (uint32_t{kPluginModIndex} << 24) | localId, ConsumeArtPath(in, path));
    }
  }
  WorldState world;
  for (uint32_t* weather : {&world.current, &world.outgoing}) {
    if (in.ConsumeIntegralInRange<int>(0, 3) == 0) continue;  // none
    *weather = ConsumeWeatherId(in);
    fuzzsupport::AddWeather(game, *weather, in.ConsumeIntegral<uint8_t>(), in.ConsumeIntegral<uint8_t>());
  }
  world.playerHolder = in.ConsumeIntegralInRange<int>(0, 7) != 0;
  world.player3D = in.ConsumeIntegralInRange<int>(0, 7) != 0;
  world.cell = static_cast<WorldState::Cell>(
      in.ConsumeIntegralInRange<int>(0, 5) / 2 == 0 ? in.ConsumeIntegralInRange<int>(0, 2) : 0);
  world.worldspace = kWorldspaces[in.ConsumeIntegralInRange<size_t>(0, std::size(kWorldspaces) - 1)];
  world.sky = in.ConsumeIntegralInRange<int>(0, 7) != 0;
  world.transition = fuzzsupport::ConsumeFloat(in);
  world.hour = fuzzsupport::ConsumeFloat(in);
  fuzzsupport::ApplyWorld(game, world);

  std::vector<std::string> menus;
  for (int i = in.ConsumeIntegralInRange<int>(0, 2); i > 0; --i) {
    menus.push_back(in.ConsumeBool()
                        ? std::string(pauseMenuNames[in.ConsumeIntegralInRange<size_t>(0, pauseMenuNames.size() - 1)])
                        : in.ConsumeRandomLengthString(40));
    fuzzsupport::SendMenu(game, menus.back(), true);
  }

  for (IntSetting s : {IntSetting::EnableSheet, IntSetting::EnableFork, IntSetting::EnableCloudySheet,
                       IntSetting::EnableCloudyFork, IntSetting::EnableSnowySheet, IntSetting::EnableSnowyFork,
                       IntSetting::CompatibilityMode, IntSetting::EnableLog})
    if (in.ConsumeBool()) Set(s, fuzzsupport::ConsumeInt(in));
  gLightningState->effectsRunning.store(in.ConsumeBool());
  gLightningState->weatherLightningFreq.store(in.ConsumeIntegral<uint8_t>());
  gLightningState->minLightningFrequency.store(in.ConsumeIntegral<uint8_t>());
  gLightningState->isNight.store(in.ConsumeBool());
  gCombatPause->pauseFlag.store(in.ConsumeBool());
  MonitorMemory memory;
  memory.curFreq = in.ConsumeIntegral<uint8_t>();
  memory.outFreq = in.ConsumeIntegral<uint8_t>();
  memory.fadeStep = fuzzsupport::ConsumeInt(in);
  memory.weatherClass = in.ConsumeIntegralInRange<int>(-1, 3);

  for (int cycle = in.ConsumeIntegralInRange<int>(1, 4); cycle > 0; --cycle) {
    gStarted.clear();
    const bool wasRunning = gLightningState->effectsRunning.load() != 0;
    const uint32_t sleepMs = RunMonitorCycle(memory);
    const uint8_t running = gLightningState->effectsRunning.load();
    if (sleepMs == kMonitorStopped) {
      // Every object of this world is the double's genuine one: only an
      // implausible hour or transition may stand lightning down.
      const bool plausible =
          world.hour >= 0.0f && world.hour <= 24.0f && std::isfinite(world.transition) && world.transition >= 0.0f;
      FUZZ_CHECK(game::StoodDown(), "the cycle stopped the monitor without standing down");
      FUZZ_CHECK(!plausible, "hour %g and transition %g stood lightning down", static_cast<double>(world.hour),
                 static_cast<double>(world.transition));
      FUZZ_CHECK(running == 0 && gStarted.empty(), "the stand-down left effects running or started %zu loops",
                 gStarted.size());
      fuzzsupport::CheckDouble();
      break;
    }
    FUZZ_CHECK(!game::StoodDown(), "lightning stood down, yet the cycle asked for a sleep of %u ms", sleepMs);
    FUZZ_CHECK(sleepMs == 50 || sleepMs == 3000 || sleepMs == 5000, "the cycle asked for a sleep of %u ms", sleepMs);
    FUZZ_CHECK(running <= 1, "effectsRunning is %u", running);
    FUZZ_CHECK(sleepMs == 3000 || running == 0, "a wait of %u ms left effects running", sleepMs);
    FUZZ_CHECK(gStarted.size() <= 2 && (gStarted.empty() || (!wasRunning && running)),
               "%zu loops started (effects were %s running)", gStarted.size(), wasRunning ? "" : "not");
    for (LightningType type : gStarted) FUZZ_CHECK(type == Sheet || type == Fork, "a loop of type %d", type);
    // A pausing menu's wait is as long as a full cycle.
    if (sleepMs == 3000 && !FirstOpenPauseMenu()) {
      const uint8_t published = gLightningState->weatherLightningFreq.load();
      const uint8_t floor = gLightningState->minLightningFrequency.load();
      FUZZ_CHECK(published >= floor, "published %u below the floor %u", published, floor);
      const bool night = world.hour < 5.0f || world.hour > 19.0f;
      FUZZ_CHECK(gLightningState->isNight.load() == night, "hour %g left the art at %s",
                 static_cast<double>(world.hour), night ? "day" : "night");
    }
    fuzzsupport::CheckDouble();
    if (in.ConsumeBool()) {  // the weather moves on between cycles
      world.transition = fuzzsupport::ConsumeFloat(in);
      fuzzsupport::ApplyWorld(game, world);
    }
  }

  for (const std::string& menu : menus) fuzzsupport::SendMenu(game, menu, false);
  fuzzsupport::CheckDouble();
  fuzzsupport::BoundLog();
  return 0;
}
