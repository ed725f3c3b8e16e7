// The host's messages and what each one sets going.
#include <gtest/gtest.h>

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
  run.game().sendMessage(nimbrel_sim::kMsgInputLoaded);
  EXPECT_EQ(run.game().sinkCount(Source::Hit), 1u);
  EXPECT_EQ(run.game().sinkCount(Source::Action), 1u);
  EXPECT_EQ(run.game().sinkCount(Source::MenuOpenClose), 0u);
  EXPECT_NE(run.Log().find("\nBuilding Event Sinks...\n"), std::string::npos);
}

TEST_P(Messages, WithoutScriptEventSourcesOnlyTheActionSinkIsAdded) {
  auto options = OptionsFor(GetParam());
  options.noScriptEventSources = true;
  PluginRun run(options);
  ASSERT_TRUE(run.QueryAndLoad());
  run.game().sendMessage(nimbrel_sim::kMsgInputLoaded);
  EXPECT_EQ(run.game().sinkCount(Source::Hit), 0u);
  EXPECT_EQ(run.game().sinkCount(Source::Action), 1u);
  run.game().finalChecks();
  EXPECT_TRUE(run.game().ok());
}

TEST_P(Messages, WithoutAnActionDispatcherOnlyTheHitSinkIsAddedAndTheLogSaysSo) {
  auto options = OptionsFor(GetParam());
  options.noActionDispatcher = true;
  PluginRun run(options);
  ASSERT_TRUE(run.QueryAndLoad());
  run.game().sendMessage(nimbrel_sim::kMsgInputLoaded);
  EXPECT_EQ(run.game().sinkCount(Source::Hit), 1u);
  EXPECT_EQ(run.game().sinkCount(Source::Action), 0u);
  EXPECT_NE(run.Log().find("\nThe host has no action event dispatcher; combat pauses on actions are off.\n"),
            std::string::npos)
      << run.Log();
  run.game().finalChecks();
  EXPECT_TRUE(run.game().ok());
}

TEST_P(Messages, DataLoadedPatchesTheGameAndRegistersTheMenuSink) {
  PluginRun run(OptionsFor(GetParam()));
  ASSERT_TRUE(run.QueryAndLoad());
  const std::string protectionBefore = run.game().patchSiteProtection();
  run.game().sendMessage(nimbrel_sim::kMsgDataLoaded);
  EXPECT_EQ(run.game().patchSiteBytes(), kJump);
  EXPECT_TRUE(run.game().patchTailIntact());
  EXPECT_EQ(run.game().patchSiteProtection(), protectionBefore);
  EXPECT_EQ(protectionBefore, "r-x");
  EXPECT_EQ(run.game().sinkCount(Source::MenuOpenClose), 1u);
}

TEST_P(Messages, WithoutAMenuManagerTheMenuSinkIsSkipped) {
  auto options = OptionsFor(GetParam());
  options.noMenuManager = true;
  PluginRun run(options);
  ASSERT_TRUE(run.QueryAndLoad());
  run.game().sendMessage(nimbrel_sim::kMsgDataLoaded);
  EXPECT_EQ(run.game().sinkCount(Source::MenuOpenClose), 0u);
  EXPECT_EQ(run.game().patchSiteBytes(), kJump);
}

TEST_P(Messages, OtherMessagesAndAFailedLoadDoNothing) {
  PluginRun run(OptionsFor(GetParam()));
  ASSERT_TRUE(run.QueryAndLoad());
  const std::string logBefore = run.Log();
  const auto patchBefore = run.game().patchSiteBytes();
  const size_t addSinkCalls = run.game().callCount("EventSourceAddSink");

  run.game().sendNullMessage();
  for (uint32_t type : {0u, 1u, 4u, 5u, 7u, 9u, 0xFFFFFFFFu}) run.game().sendMessage(type, 1);
  run.game().sendMessage(nimbrel_sim::kMsgPostLoadGame, 0);

  EXPECT_EQ(run.Log(), logBefore);
  EXPECT_EQ(run.game().patchSiteBytes(), patchBefore);
  EXPECT_NE(run.game().patchSiteBytes(), kJump);
  EXPECT_EQ(run.game().callCount("EventSourceAddSink"), addSinkCalls);
  EXPECT_EQ(run.game().callCount("ScriptEventSourcesGet"), 0u);
  EXPECT_TRUE(run.game().ok());
}

TEST_P(Messages, AFullStartUpAndSavedGameLoadPassEveryCheckOfTheDouble) {
  PluginRun run(OptionsFor(GetParam()));
  ASSERT_TRUE(run.QueryAndLoad());
  run.game().startUp();
  run.game().loadSavedGame();
  // The registered sinks let every event through to the game's other sinks.
  run.game().sendMenuEvent("MapMenu", true);
  run.game().sendMenuEvent("MapMenu", false);
  run.game().sendActionEvent(1, true);
  run.game().drainTasks();
  run.game().finalChecks();
  EXPECT_TRUE(run.game().ok()) << ::testing::PrintToString(run.game().failures());
  EXPECT_EQ(run.game().patchSiteBytes(), kJump);
  EXPECT_EQ(run.game().sinkCount(Source::MenuOpenClose), 1u);
  EXPECT_EQ(run.game().sinkCount(Source::Hit), 1u);
  EXPECT_EQ(run.game().sinkCount(Source::Action), 1u);
}

INSTANTIATE_TEST_SUITE_P(Editions, Messages, ::testing::Values(Edition::SpecialEdition, Edition::VR),
                         EditionTestName);
