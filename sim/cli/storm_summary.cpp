#include "cli/storm_summary.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

namespace nimbrel_sim::cli {
namespace {

constexpr float kForkTargetHeight = -15000.0f;
constexpr uint32_t kPlayerFormId = 0x14;

bool ParseAfter(const std::string& line, const char* prefix, int* value) {
  if (line.rfind(prefix, 0) != 0) return false;
  *value = std::atoi(line.c_str() + std::strlen(prefix));
  return true;
}

// The published frequency at a moment (255 before the first report).
int FrequencyAt(const std::vector<std::pair<double, int>>& frequency, double ms) {
  int value = 255;
  for (const auto& [at, f] : frequency) {
    if (at > ms) break;
    value = f;
  }
  return value;
}

// A rate setting (SheetFrequency or ForkFrequency) as the scenario's script
// calls leave it at a moment.
double RateAt(const std::vector<std::pair<double, std::string>>& events, const char* setting, double ms) {
  double rate = 50.0;
  for (const auto& [at, text] : events) {
    if (at > ms) break;
    std::istringstream words(text);
    std::string command, key;
    double value = 0;
    if (words >> command >> key >> value && command == "set-float" && key == setting) rate = value;
  }
  return rate;
}

// A hit or an action on the player may pause the storm for 2 s, and the
// paused rate's waits (up to 600 ms) are no measure of the formula.
bool NearCombat(const std::vector<std::pair<double, std::string>>& events, double from, double to) {
  constexpr double kPauseMs = 2000.0 + 600.0;
  for (const auto& [at, text] : events) {
    if (text.rfind("hit player", 0) != 0 && text.rfind("action player", 0) != 0) continue;
    if (at <= to && from <= at + kPauseMs) return true;
  }
  return false;
}

}  // namespace

void LogFollower::poll(double nowMs) {
  std::FILE* file = std::fopen(path_.c_str(), "rb");
  if (!file) return;
  if (std::fseek(file, offset_, SEEK_SET) == 0) {
    char buffer[8192];
    size_t read;
    while ((read = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
      offset_ += static_cast<long>(read);
      partial_.append(buffer, read);
    }
  }
  std::fclose(file);
  size_t start = 0;
  for (size_t end; (end = partial_.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = partial_.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    int value = 0;
    if (ParseAfter(line, "weatherLightningFreq: ", &value)) {
      if (frequency_.empty() || frequency_.back().second != value) frequency_.emplace_back(nowMs, value);
    } else if (ParseAfter(line, "Min Lightning Frequency is ", &value)) {
      minFrequency_ = value;
    }
  }
  partial_.erase(0, start);
}

std::vector<ReportInput::Waits> LaunchWaits(const std::vector<MoveRecord>& moves, double playStartMs,
                                            const std::vector<std::pair<double, int>>& frequency, int minFrequency,
                                            const std::vector<std::pair<double, std::string>>& events) {
  // Each strike thread's tasks share a burst. Its first move is the launch,
  // and every strike of it begins with a reference moved to the player (a
  // chain's n casters, a single strike's target), so those moves count its
  // waits. A fork strike's target goes down to -15000.
  struct Launch {
    double ms = 0;
    bool fork = false;
    int strikes = 0;
  };
  std::map<uint32_t, Launch> byBurst;
  for (const MoveRecord& move : moves) {
    if (move.destinationFormId != kPlayerFormId) continue;
    auto [it, first] = byBurst.try_emplace(move.queuedBy);
    if (first) it->second = {move.ms - playStartMs, move.placedAt.z == kForkTargetHeight, 0};
    ++it->second.strikes;
  }
  std::vector<ReportInput::Waits> all;
  for (const bool fork : {true, false}) {
    std::vector<Launch> launches;
    for (const auto& [burst, launch] : byBurst)
      if (launch.fork == fork) launches.push_back(launch);
    std::sort(launches.begin(), launches.end(), [](const Launch& a, const Launch& b) { return a.ms < b.ms; });
    ReportInput::Waits waits{fork ? "fork" : "sheet", 0, 0, 0};
    double measured = 0, formula = 0;
    for (size_t i = 1; i < launches.size(); ++i) {
      const Launch& last = launches[i - 1];
      const int before = FrequencyAt(frequency, last.ms);
      const int after = FrequencyAt(frequency, launches[i].ms);
      if (before != after || before >= 255 || NearCombat(events, last.ms, launches[i].ms)) continue;
      const double rate = RateAt(events, fork ? "ForkFrequency" : "SheetFrequency", last.ms);
      if (!(rate > 0)) continue;
      const double expected = last.strikes * 1000.0 / rate * (255.0 - minFrequency) / (255.0 - before);
      const double gap = launches[i].ms - last.ms;
      // A gap no pacing makes (waits reach 1.2 times the mean): effects were
      // off meanwhile, for a menu, an interior or a load.
      if (gap > 3.0 * expected + 1000.0) continue;
      measured += gap;
      formula += expected;
      waits.intervals += static_cast<size_t>(last.strikes);
    }
    if (waits.intervals) {
      waits.measuredMs = measured / static_cast<double>(waits.intervals);
      waits.formulaMs = formula / static_cast<double>(waits.intervals);
    }
    all.push_back(waits);
  }
  return all;
}

void PrintSummary(const ReportInput& report) {
  std::map<StrikeKind, size_t> byKind;
  std::map<int, size_t> chainStrikes;
  for (const ReportStrike& s : report.strikes) {
    ++byKind[s.kind];
    if (s.kind == StrikeKind::Chain) ++chainStrikes[s.chainSize];
  }
  size_t chains = 0;
  std::string sizes;
  for (const auto& [size, strikes] : chainStrikes) {
    const size_t n = strikes / static_cast<size_t>(size);
    chains += n;
    sizes += (sizes.empty() ? "" : ", ") + std::to_string(n) + " of " + std::to_string(size);
  }
  const size_t flashes = static_cast<size_t>(
      std::count_if(report.flashes.begin(), report.flashes.end(), [](const FlashRecord& f) { return f.applied; }));
  std::printf("strikes:      %zu (sheet %zu, in chains %zu, fork %zu)\n", report.strikes.size(),
              byKind[StrikeKind::Sheet], byKind[StrikeKind::Chain], byKind[StrikeKind::Fork]);
  std::printf("chains:       %zu%s%s%s\n", chains, sizes.empty() ? "" : " (", sizes.c_str(), sizes.empty() ? "" : ")");
  std::printf("flashes:      %zu\n", flashes);
  // The published frequency, one sample per 20 simulated seconds.
  std::string samples;
  for (double ms = 0; ms <= report.durationMs; ms += 20000.0) {
    if (!samples.empty()) samples += ' ';
    samples += std::to_string(FrequencyAt(report.frequency, ms));
  }
  std::printf("frequency:    %s (every 20 s; floor %d; 255 = none)\n", samples.c_str(), report.minFrequency);
  for (const auto& w : report.waits) {
    if (w.intervals == 0) continue;
    std::printf("waits:        %s %.1f ms measured, %.1f ms by the formula (%+.1f %%, %zu intervals)\n", w.type.c_str(),
                w.measuredMs, w.formulaMs, (w.measuredMs / w.formulaMs - 1.0) * 100.0, w.intervals);
  }
  std::printf("tasks run:    %zu\n", report.tasksRun);
  const MainThreadFigures& m = report.mainThread;
  std::printf("main thread:  %llu frames at %g fps, tasks per frame max %zu, task latency max %llu frames\n",
              static_cast<unsigned long long>(m.frames), m.fps, m.maxTasksPerFrame,
              static_cast<unsigned long long>(m.maxTaskLatencyFrames));
  std::printf(
      "loads:        %llu (main thread blocked %.1f s), tasks held over a load %zu, "
      "strike calls during loads %llu\n",
      static_cast<unsigned long long>(m.loads), m.stalledSeconds, m.tasksHeldOverLoads,
      static_cast<unsigned long long>(m.pluginCallsDuringLoads));
  if (m.threadsObserved) {
    std::printf("effect loops: peak %zu sheet, %zu fork\n", m.peakSheetLoops, m.peakForkLoops);
    std::printf("threads:      peak %zu of the plug-in's live (%zu striking)\n", m.peakPluginThreads,
                m.peakStrikeThreads);
  } else {
    std::printf("effect loops: not observable on this platform\n");
    std::printf("threads:      not observable on this platform\n");
  }
}

bool WriteReport(const std::string& path, const ReportInput& report) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out << RenderReport(report);
  return static_cast<bool>(out);
}

}  // namespace nimbrel_sim::cli
