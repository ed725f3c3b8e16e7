// The default storm with the built plug-in in nimbrel-sim on every runtime it
// plays: exit 0, no stand-down, and the plug-in's word that lightning works,
// once, after the first cast (the trace says when the cast ran and when the
// double saw the line).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/engine_calls.h"
#include "support/sim_command.h"
#include "support/temp_dir.h"

namespace {

struct Runtime {
  const char* option;  // --runtime, or "" for VR's own
  const char* words;   // as the plug-in's log names it
  const char* documents;
  const char* layout;  // the offset column the double lays out
};
void PrintTo(const Runtime& r, std::ostream* out) { *out << r.words; }

constexpr const char* kSe = "Skyrim Special Edition/SKSE/NimbrelPlugin.log";
constexpr Runtime kRuntimes[] = {
    {"1.5.39", "1.5.39 (Steam)", kSe, "1.5.39"},
    {"1.5.97", "1.5.97 (Steam)", kSe, "1.5.97"},
    {"1.6.353", "1.6.353 (Steam)", kSe, "1.6.353"},
    {"1.6.1170", "1.6.1170 (Steam)", kSe, "1.6.1170"},
    {"1.7.99", "1.7.99 (Steam)", kSe, "1.7.99"},
    {"1.7.104", "1.7.104 (Steam)", kSe, "1.7.104"},
    {"1.6.1179-gog", "1.6.1179 (GOG)", "Skyrim Special Edition GOG/SKSE/NimbrelPlugin.log", "1.6.1170"},
    {"", "1.4.15.1", "Skyrim VR/SKSE/NimbrelVRPlugin.log", "VR 1.4.15.1"},
};

class DefaultStorm : public ::testing::TestWithParam<Runtime> {};

}  // namespace

TEST_P(DefaultStorm, LightningWorksAndTheLogSaysSoOnceAfterTheFirstCast) {
  using testsupport::Lines;
  using testsupport::LineStarting;
  const Runtime& r = GetParam();
  testsupport::TempDir dir;
  const std::string edition = r.option[0] ? std::string("--edition se --runtime ") + r.option : "--edition vr";
  const testsupport::SimRun ran = testsupport::RunSim(edition + " --time-scale 20 --out '" + dir.path() + "'");
  EXPECT_EQ(ran.exitCode, 0) << ran.output;
  EXPECT_EQ(LineStarting(ran.output, "lightning:").rfind("lightning:    ran", 0), 0u) << ran.output;
  EXPECT_EQ(LineStarting(ran.output, "failures:"), "failures:     none") << ran.output;

  const std::string log = testsupport::ReadFile(dir.path() + "/Documents/My Games/" + r.documents);
  const std::string works = std::string("Lightning works on runtime ") + r.words +
                            ": the first strike was cast, and every object checked so far was of the expected class.";
  int said = 0;
  for (const std::string& line : Lines(log)) {
    said += line == works;
    EXPECT_EQ(line.find("stands down"), std::string::npos) << line;
  }
  EXPECT_EQ(said, 1) << log;

  // In the trace: the first cast, then the double's record of the line.
  const std::vector<std::string> trace = Lines(testsupport::ReadFile(dir.path() + "/trace.jsonl"));
  size_t firstCast = trace.size(), saw = trace.size();
  for (size_t i = 0; i < trace.size(); ++i) {
    if (firstCast == trace.size() && testsupport::TraceFn(trace[i]) == "SpellCastNative") firstCast = i;
    if (saw == trace.size() && trace[i].find("Lightning works on runtime") != std::string::npos) saw = i;
  }
  // The engine the cast ran in: the runtime's own column (GOG's nearest).
  size_t entries = trace.size();
  for (size_t i = 0; i < trace.size() && entries == trace.size(); ++i)
    if (testsupport::TraceFn(trace[i]) == "ImageEntries") entries = i;
  ASSERT_LT(entries, trace.size()) << "no ImageEntries in the trace";
  EXPECT_NE(trace[entries].find(std::string("\"layout\":\"") + r.layout + "\""), std::string::npos) << trace[entries];
  ASSERT_LT(firstCast, trace.size()) << "no cast in the trace";
  ASSERT_LT(saw, trace.size()) << "the double never saw the line";
  EXPECT_LT(firstCast, saw);
}

INSTANTIATE_TEST_SUITE_P(Runtimes, DefaultStorm, ::testing::ValuesIn(kRuntimes),
                         [](const ::testing::TestParamInfo<Runtime>& info) {
                           std::string name = info.param.option[0] ? info.param.option : "VR";
                           for (char& ch : name)
                             if (ch == '-' || ch == '.') ch = '_';
                           return "v" + name;
                         });
