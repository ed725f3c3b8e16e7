// nimbrel-sim: loads a plug-in into the game double, plays the game's start-up
// and one saved-game load, and reports what the host and the engine saw.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "nimbrel_sim/game_double.h"
#include "os.h"

using nimbrel_sim::Edition;
using nimbrel_sim::GameDouble;
using nimbrel_sim::Options;
using nimbrel_sim::Source;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitCheckFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitRefused = 3;

void usage(std::FILE* to) {
  std::fprintf(to,
               "usage: nimbrel-sim [--edition se|vr] [--plugin PATH] [--runtime 0xHEX] [--editor] [--out DIR]\n"
               "  --edition  game edition to simulate (default se)\n"
               "  --plugin   plug-in library (default: Nimbrel or NimbrelVR beside this program)\n"
               "  --runtime  runtime version the host reports (default: the edition's own)\n"
               "  --editor   the host reports the editor\n"
               "  --out      run folder for the documents folder and trace.jsonl (default ./out/sim-<edition>)\n");
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
  std::string plugin;
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

  GameDouble::installFaultHandler();
  GameDouble game(options);
  std::printf("nimbrel-sim: %s, plug-in %s\n", vr ? "Skyrim VR" : "Skyrim Special Edition", plugin.c_str());
  if (!game.ok()) {
    for (const auto& f : game.failures()) std::fprintf(stderr, "nimbrel-sim: %s\n", f.c_str());
    return kExitUsage;
  }
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
  game.startUp();
  game.loadSavedGame(true);
  game.drainTasks();
  game.finalChecks();

  std::string asked;
  for (uint32_t id : game.interfaceRequests()) {
    if (!asked.empty()) asked += ' ';
    asked += std::to_string(id);
  }
  std::printf("load:         %s\n", loaded ? "true" : "false");
  std::printf("interfaces:   %s\n", asked.empty() ? "none asked" : asked.c_str());
  if (game.listenerHandle() == 0xFFFFFFFF)
    std::printf("listener:     none\n");
  else
    std::printf("listener:     %zu for \"SKSE\", handle %u (host gave %u)\n", game.listenerCount(),
                game.listenerHandle(), game.pluginHandle());
  std::printf("script:       %zu registration callback(s), %zu native function(s) registered\n",
              game.scriptCallbackCount(), game.registeredFunctionCount());
  std::printf("sinks:        menu %zu, hit %zu, action %zu\n", game.sinkCount(Source::MenuOpenClose),
              game.sinkCount(Source::Hit), game.sinkCount(Source::Action));
  std::printf("patch site:   %s (%s), protection %s\n", hexBytes(game.patchSiteBytes()).c_str(),
              game.patchTailIntact() ? "engine bytes after it intact" : "engine bytes after it CHANGED",
              game.patchSiteProtection().c_str());
  std::printf("trace:        %zu lines in %s\n", game.trace().size(), game.tracePath().c_str());
  std::printf("log:          %s\n", game.pluginLogPath().c_str());

  auto failures = game.failures();
  if (!loaded) failures.insert(failures.begin(), "SKSEPlugin_Load returned false");
  if (failures.empty()) {
    std::printf("failures:     none\n");
    return kExitOk;
  }
  std::printf("failures:     %zu\n", failures.size());
  for (const auto& f : failures) std::printf("  - %s\n", f.c_str());
  return kExitCheckFailed;
}
