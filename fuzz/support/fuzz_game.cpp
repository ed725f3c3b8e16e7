#include "support/fuzz_game.h"

#include <cstdio>
#include <cstdlib>

#include "log/debug_log.h"
#include "support/fuzz_support.h"
#include "support/in_process.h"

namespace fuzzsupport {
namespace {

constexpr unsigned kInputsPerLog = 4096;

testsupport::InProcessGame& Game() {
  // Destroyed at exit, which removes its run folder.
  static testsupport::InProcessGame game = [] {
    nimbrel_sim::Options options;
    options.trace = false;
    return testsupport::InProcessGame(options);
  }();
  return game;
}

}  // namespace

nimbrel_sim::GameDouble& StartedGame() {
  static bool started = [] {
    QuietStdout();
    Game().StartWithDefaults();
    CheckDouble();
    return true;
  }();
  (void)started;
  return Game().game();
}

void BoundLog() {
  static unsigned inputs = 0;
  if (++inputs % kInputsPerLog == 0) NimbrelVR::IDebugLog::OpenLogFile(Game().game().pluginLogPath().c_str());
}

void CheckDouble() {
  const auto failures = Game().game().checks().failures();
  if (failures.empty()) return;
  for (const auto& failure : failures) std::fprintf(stderr, "double: %s\n", failure.c_str());
  FUZZ_CHECK(false, "the game double saw %zu fault(s)", failures.size());
}

}  // namespace fuzzsupport
