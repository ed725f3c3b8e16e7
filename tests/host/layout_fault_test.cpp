// The built SE plug-in in nimbrel-sim with one field moved (--layout-fault)
// on 1.7.99, 1.6.1170 and 1.5.39: the plug-in's two lines naming the field
// and what it found there, lightning stood down, exit code 4, the double's
// checks all held, and no engine call from one of the plug-in's threads
// after the first line, read from the trace. These hold once the plug-in
// checks what it follows; a build without those checks fails them.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "support/engine_calls.h"
#include "support/temp_dir.h"

namespace {

struct Case {
  const char* fault;
  const char* runtime;
  const char* field;  // in the plug-in's reason line, naming where it read
  const char* found;  // in the same line, what it found there
};
void PrintTo(const Case& c, std::ostream* out) { *out << c.fault << " on " << c.runtime; }

struct Ran {
  int exitCode = -1;
  std::string output;
};

Ran RunSim(const std::string& arguments) {
  const std::string command = std::string("'") + NIMBREL_BIN_DIR + "/nimbrel-sim' " + arguments + " 2>&1";
  Ran ran;
  std::FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return ran;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) ran.output.append(buffer, n);
  const int status = pclose(pipe);
  ran.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return ran;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

std::string LineStarting(const std::string& text, const std::string& prefix) {
  for (const std::string& line : Lines(text))
    if (line.rfind(prefix, 0) == 0) return line;
  return "";
}

class LayoutFault : public ::testing::TestWithParam<Case> {};

}  // namespace

TEST_P(LayoutFault, ThePluginStandsDownWithItsTwoLinesAndNoEngineCallAfter) {
  const Case& c = GetParam();
  testsupport::TempDir dir;
  const Ran ran =
      RunSim(std::string("--edition se --runtime ") + c.runtime + " --layout-fault " + c.fault + " --scenario '" +
             NIMBREL_SCENARIO_DIR + "/short-storm.txt' --time-scale 10 --out '" + dir.path() + "'");
  EXPECT_EQ(ran.exitCode, 4) << ran.output;
  const std::string lightning = LineStarting(ran.output, "lightning:");
  EXPECT_EQ(lightning.rfind("lightning:    stood down (", 0), 0u) << ran.output;
  EXPECT_NE(lightning.find(c.field), std::string::npos) << lightning;
  EXPECT_EQ(LineStarting(ran.output, "checks:"),
            "checks:       the double's checks of the host and engine rules all held")
      << ran.output;
  EXPECT_EQ(LineStarting(ran.output, "failures:"), "failures:     none") << ran.output;
  EXPECT_NE(LineStarting(ran.output, "stand-down:").find("after the double saw its first line: none"),
            std::string::npos)
      << ran.output;

  // The log's two lines: the runtime, the field and what was found, then the
  // stand-down.
  const std::string log =
      testsupport::ReadFile(dir.path() + "/Documents/My Games/Skyrim Special Edition/SKSE/NimbrelPlugin.log");
  std::string reason, standDown;
  for (const std::string& line : Lines(log)) {
    if (reason.empty() && line.find("is not laid out as this build expects") != std::string::npos) reason = line;
    if (standDown.empty() && line.find("stands down for this game session") != std::string::npos) standDown = line;
  }
  EXPECT_NE(reason.find(std::string("Runtime ") + c.runtime), std::string::npos) << log;
  EXPECT_NE(reason.find(c.field), std::string::npos) << reason;
  EXPECT_NE(reason.find(c.found), std::string::npos) << reason;
  EXPECT_FALSE(standDown.empty()) << log;

  // From the trace: the double saw the lines, and after the first no call
  // into the engine came from a thread of the plug-in ("other").
  const std::vector<std::string> trace = Lines(testsupport::ReadFile(dir.path() + "/trace.jsonl"));
  size_t seen = trace.size();
  for (size_t i = 0; i < trace.size() && seen == trace.size(); ++i)
    if (testsupport::TraceFn(trace[i]) == "StandDownLine") seen = i;
  ASSERT_LT(seen, trace.size()) << "no StandDownLine in the trace";
  for (size_t i = seen; i < trace.size(); ++i) {
    EXPECT_FALSE(testsupport::kEngineCallNames.count(testsupport::TraceFn(trace[i])) &&
                 trace[i].find("\"thread\":\"other\"") != std::string::npos)
        << trace[i];
    EXPECT_NE(testsupport::TraceFn(trace[i]), "EngineCallAfterStandDown") << trace[i];
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, LayoutFault,
                         ::testing::ValuesIn(std::vector<Case>{
                             {"sky-weather", "1.7.99", "current weather", "Clouds"},
                             {"sky-weather", "1.6.1170", "current weather", "Clouds"},
                             {"sky-weather", "1.5.39", "current weather", "Clouds"},
                             {"player-cell", "1.7.99", "player's cell", "outside the game's image"},
                             {"player-cell", "1.6.1170", "player's cell", "outside the game's image"},
                             {"player-cell", "1.5.39", "player's cell", "outside the game's image"},
                             {"cell-worldspace", "1.7.99", "worldspace (+0x128)", "unreadable"},
                             {"cell-worldspace", "1.6.1170", "worldspace (+0x128)", "unreadable"},
                             {"cell-worldspace", "1.5.39", "worldspace (+0x120)", "unreadable"},
                             {"vm-machine", "1.7.99", "script machine (+0x210)", "TESFormDeleteEvent"},
                             {"vm-machine", "1.6.1170", "script machine (+0x200)", "TESFormDeleteEvent"},
                             {"vm-machine", "1.5.39", "script machine (+0x200)", "TESFormDeleteEvent"},
                             {"root-node", "1.7.99", "root node", "NiControllerManager"},
                             {"root-node", "1.6.1170", "root node", "NiControllerManager"},
                             {"root-node", "1.5.39", "root node", "NiControllerManager"},
                         }),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           std::string name = std::string(info.param.fault) + "_" + info.param.runtime;
                           for (char& ch : name)
                             if (ch == '-' || ch == '.') ch = '_';
                           return name;
                         });
