// nimbrel-sim: loads a plug-in into the game double, plays the game's start-up
// and a scenario (the embedded default storm unless one is given), and reports
// what the world, the host and the engine saw.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

#include "cli/storm_summary.h"
#include "nimbrel_sim/game_double.h"
#include "run/os.h"

using nimbrel_sim::Edition;
using nimbrel_sim::GameDouble;
using nimbrel_sim::Options;
using nimbrel_sim::Source;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitCheckFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitRefused = 3;

// The default scenario's few minutes of simulated time then take about 24 s.
constexpr double kDefaultTimeScale = 10.0;

void usage(std::FILE* to) {
  std::fprintf(to,
               "usage: nimbrel-sim [--edition se|vr] [--plugin PATH] [--runtime 0xHEX] [--editor] [--out DIR]\n"
               "                   [--scenario FILE] [--time-scale N] [--timer-resolution MS]\n"
               "                   [--duration SECONDS] [--fault ENTRY:WHEN]...\n"
               "  --edition     game edition to simulate (default se)\n"
               "  --plugin      plug-in library (default: Nimbrel or NimbrelVR beside this program)\n"
               "  --runtime     runtime version the host reports (default: the edition's own)\n"
               "  --editor      the host reports the editor\n"
               "  --out         run folder for the documents folder and trace.jsonl (default ./out/sim-<edition>)\n"
               "  --scenario    scenario file to play (default: the embedded storm; format in sim/SCENARIOS.md)\n"
               "  --time-scale  simulated seconds per wall-clock second (default %g)\n"
               "  --timer-resolution  the OS timer's tick in simulated ms (default 0: exact): each sleep of\n"
               "                the plug-in ends at the first tick at or after its due time, as on Windows\n"
               "                (15.625 there unless a process raises it); above 0 it wins over the scenario's\n"
               "                timer-resolution line (simulation platform only)\n"
               "  --duration    play only this many simulated seconds of the scenario (or longer)\n"
               "  --fault       an engine entry refuses (null, false or nothing): WHEN is N (its N-th call),\n"
               "                N+ (every call from the N-th on) or pP (each call with probability P)\n",
               kDefaultTimeScale);
}

bool positiveNumber(const char* text, double& out) {
  char* end = nullptr;
  out = std::strtod(text, &end);
  return *text && !*end && std::isfinite(out) && out >= 0;
}

// A bar on stderr, redrawn when the whole percentage changes; into a file or
// a pipe, a line every tenth.
struct Progress {
  double endSeconds = 0;
  int shown = -1;
  bool terminal = false;
  GameDouble* game = nullptr;
  double playStartMs = 0;
  nimbrel_sim::cli::LogFollower* log = nullptr;
};

void showProgress(double fraction, void* context) {
  auto* p = static_cast<Progress*>(context);
  p->log->poll(p->game->world().simulatedMs() - p->playStartMs);
  int percent = static_cast<int>(fraction * 100.0);
  if (!p->terminal) percent -= percent % 10;
  if (percent == p->shown) return;
  p->shown = percent;
  constexpr int kWidth = 30;
  char bar[kWidth + 1];
  for (int i = 0; i < kWidth; ++i) bar[i] = i < percent * kWidth / 100 ? '#' : '.';
  bar[kWidth] = '\0';
  std::fprintf(stderr, "%sscenario [%s] %3d%%  %.0f/%.0f s", p->terminal ? "\r" : "", bar, percent,
               fraction * p->endSeconds, p->endSeconds);
  if (percent >= 100 || !p->terminal) std::fputc('\n', stderr);
  std::fflush(stderr);
}

std::string hexBytes(const std::vector<uint8_t>& bytes) {
  std::string out;
  char text[4];
  for (uint8_t b : bytes) {
    std::snprintf(text, sizeof text, "%02X", b);
    if (!out.empty()) out += ' ';
    out += text;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  options.timeScale = kDefaultTimeScale;
  std::string plugin;
  std::string scenarioFile;
  double duration = -1;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "nimbrel-sim: %s needs a value\n", name);
        std::exit(kExitUsage);
      }
      return argv[++i];
    };
    if (arg == "--edition") {
      std::string e = value("--edition");
      if (e == "se") {
        options.edition = Edition::SpecialEdition;
      } else if (e == "vr") {
        options.edition = Edition::VR;
      } else {
        std::fprintf(stderr, "nimbrel-sim: unknown edition '%s' (se or vr)\n", e.c_str());
        return kExitUsage;
      }
    } else if (arg == "--plugin") {
      plugin = value("--plugin");
    } else if (arg == "--runtime") {
      const char* text = value("--runtime");
      char* end = nullptr;
      unsigned long runtime = std::strtoul(text, &end, 16);
      if (!*text || *end || runtime == 0 || runtime > 0xFFFFFFFFul) {
        std::fprintf(stderr, "nimbrel-sim: bad runtime version '%s'\n", text);
        return kExitUsage;
      }
      options.runtimeVersion = static_cast<uint32_t>(runtime);
    } else if (arg == "--editor") {
      options.editor = true;
    } else if (arg == "--out") {
      options.outDir = value("--out");
    } else if (arg == "--scenario") {
      scenarioFile = value("--scenario");
    } else if (arg == "--time-scale") {
      const char* text = value("--time-scale");
      if (!positiveNumber(text, options.timeScale) || options.timeScale <= 0) {
        std::fprintf(stderr, "nimbrel-sim: bad time scale '%s' (a number above 0)\n", text);
        return kExitUsage;
      }
    } else if (arg == "--timer-resolution") {
      const char* text = value("--timer-resolution");
      if (!positiveNumber(text, options.timerResolutionMs) || options.timerResolutionMs > 1000) {
        std::fprintf(stderr, "nimbrel-sim: bad timer resolution '%s' (milliseconds, 0 to 1000)\n", text);
        return kExitUsage;
      }
    } else if (arg == "--duration") {
      const char* text = value("--duration");
      if (!positiveNumber(text, duration)) {
        std::fprintf(stderr, "nimbrel-sim: bad duration '%s' (simulated seconds, 0 or more)\n", text);
        return kExitUsage;
      }
    } else if (arg == "--fault") {
      const std::string text = value("--fault");
      const size_t colon = text.rfind(':');
      nimbrel_sim::Fault fault;
      bool ok = colon != std::string::npos && colon > 0 && colon + 1 < text.size();
      if (ok) {
        fault.entry = text.substr(0, colon);
        std::string when = text.substr(colon + 1);
        char* end = nullptr;
        if (when[0] == 'p') {
          fault.probability = std::strtod(when.c_str() + 1, &end);
          ok = *end == '\0' && fault.probability > 0 && fault.probability <= 1;
        } else {
          const bool from = when.back() == '+';
          if (from) when.pop_back();
          const unsigned long long n = std::strtoull(when.c_str(), &end, 10);
          ok = !when.empty() && *end == '\0' && n > 0;
          (from ? fault.everyCallFrom : fault.nthCall) = n;
        }
      }
      if (!ok) {
        std::fprintf(stderr, "nimbrel-sim: bad fault '%s' (ENTRY:N, ENTRY:N+ or ENTRY:pP)\n", text.c_str());
        return kExitUsage;
      }
      options.faults.push_back(fault);
    } else if (arg == "--help" || arg == "-h") {
      usage(stdout);
      return kExitOk;
    } else {
      std::fprintf(stderr, "nimbrel-sim: unknown option '%s'\n", arg.c_str());
      usage(stderr);
      return kExitUsage;
    }
  }
  const bool vr = options.edition == Edition::VR;
  if (options.outDir.empty()) options.outDir = std::string("out/sim-") + (vr ? "vr" : "se");
  if (plugin.empty()) plugin = GameDouble::defaultPluginPath(nimbrel_sim::os::executableDir(), options.edition);

  std::string scenarioText;  // empty: the default scenario
  if (!scenarioFile.empty()) {
    std::ifstream in(scenarioFile, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "nimbrel-sim: cannot read the scenario %s\n", scenarioFile.c_str());
      return kExitUsage;
    }
    std::ostringstream text;
    text << in.rdbuf();
    scenarioText = text.str();
    if (scenarioText.empty()) scenarioText = "\n";  // an empty file is an empty scenario
  }

  GameDouble::installFaultHandler();
  GameDouble game(options);
  std::printf("nimbrel-sim: %s, plug-in %s\n", vr ? "Skyrim VR" : "Skyrim Special Edition", plugin.c_str());
  if (!game.checks().ok()) {
    for (const auto& f : game.checks().failures()) std::fprintf(stderr, "nimbrel-sim: %s\n", f.c_str());
    return kExitUsage;
  }
  if (!game.loadScenario(scenarioText)) {
    std::fprintf(stderr, "nimbrel-sim: %s%s%s\n", scenarioFile.c_str(), scenarioFile.empty() ? "" : ": ",
                 game.error().c_str());
    return kExitUsage;
  }
  if (duration >= 0) game.setScenarioEnd(duration);
  if (!game.loadPlugin(plugin)) {
    std::fprintf(stderr, "nimbrel-sim: cannot load the plug-in: %s\n", game.error().c_str());
    return kExitUsage;
  }

  const bool accepted = game.query();
  const auto& d = game.description();
  std::printf("query:        %s\n", accepted ? "accepted" : "refused");
  if (d.filled)
    std::printf("description:  \"%s\" version %u (0x%X), info version %u\n", d.name.c_str(), d.version, d.version,
                d.infoVersion);
  else
    std::printf("description:  not filled\n");
  if (!accepted) {
    std::printf("log:          %s\n", game.pluginLogPath().c_str());
    std::printf("nimbrel-sim: the plug-in refused the query; not loaded\n");
    return kExitRefused;
  }

  const bool loaded = game.load();
  // The plug-in reads the data at data-ready: the scenario's data set and
  // world come before the start-up messages.
  game.applyScenarioSetUp();
  game.startUp();
  nimbrel_sim::cli::LogFollower follower(game.pluginLogPath());
  Progress progress{game.scenarioEndSeconds(),  -1,       isatty(fileno(stderr)) != 0, &game,
                    game.world().simulatedMs(), &follower};
  std::fflush(stdout);  // the lines so far come before the progress bar
  const auto wallStart = std::chrono::steady_clock::now();
  const double cpuStart = nimbrel_sim::os::processCpuSeconds();
  game.playScenario(&showProgress, &progress);
  const double wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  const double cpuSeconds = nimbrel_sim::os::processCpuSeconds() - cpuStart;
  // The session ends: with the world gone the plug-in stops striking, so the
  // main thread can catch up with what was queued even after a storm.
  game.world().unloadWorld();
  game.host().drainTasks();
  game.checks().finalChecks();
  follower.poll(game.scenarioEndSeconds() * 1000.0);

  const auto moves = game.world().moves();
  size_t attached = 0;
  for (const auto& m : moves) attached += m.attached;
  size_t applied = 0;
  for (const auto& f : game.world().flashes()) applied += f.applied;
  std::printf("scenario:     %s, %.0f s simulated in %.1f s (time scale %g), %.1f s of process CPU\n",
              scenarioFile.empty() ? "default storm" : scenarioFile.c_str(), game.scenarioEndSeconds(), wallSeconds,
              options.timeScale, cpuSeconds);
  std::printf(
      "world:        %zu moves (%zu into an attached cell), %zu casts, %zu flashes (%zu applied), "
      "%zu tasks run\n",
      moves.size(), attached, game.world().casts().size(), game.world().flashes().size(), applied,
      game.host().tasksRun());

  std::string asked;
  for (uint32_t id : game.host().interfaceRequests()) {
    if (!asked.empty()) asked += ' ';
    asked += std::to_string(id);
  }
  std::printf("memory:       peak resident %.1f MiB\n",
              static_cast<double>(nimbrel_sim::os::peakResidentBytes()) / (1024.0 * 1024.0));
  std::printf("load:         %s\n", loaded ? "true" : "false");
  std::printf("interfaces:   %s\n", asked.empty() ? "none asked" : asked.c_str());
  if (game.host().listenerHandle() == 0xFFFFFFFF)
    std::printf("listener:     none\n");
  else
    std::printf("listener:     %zu for \"SKSE\", handle %u (host gave %u)\n", game.host().listenerCount(),
                game.host().listenerHandle(), game.host().pluginHandle());
  std::printf("script:       %zu registration callback(s), %zu native function(s) registered\n",
              game.host().scriptCallbackCount(), game.scripts().registeredFunctionCount());
  std::printf("sinks:        menu %zu, hit %zu, action %zu\n", game.checks().sinkCount(Source::MenuOpenClose),
              game.checks().sinkCount(Source::Hit), game.checks().sinkCount(Source::Action));
  std::printf("patch site:   %s (%s), protection %s\n", hexBytes(game.checks().patchSiteBytes()).c_str(),
              game.checks().patchTailIntact() ? "engine bytes after it intact" : "engine bytes after it CHANGED",
              game.checks().patchSiteProtection().c_str());
  std::printf("trace:        %zu lines in %s\n", game.checks().traceLineCount(), game.tracePath().c_str());
  std::printf("log:          %s\n", game.pluginLogPath().c_str());

  auto failures = game.checks().failures();
  if (!loaded) failures.insert(failures.begin(), "SKSEPlugin_Load returned false");

  nimbrel_sim::ReportInput report;
  report.edition = vr ? "Skyrim VR" : "Skyrim Special Edition";
  report.scenario = scenarioFile.empty() ? "default storm" : scenarioFile;
  report.timeScale = options.timeScale;
  report.durationMs = game.scenarioEndSeconds() * 1000.0;
  const double playStartMs = progress.playStartMs;
  auto casts = game.world().casts();
  for (auto& cast : casts) cast.ms -= playStartMs;
  report.strikes = nimbrel_sim::ClassifyStrikes(casts);
  report.flashes = game.world().flashes();
  report.frequency = follower.frequency();
  report.minFrequency = follower.minFrequency();
  report.events = game.scenarioTimeline();
  report.waits =
      nimbrel_sim::cli::LaunchWaits(moves, playStartMs, report.frequency, report.minFrequency, report.events);
  report.moves = moves.size();
  report.tasksRun = game.host().tasksRun();
  report.mainThread = game.checks().mainThreadFigures();
  report.failures = failures;
  report.logPath = game.pluginLogPath();
  report.tracePath = game.tracePath();
  nimbrel_sim::cli::PrintSummary(report);
  const std::string logPath = game.pluginLogPath();
  const std::string reportPath = logPath.substr(0, logPath.find_last_of("/\\") + 1) + "NimbrelReport.html";
  if (nimbrel_sim::cli::WriteReport(reportPath, report)) {
    std::printf("report:       %s\n", reportPath.c_str());
  } else {
    std::printf("report:       could not be written to %s\n", reportPath.c_str());
  }
  if (failures.empty()) {
    std::printf("failures:     none\n");
  } else {
    std::printf("failures:     %zu\n", failures.size());
    for (const auto& f : failures) std::printf("  - %s\n", f.c_str());
  }
  // The plug-in's threads are still at work, as in a running game: end the
  // process as the game does, without running static destructors under them.
  std::fflush(nullptr);
  std::_Exit(failures.empty() ? kExitOk : kExitCheckFailed);
}
