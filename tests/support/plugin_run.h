#pragma once

#include <memory>
#include <string>

#include "nimbrel_sim/game_double.h"
#include "support/temp_dir.h"

namespace testsupport {

// One run of a built plug-in inside the game double, in a folder of its own.
class PluginRun {
 public:
  // `documentsLength` > 0: the run's documents folder is padded to exactly
  // this many characters.
  explicit PluginRun(nimbrel_sim::Options options, size_t documentsLength = 0);
  nimbrel_sim::GameDouble& game() { return *game_; }
  const std::string& folder() const { return dir_.path(); }
  std::string Log() const { return ReadFile(game_->pluginLogPath()); }
  // Query and load as the runtime's host does them (GameDouble::startPlugin);
  // false if the host or the plug-in declined.
  bool QueryAndLoad();
  // A whole session with a scenario file of scenarios/: query and load, its
  // set-up, the start-up, the play, then the world unloaded, the tasks drained
  // and the final checks. Throws when the scenario or the plug-in will not
  // start. Returns when play began (simulated ms) and the frames it took.
  struct Played {
    double startMs = 0;
    uint64_t frames = 0;
  };
  // `beforePlay`, if given, runs after the start-up, just before the play.
  Played PlayScenarioFile(const char* name, void (*beforePlay)(nimbrel_sim::GameDouble&) = nullptr);

 private:
  TempDir dir_;
  std::unique_ptr<nimbrel_sim::GameDouble> game_;
};

nimbrel_sim::Options OptionsFor(nimbrel_sim::Edition edition);
// The built plug-in of an edition (Nimbrel.so, NimbrelVR.so).
std::string PluginPath(nimbrel_sim::Edition edition);
const char* EditionName(nimbrel_sim::Edition edition);

}  // namespace testsupport
