// Where the log goes when its file is taken.
#include <gtest/gtest.h>

#include "nimbrel/version.h"
#include "support/plugin_run.h"

using nimbrel_sim::Edition;
using testsupport::OptionsFor;
using testsupport::PluginRun;

TEST(LogFile, HeldByAnotherWriterTheLogGoesToTheFirstFreeNumberedName) {
  PluginRun run(OptionsFor(Edition::SpecialEdition));
  const std::string path = run.game().pluginLogPath();
  ASSERT_NE(path.find("/NimbrelPlugin.log"), std::string::npos);
  const int held = testsupport::HoldForWriting(path);
  ASSERT_GE(held, 0);
  ASSERT_TRUE(run.game().query());
  EXPECT_EQ(testsupport::ReadFile(path), "");
  EXPECT_EQ(testsupport::ReadFile(path + "0").rfind(std::string("Nimbrel: ") + NimbrelVR::kVersion + "\n", 0), 0u);
}

TEST(LogFile, VrLogHeldUpToTheLastNumberGoesNowhereAndTheQueryStillAnswers) {
  PluginRun run(OptionsFor(Edition::VR));
  const std::string path = run.game().pluginLogPath();
  ASSERT_NE(path.find("/NimbrelVRPlugin.log"), std::string::npos);
  std::vector<int> held{testsupport::HoldForWriting(path)};
  for (int i = 0; i < 5; ++i) held.push_back(testsupport::HoldForWriting(path + std::to_string(i)));
  for (int fd : held) ASSERT_GE(fd, 0);
  EXPECT_TRUE(run.game().query());
  EXPECT_TRUE(run.game().load());
  run.game().startUp();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(testsupport::ReadFile(path + std::to_string(i)), "");
}
