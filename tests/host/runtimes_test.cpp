// The SE plug-in on the runtimes it reaches through the Address Library
// database: a storm on 1.5.97 and the Anniversary Edition, and every refusal
// ending before the plug-in touches the engine.
#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "support/engine_calls.h"
#include "support/plugin_run.h"
#include "support/trace_query.h"

using nimbrel_sim::AddressLibrary;
using nimbrel_sim::Edition;
using nimbrel_sim::PluginStart;
using testsupport::HasLine;
using testsupport::OptionsFor;
using testsupport::PluginRun;

namespace {

constexpr uint32_t kRuntime1_5_97 = 0x01050610;
constexpr uint32_t kRuntime1_6_353 = 0x01061610;
constexpr uint32_t kRuntime1_6_1170 = 0x01064920;
constexpr uint32_t kRuntime1_8_0 = 0x01080000;
constexpr uint32_t kRuntimeEpic1_6_678 = 0x01062A62;

nimbrel_sim::Options OptionsOn(uint32_t runtime) {
  auto options = OptionsFor(Edition::SpecialEdition);
  options.runtimeVersion = runtime;
  return options;
}

// Trace lines of calls into the engine's code.
size_t EngineCallLines(const nimbrel_sim::GameDouble& game) {
  size_t calls = 0;
  for (const std::string& line : game.checks().trace())
    calls += testsupport::kEngineCallNames.count(testsupport::TraceFn(line));
  return calls;
}

std::string RuntimeTestName(const ::testing::TestParamInfo<uint32_t>& info) {
  switch (info.param) {
    case kRuntime1_5_97:
      return "v1_5_97";
    case kRuntime1_6_353:
      return "v1_6_353";
    default:
      return "v1_6_1170";
  }
}

class OnRuntime : public ::testing::TestWithParam<uint32_t> {};

// A file in the database's place: a runtime the plug-in does not know is
// refused before it reads one.
std::string AnyFile(const testsupport::TempDir& folder) {
  const std::string path = folder.path() + "/any-file.bin";
  std::ofstream(path) << "not a database";
  return path;
}

}  // namespace

TEST_P(OnRuntime, AShortStormStrikesThroughTheDatabaseAndWritesNoCode) {
  auto options = OptionsOn(GetParam());
  options.timeScale = 10.0;
  PluginRun run(options);
  run.PlayScenarioFile("short-storm.txt");
  auto& game = run.game();
  EXPECT_TRUE(game.checks().ok()) << ::testing::PrintToString(game.checks().failures());
  EXPECT_GT(game.world().casts().size(), 0u) << run.Log();
  EXPECT_TRUE(game.checks().codeChanges().empty());
  EXPECT_EQ(game.checks().patchSiteAddress(), 0u);  // none known on this runtime
  // SKSE for AE never asks the query; SKSE for 1.5.97 asks it first.
  EXPECT_EQ(game.checks().callCount("SKSEPlugin_Query"), GetParam() == kRuntime1_5_97 ? 1u : 0u);
  EXPECT_EQ(game.checks().callCount("SKSEPlugin_Load"), 1u);
  EXPECT_GT(game.checks().callCount("FormFromId"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Runtimes, OnRuntime, ::testing::Values(kRuntime1_5_97, kRuntime1_6_353, kRuntime1_6_1170),
                         RuntimeTestName);

namespace {

struct Refusal {
  const char* name;
  uint32_t runtime;
  AddressLibrary database;
  bool editor;
  PluginStart::Outcome by;
  std::string says;  // in the host's reason, or a line of the plug-in's log
};

// Named in test listings by its case.
void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.name; }

class Refused : public ::testing::TestWithParam<Refusal> {};

}  // namespace

TEST_P(Refused, EndsWithItsReasonAndNoEngineCall) {
  const Refusal& r = GetParam();
  auto options = OptionsOn(r.runtime);
  options.addressLibrary = r.database;
  options.editor = r.editor;
  testsupport::TempDir files;
  options.addressLibraryFile = AnyFile(files);
  PluginRun run(options);
  const PluginStart start = run.game().startPlugin();
  EXPECT_EQ(start.outcome, r.by) << start.why;
  if (r.by == PluginStart::Outcome::DeclinedByHost) {
    EXPECT_EQ(start.why, r.says);
    EXPECT_EQ(run.Log(), "");  // the plug-in never ran
  } else {
    EXPECT_NE(run.Log().find(r.says), std::string::npos) << run.Log();
  }
  EXPECT_EQ(EngineCallLines(run.game()), 0u);
  run.game().checks().finalChecks();
  EXPECT_TRUE(run.game().checks().ok()) << ::testing::PrintToString(run.game().checks().failures());
}

INSTANTIATE_TEST_SUITE_P(
    Runtimes, Refused,
    ::testing::Values(
        Refusal{"MissingOn1_5_97", kRuntime1_5_97, AddressLibrary::Missing, false,
                PluginStart::Outcome::DeclinedByPlugin, "version-1-5-97-0.bin"},
        Refusal{"CutShortOn1_5_97", kRuntime1_5_97, AddressLibrary::TruncatedBody, false,
                PluginStart::Outcome::DeclinedByPlugin, "version-1-5-97-0.bin"},
        Refusal{"MissingOnAe", kRuntime1_6_1170, AddressLibrary::Missing, false, PluginStart::Outcome::DeclinedByHost,
                "address library needs to be updated: Data/SKSE/Plugins/versionlib-1-6-1170-0.bin is missing"},
        Refusal{"CutShortOnAe", kRuntime1_6_1170, AddressLibrary::TruncatedBody, false,
                PluginStart::Outcome::DeclinedByPlugin, "versionlib-1-6-1170-0.bin"},
        Refusal{"WrongHeaderOnAe", kRuntime1_6_353, AddressLibrary::WrongHeader, false,
                PluginStart::Outcome::DeclinedByPlugin, "versionlib-1-6-353-0.bin"},
        Refusal{"AnotherRuntimesDatabaseOnAe", kRuntime1_6_1170, AddressLibrary::WrongVersion, false,
                PluginStart::Outcome::DeclinedByPlugin, "versionlib-1-6-1170-0.bin"},
        Refusal{"Runtime1_8_0WithADatabase", kRuntime1_8_0, AddressLibrary::File, false,
                PluginStart::Outcome::DeclinedByPlugin, "\nunsupported runtime version 01080000\n"},
        Refusal{"EpicWithADatabase", kRuntimeEpic1_6_678, AddressLibrary::File, false,
                PluginStart::Outcome::DeclinedByPlugin, "\nunsupported runtime version 01062A62\n"},
        Refusal{"EditorOnAe", kRuntime1_6_1170, AddressLibrary::Written, true, PluginStart::Outcome::DeclinedByPlugin,
                "\nloaded in editor, marking as incompatible\n"}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });
