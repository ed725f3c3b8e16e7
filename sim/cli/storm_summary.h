// What nimbrel-sim makes of a played storm: the published frequency read
// from the plug-in's log as it grows, the strikes sorted by kind, the waits
// between them against the pacing formula, the printed summary and the report.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "cli/report.h"
#include "nimbrel_sim/types.h"

namespace nimbrel_sim::cli {

// Follows the plug-in's log while the scenario plays.
class LogFollower {
 public:
  explicit LogFollower(std::string path) : path_(std::move(path)) {}
  // Reads the lines added since the last call, stamping them with `nowMs`.
  void poll(double nowMs);
  const std::vector<std::pair<double, int>>& frequency() const { return frequency_; }
  int minFrequency() const { return minFrequency_; }
  // A line saying the plug-in gave up for the session ("... Mod cannot
  // function.", "... No lightning this session."); empty when none.
  const std::string& stopLine() const { return stopLine_; }

 private:
  std::string path_;
  long offset_ = 0;
  std::string partial_;
  std::vector<std::pair<double, int>> frequency_;
  int minFrequency_ = 255;
  std::string stopLine_;
};

// Whether lightning ran in a run whose plug-in loaded: stood down (the
// double saw its stand-down lines), never started (the log says the plug-in
// gave up), started without a strike, or ran. `fault` names the layout
// fault in force ("" for none): the field's name when the plug-in's line
// names none.
LightningState LightningFrom(const LogFollower& log, const StandDownSeen& standDown, const std::string& fault,
                             size_t strikes, const std::vector<std::pair<double, int>>& frequency);

// The field the plug-in's reason line names ("the sky's current weather
// (+0x48)" of "... expects: the sky's current weather (+0x48) should hold
// ..."); empty when the line names none.
std::string StandDownField(const std::string& reasonLine);

// Whether the plug-in stood down as the run asked: under a layout fault
// (`fault` its name) with both its lines, else not at all. Empty when it
// did; else the run's failure in words (with the spell casts the world saw,
// when lightning went on).
std::string StandDownFailure(const std::string& fault, const StandDownSeen& standDown, size_t casts);

// The summary's and the report's words on the stand-down: when the double
// saw the plug-in's lines, and the engine calls from its threads after them.
std::string StandDownWords(const StandDownSeen& standDown);

// The summary's and the report's words on the plug-in's line that lightning
// works: whether it said so, when, and whether the double saw it in its
// place (after the first spell cast began, by the time that cast's task
// returned), or that no spell was cast.
std::string LightningWorksWords(const LightningWorksSeen& seen);

// Mean wait between launches of each kind (fork, then sheet) while the
// published frequency held still, against 1000 / rate x the frequency ratio;
// a chain of n strikes counts as n waits. Combat pauses, and gaps in which
// effects were off, are left out.
std::vector<ReportInput::Waits> LaunchWaits(const std::vector<MoveRecord>& moves, double playStartMs,
                                            const std::vector<std::pair<double, int>>& frequency, int minFrequency,
                                            const std::vector<std::pair<double, std::string>>& events);

// The scenario's events, settings and faults, then the figures.
void PrintSummary(const ReportInput& report);
// The closing lines: whether lightning ran, then the double's checks.
void PrintVerdict(const ReportInput& report);

// Writes the report; false with the system's reason when it cannot.
bool WriteReport(const std::string& path, const ReportInput& report, std::string& problem);

}  // namespace nimbrel_sim::cli
