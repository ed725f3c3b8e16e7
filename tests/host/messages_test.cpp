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
