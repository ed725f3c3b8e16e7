// The storm report: one self-contained HTML page (inline SVG, no scripts, no
// network) with a map of the strikes around the player, a timeline and the
// summary, written next to the plug-in's log.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "nimbrel_sim/types.h"

namespace nimbrel_sim {

enum class StrikeKind { Sheet, Chain, Fork };

// One cast as the report sees it.
struct ReportStrike {
  double ms = 0;
  StrikeKind kind = StrikeKind::Sheet;
  int chainSize = 1;    // strikes in its chain (1 for a single strike)
  Position fromPlayer;  // the target's position relative to the player
};

// Whether the plug-in's lightning ran, apart from the double's checks: a run
// can pass every check while the mod never starts.
struct LightningState {
  enum class State { Ran, NoStrikes, NeverStarted, StoodDown } state = State::NoStrikes;
  std::string text;  // the headline after "lightning: "
};

struct ReportInput {
  std::string edition;
  std::string runtime;  // the summary's runtime: and host: lines, word for word
  std::string host;
  std::string scenario;  // file name, or "default storm"
  double timeScale = 1;
  double durationMs = 0;
  std::vector<ReportStrike> strikes;
  std::vector<FlashRecord> flashes;
  std::vector<std::pair<double, int>> frequency;       // published lightning frequency over time
  std::vector<std::pair<double, std::string>> events;  // the scenario's events
  std::vector<ScenarioOutcome> outcomes;               // what became of each
  std::vector<UnknownSettingKey> unknownKeys;
  std::vector<std::pair<std::string, uint64_t>> faults;  // injected ("FormFromId:3"), calls refused
  std::string layoutFault;                               // the field moved for the run and what it holds ("" for none)
  std::string standDown;       // what the double saw of the plug-in standing down ("" for nothing)
  std::string lightningWorks;  // whether and when the plug-in said lightning works
  LightningState lightning;
  int minFrequency = 255;  // the floor the plug-in found
  struct Waits {
    std::string type;
    double measuredMs = 0;  // mean interval between strikes while the frequency held still
    double formulaMs = 0;   // 1000 / rate x ratio over the same stretch
    size_t intervals = 0;
  };
  std::vector<Waits> waits;
  size_t moves = 0;
  size_t tasksRun = 0;
  MainThreadFigures mainThread;
  std::vector<std::string> failures;     // the double's checks of the host and engine rules
  std::vector<std::string> runFailures;  // scenario events that never played
  std::string logPath;
  std::string tracePath;
};

// Strikes from the double's casts: a fork strike's target ends at world height
// -15000, a sheet strike's high in the sky; casts queued by one strike thread
// together are one chain.
std::vector<ReportStrike> ClassifyStrikes(const std::vector<CastRecord>& casts);

std::string RenderReport(const ReportInput& input);

// "line 12 at 19.0 s "weather rain": played at 23.0 s, 4.0 s late (...)".
std::string DescribeOutcome(const ScenarioOutcome& outcome);

}  // namespace nimbrel_sim
