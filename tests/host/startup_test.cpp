// Query and load of the built plug-ins, as the host performs them.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "nimbrel/version.h"
#include "support/plugin_run.h"

using nimbrel_sim::Edition;
using testsupport::OptionsFor;
using testsupport::PluginRun;

namespace {

class Startup : public ::testing::TestWithParam<Edition> {
 protected:
  bool IsVr() const { return GetParam() == Edition::VR; }
  std::string Banner() const { return std::string(IsVr() ? "NimbrelVR: " : "Nimbrel: ") + NimbrelVR::kVersion + "\n"; }
};

std::string EditionTestName(const ::testing::TestParamInfo<Edition>& info) {
  return testsupport::EditionName(info.param);
}

}  // namespace

TEST_P(Startup, QueryWritesTheBannerAndRuntimeAndFillsTheDescription) {
  PluginRun run(OptionsFor(GetParam()));
  ASSERT_TRUE(run.game().query());
  const std::string runtime = IsVr() ? "17039601" : "17105520";
  EXPECT_EQ(run.Log(), Banner() + "SKSE Version: " + runtime + "\n" + (IsVr() ? "" : "Game runtime 1.5.39 (Steam).\n"));
  const auto& description = run.game().description();
  ASSERT_TRUE(description.filled);
  EXPECT_EQ(description.infoVersion, 1u);
  EXPECT_EQ(description.name, IsVr() ? "NimbrelVRPlugin" : "NimbrelPlugin");
  EXPECT_EQ(description.version, IsVr() ? 4160u : 4097u);
}

TEST_P(Startup, EditorIsRefusedButTheDescriptionIsFilled) {
  auto options = OptionsFor(GetParam());
  options.editor = true;
  PluginRun run(options);
  EXPECT_FALSE(run.game().query());
  EXPECT_TRUE(run.game().description().filled);
  EXPECT_NE(run.Log().find("\nloaded in editor, marking as incompatible\n"), std::string::npos) << run.Log();
}

TEST_P(Startup, LogDirectoriesAreCreatedAlongThePath) {
  PluginRun run(OptionsFor(GetParam()));
  const std::filesystem::path log = run.game().pluginLogPath();
  ASSERT_FALSE(std::filesystem::exists(run.game().documentsDir() + "/My Games"));
  ASSERT_TRUE(run.game().query());
  EXPECT_TRUE(std::filesystem::is_directory(log.parent_path()));
  EXPECT_TRUE(std::filesystem::is_regular_file(log));
  EXPECT_EQ(log.parent_path().filename(), "SKSE");
  EXPECT_EQ(log.parent_path().parent_path().filename(), IsVr() ? "Skyrim VR" : "Skyrim Special Edition");
}

TEST_P(Startup, MissingDocumentsFolderIsReportedOnStandardOutputAndRefused) {
  auto options = OptionsFor(GetParam());
  options.documentsFailure = 0x80004005;
  options.documentsLastError = 0x5;
  PluginRun run(options);
  testing::internal::CaptureStdout();
  const bool accepted = run.game().query();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(accepted);
  EXPECT_NE(out.find("SHGetFolderPath 00000005 failed (result = 80004005 lasterr = 00000005)\n"
                     "Assertion failed in IDebugLog (64): SUCCEEDED(err) (code = FFFFFFFF80004005 (-2147467259))\n"),
            std::string::npos)
      << out;
  EXPECT_FALSE(std::filesystem::exists(run.game().documentsDir() + "/My Games"));
}

TEST_P(Startup, AGoodStartLeavesTheConsoleQuiet) {
  PluginRun run(OptionsFor(GetParam()));
  testing::internal::CaptureStdout();
  ASSERT_TRUE(run.QueryAndLoad());
  run.game().startUp();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_NE(run.Log().find("Min Lightning Frequency is"), std::string::npos) << run.Log();  // all in the file
}

TEST_P(Startup, ALogPathTooLongForTheSystemGoesToTheConsoleAndTheQueryGoesOn) {
  PluginRun run(OptionsFor(GetParam()), 240);  // fits; with the log's own path it does not
  ASSERT_EQ(run.game().documentsDir().size(), 240u);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(run.QueryAndLoad());
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(
      out.rfind("Log path too long, logging to the console only: " + run.game().documentsDir() + "\\My Games\\", 0), 0u)
      << out;
  EXPECT_FALSE(std::filesystem::exists(run.game().documentsDir() + "/My Games"));
}

TEST_P(Startup, LoadAsksForTheThreeInterfacesAndRegistersTheListener) {
  PluginRun run(OptionsFor(GetParam()));
  ASSERT_TRUE(run.QueryAndLoad());
  EXPECT_EQ(run.game().host().interfaceRequests(), (std::vector<uint32_t>{2, 4, 5}));
  EXPECT_EQ(run.game().host().listenerCount(), 1u);
  EXPECT_EQ(run.game().host().listenerHandle(), run.game().host().pluginHandle());
  EXPECT_EQ(run.game().host().scriptCallbackCount(), 1u);
  EXPECT_NE(run.Log().find("\nNimbrelVRPluginScript loaded\n"), std::string::npos) << run.Log();
}

// A host that hands out no interface for `missing`: one log line, the steps
// that need it skipped, and the rest of start-up goes on.
void RunWithoutInterface(Edition edition, uint32_t missing) {
  auto options = OptionsFor(edition);
  options.missingInterfaces = {missing};
  PluginRun run(options);
  ASSERT_TRUE(run.QueryAndLoad());
  run.game().startUp();
  run.game().host().loadSavedGame();
  run.game().checks().finalChecks();
  EXPECT_TRUE(run.game().checks().ok());
  EXPECT_NE(run.Log().find("Host interface " + std::to_string(missing) + " is missing"), std::string::npos)
      << run.Log();
  EXPECT_EQ(run.game().host().listenerCount(), missing == 5 ? 0u : 1u);
  EXPECT_EQ(run.game().host().scriptCallbackCount(), missing == 2 ? 0u : 1u);
}

TEST_P(Startup, WithoutTheScriptInterface) { RunWithoutInterface(GetParam(), 2); }
TEST_P(Startup, WithoutTheTaskInterface) { RunWithoutInterface(GetParam(), 4); }
TEST_P(Startup, WithoutTheMessagingInterface) { RunWithoutInterface(GetParam(), 5); }

INSTANTIATE_TEST_SUITE_P(Editions, Startup, ::testing::Values(Edition::SpecialEdition, Edition::VR), EditionTestName);

TEST(RuntimeGate, VrAcceptsItsOldestRuntimeAndRefusesOlder) {
  auto options = OptionsFor(Edition::VR);
  options.runtimeVersion = 0x010400F1;
  PluginRun run(options);
  EXPECT_TRUE(run.game().query());
}

TEST(RuntimeGate, VrAcceptsANewerRuntime) {
  auto options = OptionsFor(Edition::VR);
  options.runtimeVersion = 0x010400F2;
  PluginRun run(options);
  EXPECT_TRUE(run.game().query());
}

TEST(RuntimeGate, VrRefusesARuntimeBelowItsOldest) {
  auto options = OptionsFor(Edition::VR);
  options.runtimeVersion = 0x010400F0;
  PluginRun run(options);
  EXPECT_FALSE(run.game().query());
  EXPECT_EQ(run.Log(), std::string("NimbrelVR: ") + NimbrelVR::kVersion +
                           "\nSKSE Version: 17039600\nunsupported runtime version 010400F0\n"
                           "This build runs on Skyrim VR 1.4.15.1 or a later 1.4; this game is 1.4.15.\n");
}

TEST(RuntimeGate, VrRefusesTheSpecialEditionRuntimes) {
  for (const uint32_t runtime : {0x01050270u, 0x01062800u}) {
    auto options = OptionsFor(Edition::VR);
    options.runtimeVersion = runtime;
    PluginRun run(options);
    EXPECT_FALSE(run.game().query());
    EXPECT_NE(run.Log().find("\nThis build runs on Skyrim VR 1.4.15.1 or a later 1.4; this game is " +
                             std::string(runtime == 0x01050270u ? "1.5.39" : "1.6.640") + ".\n"),
              std::string::npos);
  }
}

TEST(RuntimeGate, SpecialEditionRefusesEveryRuntimeButItsOwn) {
  // 1.5.39 from the GOG store: its SKSE starts at 1.6.659, and its log lies
  // below the GOG game's folder.
  auto options = OptionsFor(Edition::SpecialEdition);
  options.runtimeVersion = 0x01050271;
  PluginRun run(options);
  EXPECT_FALSE(run.game().query());
  const std::string log =
      testsupport::ReadFile(run.game().documentsDir() + "/My Games/Skyrim Special Edition GOG/SKSE/NimbrelPlugin.log");
  EXPECT_EQ(log, std::string("Nimbrel: ") + NimbrelVR::kVersion +
                     "\nSKSE Version: 17105521\nGame runtime 1.5.39 (GOG).\nunsupported runtime version 01050271\n"
                     "This build runs on Skyrim Special Edition 1.5.39, 1.5.97, 1.6.317 or a later 1.6 and 1.7.99 or a "
                     "later 1.7 (GOG: 1.6.659 or a later 1.6); this game is 1.5.39 (GOG).\n");
}

TEST(RuntimeGate, SpecialEditionRefusesTheVrRuntime) {
  auto options = OptionsFor(Edition::SpecialEdition);
  options.runtimeVersion = 0x010400F1;
  PluginRun run(options);
  EXPECT_FALSE(run.game().query());
  EXPECT_NE(run.Log().find("unsupported runtime version 010400F1\nThis build runs on Skyrim Special Edition 1.5.39, "
                           "1.5.97, 1.6.317 or a later 1.6 and 1.7.99 or a later 1.7 (GOG: 1.6.659 or a later 1.6); "
                           "this game is 1.4.15.1.\n"),
            std::string::npos);
}

TEST(RuntimeGate, SpecialEditionNamesANewerRuntimeInWords) {
  auto options = OptionsFor(Edition::SpecialEdition);
  options.runtimeVersion = 0x01080000;  // 1.8.0
  PluginRun run(options);
  EXPECT_FALSE(run.game().query());
  EXPECT_NE(run.Log().find("\nThis build runs on Skyrim Special Edition 1.5.39, 1.5.97, 1.6.317 or a later 1.6 and "
                           "1.7.99 or a later 1.7 (GOG: 1.6.659 or a later 1.6); this game is 1.8.0.\n"),
            std::string::npos);
}

// What SKSE for AE reads from Nimbrel.dll without running it. SKSE 2.3.1
// (1.7.104) refuses a plug-in that does not say it reads the Address
// Library's format 5 (bit 1 of versionIndependenceEx).
TEST(VersionData, TheSpecialEditionSaysItUsesNoStructureAndReadsTheAddressLibrarysFormats) {
  void* plugin = dlopen(testsupport::PluginPath(Edition::SpecialEdition).c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(plugin, nullptr) << dlerror();
  const auto* data = static_cast<const unsigned char*>(dlsym(plugin, "SKSEPlugin_Version"));
  ASSERT_NE(data, nullptr);
  const auto u32 = [data](size_t at) {
    uint32_t value;
    std::memcpy(&value, data + at, sizeof value);
    return value;
  };
  EXPECT_EQ(u32(0x000), 1u);  // dataVersion
  EXPECT_STREQ(reinterpret_cast<const char*>(data + 0x008), "NimbrelPlugin");
  EXPECT_EQ(u32(0x304), 1u | 2u);  // NoStructUse, AddressLibraryV5
  EXPECT_EQ(u32(0x308), 1u);       // AddressLibraryPostAE
  EXPECT_EQ(u32(0x30C), 0u);       // no list of runtimes: independent of them
  dlclose(plugin);
}
