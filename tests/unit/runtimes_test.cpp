// Which runtimes each build loads on, how the log names them and their store,
// where the log goes, and the fields that moved, by runtime.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "game/address_library.h"
#include "game/engine_binding.h"
#include "game/offsets.h"
#include "game/runtime_version.h"
#include "game/script_machine.h"
#include "plugin/edition.h"
#include "plugin/host.h"
#include "support/runtime_ids.h"
#include "support/temp_dir.h"

using namespace NimbrelVR;
using namespace NimbrelVR::game;
using namespace testsupport;

namespace {

// Sets the game's and the documents' folders for one test.
class Folders {
 public:
  Folders() {
    setenv("NIMBREL_DOCUMENTS", documents.path().c_str(), 1);
    setenv("NIMBREL_GAME_FOLDER", game.path().c_str(), 1);
  }
  ~Folders() {
    unsetenv("NIMBREL_GAME_FOLDER");
    unsetenv("NIMBREL_DOCUMENTS");
  }
  std::string Log(const char* gameFolder) const {
    return testsupport::ReadFile(documents.path() + "/My Games/" + gameFolder + "/SKSE/NimbrelPlugin.log");
  }
  // A database file in the game's folder, written u32 by u32, little-endian.
  void WriteDatabase(const std::string& name, const std::vector<uint32_t>& words) const {
    std::vector<uint8_t> bytes;
    for (uint32_t word : words)
      for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(word >> (8 * i)));
    std::filesystem::create_directories(game.path() + "/Data/SKSE/Plugins");
    std::ofstream(game.path() + "/Data/SKSE/Plugins/" + name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }

  testsupport::TempDir documents;
  testsupport::TempDir game;
};

}  // namespace

TEST(Runtimes, EachBuildAcceptsItsRuntimesAndLogsBelowItsStoresFolder) {
#if NIMBREL_EDITION_VR
  const std::pair<uint32_t, bool> cases[] = {{0x010400F0, false}, {kVr, true},          {0x010400F2, true},
                                             {0x01041000, true},  {0x01050270, false},  {k1_6_1170, false},
                                             {k1_7_99, false},    {kGog1_6_1179, false}};
  EXPECT_STREQ(edition::LogPathFor(kGog1_6_1179), edition::kLogPath);
#else
  const std::pair<uint32_t, bool> cases[] = {
      {0x01050260, false},                  // 1.5.38
      {0x01050270, true},                   // 1.5.39
      {0x01050271, false},                  // 1.5.39 on GOG: its SKSE starts at 1.6.659
      {k1_5_97, true},                      // 1.5.97
      {0x010613C0, false},                  // 1.6.316
      {0x010613D0, true},                   // 1.6.317
      {k1_6_1170, true},                    // 1.6.1170
      {0x0106FFF0, true},                   // 1.6.4095
      {0x01070000, false},                  // 1.7.0
      {0x01070620, false},                  // 1.7.98
      {k1_7_99, true},                      // 1.7.99
      {k1_7_104, true},                     // 1.7.104
      {0x0107FFF0, true},                   // 1.7.4095
      {0x01080000, false},                  // 1.8.0
      {0x02000000, false},                  // 2.0.0
      {0x01062921, false},                  // GOG 1.6.658
      {kGog1_6_659, true},                  // GOG 1.6.659
      {0x01064921, true},                   // GOG 1.6.1170
      {kGog1_6_1179, true},                 // GOG 1.6.1179
      {0x01070631, false},                  // GOG 1.7.99: no such SKSE
      {kEpic1_6_678, false},                // Epic 1.6.678
      {0x01064922, false},                  // Epic 1.6.1170
      {0x01070632, false},                  // Epic 1.7.99
      {0x01064923, false},                  // an unknown store
      {0x0106492F, false},   {kVr, false},  // VR 1.4.15.1: its sub-version 1 is no store
  };
  EXPECT_STREQ(edition::LogPathFor(0), "\\My Games\\Skyrim Special Edition\\SKSE\\NimbrelPlugin.log");
  EXPECT_STREQ(edition::LogPathFor(k1_7_99), edition::LogPathFor(0));
  EXPECT_STREQ(edition::LogPathFor(kEpic1_6_678), edition::LogPathFor(0));
  EXPECT_STREQ(edition::LogPathFor(kVr), edition::LogPathFor(0));
  EXPECT_STREQ(edition::LogPathFor(kGog1_6_1179), "\\My Games\\Skyrim Special Edition GOG\\SKSE\\NimbrelPlugin.log");
  EXPECT_STREQ(edition::LogPathFor(0x01050271), edition::LogPathFor(kGog1_6_1179));
#endif
  for (const auto& [runtime, supported] : cases)
    EXPECT_EQ(edition::RuntimeSupported(runtime), supported) << std::hex << runtime;
}

TEST(Runtimes, TheWordsNameTheStoreOfASpecialEditionRuntimeOnly) {
  const auto text = [](uint32_t runtime, StoreShown shown) { return std::string(RuntimeText(runtime, shown).text); };
  EXPECT_EQ(text(k1_7_99, StoreShown::Always), "1.7.99 (Steam)");
  EXPECT_EQ(text(k1_7_99, StoreShown::UnlessSteam), "1.7.99");
  EXPECT_EQ(text(k1_7_99, StoreShown::Never), "1.7.99");
  EXPECT_EQ(text(kGog1_6_1179, StoreShown::Always), "1.6.1179 (GOG)");
  EXPECT_EQ(text(kGog1_6_1179, StoreShown::UnlessSteam), "1.6.1179 (GOG)");
  EXPECT_EQ(text(kGog1_6_1179, StoreShown::Never), "1.6.1179");
  EXPECT_EQ(text(kEpic1_6_678, StoreShown::UnlessSteam), "1.6.678 (Epic)");
  EXPECT_EQ(text(0x0106492F, StoreShown::UnlessSteam), "1.6.1170 (unknown store 15)");
  EXPECT_EQ(text(0x01080000, StoreShown::UnlessSteam), "1.8.0");
  // Below 1.5 the fourth number is a version's.
  EXPECT_EQ(text(kVr, StoreShown::Always), "1.4.15.1");
  EXPECT_EQ(text(0x010400F0, StoreShown::Always), "1.4.15");
  EXPECT_EQ(StoreOf(kVr), Store::None);
}

TEST(Runtimes, TheMovedFieldsFollowTheVersionWhateverTheStore) {
  const struct {
    uint32_t runtime;
    ptrdiff_t cellWorldspace, scriptMachineRegistry;
  } cases[] = {
      {0, 0x120, 0x200},             // the built-in tables'
      {kVr, 0x120, 0x200},           // VR 1.4.15.1
      {k1_5_97, 0x120, 0x200},       //
      {0x01061610, 0x120, 0x200},    // 1.6.353
      {0x01062740, 0x120, 0x200},    // 1.6.628
      {0x0106274F, 0x120, 0x200},    // 1.6.628, store 15
      {0x01062750, 0x128, 0x200},    // 1.6.629
      {0x01062751, 0x128, 0x200},    // 1.6.629 on GOG
      {kGog1_6_659, 0x128, 0x200},   //
      {k1_6_1170, 0x128, 0x200},     //
      {kGog1_6_1179, 0x128, 0x200},  //
      {0x0107062F, 0x128, 0x200},    // 1.7.98, store 15
      {k1_7_99, 0x128, 0x210},       //
      {0x01070631, 0x128, 0x210},    // 1.7.99 on GOG
      {k1_7_104, 0x128, 0x210},      //
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CellWorldspaceOffset(c.runtime), c.cellWorldspace) << std::hex << c.runtime;
    EXPECT_EQ(ScriptMachineRegistryOffset(c.runtime), c.scriptMachineRegistry) << std::hex << c.runtime;
  }
  EXPECT_EQ(Engine().cellWorldspace, 0x120);  // the built-in tables' runtimes
  EXPECT_EQ(Engine().scriptMachineRegistry, 0x200);
}

// The registry every native call takes is read where the binding says: on
// 1.7 the old offset holds another object.
TEST(Runtimes, TheScriptRegistryIsReadAtTheRunningRuntimesOffset) {
  const EngineBinding before = Engine();
  alignas(8) unsigned char machine[0x220] = {};
  int sink = 0;
  int registry = 0;
  void* const atOld = &sink;
  void* const atNew = &registry;
  std::memcpy(machine + 0x200, &atOld, sizeof atOld);
  std::memcpy(machine + 0x210, &atNew, sizeof atNew);
  void* holder = machine;

  EngineBinding bound = before;
  bound.ScriptVmHolder = &holder;
  bound.scriptMachineRegistry = ScriptMachineRegistryOffset(k1_7_99);
  InstallBinding(bound);
  EXPECT_EQ(ScriptRegistry(), &registry);
  bound.scriptMachineRegistry = ScriptMachineRegistryOffset(k1_6_1170);
  InstallBinding(bound);
  EXPECT_EQ(ScriptRegistry(), &sink);
  holder = nullptr;  // no machine yet
  EXPECT_EQ(ScriptRegistry(), nullptr);
  InstallBinding(before);
}

#if !NIMBREL_EDITION_VR
// The Anniversary Edition's host calls the load without a query: the load
// writes what the query would and refuses where it would.
TEST(Runtimes, ALoadWithoutQueryRunsTheQuerysStepsFirst) {
  Folders folders;
  HostInterface host{};
  host.runtimeVersion = k1_6_1170;
  EXPECT_FALSE(LoadPlugin(&host));
  EXPECT_FALSE(LoadPlugin(&host));  // and once refused, stays so
  EXPECT_EQ(folders.Log("Skyrim Special Edition"),
            std::string("Nimbrel: ") + kVersion +
                "\nSKSE Version: 17189152\n"
                "Game runtime 1.6.1170 (Steam).\n"
                "Cannot find Data/SKSE/Plugins/versionlib-1-6-1170-0.bin.\n"
                "Install the Address Library for SKSE Plugins for Skyrim 1.6.1170: this build finds the game's code "
                "through it.\n");
}

// SKSE's GOG build writes below the GOG game's documents folder, and so does
// the plug-in, from its first line.
TEST(Runtimes, AGogGameLogsBelowItsOwnDocumentsFolder) {
  Folders folders;
  HostInterface host{};
  host.runtimeVersion = kGog1_6_1179;
  EXPECT_FALSE(LoadPlugin(&host));
  EXPECT_EQ(folders.Log("Skyrim Special Edition GOG"),
            std::string("Nimbrel: ") + kVersion +
                "\nSKSE Version: 17189297\n"
                "Game runtime 1.6.1179 (GOG).\n"
                "Cannot find Data/SKSE/Plugins/versionlib-1-6-1179-0.bin.\n"
                "Install the Address Library for SKSE Plugins for Skyrim 1.6.1179 (GOG): this build finds the game's "
                "code through it.\n");
  EXPECT_FALSE(std::filesystem::exists(folders.documents.path() + "/My Games/Skyrim Special Edition"));
}

TEST(Runtimes, ARefusedStoreIsNamedInTheRefusalsSecondLine) {
  Folders folders;
  HostInterface host{};
  host.runtimeVersion = kEpic1_6_678;
  EXPECT_FALSE(LoadPlugin(&host));
  EXPECT_EQ(folders.Log("Skyrim Special Edition"),
            std::string("Nimbrel: ") + kVersion +
                "\nSKSE Version: 17181282\n"
                "Game runtime 1.6.678 (Epic).\n"
                "unsupported runtime version 01062A62\n"
                "This build runs on Skyrim Special Edition 1.5.39, 1.5.97, 1.6.317 or a later 1.6 and 1.7.99 or a "
                "later 1.7 (GOG: 1.6.659 or a later 1.6); this game is 1.6.678 (Epic).\n");
}

// 1.7.99 reads its own file, in format 5, and its binding holds the moved
// field. (The reader's refusals are the reader's tests'.)
TEST(Runtimes, A1_7RuntimeBindsThroughItsFormat5Database) {
  Folders folders;
  const EngineBinding before = Engine();
  uint32_t maxId = 0;
  for (const SpecialEditionEntry& entry : kSpecialEditionEntries) maxId = std::max(maxId, entry.aeId);

  // Every id at 0x100000 + 0x10 * id.
  std::vector<uint32_t> v5 = {5, 1, 7, 99, 0};
  v5.resize(v5.size() + 16);  // the name, 64 bytes (left empty: never read)
  v5.insert(v5.end(), {8, 0, maxId + 1});
  ASSERT_EQ(v5.size() * 4, kAddressLibraryV5HeaderBytes);
  v5.push_back(0);  // id 0: none
  for (uint32_t id = 1; id <= maxId; ++id) v5.push_back(0x100000 + 0x10 * id);
  folders.WriteDatabase("versionlib-1-7-99-0.bin", v5);
  const BindingReport report = BindEngine(k1_7_99);
  ASSERT_EQ(report.outcome, BindingReport::Outcome::Bound) << report.problem.text;
  EXPECT_STREQ(report.file, "Data/SKSE/Plugins/versionlib-1-7-99-0.bin");
  EXPECT_EQ(reinterpret_cast<uintptr_t>(Engine().FormFromId), Engine().gameBase + 0x100000 + 0x10 * 14617);
  EXPECT_EQ(Engine().cellWorldspace, 0x128);
  EXPECT_EQ(Engine().scriptMachineRegistry, 0x210);
  InstallBinding(before);
}
#endif
