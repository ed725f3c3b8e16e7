// The double's watch on the plug-in's log: the stand-down lines and what
// follows them, and the summary's verdicts on them. The plug-in here is a
// fake whose log the test writes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/storm_summary.h"
#include "main_thread_tasks.h"
#include "nimbrel_sim/game_double.h"
#include "test_support.h"

using namespace nimbrel_sim;
using nimbrel_sim_tests::Field;

namespace {

Options OptionsOn(uint32_t runtime, const char* name) {
  return nimbrel_sim_tests::OptionsOn(runtime, "nimbrel-watch-", name);
}

}  // namespace

// --- the watch on the plug-in's stand-down ------------------------------------------

namespace {

// A plug-in that stands down at load: its log's two lines, then a thread of
// its own that makes one engine call before and one after the double saw
// them.
std::string gLogPath;
std::atomic<int> gStage{0};
uintptr_t gFormFromId = 0;
GameDouble* gGame = nullptr;

void WriteLog(const std::vector<std::string>& lines) {
  std::filesystem::create_directories(std::filesystem::path(gLogPath).parent_path());
  std::ofstream log(gLogPath, std::ios::app);
  for (const std::string& line : lines) log << line << "\n";
}

bool FakeQuery(const void*, void*) { return true; }

bool StandingDownLoad(const void*) {
  std::thread([] {
    const auto formFromId = reinterpret_cast<void* (*)(uint32_t)>(gFormFromId);
    formFromId(0x14);  // before the lines: allowed
    WriteLog({"Nimbrel: 1.1.0",
              "Runtime 1.5.39 is not laid out as this build expects: the sky's current weather (+0x48) should hold "
              "an object of class TESWeather, but holds an object of class Clouds (.?AVClouds@@).",
              "Lightning stands down for this game session; the game goes on without it. Please report runtime "
              "1.5.39 and the line above."});
    while (!gGame->checks().standDown().seen) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    formFromId(0x14);  // the planted call
    formFromId(0x14);
    gStage = 1;
  }).detach();
  return true;
}

bool QuietLoad(const void*) {
  std::thread([] {
    WriteLog({"Nimbrel: 1.1.0", "weatherLightningFreq: 255"});
    reinterpret_cast<void* (*)(uint32_t)>(gFormFromId)(0x14);
    gStage = 1;
  }).detach();
  return true;
}

}  // namespace

// The watch records the lines in the trace as it sees them; an engine call
// from one of the plug-in's threads after them fails the run once, with the
// entry and the thread, and counts; the host's thread may still call.
TEST(StandDownWatch, AnEngineCallFromThePluginsThreadAfterItsLineFailsTheRun) {
  GameDouble game(OptionsOn(kRuntime1_5_39, "watch"));
  gGame = &game;
  gLogPath = game.pluginLogPath();
  gFormFromId = game.checks().imageBase() + 0x1943b0;  // FormFromId in 1.5.39
  ASSERT_TRUE(game.usePluginEntryPoints(&FakeQuery, &StandingDownLoad));
  ASSERT_TRUE(game.load());
  while (gStage.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  reinterpret_cast<void* (*)(uint32_t)>(gFormFromId)(0x14);  // the host's thread
  game.checks().finalChecks();
  const StandDownSeen seen = game.checks().standDown();
  EXPECT_TRUE(seen.seen);
  EXPECT_NE(seen.reasonLine.find("the sky's current weather (+0x48) should hold"), std::string::npos);
  EXPECT_EQ(seen.standDownLine.rfind("Lightning stands down for this game session", 0), 0u);
  EXPECT_EQ(seen.pluginEngineCallsAfter, 2u);
  const auto failures = game.checks().failures();
  ASSERT_EQ(failures.size(), 1u) << ::testing::PrintToString(failures);
  EXPECT_EQ(failures[0].rfind("FormFromId called from one of the plug-in's own threads (system thread ", 0), 0u)
      << failures[0];
  // In the trace the lines come before the calls the check caught.
  const std::vector<std::string> trace = game.checks().trace();
  auto first = [&](const std::string& fn) {
    return std::find_if(trace.begin(), trace.end(),
                        [&](const std::string& l) { return l.find("\"fn\":\"" + fn + "\"") != std::string::npos; });
  };
  ASSERT_NE(first("StandDownLine"), trace.end());
  EXPECT_LT(first("StandDownLine"), first("EngineCallAfterStandDown"));
}

// Without the plug-in's words nothing is seen, and its calls stay allowed.
TEST(StandDownWatch, OtherLinesAreNoStandDown) {
  GameDouble game(OptionsOn(kRuntime1_5_39, "quiet"));
  gGame = &game;
  gLogPath = game.pluginLogPath();
  gFormFromId = game.checks().imageBase() + 0x1943b0;
  ASSERT_TRUE(game.usePluginEntryPoints(&FakeQuery, &QuietLoad));
  ASSERT_TRUE(game.load());
  while (gStage.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  game.checks().finalChecks();
  EXPECT_FALSE(game.checks().standDown().seen);
  EXPECT_TRUE(game.checks().ok()) << ::testing::PrintToString(game.checks().failures());
}

// --- the plug-in's line that lightning works ------------------------------------------------

namespace {

const char kWorksLine[] =
    "Lightning works on runtime 1.5.39 (Steam): the first strike was cast, and every object checked so far was of "
    "the expected class.";

// The steps a case takes, in order: lines of the fake plug-in's log before
// the cast task, inside it after the cast, after it.
struct WorksCase {
  const char* name;
  bool cast;
  std::vector<const char*> before, inTask, after;
  const char* failure;  // the start of the one failure the run must have ("" for none)
  const char* words;    // in the summary's words
};
void PrintTo(const WorksCase& c, std::ostream* out) { *out << c.name; }
class LightningWorks : public ::testing::TestWithParam<WorksCase> {};

const char kReason[] =
    "Runtime 1.5.39 is not laid out as this build expects: the sky's current weather (+0x48) should "
    "hold an object of class TESWeather, but holds an object of class Clouds.";
const char kStandDown[] = "Lightning stands down for this game session; the game goes on without it.";

}  // namespace

TEST_P(LightningWorks, TheLineMustComeBetweenTheFirstCastAndTheReturnOfItsTask) {
  const WorksCase& c = GetParam();
  GameDouble game(OptionsOn(kRuntime1_5_39, c.name));
  gLogPath = game.pluginLogPath();
  auto* tasks = nimbrel_sim_tests::taskInterface(game);  // the plug-in's query starts the log watch
  game.data().installDefaultData();
  game.world().loadWorld();
  const uintptr_t base = game.checks().imageBase();
  using Cast = void (*)(uintptr_t, uint32_t, void*, void*, void*);
  const auto cast = reinterpret_cast<Cast>(base + 0x980de0);  // SpellCastNative in 1.5.39
  const uintptr_t registry = Field<uintptr_t>(nimbrel_sim_tests::HolderValue(game, kScriptVmHolder), 0x200);
  void* spell = game.data().findForm(game.data().pluginFormId(0x900));
  void* caster = game.data().findForm(game.data().pluginFormId(0xA00));
  void* target = game.data().findForm(game.data().pluginFormId(0xA01));
  ASSERT_TRUE(spell && caster && target);
  auto write = [](const std::vector<const char*>& lines) {
    if (!lines.empty()) WriteLog(std::vector<std::string>(lines.begin(), lines.end()));
  };

  write({"Nimbrel: 1.1.0"});
  write(c.before);
  // The watch's own thread reads the log every few ms: give it time to see
  // what came before, as it would in a run.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (c.cast) {
    nimbrel_sim_tests::onMainThread(game, tasks, [&] {
      cast(registry, 0, spell, caster, target);
      write(c.inTask);
    });
  }
  write(c.after);
  game.checks().finalChecks();

  const std::vector<std::string> failures = game.checks().failures();
  if (*c.failure) {
    ASSERT_EQ(failures.size(), 1u) << ::testing::PrintToString(failures);
    EXPECT_EQ(failures[0].rfind(c.failure, 0), 0u) << failures[0];
  } else {
    EXPECT_TRUE(failures.empty()) << ::testing::PrintToString(failures);
  }
  const LightningWorksSeen seen = game.checks().lightningWorks();
  EXPECT_EQ(seen.cast, c.cast);
  const std::string words = cli::LightningWorksWords(seen);
  EXPECT_NE(words.find(c.words), std::string::npos) << words;
  // Every line the log got is in the trace, as the watch saw it.
  EXPECT_EQ(game.checks().callCount("LightningWorksLine"), seen.lines);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LightningWorks,
    ::testing::Values(WorksCase{"right_order", true, {}, {kWorksLine}, {}, "", "right after the first strike's cast"},
                      WorksCase{"before_the_cast",
                                true,
                                {kWorksLine},
                                {},
                                {},
                                "the plug-in said lightning works before its first spell cast ran",
                                "before the first spell cast: a failure"},
                      WorksCase{"twice",
                                true,
                                {},
                                {kWorksLine},
                                {kWorksLine},
                                "the plug-in said lightning works a second time in one game session",
                                "2 such lines"},
                      WorksCase{"late",
                                true,
                                {},
                                {},
                                {kWorksLine},
                                "the plug-in did not say lightning works right after its first spell cast",
                                "only after the task of the first spell cast had returned"},
                      WorksCase{"stood_down",
                                true,
                                {kReason, kStandDown},
                                {kWorksLine},
                                {},
                                "the plug-in said lightning works in a game session in which it stood down",
                                "right after the first strike's cast"},
                      WorksCase{"never_said",
                                true,
                                {},
                                {},
                                {},
                                "the plug-in did not say lightning works right after its first spell cast",
                                "when its task returned (a failure)"},
                      WorksCase{"never_cast", false, {}, {}, {}, "", "no spell was cast"},
                      WorksCase{"said_without_a_cast",
                                false,
                                {kWorksLine},
                                {},
                                {},
                                "the plug-in said lightning works before its first spell cast ran",
                                "before the first spell cast"}),
    [](const ::testing::TestParamInfo<WorksCase>& info) { return std::string(info.param.name); });

// --- the summary's verdicts ------------------------------------------------------------

TEST(Summary, StandDownVerdictsAndTheLightningLine) {
  StandDownSeen none;
  StandDownSeen both;
  both.seen = true;
  both.reasonLine =
      "Runtime 1.7.99 is not laid out as this build expects: the player's root node (+0x68 of its loaded 3D state at "
      "+0x68) should hold an object of class NiAVObject, but holds an object of class NiControllerManager.";
  both.standDownLine = "Lightning stands down for this game session; the game goes on without it.";
  StandDownSeen onlySecond = both;
  onlySecond.reasonLine.clear();

  EXPECT_EQ(cli::StandDownFailure("", none, 5), "");
  EXPECT_EQ(cli::StandDownFailure("root-node", both, 0), "");
  EXPECT_EQ(cli::StandDownFailure("root-node", none, 7),
            "the layout fault root-node was in force, but the plug-in did not stand down: its log has no stand-down "
            "line and lightning went on (7 spell casts)");
  EXPECT_NE(cli::StandDownFailure("root-node", onlySecond, 0).find("without its line naming what it found"),
            std::string::npos);
  EXPECT_EQ(cli::StandDownFailure("", both, 0),
            "the plug-in stood down though no layout fault was in force (the double's type information or the "
            "plug-in's check is wrong): its log says \"" +
                both.reasonLine + "\"");

  EXPECT_EQ(cli::StandDownField(both.reasonLine), "the player's root node (+0x68 of its loaded 3D state at +0x68)");
  const cli::LogFollower log("/nonexistent");
  const LightningState stood = cli::LightningFrom(log, both, "root-node", 0, {});
  EXPECT_EQ(stood.state, LightningState::State::StoodDown);
  EXPECT_EQ(stood.text.rfind("stood down (the player's root node (+0x68 of its loaded 3D state at +0x68)) \u2014 "
                             "the plug-in's log says \"Runtime 1.7.99",
                             0),
            0u)
      << stood.text;
  // A line in other words: the fault's name stands for the field.
  EXPECT_EQ(cli::LightningFrom(log, onlySecond, "root-node", 0, {}).text.rfind("stood down (root-node)", 0), 0u);
  EXPECT_NE(cli::StandDownWords(both).find("engine calls from its own threads after the double saw its first line: "
                                           "none"),
            std::string::npos);
}
