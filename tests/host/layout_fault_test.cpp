// The built plug-in in nimbrel-sim with one field or record moved
// (--layout-fault) on 1.7.99, 1.6.1170, 1.5.39 and VR: the plug-in's two
// lines naming the field and what it found there, lightning stood down, exit
// code 4, the double's checks all held, and no engine call from one of the
// plug-in's threads after the first line, read from the trace. These hold
// once the plug-in checks what it follows; a build without those checks
// fails them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/engine_calls.h"
#include "support/sim_command.h"
#include "support/temp_dir.h"

namespace {

struct Runtime {
  const char* option;  // --runtime, or "" for VR's own
  const char* words;   // as the plug-in's lines name it
  bool vr;
  bool from1_6_629;  // the cell's worldspace at +0x128
  bool from1_7_99;   // the script machine at +0x210
};
constexpr Runtime kRuntimes[] = {
    {"1.7.99", "1.7.99 (Steam)", false, true, true},
    {"1.6.1170", "1.6.1170 (Steam)", false, true, false},
    {"1.5.39", "1.5.39 (Steam)", false, false, false},
    {"", "1.4.15.1", true, false, false},
};

struct Case {
  std::string fault;
  Runtime runtime;
  std::string field;  // in the plug-in's reason line, naming where it read
  std::string found;  // in the same line, what it found there
};
void PrintTo(const Case& c, std::ostream* out) { *out << c.fault << " on " << c.runtime.words; }

std::vector<Case> Cases() {
  std::vector<Case> cases;
  for (const Runtime& r : kRuntimes) {
    const std::string worldspace = r.from1_6_629 ? "worldspace (+0x128)" : "worldspace (+0x120)";
    const std::string machine = r.from1_7_99 ? "script machine (+0x210)" : "script machine (+0x200)";
    const std::vector<Case> each = {
        {"sky-weather", r, "current weather", "Clouds"},
        {"player-cell", r, "player's cell", "outside the game's image"},
        {"cell-worldspace", r, worldspace, "unreadable"},
        {"vm-machine", r, machine, "TESFormDeleteEvent"},
        {"root-node", r, "root node", "NiControllerManager"},
        {"effect-art-model", r, "model component (+0x40) of effect-art form",
         "the vtable of the part at +0x68 of an object of class BGSProjectile"},
        {"fade-duration", r, "fade duration (+0xc4) of effect-art form", "the float"},
        {"form-list", r, "form list 0x", "outside the game's image"},
        {"hit-source", r, "hit event source (+0x5d8 of the script event holder)", "another event's source"},
        {"hit-event", r, "hit event's target (+0x0)", "SpellItem"},
        {"scene-position", r, "root node's world position", "nan"},
    };
    cases.insert(cases.end(), each.begin(), each.end());
  }
  return cases;
}

class LayoutFault : public ::testing::TestWithParam<Case> {};

}  // namespace

TEST_P(LayoutFault, ThePluginStandsDownWithItsTwoLinesAndNoEngineCallAfter) {
  using testsupport::LineStarting;
  const Case& c = GetParam();
  testsupport::TempDir dir;
  const std::string edition = c.runtime.vr ? "--edition vr" : std::string("--edition se --runtime ") + c.runtime.option;
  const testsupport::SimRun ran =
      testsupport::RunSim(edition + " --layout-fault " + c.fault + " --scenario '" + NIMBREL_SCENARIO_DIR +
                          "/short-storm.txt' --time-scale 10 --out '" + dir.path() + "'");
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
  // stand-down; and never the line that lightning works.
  const std::string log = testsupport::PluginLogOf(dir.path(), c.runtime.vr);
  std::string reason, standDown;
  for (const std::string& line : testsupport::Lines(log)) {
    if (reason.empty() && line.find("is not laid out as this build expects") != std::string::npos) reason = line;
    if (standDown.empty() && line.find("stands down for this game session") != std::string::npos) standDown = line;
  }
  EXPECT_EQ(reason.rfind(std::string("Runtime ") + c.runtime.words + " is not laid out", 0), 0u) << log;
  EXPECT_NE(reason.find(c.field), std::string::npos) << reason;
  EXPECT_NE(reason.find(c.found), std::string::npos) << reason;
  EXPECT_FALSE(standDown.empty()) << log;
  EXPECT_EQ(log.find("Lightning works"), std::string::npos) << log;

  // From the trace: the double saw the lines, and after the first no call
  // into the engine came from a thread of the plug-in ("other").
  const std::vector<std::string> trace = testsupport::Lines(testsupport::ReadFile(dir.path() + "/trace.jsonl"));
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

INSTANTIATE_TEST_SUITE_P(Kinds, LayoutFault, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           std::string name = info.param.fault + "_" +
                                              (info.param.runtime.vr ? std::string("VR") : info.param.runtime.option);
                           for (char& ch : name)
                             if (ch == '-' || ch == '.') ch = '_';
                           return name;
                         });
