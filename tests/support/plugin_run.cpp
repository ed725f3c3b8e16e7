#include "support/plugin_run.h"

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace testsupport {

using nimbrel_sim::Edition;
using nimbrel_sim::GameDouble;

nimbrel_sim::Options OptionsFor(Edition edition) {
  nimbrel_sim::Options options;
  options.edition = edition;
  return options;
}

const char* EditionName(Edition edition) { return edition == Edition::VR ? "VR" : "SE"; }

std::string PluginPath(Edition edition) { return GameDouble::defaultPluginPath(NIMBREL_BIN_DIR, edition); }

PluginRun::PluginRun(nimbrel_sim::Options options, size_t documentsLength) {
  options.outDir = dir_.path();
  const size_t plain = options.outDir.size() + std::string("/Documents").size();
  if (documentsLength > plain + 1) {
    options.outDir += '/';
    options.outDir.append(documentsLength - plain - 1, 'd');
  }
  const Edition edition = options.edition;
  game_ = std::make_unique<GameDouble>(std::move(options));
  if (!game_->loadPlugin(PluginPath(edition))) throw std::runtime_error("plug-in not loaded: " + game_->error());
}

bool PluginRun::QueryAndLoad() { return game_->startPlugin().loaded(); }

PluginRun::Played PluginRun::PlayScenarioFile(const char* name, void (*beforePlay)(nimbrel_sim::GameDouble&)) {
  std::ifstream in(std::string(NIMBREL_SCENARIO_DIR) + "/" + name);
  std::ostringstream text;
  text << in.rdbuf();
  if (!game_->loadScenario(text.str())) throw std::runtime_error(game_->error());
  if (!QueryAndLoad()) throw std::runtime_error("the plug-in refused to load");
  game_->applyScenarioSetUp();
  game_->startUp();
  if (beforePlay) beforePlay(*game_);
  Played played;
  played.startMs = game_->world().simulatedMs();
  const uint64_t framesBefore = game_->checks().mainThreadFigures().frames;
  game_->playScenario();
  played.frames = game_->checks().mainThreadFigures().frames - framesBefore;
  game_->world().unloadWorld();
  game_->host().drainTasks();
  game_->checks().finalChecks();
  return played;
}

}  // namespace testsupport
