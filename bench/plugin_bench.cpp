// Speed of the plug-in's hot paths, in the release build:
//   build/release/bin/nimbrel_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>
#include <time.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "events/sinks.h"
#include "game/address_library.h"
#include "game/checked_reads.h"
#include "game/id_tables.h"
#include "game/plugin_forms.h"
#include "game/stand_down.h"
#include "game/type_check.h"
#include "lightning/effects_loop.h"
#include "lightning/lightning_state.h"
#include "lightning/random.h"
#include "lightning/storm_policy.h"
#include "lightning/strike_execution.h"
#include "lightning/strike_positions.h"
#include "lightning/weather_monitor.h"
#include "log/debug_log.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "support/allocation_counter.h"
#include "support/fake_game.h"
#include "support/fake_rtti.h"
#include "support/in_process.h"
#include "support/real_data.h"

using namespace NimbrelVR;

namespace {

// One simulated game for the whole program, with a storm overhead.
testsupport::InProcessGame& World() {
  static testsupport::InProcessGame* world = [] {
    nimbrel_sim::Options options;
    options.timeScale = 1000.0;  // the strike's own sleeps cost next to nothing
    auto* w = new testsupport::InProcessGame(options);
    w->StartWithDefaults();
    ResolvePluginForms();
    ScanMinLightningFrequency();
    // Only failures in the log: the benchmarks measure the work, not the disk.
    Set(IntSetting::EnableLog, 0);
    w->game().world().setWeather(w->game().data().weatherId(nimbrel_sim::DefaultWeather::Thunderstorm), 0, 1.0f);
    return w;
  }();
  return *world;
}

void NoLoops(LightningType) {}

double ThreadCpuNs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return now.tv_sec * 1e9 + now.tv_nsec;
}

// One monitor cycle with every check passing: the plug-in's checked reads
// over the tests' small fake game (tests/support/fake_game), laid out with
// its type information, without the double's bookkeeping.
void BM_MonitorCycleChecked(benchmark::State& state) {
  testsupport::FakeGame game;
  SetEffectsLoopStarter(&NoLoops);
  Set(IntSetting::EnableLog, 0);
  gLightningState->minLightningFrequency.store(30);
  MonitorMemory memory;
  if (RunMonitorCycle(memory) != 3000) state.SkipWithError("the first cycle does not pass its checks");
  testsupport::AllocationCounter allocations;
  for (auto _ : state) benchmark::DoNotOptimize(RunMonitorCycle(memory));
  if (game::StoodDown()) state.SkipWithError("a check failed");
  state.counters["allocs_per_cycle"] =
      benchmark::Counter(static_cast<double>(allocations.Count()), benchmark::Counter::kAvgIterations);
  SetEffectsLoopStarter(nullptr);
  EndEffectsWindow();
}
BENCHMARK(BM_MonitorCycleChecked);

// The checks of one cycle alone: the player, its cell and worldspace, the
// sky, its two weathers and its two floats, each a repeat of the object
// checked before.
void BM_MonitorChecks(benchmark::State& state) {
  testsupport::FakeGame game;
  const auto reads = [&game] {
    void* player = nullptr;
    void* cell = nullptr;
    void* worldspace = nullptr;
    void* sky = nullptr;
    void* current = nullptr;
    void* outgoing = nullptr;
    float hour = 0.0f, transition = 0.0f;
    return game::CheckedPlayer(&player) && game::CheckedPlayerCell(player, &cell) &&
           game::CheckedCellWorldspace(cell, &worldspace) && game::CheckedSky(&sky) &&
           game::CheckedSkyWeathers(sky, &current, &outgoing) && game::CheckedSkyTime(sky, &hour, &transition) &&
           outgoing == game.weathers[1];
  };
  if (!reads()) state.SkipWithError("the checks do not pass");
  for (auto _ : state) benchmark::DoNotOptimize(reads());
  // Six type checks (the floats aside): the time of one.
  state.counters["per_check"] =
      benchmark::Counter(6, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_MonitorChecks);

// The checked records beside the monitor's, over the same fake game: the
// day/night art's check of one effect-art form's model component (a part at
// +0x40) with the write of its fade duration, a hit event's target and the
// player's lookup (the hit sink's whole path for a hit the plug-in ignores),
// and a form list's entries at resolution, repeat and first.
void BM_CheckedArtForm(benchmark::State& state) {
  testsupport::FakeGame game;
  void* component = nullptr;
  const auto switchOne = [&] {
    return game::CheckedModelComponent(game.effectArt, testsupport::FakeGame::kEffectArtId, &component) &&
           game::CheckedSetFadeDuration(game.effectArt, testsupport::FakeGame::kEffectArtId, 1.5f);
  };
  if (!switchOne()) state.SkipWithError("the effect art does not pass");
  for (auto _ : state) benchmark::DoNotOptimize(switchOne());
  // A switch of the day/night art checks the 29 forms of both lists.
  state.counters["per_switch_of_29"] =
      benchmark::Counter(1.0 / 29, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_CheckedArtForm);

void BM_CheckedHitEvent(benchmark::State& state) {
  testsupport::FakeGame game;
  HitEventHandler& sink = *gHitEventHandler;
  const auto* event = static_cast<const TESHitEvent*>(game.hitEvent);
  for (auto _ : state) benchmark::DoNotOptimize(sink.ReceiveEvent(event, nullptr));
  if (game::StoodDown()) state.SkipWithError("a check failed");
}
BENCHMARK(BM_CheckedHitEvent);

void BM_CheckedFormList(benchmark::State& state) {
  const bool first = state.range(0) == 1;
  auto game = std::make_unique<testsupport::FakeGame>();
  std::span<void* const> entries;
  for (auto _ : state) {
    if (first) {
      // A new game: new descriptors, so each guard walks its first object.
      state.PauseTiming();
      game.reset();
      game = std::make_unique<testsupport::FakeGame>();
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(
        game::CheckedFormListEntries(game->formList, testsupport::FakeGame::kFormListId, &entries));
  }
  if (entries.size() != 3 || game::StoodDown()) state.SkipWithError("the form list does not pass");
}
BENCHMARK(BM_CheckedFormList)->ArgName("first")->Arg(0)->Arg(1);

void BM_MonitorCycle(benchmark::State& state) {
  World();
  SetEffectsLoopStarter(&NoLoops);
  MonitorMemory memory;
  RunMonitorCycle(memory);  // the first cycle switches the art and starts effects
  testsupport::AllocationCounter allocations;
  for (auto _ : state) benchmark::DoNotOptimize(RunMonitorCycle(memory));
  // A stood-down cycle returns at once: its time would mean nothing.
  if (game::StoodDown()) state.SkipWithError("a check failed against the double");
  state.counters["allocs_per_cycle"] =
      benchmark::Counter(static_cast<double>(allocations.Count()), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_MonitorCycle);

// The same with the default log level: two detail lines written and flushed
// to the log file per cycle.
void BM_MonitorCycleLogged(benchmark::State& state) {
  World();
  SetEffectsLoopStarter(&NoLoops);
  MonitorMemory memory;
  RunMonitorCycle(memory);
  Set(IntSetting::EnableLog, 2);
  testsupport::AllocationCounter allocations;
  for (auto _ : state) benchmark::DoNotOptimize(RunMonitorCycle(memory));
  state.counters["allocs_per_cycle"] =
      benchmark::Counter(static_cast<double>(allocations.Count()), benchmark::Counter::kAvgIterations);
  Set(IntSetting::EnableLog, 0);
}
BENCHMARK(BM_MonitorCycleLogged);

void BM_RandomInRange(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(RandomInRange(0, 360));
}
BENCHMARK(BM_RandomInRange);

void BM_DrawChainChildCount(benchmark::State& state) {
  World();
  for (auto _ : state) benchmark::DoNotOptimize(DrawChainChildCount());
}
BENCHMARK(BM_DrawChainChildCount);

// A detail line that the log level filters out: it must cost no formatting.
void BM_FilteredLogLine(benchmark::State& state) {
  World();
  for (auto _ : state) PluginLog(2, "weatherLightningFreq: %d curFreq: %d outFreq:%d Transition: %g", 30, 30, 255, 1.0);
}
BENCHMARK(BM_FilteredLogLine);

void BM_SheetPlacement(benchmark::State& state) {
  World();
  for (auto _ : state) benchmark::DoNotOptimize(GenerateStrikePositions(Sheet, 100.0f));
}
BENCHMARK(BM_SheetPlacement);

void BM_ForkPlacement(benchmark::State& state) {
  World();
  for (auto _ : state) benchmark::DoNotOptimize(GenerateStrikePositions(Fork, 100.0f));
}
BENCHMARK(BM_ForkPlacement);

void BM_ChainPlacement(benchmark::State& state) {
  World();
  const game::Position player{0.0f, 0.0f, 100.0f};
  for (auto _ : state) benchmark::DoNotOptimize(GenerateChainPositions(static_cast<int>(state.range(0)), player));
}
BENCHMARK(BM_ChainPlacement)->Arg(2)->Arg(7);

// The plug-in's own CPU for one fork strike: placement, two moves queued and
// awaited, the spell chosen and the cast queued. The strike thread's CPU
// clock leaves out its sleeps and the game's main thread.
void BM_SingleStrikeCpu(benchmark::State& state) {
  auto& world = World();
  BeginEffectsWindow();
  gLightningState->weatherLightningFreq.exchange(30);
  Set(IntSetting::ForkDistanceMax, 0);  // near: the references arrive at once
  Set(IntSetting::EnableLog, static_cast<int32_t>(state.range(0)));
  for (auto _ : state) {
    const double before = ThreadCpuNs();
    RunSingleStrike(Fork, &gPluginForms->forkCasters, &gPluginForms->forkTargets, 0, 0);
    state.SetIterationTime((ThreadCpuNs() - before) / 1e9);
  }
  Set(IntSetting::EnableLog, 0);
  world.game().host().drainTasks();
}
// Argument: the EnableLog level (2 writes and flushes four lines per strike).
BENCHMARK(BM_SingleStrikeCpu)->ArgName("log")->Arg(0)->Arg(2)->UseManualTime()->Iterations(300);

// The same for a chain of 7 sheet strikes: seven caster moves and seven
// target moves queued and awaited one by one, then seven casts.
void BM_ChainStrikeCpu(benchmark::State& state) {
  auto& world = World();
  BeginEffectsWindow();
  gLightningState->weatherLightningFreq.exchange(30);
  Set(IntSetting::SheetDistanceMin, 0);  // near: the references arrive at once
  Set(IntSetting::SheetDistanceMax, 0);
  const int count = static_cast<int>(state.range(0));
  std::vector<uint32_t> casters, targets;
  for (int i = 0; i < count; ++i) {
    casters.push_back(static_cast<uint32_t>(i) % gPluginForms->sheetCasters.size());
    targets.push_back(static_cast<uint32_t>(i) % gPluginForms->sheetTargets.size());
  }
  for (auto _ : state) {
    std::vector<uint32_t> c = casters, t = targets;  // the loop hands over its own lists
    const double before = ThreadCpuNs();
    RunChainStrike(std::move(c), std::move(t), count);
    state.SetIterationTime((ThreadCpuNs() - before) / 1e9);
  }
  world.game().host().drainTasks();
  Set(IntSetting::SheetDistanceMin, 1);
  Set(IntSetting::SheetDistanceMax, 7);
}
BENCHMARK(BM_ChainStrikeCpu)->Arg(7)->UseManualTime()->Iterations(100);

// The effects loop's real pacing at the fastest rate against the formula's
// mean of 1000 / rate ms (ratio 1): the loop itself, on the real clock.
constexpr int kPacedLaunches = 500;
int gPacedLaunches = 0;

void BM_FastestRateMeanWait(benchmark::State& state) {
  World();
  setenv("NIMBREL_TIME_SCALE", "1", 1);
  gLightningState->minLightningFrequency.store(30);
  gLightningState->weatherLightningFreq.exchange(30);
  Set(FloatSetting::ChainLightningPercentage, 0.0f);
  const StrikeLauncher counter{[](LightningType, const FormSequence*, const FormSequence*, uint32_t, uint32_t) {
                                 if (++gPacedLaunches == kPacedLaunches + 1) EndEffectsWindow();
                               },
                               [](std::vector<uint32_t>, std::vector<uint32_t>, int) {}};
  for (auto _ : state) {
    BeginEffectsWindow();
    gPacedLaunches = 0;
    const auto start = std::chrono::steady_clock::now();
    RunEffectsLoop(Fork, counter);
    // From the loop's start to its last launch: kPacedLaunches + 1 waits.
    const double meanMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() /
                          (kPacedLaunches + 1);
    state.counters["mean_wait_ms"] = meanMs;
    state.counters["formula_ms"] = 1000.0 / Get(FloatSetting::ForkFrequency);
    state.counters["deviation_pct"] = (meanMs / (1000.0 / Get(FloatSetting::ForkFrequency)) - 1.0) * 100.0;
  }
}
BENCHMARK(BM_FastestRateMeanWait)->Iterations(1)->Unit(benchmark::kMillisecond);

// The query's read of the real 1.5.97 Address Library database (778,674
// entries), from its bytes in memory to the table, and a lookup in it.
void BM_ParseAddressLibrary(benchmark::State& state) {
  // Where the tests find it: NIMBREL_ADDRESS_LIBRARY_DIR, else beside the project.
  std::string missing;
  const std::string path = testsupport::RealAddressLibraryFile("version-1-5-97-0.bin", &missing);
  if (path.empty()) {
    state.SkipWithError(missing.c_str());
    return;
  }
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  game::AddressTable table;
  for (auto _ : state) {
    const game::Problem problem = game::ParseAddressLibrary(bytes, 0x01050610, &table);
    if (problem.any()) {
      state.SkipWithError(problem.text);
      return;
    }
    benchmark::DoNotOptimize(table.size());
  }
  uint64_t offset = 0;
  if (table.Find(14461, &offset) != game::AddressTable::Lookup::Found || offset != 0x194230)
    state.SkipWithError("id 14461 is not at 0x194230");
  state.counters["entries"] = static_cast<double>(table.size());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_ParseAddressLibrary)->Unit(benchmark::kMillisecond);

// The type check on this process's own memory, with the platform's real
// readability queries: a class written into the program's image as the
// compiler lays it out, a player four bases deep and one with the 32 bases
// of a class that listens to many events, and objects on the heap.
alignas(4096) uint8_t gRttiImage[0x3000];

struct TypeCheckWorld {
  game::TypeScope scope;
  uintptr_t expected;            // TESForm's descriptor
  uint64_t* objects[2][2] = {};  // [deep][which]: two objects of each class
};

const TypeCheckWorld& TypeChecks() {
  static const TypeCheckWorld* world = [] {
    auto* w = new TypeCheckWorld{game::GameScope(), 0};
    testsupport::RttiWriter writer(gRttiImage, sizeof gRttiImage, reinterpret_cast<uintptr_t>(gRttiImage),
                                   w->scope.imageBase);
    w->expected = writer.Descriptor(".?AVTESForm@@");
    std::vector<uintptr_t> bases;
    for (const char* name : {".?AVCharacter@@", ".?AVActor@@", ".?AVTESObjectREFR@@"})
      bases.push_back(writer.Descriptor(name));
    bases.push_back(w->expected);
    const uintptr_t player = writer.Descriptor(".?AVPlayerCharacter@@");
    const uintptr_t shallow = writer.Define(player, bases).vtable;
    for (int i = 0; bases.size() < 31; ++i)
      bases.insert(bases.begin(), writer.Descriptor((".?AVSink" + std::to_string(i) + "@@").c_str()));
    const uintptr_t deep = writer.Define(player, bases).vtable;
    for (int which = 0; which < 2; ++which) {
      w->objects[0][which] = new uint64_t{shallow};
      w->objects[1][which] = new uint64_t{deep};
    }
    return w;
  }();
  return *world;
}

uintptr_t Address(const uint64_t* object) { return reinterpret_cast<uintptr_t>(object); }

// A repeat check of the object checked last: its first word and a compare.
void BM_TypeCheckRepeat(benchmark::State& state) {
  const TypeCheckWorld& world = TypeChecks();
  game::TypeGuard guard;
  guard.Expect(world.expected);
  const uintptr_t object = Address(world.objects[0][0]);
  if (!guard.Check(world.scope, object)) state.SkipWithError("the object does not pass");
  for (auto _ : state) benchmark::DoNotOptimize(guard.Check(world.scope, object));
}
BENCHMARK(BM_TypeCheckRepeat);

// Another object each time, of a class already verified: a readability
// query of its first word and a compare.
void BM_TypeCheckKnownVtable(benchmark::State& state) {
  const TypeCheckWorld& world = TypeChecks();
  game::TypeGuard guard;
  guard.Expect(world.expected);
  if (!guard.Check(world.scope, Address(world.objects[0][0]))) state.SkipWithError("the object does not pass");
  int which = 0;
  for (auto _ : state) benchmark::DoNotOptimize(guard.Check(world.scope, Address(world.objects[0][which ^= 1])));
}
BENCHMARK(BM_TypeCheckKnownVtable);

// A guard's first check: the object's first word, then the whole walk from
// the vtable through the locator and the hierarchy (5 or 32 classes).
void BM_TypeCheckFirst(benchmark::State& state) {
  const TypeCheckWorld& world = TypeChecks();
  const uintptr_t object = Address(world.objects[state.range(0) == 32][0]);
  game::TypeGuard guard;
  for (auto _ : state) {
    guard.Expect(world.expected);  // forgets what passed
    if (!guard.Check(world.scope, object)) state.SkipWithError("the object does not pass");
  }
}
BENCHMARK(BM_TypeCheckFirst)->ArgName("classes")->Arg(5)->Arg(32);

// The same read of a 1.7 database (format 5), built here as the real ones are
// laid out: a 96-byte header and a dense table of half a million ids, one in
// eight without an offset. What it keeps: 4 bytes an id.
void BM_ParseAddressLibraryV5(benchmark::State& state) {
  constexpr uint32_t kIds = 500000;
  std::vector<uint8_t> bytes;
  const auto put = [&bytes](uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
  };
  for (uint32_t value : {5u, 1u, 7u, 99u, 0u}) put(value);
  const char name[64] = "SkyrimSE.exe";
  bytes.insert(bytes.end(), name, name + sizeof name);
  for (uint32_t value : {8u, 0u, kIds}) put(value);
  for (uint32_t id = 0; id < kIds; ++id) put(id % 8 == 0 ? 0 : 0x1000 + 0x68 * id);

  game::AddressTable table;
  for (auto _ : state) {
    const game::Problem problem = game::ParseAddressLibrary(bytes, 0x01070630, &table);
    if (problem.any()) {
      state.SkipWithError(problem.text);
      return;
    }
    benchmark::DoNotOptimize(table.size());
  }
  uint64_t offset = 0;
  if (table.Find(14617, &offset) != game::AddressTable::Lookup::Found || offset != 0x1000 + 0x68 * 14617)
    state.SkipWithError("id 14617 is not where it was written");
  state.counters["ids"] = static_cast<double>(table.size());
  state.counters["table_MiB"] = static_cast<double>(table.size() * sizeof(uint32_t)) / (1 << 20);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_ParseAddressLibraryV5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
