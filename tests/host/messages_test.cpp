// The host's messages and what each one sets going.
#include <gtest/gtest.h>

#include <atomic>

#include "support/plugin_run.h"

using nimbrel_sim::Edition;
using nimbrel_sim::Source;
using testsupport::OptionsFor;
using testsupport::PluginRun;

namespace {

class Messages : public ::testing::TestWithParam<Edition> {};

std::string EditionTestName(const ::testing::TestParamInfo<Edition>& info) {
  return testsupport::EditionName(info.param);
}

const std::vector<uint8_t> kJump{0xE9, 0x2D, 0x00, 0x00, 0x00};

}  // namespace

TEST_P(Messages, InputLoadedRegistersTheHitAndActionSinks) {
  PluginRun run(OptionsFor(GetParam()));
  ASSERT_TRUE(run.QueryAndLoad());
  run.game().host().sendMessage(nimbrel_sim::kMsgInputLoaded);
  EXPECT_EQ(run.game().checks().sinkCount(Source::Hit), 1u);
  EXPECT_EQ(run.game().checks().sinkCount(Source::Action), 1u);
  EXPECT_EQ(run.game().checks().sinkCount(Source::MenuOpenClose), 0u);
  EXPECT_NE(run.Log().find("\nBuilding Event Sinks...\n"), std::string::npos);
}

TEST_P(Messages, WithoutScriptEventSourcesOnlyTheActionSinkIsAdded) {
  auto options = OptionsFor(GetParam());
  options.noScriptEventSources = true;
  PluginRun run(options);
  ASSERT_TRUE(run.QueryAndLoad());
  run.game().host().sendMessage(nimbrel_sim::kMsgInputLoaded);
  EXPECT_EQ(run.game().checks().sinkCount(Source::Hit), 0u);
  EXPECT_EQ(run.game().checks().sinkCount(Source::Action), 1u);
  run.game().checks().finalChecks();
  EXPECT_TRUE(run.game().checks().ok());
}

TEST_P(Messages, WithoutAnActionDispatcherOnlyTheHitSinkIsAddedAndTheLogSaysSo) {
  auto options = OptionsFor(GetParam());
  options.noActionDispatcher = true;
  PluginRun run(options);
  ASSERT_TRUE(run.QueryAndLoad());
  run.game().host().sendMessage(nimbrel_sim::kMsgInputLoaded);
  EXPECT_EQ(run.game().checks().sinkCount(Source::Hit), 1u);
  EXPECT_EQ(run.game().checks().sinkCount(Source::Action), 0u);
  EXPECT_NE(run.Log().find("\nThe host has no action event dispatcher; combat pauses on actions are off.\n"),
            std::string::npos)
      << run.Log();
  run.game().checks().finalChecks();
  EXPECT_TRUE(run.game().checks().ok());
}

TEST_P(Messages, DataLoadedPatchesTheGameAndRegistersTheMenuSink) {
  PluginRun run(OptionsFor(GetParam()));
  ASSERT_TRUE(run.QueryAndLoad());
  const std::string protectionBefore = run.game().checks().patchSiteProtection();
  run.game().host().sendMessage(nimbrel_sim::kMsgDataLoaded);
  EXPECT_EQ(run.game().checks().patchSiteBytes(), kJump);
  EXPECT_TRUE(run.game().checks().patchTailIntact());
  EXPECT_EQ(run.game().checks().patchSiteProtection(), protectionBefore);
  EXPECT_EQ(protectionBefore, "r-x");
  EXPECT_EQ(run.game().checks().sinkCount(Source::MenuOpenClose), 1u);
}

TEST_P(Messages, WithoutAMenuManagerTheMenuSinkIsSkipped) {
  auto options = OptionsFor(GetParam());
  options.noMenuManager = true;
  PluginRun run(options);
  ASSERT_TRUE(run.QueryAndLoad());
  run.game().host().sendMessage(nimbrel_sim::kMsgDataLoaded);
  EXPECT_EQ(run.game().checks().sinkCount(Source::MenuOpenClose), 0u);
  EXPECT_EQ(run.game().checks().patchSiteBytes(), kJump);
}

TEST_P(Messages, OtherMessagesAndAFailedLoadDoNothing) {
  PluginRun run(OptionsFor(GetParam()));
  ASSERT_TRUE(run.QueryAndLoad());
  const std::string logBefore = run.Log();
  const auto patchBefore = run.game().checks().patchSiteBytes();
  const size_t addSinkCalls = run.game().checks().callCount("EventSourceAddSink");

  run.game().host().sendNullMessage();
  for (uint32_t type : {0u, 1u, 4u, 5u, 7u, 9u, 0xFFFFFFFFu}) run.game().host().sendMessage(type, 1);
  run.game().host().sendMessage(nimbrel_sim::kMsgPostLoadGame, 0);

  EXPECT_EQ(run.Log(), logBefore);
  EXPECT_EQ(run.game().checks().patchSiteBytes(), patchBefore);
  EXPECT_NE(run.game().checks().patchSiteBytes(), kJump);
  EXPECT_EQ(run.game().checks().callCount("EventSourceAddSink"), addSinkCalls);
  EXPECT_EQ(run.game().checks().callCount("ScriptEventSourcesGet"), 0u);
  EXPECT_TRUE(run.game().checks().ok());
}

TEST_P(Messages, AFullStartUpAndSavedGameLoadPassEveryCheckOfTheDouble) {
  PluginRun run(OptionsFor(GetParam()));
  ASSERT_TRUE(run.QueryAndLoad());
  run.game().startUp();
  run.game().host().loadSavedGame();
  // The registered sinks let every event through to the game's other sinks.
  run.game().world().sendMenuEvent("MapMenu", true);
  run.game().world().sendMenuEvent("MapMenu", false);
  run.game().world().sendActionEvent(1, true);
  run.game().host().drainTasks();
  run.game().checks().finalChecks();
  EXPECT_TRUE(run.game().checks().ok()) << ::testing::PrintToString(run.game().checks().failures());
  EXPECT_EQ(run.game().checks().patchSiteBytes(), kJump);
  EXPECT_EQ(run.game().checks().sinkCount(Source::MenuOpenClose), 1u);
  EXPECT_EQ(run.game().checks().sinkCount(Source::Hit), 1u);
  EXPECT_EQ(run.game().checks().sinkCount(Source::Action), 1u);
}

std::atomic<int> gOtherPluginHeard{0};

TEST_P(Messages, TheHostsRulesHoldForThePlugin) {
  PluginRun run(OptionsFor(GetParam()));
  ASSERT_TRUE(run.QueryAndLoad());
  // A second load registers again: the host keeps the first listener, so
  // each message still reaches the plug-in once.
  ASSERT_TRUE(run.game().load());
  EXPECT_EQ(run.game().host().listenerCount(), 1u);
  // Another plug-in listening to every sender never hears the host.
  gOtherPluginHeard.store(0);
  ASSERT_TRUE(run.game().host().registerListenerOf(run.game().host().pluginHandle() + 1, nullptr,
                                                   [](void*) { gOtherPluginHeard.fetch_add(1); }));
  run.game().startUp();
  EXPECT_EQ(gOtherPluginHeard.load(), 0);
  EXPECT_EQ(run.game().checks().sinkCount(Source::Hit), 1u);
  const std::string log = run.Log();
  EXPECT_EQ(log.find("\nBuilding Event Sinks...\n"), log.rfind("\nBuilding Event Sinks...\n"));
  // The plug-in asked for its handle only while the host loaded it.
  run.game().checks().finalChecks();
  EXPECT_TRUE(run.game().checks().ok()) << ::testing::PrintToString(run.game().checks().failures());
  EXPECT_EQ(run.game().host().askPluginHandle(), 0xFFFFFFFFu);
  EXPECT_FALSE(run.game().checks().ok());
}

INSTANTIATE_TEST_SUITE_P(Editions, Messages, ::testing::Values(Edition::SpecialEdition, Edition::VR), EditionTestName);

namespace {

// When the script VM joins the hit source, and what the plug-in's hit sink
// does then: joined by the end of the start-up, by the end of the first game
// load, or never.
struct VmJoins {
  const char* name;
  nimbrel_sim::VmHitSink when;
  bool joinedAtStartUp;
  bool joinedAtLoad;
};
void PrintTo(const VmJoins& joins, std::ostream* out) { *out << joins.name; }

class HitSink : public ::testing::TestWithParam<VmJoins> {};

}  // namespace

// The hit sink joins the hit source only once a sink of the game's own shows
// it is one: when the script VM joins it after the plug-in's first look, a
// later look decides (data-ready, or a game load); a VM that never joins
// leaves the hit sink out. Nothing ever stands down.
TEST_P(HitSink, WaitsForTheGamesOwnSinkInTheHitSource) {
  const VmJoins& joins = GetParam();
  const std::string waiting = "The hit event source holds none of the game's sinks yet;";
  const std::string joined = "The hit sink joined the hit event source.";
  auto options = OptionsFor(Edition::SpecialEdition);
  options.vmHitSink = joins.when;
  PluginRun run(options);
  ASSERT_TRUE(run.QueryAndLoad());
  run.game().startUp();
  EXPECT_EQ(run.game().checks().sinkCount(Source::Hit), joins.joinedAtStartUp ? 1u : 0u) << run.Log();
  run.game().host().loadSavedGame();
  run.game().host().loadSavedGame();
  EXPECT_EQ(run.game().checks().sinkCount(Source::Hit), joins.joinedAtLoad ? 1u : 0u) << run.Log();
  const std::string log = run.Log();
  EXPECT_EQ(log.find(waiting), log.rfind(waiting)) << "said more than once:\n" << log;
  EXPECT_NE(log.find(waiting), std::string::npos) << log;
  EXPECT_EQ(log.find(joined) != std::string::npos, joins.joinedAtLoad) << log;
  EXPECT_LT(log.find(waiting), log.find(joined));
  EXPECT_EQ(log.find("stands down"), std::string::npos) << log;
  run.game().checks().finalChecks();
  EXPECT_TRUE(run.game().checks().ok()) << ::testing::PrintToString(run.game().checks().failures());
}

INSTANTIATE_TEST_SUITE_P(VmJoins, HitSink,
                         ::testing::Values(VmJoins{"BeforeDataReady", nimbrel_sim::VmHitSink::BeforeDataReady, true,
                                                   true},
                                           VmJoins{"AtTheFirstLoad", nimbrel_sim::VmHitSink::FirstLoad, false, true},
                                           VmJoins{"Never", nimbrel_sim::VmHitSink::Never, false, false}),
                         [](const ::testing::TestParamInfo<VmJoins>& info) { return std::string(info.param.name); });
