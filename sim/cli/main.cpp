// nimbrel-sim: loads a plug-in into the game double, plays the game's start-up
// and a scenario (the embedded default storm unless one is given), and reports
// what the world, the host and the engine saw.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>

#include <unistd.h>

#include "cli/fault_option.h"
#include "cli/storm_summary.h"
#include "engine/event_sources.h"
#include "engine/layout_faults.h"
#include "image/runtimes.h"
#include "nimbrel_sim/game_double.h"
#include "run/os.h"
#include "scenario/reader.h"

using nimbrel_sim::Edition;
using nimbrel_sim::GameDouble;
using nimbrel_sim::Options;
using nimbrel_sim::Source;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitCheckFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitRefused = 3;
constexpr int kExitStoodDown = 4;

// The default scenario's few minutes of simulated time then take about 24 s.
constexpr double kDefaultTimeScale = 10.0;

void usage(std::FILE* to) {
  std::string entries;
  size_t width = 38;  // where the list starts on its line
  for (const std::string& entry : GameDouble::faultEntries()) {
    if (!entries.empty()) {
      const bool wrap = width + entry.size() + 2 > 110;
      entries += wrap ? ",\n                " : ", ";
      width = wrap ? 16 : width + 2;
    }
    entries += entry;
    width += entry.size();
  }
  std::fprintf(to,
               "usage: nimbrel-sim [--edition se|vr] [--plugin PATH] [--runtime VERSION] [--address-library WHAT]\n"
               "                   [--editor] [--out DIR] [--scenario FILE] [--time-scale N] [--timer-resolution MS]\n"
               "                   [--duration SECONDS] [--fault ENTRY:WHEN]... [--layout-fault KIND]\n"
               "                   [--vm-hit-sink WHEN]\n"
               "  --edition     game edition to simulate (default se)\n"
               "  --plugin      plug-in library (default: Nimbrel or NimbrelVR beside this program)\n"
               "  --runtime     runtime the game runs and the host reports (default: the edition's own, 1.5.39 for\n"
               "                se): 1.5.39, 1.5.97, 1.6.353, 1.6.1170, 1.7.99 or 1.7.104, laid out at that\n"
               "                runtime's offsets; a store suffix (1.6.1179-gog, 1.6.678-epic) or packed hex with\n"
               "                the store in its last digit (0x010649B1); any other runtime gets the nearest layout\n"
               "                and a database to match. From 1.6 on the host is SKSE for AE (2.3.0 on 1.7.99, 2.3.1\n"
               "                later, its GOG build on GOG): it reads SKSEPlugin_Version, never calls the query\n"
               "  --address-library  the Address Library database in <out>/Game/Data/SKSE/Plugins, on the se\n"
               "                runtimes that read one (1.5.x but 1.5.39, and 1.6 on; format 5 from 1.7 on):\n"
               "                written by the double (default), 'missing', 'corrupt' (its entries or table cut\n"
               "                short), 'corrupt-header', 'wrong-version' (another runtime's in its header) or\n"
               "                FILE (a database copied in)\n"
               "  --editor      the host reports the editor\n"
               "  --out         run folder for the documents folder and trace.jsonl (default ./out/sim-<edition>);\n"
               "                a run first removes the trace, log and report an earlier run left there\n"
               "  --scenario    scenario file to play (default: the embedded storm; format in sim/SCENARIOS.md)\n"
               "  --time-scale  simulated seconds per wall-clock second (default %g)\n"
               "  --timer-resolution  the OS timer's tick in simulated ms (default 0: exact): each sleep of\n"
               "                the plug-in ends at the first tick at or after its due time, as on Windows\n"
               "                (15.625 there unless a process raises it); above 0 it wins over the scenario's\n"
               "                timer-resolution line (simulation platform only)\n"
               "  --duration    end play after this many simulated seconds, from 0 to %g: before the scenario's\n"
               "                end it cuts the scenario short, after it the game plays on without events\n"
               "  --fault       an engine entry refuses (null, false or nothing): WHEN is N (its N-th call),\n"
               "                N+ (every call from the N-th on) or pP (each call with probability P, 0 < P <= 1)\n"
               "                entries (exact case): %s\n"
               "  --layout-fault  moves one field the plug-in reads for the run, as a game update would; what\n"
               "                lies where the plug-in reads is what the moved layout leaves there. KIND:\n"
               "                sky-weather (the sky's current weather holds the sky's Clouds object),\n"
               "                player-cell (the player's cell holds heap memory that is no object),\n"
               "                cell-worldspace (a cell's worldspace holds an address no one may read),\n"
               "                vm-machine (the script VM's machine holds its event sink object),\n"
               "                root-node (the player's root node holds its animation controller),\n"
               "                effect-art-model (+0x40 of the effect art holds another base's vtable),\n"
               "                fade-duration (the effect art's fade duration holds a pointer's high half),\n"
               "                form-list (the form lists' entries point to heap data that is no form),\n"
               "                hit-source (a source inserted before the hit source takes its place),\n"
               "                hit-event (the hit event's target holds the hit's spell),\n"
               "                scene-position (the player's root node stands at NaN).\n"
               "                A fault may add the event that makes the plug-in read the field (a day/night\n"
               "                switch, a script call, a hit; the summary's 'layout fault:' line says).\n"
               "                The plug-in is to stand down; the run then exits with 4\n"
               "  --vm-hit-sink  when the game's script VM joins the hit source as one of its sinks: start-up\n"
               "                (default: as the game sets itself up, before the plug-in loads), data-ready\n"
               "                (once message 6 is delivered, before 8), first-load (the first saved-game load,\n"
               "                before its message 2) or never; wins over the scenario's vm-hit-sink line\n"
               "exit codes:\n"
               "  0  the run played through and every check of the double held (lightning may still not have\n"
               "     started: see the 'lightning:' line); no layout fault was in force\n"
               "  1  a check of the double failed, a scenario event due before the end was not played, or a\n"
               "     stand-down went wrong: none under a layout fault, one without (see 4)\n"
               "  2  bad usage or input: an option, the scenario file, the --out folder, the plug-in file\n"
               "  3  the plug-in was declined, by the host (SKSE for AE's rules on SKSEPlugin_Version, such as a\n"
               "     missing Address Library database) or by itself (SKSEPlugin_Query or SKSEPlugin_Load returned\n"
               "     false): the 'plug-in load:' line says who and why\n"
               "  4  the run played through, every check of the double held, and the plug-in stood down as a\n"
               "     --layout-fault (or the scenario's layout-fault line) asked: it ran, but declined to act (the\n"
               "     'lightning:' and 'stand-down:' lines say what it found). With a layout fault, a plug-in that\n"
               "     does not stand down (it goes on, or crashes) fails the run with 1; without one, a plug-in that\n"
               "     stands down fails it with 1 too\n"
               "  5  the plug-in crashed: it called an address where the engine has no function, or read a cell\n"
               "     through the field another runtime uses\n",
               kDefaultTimeScale, nimbrel_sim::kMaxScenarioSeconds, entries.c_str());
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

// What the double laid out for the runtime, for the summary's first lines.
std::string RuntimeLine(const nimbrel_sim::RuntimeFacts& r) {
  char packed[16];
  std::snprintf(packed, sizeof packed, "0x%08X", r.packed);
  std::string line = r.name + " (" + packed + ")";
  if (r.layoutExact)
    line += ", laid out at " + r.layout + "'s own offsets";
  else
    line += ", laid out as " + r.layout + ", the nearest the double knows (no public offsets of " + r.name + ")";
  if (r.database.empty()) return line + ": plug-ins use their built-in offsets, no Address Library database";
  return line + ", Address Library database " + r.database + " (" + r.databaseNote + ")";
}

// The summary's host: line; the report's header shows the same words.
std::string HostLine(const nimbrel_sim::PluginStart& start, const nimbrel_sim::RuntimeFacts& runtime) {
  return start.host +
         (start.readsVersionData ? ": reads SKSEPlugin_Version, never calls SKSEPlugin_Query"
                                 : ": calls SKSEPlugin_Query, then SKSEPlugin_Load") +
         (runtime.hostNote.empty() ? "" : "; " + runtime.hostNote);
}

// How many engine calls the plug-in made, and where FormFromId was.
std::string EngineLine(const GameDouble& game, const nimbrel_sim::RuntimeFacts& r) {
  const size_t calls = game.checks().engineCallCount();
  if (calls == 0) return "no call into the engine";
  char text[200];
  std::snprintf(text, sizeof text, "%zu calls into the engine; FormFromId %s image base + 0x%x (%s's offset", calls,
                game.checks().callCount("FormFromId") ? "called at" : "(not called) lies at", r.formFromIdRva,
                r.layout.c_str());
  std::string line = text;
  if (r.formFromIdDatabaseId) line += ", id " + std::to_string(r.formFromIdDatabaseId) + " in " + r.database;
  return line + ")";
}

// The plug-in's last words: the last two lines of its log after the banner.
std::string LogTail(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return "none written";
  std::vector<std::string> lines{""};
  for (int c; (c = std::fgetc(file)) != EOF;) {
    if (c == '\n')
      lines.emplace_back();
    else if (c != '\r')
      lines.back().push_back(static_cast<char>(c));
  }
  std::fclose(file);
  if (lines.back().empty()) lines.pop_back();
  std::string tail;
  for (size_t i = std::max<size_t>(1, lines.size() < 2 ? 1 : lines.size() - 2); i < lines.size(); ++i)
    if (lines[i].rfind("SKSE Version: ", 0) != 0) tail += (tail.empty() ? "" : " / ") + lines[i];
  return "\"" + tail + "\"";
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
      std::string problem;
      if (!nimbrel_sim::parseRuntime(text, options.runtimeVersion, problem)) {
        std::fprintf(stderr, "nimbrel-sim: bad runtime %s: %s\n", nimbrel_sim::quoteScenarioText(text).c_str(),
                     problem.c_str());
        return kExitUsage;
      }
    } else if (arg == "--address-library") {
      const std::string text = value("--address-library");
      using nimbrel_sim::AddressLibrary;
      if (text == "missing") {
        options.addressLibrary = AddressLibrary::Missing;
      } else if (text == "corrupt") {
        options.addressLibrary = AddressLibrary::TruncatedBody;
      } else if (text == "corrupt-header") {
        options.addressLibrary = AddressLibrary::WrongHeader;
      } else if (text == "wrong-version") {
        options.addressLibrary = AddressLibrary::WrongVersion;
      } else {
        std::error_code ec;
        if (!std::filesystem::is_regular_file(text, ec)) {
          std::fprintf(stderr,
                       "nimbrel-sim: --address-library %s: no such file (or missing, corrupt, corrupt-header, "
                       "wrong-version)\n",
                       nimbrel_sim::quoteScenarioText(text).c_str());
          return kExitUsage;
        }
        options.addressLibrary = AddressLibrary::File;
        options.addressLibraryFile = std::filesystem::absolute(text, ec).string();
      }
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
      if (!positiveNumber(text, duration) || duration > nimbrel_sim::kMaxScenarioSeconds) {
        std::fprintf(stderr, "nimbrel-sim: bad duration %s (simulated seconds, 0 to %g)\n",
                     nimbrel_sim::quoteScenarioText(text).c_str(), nimbrel_sim::kMaxScenarioSeconds);
        return kExitUsage;
      }
    } else if (arg == "--fault") {
      const std::string text = value("--fault");
      nimbrel_sim::Fault fault;
      std::string problem;
      if (!nimbrel_sim::cli::ParseFault(text, fault, problem)) {
        std::fprintf(stderr, "nimbrel-sim: bad fault %s: %s\n", nimbrel_sim::quoteScenarioText(text).c_str(),
                     problem.c_str());
        return kExitUsage;
      }
      options.faults.push_back(fault);
    } else if (arg == "--layout-fault") {
      const std::string text = value("--layout-fault");
      if (!nimbrel_sim::parseLayoutFault(text, options.layoutFault)) {
        std::string names;
        for (const std::string& name : nimbrel_sim::layoutFaultNames()) names += (names.empty() ? "" : ", ") + name;
        std::fprintf(stderr, "nimbrel-sim: unknown layout fault %s (%s)\n",
                     nimbrel_sim::quoteScenarioText(text).c_str(), names.c_str());
        return kExitUsage;
      }
    } else if (arg == "--vm-hit-sink") {
      const std::string text = value("--vm-hit-sink");
      nimbrel_sim::VmHitSink moment{};
      if (!nimbrel_sim::parseVmHitSink(text, moment)) {
        std::fprintf(stderr, "nimbrel-sim: unknown --vm-hit-sink %s (start-up, data-ready, first-load, never)\n",
                     nimbrel_sim::quoteScenarioText(text).c_str());
        return kExitUsage;
      }
      options.vmHitSink = moment;
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
  {
    std::error_code ec;  // the Windows build makes the game folder the current one
    const std::filesystem::path absolute = std::filesystem::absolute(plugin, ec);
    if (!ec) plugin = absolute.string();
  }

  std::string scenarioText;  // empty: the default scenario
  if (!scenarioFile.empty()) {
    std::error_code ec;
    if (std::filesystem::is_directory(scenarioFile, ec)) {
      std::fprintf(stderr, "nimbrel-sim: %s is a directory; --scenario takes a scenario file\n", scenarioFile.c_str());
      return kExitUsage;
    }
    std::FILE* file = std::fopen(scenarioFile.c_str(), "rb");
    if (!file) {
      std::fprintf(stderr, "nimbrel-sim: cannot read the scenario %s: %s\n", scenarioFile.c_str(),
                   std::strerror(errno));
      return kExitUsage;
    }
    char buffer[8192];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) scenarioText.append(buffer, n);
    const bool readFailed = std::ferror(file) != 0;
    const int readErrno = errno;
    std::fclose(file);
    if (readFailed) {
      std::fprintf(stderr, "nimbrel-sim: cannot read the scenario %s: %s\n", scenarioFile.c_str(),
                   std::strerror(readErrno));
      return kExitUsage;
    }
    if (scenarioText.empty()) {
      std::fprintf(stderr, "nimbrel-sim: %s: the file is empty; there is nothing to play\n", scenarioFile.c_str());
      return kExitUsage;
    }
  }

  // The run folder must take files; a run's own earlier outputs go first, so
  // that nothing there looks current unless this run wrote it.
  {
    std::error_code ec;
    std::filesystem::create_directories(options.outDir, ec);
    if (ec) {
      std::fprintf(stderr, "nimbrel-sim: cannot use --out %s: %s\n", options.outDir.c_str(), ec.message().c_str());
      return kExitUsage;
    }
    const std::string probe = options.outDir + "/trace.jsonl";
    std::FILE* file = std::fopen(probe.c_str(), "w");
    if (!file) {
      std::fprintf(stderr, "nimbrel-sim: cannot write %s: %s\n", probe.c_str(), std::strerror(errno));
      return kExitUsage;
    }
    std::fclose(file);
  }

  GameDouble::installFaultHandler();
  GameDouble game(options);
  const std::string logPath = game.pluginLogPath();
  const std::string reportPath = logPath.substr(0, logPath.find_last_of("/\\") + 1) + "NimbrelReport.html";
  for (const std::string& earlier : {logPath, reportPath}) {
    std::error_code ec;
    std::filesystem::remove(earlier, ec);
    if (ec) {
      std::fprintf(stderr, "nimbrel-sim: cannot remove the earlier %s: %s\n", earlier.c_str(), ec.message().c_str());
      return kExitUsage;
    }
  }
  std::printf("nimbrel-sim: %s, plug-in %s\n", vr ? "Skyrim VR" : "Skyrim Special Edition", plugin.c_str());
  const nimbrel_sim::RuntimeFacts runtime = game.runtime();
  const std::string runtimeLine = RuntimeLine(runtime);
  std::printf("runtime:      %s\n", runtimeLine.c_str());
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

  const nimbrel_sim::PluginStart start = game.startPlugin();
  const std::string hostLine = HostLine(start, runtime);
  std::printf("host:         %s\n", hostLine.c_str());
  if (start.readsVersionData) {
    std::printf("version data: %s\n", start.versionData.empty() ? "none exported" : start.versionData.c_str());
    std::printf("query:        not called (SKSE for AE)\n");
  } else {
    const auto& d = game.description();
    std::printf("query:        %s\n", start.queryAccepted
                                          ? "accepted (SKSEPlugin_Query took this game and version)"
                                          : "refused (SKSEPlugin_Query turned this game or version down)");
    if (d.filled)
      std::printf("description:  \"%s\" version %u (0x%X), info version %u\n", d.name.c_str(), d.version, d.version,
                  d.infoVersion);
    else
      std::printf("description:  not filled\n");
  }
  if (!start.loaded()) {
    if (start.outcome == nimbrel_sim::PluginStart::Outcome::DeclinedByHost)
      std::printf("plug-in load: declined by the host (%s): %s\n", start.host.c_str(), start.why.c_str());
    else
      std::printf("plug-in load: declined by the plug-in (%s; its log: %s)\n", start.why.c_str(),
                  LogTail(game.pluginLogPath()).c_str());
    std::printf("engine:       %s\n", EngineLine(game, runtime).c_str());
    std::error_code ec;
    if (std::filesystem::exists(game.pluginLogPath(), ec))
      std::printf("log:          %s\n", game.pluginLogPath().c_str());
    else
      std::printf("log:          %s\n",
                  start.queried || start.loadCalled
                      ? ("none at " + game.pluginLogPath() + ", where this game's SKSE writes").c_str()
                      : "none written (the plug-in never ran)");
    std::printf("nimbrel-sim: the plug-in was declined; not loaded\n");
    std::fflush(nullptr);
    std::_Exit(kExitRefused);
  }
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
      "world:        %zu reference moves (%zu into an attached cell), %zu spell casts, %zu screen-flash calls "
      "(%zu applied, %zu removed), %zu tasks run\n",
      moves.size(), attached, game.world().casts().size(), game.world().flashes().size(), applied,
      game.world().flashes().size() - applied, game.host().tasksRun());

  static const char* const kInterfaceNames[] = {"", "", "script", "", "task", "messaging"};
  std::string asked;
  for (uint32_t id : game.host().interfaceRequests()) {
    if (!asked.empty()) asked += ", ";
    asked += std::to_string(id);
    if (id < std::size(kInterfaceNames) && *kInterfaceNames[id]) asked += std::string(" (") + kInterfaceNames[id] + ")";
  }
  std::printf("memory:       peak resident %.1f MiB\n",
              static_cast<double>(nimbrel_sim::os::peakResidentBytes()) / (1024.0 * 1024.0));
  std::printf("plug-in load: loaded (SKSEPlugin_Load returned true)\n");
  std::printf("engine:       %s\n", EngineLine(game, runtime).c_str());
  std::printf("interfaces:   %s\n", asked.empty() ? "the plug-in asked the host for none"
                                                  : ("the plug-in asked the host for " + asked).c_str());
  if (game.host().listenerHandle() == 0xFFFFFFFF)
    std::printf("listener:     none\n");
  else
    std::printf("listener:     %zu for \"SKSE\", handle %u (host gave %u)\n", game.host().listenerCount(),
                game.host().listenerHandle(), game.host().pluginHandle());
  std::printf("script:       %zu registration callback(s), %zu native function(s) registered\n",
              game.host().scriptCallbackCount(), game.scripts().registeredFunctionCount());
  std::printf("sinks:        menu %zu, hit %zu, action %zu (the plug-in's; the game's own: menu %zu, hit %zu)\n",
              game.checks().sinkCount(Source::MenuOpenClose), game.checks().sinkCount(Source::Hit),
              game.checks().sinkCount(Source::Action), game.checks().gameSinkCount(Source::MenuOpenClose),
              game.checks().gameSinkCount(Source::Hit));
  if (runtime.patchSiteKnown) {
    std::printf("patch site:   %s (%s; the jump the plug-in writes into the game's code), page protection %s\n",
                hexBytes(game.checks().patchSiteBytes()).c_str(),
                game.checks().patchTailIntact() ? "engine bytes after it intact" : "engine bytes after it CHANGED",
                game.checks().patchSiteProtection().c_str());
  } else {
    const size_t changes = game.checks().codeChanges().size();
    std::printf(
        "patch site:   none known in %s, so no code may be written: the game's code is %s\n", runtime.name.c_str(),
        changes ? "CHANGED (see failures)" : "unchanged (every function entry's jump and the code fill checked)");
  }
  std::printf("trace:        %zu lines in %s\n", game.checks().traceLineCount(), game.tracePath().c_str());
  std::printf("log:          %s\n", game.pluginLogPath().c_str());

  // The double's checks of the host and engine rules, apart from the run's
  // own failures (scenario events that never played, a stand-down that
  // should or should not have come).
  std::vector<std::string> checkFailures, runFailures;
  for (const std::string& f : game.checks().failures())
    (f.rfind("scenario line ", 0) == 0 ? runFailures : checkFailures).push_back(f);
  const nimbrel_sim::StandDownSeen standDown = game.checks().standDown();
  const nimbrel_sim::LayoutFault layoutFault = game.layoutFault();
  const std::string faultName =
      layoutFault == nimbrel_sim::LayoutFault::None ? "" : nimbrel_sim::layoutFaultName(layoutFault);
  const size_t strikes = game.world().casts().size();
  const std::string standDownFailure = nimbrel_sim::cli::StandDownFailure(faultName, standDown, strikes);
  if (!standDownFailure.empty()) runFailures.push_back(standDownFailure);

  nimbrel_sim::ReportInput report;
  report.edition = vr ? "Skyrim VR" : "Skyrim Special Edition";
  report.runtime = runtimeLine;
  report.host = hostLine;
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
  report.outcomes = game.scenarioOutcomes();
  report.unknownKeys = game.scenarioUnknownKeys();
  const auto refused = game.checks().faultsRefused();
  for (const auto& fault : options.faults) {
    const auto found = refused.find(fault.entry);
    report.faults.emplace_back(nimbrel_sim::cli::FaultText(fault), found == refused.end() ? 0 : found->second);
  }
  report.waits =
      nimbrel_sim::cli::LaunchWaits(moves, playStartMs, report.frequency, report.minFrequency, report.events);
  report.moves = moves.size();
  report.tasksRun = game.host().tasksRun();
  report.mainThread = game.checks().mainThreadFigures();
  report.lightning =
      nimbrel_sim::cli::LightningFrom(follower, standDown, faultName, report.strikes.size(), report.frequency);
  if (!faultName.empty())
    report.layoutFault = faultName + ": " + nimbrel_sim::layoutFaultWords(layoutFault, options.edition, runtime.packed);
  report.standDown = nimbrel_sim::cli::StandDownWords(standDown);
  report.lightningWorks = nimbrel_sim::cli::LightningWorksWords(game.checks().lightningWorks());
  report.failures = checkFailures;
  report.runFailures = runFailures;
  report.logPath = game.pluginLogPath();
  report.tracePath = game.tracePath();
  nimbrel_sim::cli::PrintSummary(report);
  std::string reportProblem;
  if (nimbrel_sim::cli::WriteReport(reportPath, report, reportProblem)) {
    std::printf("report:       %s\n", reportPath.c_str());
  } else {
    std::printf("report:       could not be written to %s: %s\n", reportPath.c_str(), reportProblem.c_str());
  }
  nimbrel_sim::cli::PrintVerdict(report);
  auto failures = runFailures;
  failures.insert(failures.end(), checkFailures.begin(), checkFailures.end());
  if (failures.empty()) {
    std::printf("failures:     none\n");
  } else {
    std::printf("failures:     %zu\n", failures.size());
    for (const auto& f : failures) std::printf("  - %s\n", f.c_str());
  }
  // The plug-in's threads are still at work, as in a running game: end the
  // process as the game does, without running static destructors under them.
  std::fflush(nullptr);
  if (!failures.empty()) std::_Exit(kExitCheckFailed);
  // Ran, but the plug-in declined to act, as the layout fault asked.
  std::_Exit(faultName.empty() ? kExitOk : kExitStoodDown);
}
