// The state behind one GameDouble, shared by the files that define its
// members (game_double.cpp and the files beside it).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "data.h"
#include "engine.h"
#include "host.h"
#include "nimbrel_sim/game_double.h"
#include "run.h"
#include "scenario.h"
#include "script_machine.h"
#include "world.h"

namespace nimbrel_sim {

namespace {

// What the description record holds before the plug-in writes it.
constexpr uint32_t kSentinelWord = 0xDEADBEEF;
const char* const kSentinelName = reinterpret_cast<const char*>(uintptr_t{0x5E5E5E5E5E5E5E5E});

}  // namespace

struct GameDouble::Impl {
  explicit Impl(Options o)
      : options(std::move(o)), engine(run, options), host(run, engine, options), world(run, engine, options),
        data(run, engine, options.edition),
        machine(run, engine) {}

  Options options;
  Run run;
  Engine engine;
  Host host;
  World world;
  GameData data;          // loaded files, forms, the default data set
  ScriptMachine machine;  // frames and calls of native functions

  std::string error;
  void* library = nullptr;
  void* queryFn = nullptr;
  void* loadFn = nullptr;
  PluginDescriptionRecord descriptionRecord{kSentinelWord, kSentinelName, kSentinelWord};
  PluginDescription description;
  bool dataReadySent = false;  // message 8 reached the plug-in
  std::mutex finalMutex;
  std::vector<std::string> finalFailures;

  // The scenario loadScenario read (the embedded default until then).
  Scenario scenario;
  bool scenarioLoaded = false;

  std::string documentsDir() const { return options.outDir + "/Documents"; }
};

}  // namespace nimbrel_sim
