#pragma once

#include <memory>

#include "nimbrel_sim/game_double.h"
#include "support/temp_dir.h"

namespace testsupport {

// The plug-in's internals linked into this test program, hosted by the game
// double in the same process: tests call the plug-in's functions directly
// against a simulated game. Query and load run as the host would run them;
// data-ready is left to the test, so no monitor thread runs behind its back.
class InProcessGame {
 public:
  explicit InProcessGame(nimbrel_sim::Options options = {});
  nimbrel_sim::GameDouble& game() { return *game_; }
  std::string Log() const;
  // Default data and a loaded world, query, load, message 6 and the menu
  // sink (data-ready's first steps, without its monitor thread).
  void StartWithDefaults(const nimbrel_sim::DataSet& data = {});

 private:
  TempDir dir_;
  std::unique_ptr<nimbrel_sim::GameDouble> game_;
};

nimbrel_sim::Edition ThisEdition();

}  // namespace testsupport
