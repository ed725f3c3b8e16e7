// The weather monitor's cycle against a simulated world.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "game/id_tables.h"
#include "game/plugin_forms.h"
#include "game/world.h"
#include "lightning/lightning_state.h"
#include "lightning/storm_policy.h"
#include "lightning/weather_monitor.h"
#include "settings/settings.h"
#include "support/allocation_counter.h"
#include "support/in_process.h"
#include "support/threads.h"
#include "support/trace_query.h"

using namespace NimbrelVR;
using nimbrel_sim::DefaultWeather;
using testsupport::HasLine;

namespace {

std::mutex gStartedMutex;
std::vector<LightningType> gStarted;

void RecordStart(LightningType type) {
  std::lock_guard lock(gStartedMutex);
  gStarted.push_back(type);
}

std::vector<LightningType> Started() {
  std::lock_guard lock(gStartedMutex);
  return gStarted;
}

std::vector<LightningType> gEnded;
void RecordEnd(LightningType type) { gEnded.push_back(type); }
// A loop runs from its start until it is asked to end.
bool RunningSinceStarted(LightningType type) {
  const auto started = Started();
  return std::count(started.begin(), started.end(), type) > std::count(gEnded.begin(), gEnded.end(), type);
}

class Monitor : public ::testing::Test {
 protected:
  void SetUp() override {
    world_.StartWithDefaults();
    ASSERT_TRUE(ResolvePluginForms());
    ScanMinLightningFrequency();  // the default data's thunderstorm: 30
    gLightningState->weatherLightningFreq.exchange(255);
    SetEffectsLoopStarter(&RecordStart);
  }
  nimbrel_sim::GameDouble& game() { return world_.game(); }
  uint32_t Id(DefaultWeather weather) { return game().data().weatherId(weather); }
  uint32_t Cycle() { return RunMonitorCycle(memory_); }
  static int Published() { return gLightningState->weatherLightningFreq.load(); }
  static int Running() { return gLightningState->effectsRunning.load(); }
  std::string Log() const { return world_.Log(); }
  std::string FirstSheetArtPath() {
    return game().data().modelPath(game().data().pluginFormId(sheetArtIds[0])).value_or("(null)");
  }

  testsupport::InProcessGame world_;
  MonitorMemory memory_;
};

}  // namespace

TEST_F(Monitor, AStormFadesInOverFifteenCyclesAndStartsBothLoops) {
  game().world().setWeather(Id(DefaultWeather::Rain), 0, 1.0f);
  // The fade's arithmetic is the unit test's; here, that each cycle takes one step of it.
  std::vector<int> published;
  for (int i = 0; i < 15; ++i) {
    EXPECT_EQ(Cycle(), 3000u);
    published.push_back(Published());
  }
  EXPECT_TRUE(std::is_sorted(published.rbegin(), published.rend())) << ::testing::PrintToString(published);
  EXPECT_EQ(published.front(), 242);
  EXPECT_EQ(published.back(), 60);
  EXPECT_EQ(Started(), (std::vector<LightningType>{Sheet, Fork}));  // once, on the first cycle
  EXPECT_EQ(Running(), 1);
  EXPECT_TRUE(HasLine(Log(), "weatherLightningFreq: 60 curFreq: 60 outFreq:255 Transition: 1")) << Log();
}

TEST_F(Monitor, UntilTheTransitionEndsTheArrivingStormHasNoLightning) {
  game().world().setWeather(Id(DefaultWeather::Rain), Id(DefaultWeather::Clear), 0.999f);
  Cycle();
  EXPECT_EQ(Published(), 255);
  EXPECT_EQ(Running(), 0);
  EXPECT_TRUE(Started().empty());
  game().world().setWeather(Id(DefaultWeather::Rain), 0, 1.0f);
  Cycle();
  EXPECT_EQ(Published(), 242);
}

TEST_F(Monitor, ALeavingStormFadesOutAndStartsNoLoop) {
  game().world().setWeather(Id(DefaultWeather::Clear), Id(DefaultWeather::Rain), 0.29f);
  Cycle();
  EXPECT_EQ(Published(), 116);
  EXPECT_EQ(Running(), 1);
  EXPECT_TRUE(Started().empty());
  EXPECT_TRUE(HasLine(Log(), "Enabling lightning effects..."));
  game().world().setWeather(Id(DefaultWeather::Clear), Id(DefaultWeather::Rain), 0.3f);
  Cycle();
  EXPECT_EQ(Published(), 255);
  EXPECT_EQ(Running(), 0);
}

TEST_F(Monitor, TwoStormsBlendTheirOwnFrequencies) {
  game().data().addWeather(0x000A0001, 0x04, 120);
  game().world().setWeather(Id(DefaultWeather::Rain), 0x000A0001, 0.5f);
  Cycle();
  EXPECT_EQ(memory_.curFreq, 60);
  EXPECT_EQ(memory_.outFreq, 120);
  EXPECT_EQ(Published(), 90);
}

TEST_F(Monitor, CompatibilityModeTakesTheClassOfTheOutgoingWeather) {
  Set(IntSetting::CompatibilityMode, 1);
  game().world().setWeather(Id(DefaultWeather::Cloudy), Id(DefaultWeather::Rain), 0.5f);
  Cycle();
  EXPECT_EQ(memory_.curFreq, 50);
  EXPECT_EQ(memory_.outFreq, 50);
  EXPECT_EQ(Published(), 50);
  EXPECT_EQ(gLightningState->minLightningFrequency.load(), 50);
  game().world().setWeather(Id(DefaultWeather::Rain), Id(DefaultWeather::Cloudy), 0.5f);
  Cycle();
  EXPECT_EQ(memory_.curFreq, 200);
  EXPECT_EQ(memory_.outFreq, 200);
}

TEST_F(Monitor, DayRunsFromFiveToNineteenInclusive) {
  const struct {
    float hour;
    bool night;
  } hours[] = {{12.0f, false}, {19.0f, false}, {19.01f, true}, {4.99f, true}, {5.0f, false}, {4.99f, true}};
  for (const auto& h : hours) {
    FollowTimeOfDay(h.hour);
    EXPECT_EQ(gLightningState->isNight.load(), h.night) << h.hour;
  }
  EXPECT_TRUE(HasLine(Log(), "Switching to day time: 12"));
  EXPECT_TRUE(HasLine(Log(), "Switching to night time: 19.01"));
  EXPECT_TRUE(HasLine(Log(), "Switching to night time: 4.99"));
}

TEST_F(Monitor, TheFirstDaytimeCycleSwitchesTheArtToDay) {
  game().world().setWeather(Id(DefaultWeather::Clear), 0, 1.0f);
  ASSERT_EQ(FirstSheetArtPath().rfind("magic\\", 0), 0u);
  Cycle();
  EXPECT_EQ(FirstSheetArtPath().rfind("magic\\daytime\\", 0), 0u) << FirstSheetArtPath();
  for (uint32_t local : forkArtIds) {
    EXPECT_EQ(game().data().modelPath(game().data().pluginFormId(local)).value_or("").rfind("magic\\daytime\\", 0), 0u);
  }
  game().world().setGameHour(22.0f);
  Cycle();
  EXPECT_EQ(FirstSheetArtPath().rfind("magic\\daytime\\", 0), std::string::npos);
  EXPECT_EQ(FirstSheetArtPath().rfind("magic\\", 0), 0u);
}

TEST_F(Monitor, TheFirstNightCycleLeavesTheArtAlone) {
  game().world().setWeather(Id(DefaultWeather::Clear), 0, 1.0f);
  game().world().setGameHour(23.0f);
  Cycle();
  for (uint32_t local : sheetArtIds) EXPECT_EQ(game().data().modelPathSets(game().data().pluginFormId(local)), 0u);
  EXPECT_EQ(Log().find("Switching to"), std::string::npos);
}

TEST_F(Monitor, AWeatherWithoutLightningTurnsEffectsOff) {
  game().data().addWeather(0x000A0002, 0x04, 255);
  gLightningState->effectsRunning.exchange(1);
  game().world().setWeather(0x000A0002, 0, 1.0f);
  Cycle();
  EXPECT_EQ(Published(), 255);
  EXPECT_EQ(Running(), 0);
}

TEST_F(Monitor, AFrequencyBelowTheFloorIsRaisedWithAWarningUnlessExempt) {
  const auto below = [&](void* weather, uint8_t published) {
    gLightningState->weatherLightningFreq.exchange(published);
    const std::string before = Log();
    EnforceFloor(weather);
    EXPECT_EQ(Published(), 30);
    return Log().substr(before.size());
  };
  game().data().addWeather(0x000A0003, 0x04, 0);
  EXPECT_TRUE(HasLine(below(game().data().findForm(0x000A0003), 0),
                      "This could be a bug: weatherLightningFreq: 0 minLightningFrequency: 30. Fixing it manually."));
  game().data().addWeather(0x000ECC96, 0x04, 0);  // an exempt weather: raised silently
  EXPECT_EQ(below(game().data().findForm(0x000ECC96), 0), "");
  // Without a current weather there is nothing exempt to excuse it.
  EXPECT_TRUE(HasLine(below(nullptr, 10),
                      "This could be a bug: weatherLightningFreq: 10 minLightningFrequency: 30. Fixing it manually."));
  gLightningState->weatherLightningFreq.exchange(31);
  EnforceFloor(nullptr);
  EXPECT_EQ(Published(), 31);
}

TEST_F(Monitor, TheFloorAppliesOnEveryFullCycleWhateverTheWeatherWants) {
  game().world().setWeather(0, 0, 1.0f);
  gLightningState->weatherLightningFreq.exchange(10);
  Cycle();
  EXPECT_EQ(Published(), 30);
  EXPECT_TRUE(HasLine(Log(), "weatherLightningFreq: 30 curFreq: 255 outFreq:255 Transition: 1")) << Log();
}

TEST_F(Monitor, WhenNoWeatherWantsLightningThePublishedValueStays) {
  game().world().setWeather(Id(DefaultWeather::Rain), 0, 1.0f);
  Cycle();
  ASSERT_EQ(Published(), 242);
  game().world().setWeather(Id(DefaultWeather::Clear), 0, 1.0f);
  Cycle();
  EXPECT_EQ(Published(), 242);
  EXPECT_EQ(Running(), 0);
  // The line shows the frequencies last computed.
  EXPECT_TRUE(HasLine(Log(), "weatherLightningFreq: 242 curFreq: 60 outFreq:255 Transition: 1")) << Log();
}

TEST_F(Monitor, LoopsStartOnlyWhenEffectsGoFromOffToOn) {
  Set(IntSetting::EnableFork, 0);
  game().world().setWeather(Id(DefaultWeather::Rain), 0, 1.0f);
  Cycle();
  EXPECT_EQ(Started(), (std::vector<LightningType>{Sheet}));
  Set(IntSetting::EnableFork, 1);
  Cycle();
  EXPECT_EQ(Started(), (std::vector<LightningType>{Sheet}));
  game().world().sendMenuEvent("MapMenu", true);
  EXPECT_EQ(Cycle(), 3000u);
  EXPECT_EQ(Running(), 0);
  game().world().sendMenuEvent("MapMenu", false);
  Cycle();
  EXPECT_EQ(Started(), (std::vector<LightningType>{Sheet, Sheet, Fork}));
}

TEST_F(Monitor, EveryWaitClearsEffectsAndSleepsItsTime) {
  game().world().setWeather(Id(DefaultWeather::Rain), 0, 1.0f);
  const auto expectWait = [&](uint32_t ms, const char* line) {
    gLightningState->effectsRunning.exchange(1);
    EXPECT_EQ(Cycle(), ms) << line;
    EXPECT_EQ(Running(), 0) << line;
    if (*line) {
      EXPECT_TRUE(HasLine(Log(), line)) << line;
    }
  };
  game().world().setPlayerHolderPresent(false);
  expectWait(5000, "player null. Waiting for 5seconds");
  game().world().setPlayerHolderPresent(true);
  game().world().setPlayerHas3D(false);
  expectWait(5000, "player null. Waiting for 5seconds");
  game().world().setPlayerHas3D(true);
  game().world().setPlayerCellNull();
  const std::string before = Log();
  expectWait(50, "");  // a short rest, no line: every load passes here
  EXPECT_EQ(Log(), before);
  game().world().enterInterior();
  expectWait(5000, "In interior cell. Waiting for 5 seconds");
  game().world().enterExterior(0x69857);
  expectWait(5000, "In interior cell world. Waiting for 5 seconds");
  game().world().enterExterior();
  game().world().sendMenuEvent("Loading Menu", true);
  const std::string beforeMenu = Log();
  expectWait(3000, "");
  EXPECT_EQ(Log(), beforeMenu);
  game().world().sendMenuEvent("Loading Menu", false);
  game().world().sendMenuEvent("HUD Menu", true);  // tracked, but never holds lightning off
  game().world().setSkyPresent(false);
  expectWait(5000, "Sky is null. waiting for 5 seconds.");
  game().world().setSkyPresent(true);
  EXPECT_EQ(Cycle(), 3000u);
  EXPECT_EQ(Running(), 1);
}

TEST_F(Monitor, DawnguardWorldspacesCountAsInteriorsAfterALoad) {
  const uint32_t dawnguardWorld = game().data().dawnguardFormId(0x4BEA);
  game().world().enterExterior(dawnguardWorld);
  EXPECT_EQ(Cycle(), 3000u);
  AppendDawnguardWorldspaces();
  EXPECT_EQ(Cycle(), 5000u);
  AppendDawnguardWorldspaces();
  EXPECT_EQ(InteriorWorldspaceCount(), 26u);
}

TEST_F(Monitor, ASteadyCycleAllocatesNothing) {
  game().world().setWeather(Id(DefaultWeather::Rain), 0, 1.0f);
  Cycle();  // the art switch and the loop start may allocate
  testsupport::AllocationCounter counter;
  for (int i = 0; i < 20; ++i) Cycle();
  if (!testsupport::AllocationCounter::Available()) GTEST_SKIP() << "allocations are not counted under sanitizers";
  EXPECT_EQ(counter.Count(), 0u);
}

TEST_F(Monitor, TheFirstClassBitInOrderDecidesWhatAWeatherWants) {
  const auto wants = [&](uint8_t flags) {
    static uint32_t id = 0x000A0100;
    game().data().addWeather(++id, flags, 40);
    game().world().setWeather(id, 0, 1.0f);
    SkyReading reading;
    EXPECT_TRUE(ReadSky(game::Sky(), memory_, &reading));
    return std::vector<bool>{reading.cur.sheet, reading.cur.fork};
  };
  const std::vector<bool> none{false, false}, sheet{true, false}, fork{false, true}, both{true, true};
  // The defaults: rain both, clouds and snow sheets only.
  EXPECT_EQ(wants(0x04), both);
  EXPECT_EQ(wants(0x02), sheet);
  EXPECT_EQ(wants(0x08), sheet);
  // Settings that tell the classes apart: rainy forks only, cloudy both, snowy sheets only.
  Set(IntSetting::EnableSheet, 0);
  Set(IntSetting::EnableCloudyFork, 1);
  EXPECT_EQ(wants(0x05), none);  // pleasant first
  EXPECT_EQ(wants(0x06), both);  // cloudy before rainy
  EXPECT_EQ(wants(0x0A), both);
  EXPECT_EQ(wants(0x0C), fork);  // rainy before snowy
  EXPECT_EQ(wants(0x08), sheet);
  EXPECT_EQ(wants(0x00), none);
}

TEST_F(Monitor, OnlyTheCurrentWeathersWantsStartLoops) {
  SkyReading sky;
  sky.out = {true, true};
  gLightningState->weatherLightningFreq.exchange(60);
  StartOrStopEffects(sky, memory_);  // the outgoing weather keeps lightning wanted, and starts nothing
  EXPECT_EQ(Running(), 1);
  EXPECT_TRUE(Started().empty());
  sky.cur = {false, true};
  StartOrStopEffects(sky, memory_);  // already running: nothing more
  EXPECT_TRUE(Started().empty());
  gLightningState->weatherLightningFreq.exchange(255);
  StartOrStopEffects(sky, memory_);
  EXPECT_EQ(Running(), 0);
  gLightningState->weatherLightningFreq.exchange(60);
  StartOrStopEffects(sky, memory_);
  EXPECT_EQ(Started(), (std::vector<LightningType>{Fork}));
}

TEST_F(Monitor, OnceTheWeatherChangesTheLoopsFollowItUntilTheNextClear) {
  SetEffectsLoopWatch({&RunningSinceStarted, &RecordEnd});
  int cloudy = 0, rain = 0;  // the monitor only compares the weathers
  SkyReading sky;
  sky.current = &cloudy;
  sky.cur = {true, false};
  sky.transition = 1.0f;
  gLightningState->weatherLightningFreq.exchange(60);
  const auto cycle = [&] { StartOrStopEffects(sky, memory_); };
  using Kinds = std::vector<LightningType>;
  cycle();
  EXPECT_EQ(Started(), Kinds{Sheet});
  sky.cur.fork = true;  // EnableCloudyFork switched on in unchanged weather: waits for the next clear
  cycle();
  EXPECT_EQ(Started(), Kinds{Sheet});

  // Rain becomes current: its forks start, the running sheet loop stays.
  sky = {&rain, &cloudy, {true, true}, {true, false}, 12.0f, 0.2f};
  cycle();
  cycle();
  EXPECT_EQ(Started(), (Kinds{Sheet, Fork}));
  // Clouds again: the outgoing rain holds the forks until its transition is done.
  sky = {&cloudy, &rain, {true, false}, {true, true}, 12.0f, 0.5f};
  cycle();
  EXPECT_TRUE(gEnded.empty());
  sky.transition = 1.0f;
  cycle();
  EXPECT_EQ(gEnded, Kinds{Fork});
  // A kind with a rate of 0 gets no loop; once the rate is back, it does.
  sky.cur.fork = true;
  Set(FloatSetting::ForkFrequency, 0.0f);
  cycle();
  EXPECT_EQ(Started(), (Kinds{Sheet, Fork}));
  Set(FloatSetting::ForkFrequency, 50.0f);
  cycle();
  EXPECT_EQ(Started(), (Kinds{Sheet, Fork, Fork}));

  // After a clear the weather counts as unchanged again.
  sky.cur = {true, false};
  gLightningState->weatherLightningFreq.exchange(255);
  cycle();
  EXPECT_EQ(Running(), 0);
  gEnded.assign({Fork, Sheet, Fork});  // the cleared window's loops end by themselves
  gLightningState->weatherLightningFreq.exchange(60);
  cycle();
  sky.cur.fork = true;
  cycle();
  EXPECT_EQ(Started(), (Kinds{Sheet, Fork, Fork, Sheet}));
  EXPECT_EQ(gEnded.size(), 3u);  // and nothing was asked to end
  SetEffectsLoopWatch({nullptr, nullptr});
}

TEST(MonitorThread, WithThePlayerInNoCellItRestsBetweenLooks) {
  nimbrel_sim::Options options;
  options.timeScale = 10.0;  // 30 simulated seconds in 3
  testsupport::InProcessGame world(options);
  world.StartWithDefaults();
  auto& game = world.game();
  ASSERT_TRUE(ResolvePluginForms());
  game.world().setPlayerCellNull();  // as during every load
  ASSERT_TRUE(StartWeatherMonitor());
  int tid = 0;
  for (int i = 0; i < 1000 && !tid; ++i) {
    tid = testsupport::FindThread("nb-monitor");
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_NE(tid, 0) << "the monitor thread carries its name";
  const auto sleepUntil = [&](double simulatedMs) {
    while (game.world().simulatedMs() < simulatedMs) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  };

  const double start = game.world().simulatedMs();
  const double cpuStart = testsupport::ThreadCpuSeconds(tid);
  const uint32_t epochStart = gLightningState->effectsEpoch.load();
  // It still looks often: effects switched on behind its back go off within a few looks.
  sleepUntil(start + 10000.0);
  BeginEffectsWindow();
  sleepUntil(start + 10300.0);
  EXPECT_EQ(gLightningState->effectsRunning.load(), 0);
  sleepUntil(start + 30000.0);
  const double cpu = testsupport::ThreadCpuSeconds(tid) - cpuStart;
  const double seconds = (game.world().simulatedMs() - start) / 1000.0;
  const uint32_t looks = gLightningState->effectsEpoch.load() - epochStart - 1;  // every look ends the window

  std::printf("no-cell wait: %.1f ms CPU in %.1f simulated s (%.3f %% of a core), %u looks\n", cpu * 1000.0, seconds,
              100.0 * cpu / seconds, looks);
  EXPECT_GE(cpu, 0.0);
  EXPECT_LT(cpu / seconds, 0.01);
  EXPECT_GE(looks, 100u);                                       // at least one look every 300 ms
  EXPECT_LE(looks, static_cast<uint32_t>(seconds * 20.0) + 2);  // at most one every 50 ms
}
