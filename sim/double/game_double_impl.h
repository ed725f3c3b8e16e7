// The state behind one GameDouble, shared by the files that define its
// members (game_double.cpp and the files beside it, and the scenario room's
// game_double_scenario.cpp, which reads and plays the scenario kept here).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "engine/data.h"
#include "engine/engine.h"
#include "engine/main_thread.h"
#include "engine/script_machine.h"
#include "engine/workers.h"
#include "engine/world.h"
#include "host/host.h"
#include "image/image.h"
#include "nimbrel_sim/game_double.h"
#include "run/log_watch.h"
#include "run/run.h"
#include "run/scenario_plan.h"

namespace nimbrel_sim {

namespace {

// What the description record holds before the plug-in writes it.
constexpr uint32_t kSentinelWord = 0xDEADBEEF;
const char* const kSentinelName = reinterpret_cast<const char*>(uintptr_t{0x5E5E5E5E5E5E5E5E});

}  // namespace

// Hands the simulation platform of the plug-in its OS timer's tick
// (NIMBREL_TIMER_RESOLUTION, simulated ms; 0 or less: exact sleeps).
void setTimerResolutionEnv(double ms);

// Lays out the game folder (outDir/Game) of a run: the runtime's Address
// Library database as the options say; failures go to the run.
RuntimeFacts layGameFolder(const Options& options, const std::string& gameDir, Run& run);

// Frames per second of the editions' main threads.
inline double editionFps(const Options& o) { return o.fps > 0 ? o.fps : o.edition == Edition::VR ? 90.0 : 60.0; }

struct DoubleState {
  explicit DoubleState(Options o)
      : options(std::move(o)),
        imageReady(image().prepare(options.edition, runtimeOf(options), Engine::functionTargets(),
                                   Engine::virtualSlots(), imageProblem)),
        engine(run, options),
        host(run, engine, options),
        world(run, engine, options),
        data(run, engine, options.edition),
        machine(run, engine),
        mainThread(run, editionFps(options), options.timeScale) {}

  Options options;
  // The image is laid out before the engine makes its objects: each holds
  // its class's vtable.
  std::string imageProblem;
  bool imageReady = false;
  Run run;
  Engine engine;
  Host host;
  World world;
  GameData data;          // loaded files, forms, the default data set
  ScriptMachine machine;  // frames and calls of native functions
  MainThread mainThread;
  Workers ui{"ui", 1};
  Workers scripts{"script", 3};
  // Samples the plug-in's threads, and writes the trace out now and then.
  ThreadCensus census{options.threadCensus, [this] { run.trace.flush(); }};
  // Follows the plug-in's log for its stand-down, from its first call on.
  LogWatch logWatch{run};
  // The layout fault in force (the options', else the scenario's).
  LayoutFault layoutFault = LayoutFault::None;
  void applyLayoutFault(LayoutFault fault);
  // The spell a hit event holds under hit-event when its source is no form.
  void* hitEventSpell() {
    std::call_once(hitEventSpellMade, [this] { hitEventSpell_ = engine.create(Cls::Spell, 0x100); });
    return hitEventSpell_;
  }
  std::once_flag hitEventSpellMade;
  void* hitEventSpell_ = nullptr;

  // The game sets itself up before the host first calls the plug-in (its
  // query, or its load): the script event holder's layout, the game's own
  // sinks in their sources, and the moment the script VM joins the hit
  // source, each as the options say, else the scenario read by then. Once;
  // every call that may be the game's first asks for it.
  void startGame();
  std::once_flag gameStarted;
  std::atomic<VmHitSink> vmHitSink{VmHitSink::StartUp};

  // A saved-game load, on the main thread: message 2, the world torn down
  // for the load's time, message 3.
  std::atomic<uint64_t> loads{0};
  std::atomic<double> loadMs{0};

  // The scenario being played, stepped by the frames (empty when none is).
  std::mutex playMutex;
  std::function<void()> playing;

  std::string error;
  void* library = nullptr;
  void* queryFn = nullptr;
  void* loadFn = nullptr;
  void* versionData = nullptr;  // SKSEPlugin_Version, when exported
  // The folder the process ran in when the double started (a Windows run
  // makes the game folder current).
  std::string startDir;
  // The runtime played, its database and how it came to be there.
  RuntimeFacts runtime;
  PluginDescriptionRecord descriptionRecord{kSentinelWord, kSentinelName, kSentinelWord};
  PluginDescription description;
  bool dataReadySent = false;  // message 8 reached the plug-in
  std::mutex finalMutex;
  std::vector<std::string> finalFailures;

  // The scenario loadScenario read (the embedded default until then).
  Scenario scenario;
  bool scenarioLoaded = false;
  // What became of its events, once played.
  std::vector<ScenarioOutcome> outcomes;

  std::string documentsDir() const { return options.outDir + "/Documents"; }
  std::string gameDir() const { return options.outDir + "/Game"; }
};

}  // namespace nimbrel_sim
