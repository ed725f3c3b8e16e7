#include "cli/storm_summary.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

#include "run/log_watch.h"
#include "scenario/reader.h"

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
    } else if (stopLine_.empty() && (line.find("Mod cannot function.") != std::string::npos ||
                                     line.find("No lightning this session.") != std::string::npos)) {
      stopLine_ = line;
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

std::string StandDownField(const std::string& reasonLine) {
  const std::string from = "expects: ", to = " should hold ";
  const size_t begin = reasonLine.find(from);
  if (begin == std::string::npos) return "";
  const size_t end = reasonLine.find(to, begin + from.size());
  return end == std::string::npos ? "" : reasonLine.substr(begin + from.size(), end - begin - from.size());
}

std::string StandDownWords(const StandDownSeen& s) {
  if (!s.seen) return "";
  char when[64];
  std::snprintf(when, sizeof when, "%.3f s", s.seenMs / 1000.0);
  std::string words = "the plug-in's log, seen at " + std::string(when) + " on the trace's clock: ";
  words += s.reasonLine.empty() ? "(no line naming what it found)" : "\"" + s.reasonLine + "\"";
  words += " / ";
  words += s.standDownLine.empty() ? "(no line that lightning stands down)" : "\"" + s.standDownLine + "\"";
  words += "; engine calls from its own threads after the double saw its first line: ";
  words += s.pluginEngineCallsAfter == 0 ? "none" : std::to_string(s.pluginEngineCallsAfter) + " (a failure)";
  char look[128];
  std::snprintf(look, sizeof look,
                " (the check covers the calls made after the double saw the line; it looks at the log every %d ms)",
                LogWatch::kLookMs);
  return words + look;
}

std::string StandDownFailure(const std::string& fault, const StandDownSeen& standDown, size_t casts) {
  if (!fault.empty() && !standDown.seen)
    return "the layout fault " + fault +
           " was in force, but the plug-in did not stand down: its log has no "
           "stand-down line" +
           (casts ? " and lightning went on (" + std::to_string(casts) + " spell casts)" : "");
  if (!fault.empty() && standDown.reasonLine.empty())
    return "the plug-in stood down without its line naming what it found where it read (the layout fault " + fault +
           ")";
  if (!fault.empty() && standDown.standDownLine.empty())
    return "the plug-in named what it found (\"" + standDown.reasonLine +
           "\") but its log has no line that lightning stands down for this game session";
  if (fault.empty() && standDown.seen)
    return "the plug-in stood down though no layout fault was in force (the double's type information or the "
           "plug-in's check is wrong): its log says \"" +
           (standDown.reasonLine.empty() ? standDown.standDownLine : standDown.reasonLine) + "\"";
  return "";
}

std::string LightningWorksWords(const LightningWorksSeen& w) {
  const auto at = [](double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", ms / 1000.0);
    return std::string(text);
  };
  if (!w.cast && w.lines == 0) return "no spell was cast, so there was nothing to say";
  std::string words;
  if (w.lines == 0) {
    words = "not said: the first spell cast began at " + at(w.castMs) +
            " on the trace's clock, and the plug-in's log had no line that lightning works " +
            (w.lookedAfterTask ? "when its task returned (a failure)" : "by the end");
  } else {
    words = "said at " + at(w.seenMs) + " on the trace's clock: \"" + w.line + "\"";
    if (w.beforeCast)
      words += " (before the first spell cast: a failure)";
    else if (w.presentAfterTask)
      words += ", right after the first strike's cast (not in the log when the cast began at " + at(w.castMs) +
               ", there when its task returned)";
    else if (w.late)
      words += " (only after the task of the first spell cast had returned: a failure)";
    if (w.lines > 1) words += "; " + std::to_string(w.lines) + " such lines (a failure: once per game session)";
  }
  if (w.cast && !w.castOnMainThread) words += "; the first spell cast ran off the main thread";
  return words;
}

LightningState LightningFrom(const LogFollower& log, const StandDownSeen& standDown, const std::string& fault,
                             size_t strikes, const std::vector<std::pair<double, int>>& frequency) {
  using State = LightningState::State;
  if (standDown.seen) {
    std::string field = StandDownField(standDown.reasonLine);
    if (field.empty()) field = fault.empty() ? "no field named" : fault;
    const std::string& quoted = standDown.reasonLine.empty() ? standDown.standDownLine : standDown.reasonLine;
    return {State::StoodDown, "stood down (" + field + ") \u2014 the plug-in's log says \"" + quoted + "\""};
  }
  if (!log.stopLine().empty())
    return {State::NeverStarted, "never started \u2014 the plug-in's log says \"" + log.stopLine() + "\""};
  if (strikes > 0) return {State::Ran, "ran: " + std::to_string(strikes) + (strikes == 1 ? " strike" : " strikes")};
  const bool quiet = std::all_of(frequency.begin(), frequency.end(), [](const auto& f) { return f.second >= 255; });
  return {State::NoStrikes, quiet ? "started, but no strike: the weather never called for lightning "
                                    "(published frequency 255 throughout)"
                                  : "started, but no strike landed in this run"};
}

void PrintSummary(const ReportInput& report) {
  {
    size_t onTime = 0, late = 0, notPlayed = 0, afterEnd = 0;
    for (const ScenarioOutcome& o : report.outcomes) {
      onTime += o.status == ScenarioOutcome::Status::OnTime;
      late += o.status == ScenarioOutcome::Status::Late;
      notPlayed += o.status == ScenarioOutcome::Status::NotPlayed;
      afterEnd += o.status == ScenarioOutcome::Status::AfterEnd;
    }
    std::printf("events:       %zu of %zu played (%zu on time, %zu late), %zu not played", onTime + late,
                report.outcomes.size(), onTime, late, notPlayed);
    if (afterEnd) std::printf(", %zu after the shortened end", afterEnd);
    std::printf("\n");
    for (const ScenarioOutcome& o : report.outcomes) {
      if (o.status == ScenarioOutcome::Status::Late) std::printf("  late:       %s\n", DescribeOutcome(o).c_str());
      if (o.status == ScenarioOutcome::Status::NotPlayed) std::printf("  not played: %s\n", DescribeOutcome(o).c_str());
    }
  }
  if (report.unknownKeys.empty()) {
    std::printf("settings:     every key the scenario sets is one the plug-in knows\n");
  } else {
    std::printf("settings:     %zu key(s) the plug-in does not know (a warning: those calls change nothing)\n",
                report.unknownKeys.size());
    for (const UnknownSettingKey& k : report.unknownKeys)
      std::printf("  line %d:    %s: %s\n", k.line, quoteScenarioText(k.key).c_str(), k.hint.c_str());
  }
  if (report.faults.empty()) {
    std::printf("faults:       none injected\n");
  } else {
    std::string list;
    for (const auto& [fault, refused] : report.faults)
      list += (list.empty() ? "" : ", ") + fault + " (" + std::to_string(refused) + " call(s) refused)";
    std::printf("faults:       injected %s\n", list.c_str());
  }
  std::printf("layout fault: %s\n", report.layoutFault.empty() ? "none" : report.layoutFault.c_str());
  std::printf("stand-down:   %s\n",
              report.standDown.empty() ? "none seen in the plug-in's log" : report.standDown.c_str());
  if (!report.lightningWorks.empty()) std::printf("works:        %s\n", report.lightningWorks.c_str());
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
  std::printf("flashes:      %zu screen flashes applied (each is removed again after its length)\n", flashes);
  // The published frequency, one sample per 20 simulated seconds.
  std::string samples;
  for (double ms = 0; ms <= report.durationMs; ms += 20000.0) {
    if (!samples.empty()) samples += ' ';
    samples += std::to_string(FrequencyAt(report.frequency, ms));
  }
  std::printf(
      "frequency:    %s (the published lightning frequency every 20 s: 255 = no lightning, lower = more "
      "frequent; the floor, the most frequent it goes, is %d)\n",
      samples.c_str(), report.minFrequency);
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
      "loads:        %llu saved games loaded (loads and hitches blocked the main thread %.1f s), tasks held over "
      "a load %zu, strike calls during loads %llu\n",
      static_cast<unsigned long long>(m.loads), m.stalledSeconds, m.tasksHeldOverLoads,
      static_cast<unsigned long long>(m.pluginCallsDuringLoads));
  if (m.threadsObserved) {
    std::printf("effect loops: peak %zu sheet, %zu fork\n", m.peakSheetLoops, m.peakForkLoops);
    std::printf(
        "threads:      at most %zu of the plug-in's threads alive at once (at most %zu of them strike threads)\n",
        m.peakPluginThreads, m.peakStrikeThreads);
  } else {
    std::printf("effect loops: not observable on this platform\n");
    std::printf("threads:      not observable on this platform\n");
  }
}

void PrintVerdict(const ReportInput& report) {
  std::printf("lightning:    %s\n", report.lightning.text.c_str());
  if (report.failures.empty())
    std::printf("checks:       the double's checks of the host and engine rules all held\n");
  else
    std::printf("checks:       %zu of the double's checks of the host and engine rules failed\n",
                report.failures.size());
}

bool WriteReport(const std::string& path, const ReportInput& report, std::string& problem) {
  // Written beside and moved in, so that a report on disk is always whole.
  const std::string partial = path + ".partial";
  std::FILE* file = std::fopen(partial.c_str(), "wb");
  if (!file) {
    problem = std::strerror(errno);
    return false;
  }
  const std::string html = RenderReport(report);
  const bool written = std::fwrite(html.data(), 1, html.size(), file) == html.size();
  const int writeErrno = errno;
  if (std::fclose(file) != 0 || !written) {
    problem = std::strerror(written ? errno : writeErrno);
    std::remove(partial.c_str());
    return false;
  }
  if (std::rename(partial.c_str(), path.c_str()) != 0) {
    problem = std::strerror(errno);
    std::remove(partial.c_str());
    return false;
  }
  return true;
}

}  // namespace nimbrel_sim::cli
