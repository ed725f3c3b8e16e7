// What a storm costs the game's process: the plug-in at its fastest pacing
// (the published frequency at its lowest, so ratio 1, both loops on) against
// the same world with lightning off, on the process's CPU clock, which also
// counts strike threads that have already ended. Real time (time scale 1):
//   build/release/bin/nimbrel_storm_bench
// The double's instruments stay out: the trace is counted, not written (its
// formatted line per engine call would be billed to the strike threads), and
// the thread census, which reads every thread's name 50 times a second and
// so costs more the more threads are alive, does not run.
// Counters: core_pct (the storm's extra CPU in percent of one core), the two
// runs' own shares, its split between the storm's threads and the game's main
// thread, casts and moves per second, and per cast: CPU, voluntary context
// switches (sleeps and waits) and page faults; placement checks per second
// (checks_per_s: each failed one is a timed sleep of its strike). Every run
// also counts the storm threads' CPU per cast (storm_us_per_cast; per launch
// in the pacing-only run, which casts nothing) and the threads the process
// started per second (threads_per_s), counted where they are created.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <dlfcn.h>
#include <pthread.h>
#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "game/id_tables.h"
#include "game/plugin_forms.h"
#include "lightning/effects_loop.h"
#include "lightning/lightning_state.h"
#include "lightning/storm_policy.h"
#include "lightning/strike_pool.h"
#include "platform/platform.h"
#include "platform/process_wide.h"
#include "settings/settings.h"
#include "support/in_process.h"

using namespace NimbrelVR;

// Every thread the process starts, counted where the C library creates it, so
// that a thread made for a strike is counted however the plug-in makes it.
// Sanitizers bring their own pthread_create; there the count stays at -1.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define NIMBREL_COUNT_THREAD_STARTS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define NIMBREL_COUNT_THREAD_STARTS 0
#endif
#endif
#ifndef NIMBREL_COUNT_THREAD_STARTS
#define NIMBREL_COUNT_THREAD_STARTS 1
#endif

namespace {
std::atomic<long> gThreadsStarted{NIMBREL_COUNT_THREAD_STARTS ? 0 : -1};
}  // namespace

#if NIMBREL_COUNT_THREAD_STARTS
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                              void* arg) noexcept {
  using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static const auto create = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
  const int result = create(thread, attr, start, arg);
  if (result == 0) gThreadsStarted.fetch_add(1, std::memory_order_relaxed);
  return result;
}
#endif

namespace {

// The little this benchmark asks of the game double, in one place.
class StormWorld {
 public:
  StormWorld() : world_(RealTime()) {
    world_.StartWithDefaults();
    ResolvePluginForms();
    ScanMinLightningFrequency();
    world_.game().world().setWeather(world_.game().data().weatherId(nimbrel_sim::DefaultWeather::Thunderstorm), 0,
                                     1.0f);
  }
  double SimulatedMs() const { return world_.game().world().simulatedMs(); }
  size_t Casts() const { return world_.game().world().casts().size(); }
  size_t Moves() const { return world_.game().world().moves().size(); }
  // Placement checks: every one that fails costs its strike a timed sleep.
  size_t Checks() const { return world_.game().checks().callCount("CellAttachedNative"); }
  void DrainTasks() { world_.game().host().drainTasks(); }

 private:
  static nimbrel_sim::Options RealTime() {
    nimbrel_sim::Options options;
    options.timeScale = 1.0;
    options.trace = false;
    options.threadCensus = false;
    return options;
  }
  mutable testsupport::InProcessGame world_;
};

StormWorld& World() {
  static StormWorld* world = new StormWorld;
  return *world;
}

double ProcessCpuMs() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

int ThreadCount() {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (!status) return -1;
  char line[256];
  int threads = -1;
  while (std::fgets(line, sizeof line, status)) {
    if (std::strncmp(line, "Threads:", 8) == 0) threads = std::atoi(line + 8);
  }
  std::fclose(status);
  return threads;
}

// CPU time of the threads alive now (the game's main thread among them), in
// ms: what is left of the process's CPU was spent by the threads the storm
// started, the loops and the strike threads.
double LiveThreadsCpuMs() {
  double total = 0;
  DIR* tasks = opendir("/proc/self/task");
  if (!tasks) return 0;
  while (dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    char path[320];
    std::snprintf(path, sizeof path, "/proc/self/task/%s/schedstat", entry->d_name);
    if (FILE* stat = std::fopen(path, "r")) {
      unsigned long long onCpuNs = 0;
      if (std::fscanf(stat, "%llu", &onCpuNs) == 1) total += static_cast<double>(onCpuNs) / 1e6;
      std::fclose(stat);
    }
  }
  closedir(tasks);
  return total;
}

// Sleeps through `ms` of the double's simulated clock.
void LetTimePass(StormWorld& world, double ms) {
  const double end = world.SimulatedMs() + ms;
  while (world.SimulatedMs() < end) std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

struct Sample {
  double cpuMs;
  double threadsStarted;
  double elapsedMs;
  double oldThreadsCpuMs;  // the threads alive before the run (the game's among them)
  double sleeps;           // voluntary context switches: sleeps and waits, all threads
  double faults;           // minor page faults
};

struct Usage {
  double sleeps;
  double faults;
};

Usage ProcessUsage() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return {static_cast<double>(usage.ru_nvcsw), static_cast<double>(usage.ru_minflt)};
}

Sample LightningOff(StormWorld& world, double windowMs) {
  EndEffectsWindow();
  gLightningState->weatherLightningFreq.exchange(255);
  const double start = world.SimulatedMs();
  const double cpu = ProcessCpuMs();
  const double old = LiveThreadsCpuMs();
  const Usage usage = ProcessUsage();
  const long started = gThreadsStarted.load();
  LetTimePass(world, windowMs);
  const Usage after = ProcessUsage();
  return {ProcessCpuMs() - cpu,        static_cast<double>(gThreadsStarted.load() - started),
          world.SimulatedMs() - start, LiveThreadsCpuMs() - old,
          after.sleeps - usage.sleeps, after.faults - usage.faults};
}

// The effects loop's pacing with a strike that does nothing in place of each
// strike, on strike threads like the plug-in's own: what the loops and the
// hand-over to a strike thread cost before any strike work.
std::atomic<int> gEmptyThreads{0};
ProcessWide<StrikePool> gEmptyStrikes([] { return StrikePool(kStrikeThreadIdleMs, kMaxLiveStrikes); });

void PacingOnly(LightningType type) {
  static const StrikeLauncher emptyThreads{
      [](LightningType, const FormSequence*, const FormSequence*, uint32_t, uint32_t) {
        gEmptyThreads.fetch_add(1);
        gEmptyStrikes->Run(StrikeKind::Single, [] {});
      },
      [](std::vector<uint32_t>, std::vector<uint32_t>, int) {
        gEmptyThreads.fetch_add(1);
        gEmptyStrikes->Run(StrikeKind::Chain, [] {});
      }};
  RunEffectsLoop(type, emptyThreads);
}

// Both loops for `windowMs`; then effects off, and the CPU counted until the
// last strike thread has ended and its tasks have run.
Sample FastestStorm(StormWorld& world, double windowMs, bool strikes) {
  const int idleThreads = ThreadCount();
  const double start = world.SimulatedMs();
  const double cpu = ProcessCpuMs();
  const double old = LiveThreadsCpuMs();
  const Usage usage = ProcessUsage();
  const long started = gThreadsStarted.load();
  gLightningState->weatherLightningFreq.exchange(gLightningState->minLightningFrequency.load());
  BeginEffectsWindow();
  for (LightningType type : {Sheet, Fork})
    platform::StartDetachedThread(type == Sheet ? "nb-loop-sheet" : "nb-loop-fork",
                                  [type, strikes] { strikes ? LightningEffectsLoop(type) : PacingOnly(type); });
  LetTimePass(world, windowMs);
  EndEffectsWindow();
  // A strike whose references never arrive polls for about 2 s; a strike
  // thread then waits kStrikeThreadIdleMs for the next before it ends.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  // Looked at as seldom as the idle run looks at its clock, so that the
  // wait itself adds nothing to the storm's count.
  while (ThreadCount() > idleThreads && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  world.DrainTasks();
  const Usage after = ProcessUsage();
  return {ProcessCpuMs() - cpu,        static_cast<double>(gThreadsStarted.load() - started),
          world.SimulatedMs() - start, LiveThreadsCpuMs() - old,
          after.sleeps - usage.sleeps, after.faults - usage.faults};
}

void BM_StormCpu(benchmark::State& state) {
  StormWorld& world = World();
  const double windowMs = static_cast<double>(state.range(0)) * 1000.0;
  Set(IntSetting::EnableLog, static_cast<int32_t>(state.range(1)));
  // Near: every strike lands in the attached area, so no strike polls its
  // full 2 s for a reference that cannot arrive.
  const bool near = state.range(2) != 0;
  Set(IntSetting::SheetDistanceMin, near ? 0 : 1);
  Set(IntSetting::SheetDistanceMax, near ? 0 : 7);
  Set(IntSetting::ForkDistanceMax, near ? 0 : 7);
  for (auto _ : state) {
    const size_t castsBefore = world.Casts();
    const size_t movesBefore = world.Moves();
    const size_t checksBefore = world.Checks();
    const Sample off = LightningOff(world, windowMs);
    gEmptyThreads.store(0);
    const Sample on = FastestStorm(world, windowMs, state.range(3) != 0);
    const double offRate = off.cpuMs / off.elapsedMs;
    // The idle world's own share over the storm's whole run comes off.
    const double stormCpuMs = on.cpuMs - offRate * on.elapsedMs;
    const double casts = static_cast<double>(world.Casts() - castsBefore);
    state.counters["core_pct"] = stormCpuMs / windowMs * 100.0;
    state.counters["on_pct"] = on.cpuMs / on.elapsedMs * 100.0;
    state.counters["off_pct"] = offRate * 100.0;
    // Split: the storm's own threads (loops, strikes), the rest (the game's
    // main thread running the tasks, less its idle share).
    state.counters["storm_threads_pct"] = (on.cpuMs - on.oldThreadsCpuMs) / windowMs * 100.0;
    state.counters["main_extra_pct"] =
        (on.oldThreadsCpuMs - off.oldThreadsCpuMs / off.elapsedMs * on.elapsedMs) / windowMs * 100.0;
    state.counters["casts_per_s"] = casts / (windowMs / 1000.0);
    state.counters["moves_per_s"] = static_cast<double>(world.Moves() - movesBefore) / (windowMs / 1000.0);
    state.counters["checks_per_s"] = static_cast<double>(world.Checks() - checksBefore) / (windowMs / 1000.0);
    if (gThreadsStarted.load() >= 0) state.counters["threads_per_s"] = on.threadsStarted / (windowMs / 1000.0);
    // The storm's own threads: those not alive before the run.
    const double stormThreadsMs = on.cpuMs - on.oldThreadsCpuMs;
    if (state.range(3) == 0 && gEmptyThreads.load() > 0) {
      state.counters["launches_per_s"] = gEmptyThreads.load() / (windowMs / 1000.0);
      state.counters["storm_us_per_launch"] = stormThreadsMs * 1000.0 / gEmptyThreads.load();
    }
    if (casts > 0) {
      state.counters["storm_us_per_cast"] = stormThreadsMs * 1000.0 / casts;
      state.counters["us_per_cast"] = stormCpuMs * 1000.0 / casts;
      state.counters["sleeps_per_cast"] = (on.sleeps - off.sleeps / off.elapsedMs * on.elapsedMs) / casts;
      state.counters["faults_per_cast"] = (on.faults - off.faults / off.elapsedMs * on.elapsedMs) / casts;
    }
  }
  Set(IntSetting::EnableLog, 0);
}
// What one wake-up from a timed sleep costs the sleeping thread on this
// machine, the floor under every figure above: a loop's launch is one such
// wake, and every failed placement check of a strike is another. On virtual
// machines it is tens of microseconds, most of a launch's cost.
void BM_TimedWake(benchmark::State& state) {
  const auto sleepMs = static_cast<uint32_t>(state.range(0));
  constexpr int kWakes = 100;
  for (auto _ : state) {
    double threadCpuMs = 0;
    std::thread sleeper([&] {
      timespec start{}, end{};
      clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
      for (int i = 0; i < kWakes; ++i) platform::SleepMs(sleepMs);
      clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
      threadCpuMs = (end.tv_sec - start.tv_sec) * 1e3 + (end.tv_nsec - start.tv_nsec) / 1e6;
    });
    sleeper.join();
    state.counters["us_per_wake"] = threadCpuMs * 1000.0 / kWakes;
  }
}
// The loops' pace at the fastest storm, and the placement poll.
BENCHMARK(BM_TimedWake)->ArgName("sleep_ms")->Arg(23)->Arg(50)->Iterations(1)->Unit(benchmark::kMillisecond);

// Arguments: the window in simulated seconds, the EnableLog level, near
// strikes only (1) or the default distances (0), and the strikes themselves
// (1) or only the pacing, with an empty thread per strike (0).
BENCHMARK(BM_StormCpu)
    ->ArgNames({"window_s", "log", "near", "strikes"})
    ->Args({10, 0, 0, 1})
    ->Args({10, 2, 0, 1})
    ->Args({10, 0, 1, 1})
    ->Args({10, 0, 1, 0})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
