// The runtimes the double plays: its tables against the game's own database,
// the database it writes, SKSE for AE's rules, and the image, cells and
// checks of a runtime. Facts below are written out from runtimes.md.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <thread>

#include "host/version_data.h"
#include "image/address_library.h"
#include "image/image.h"
#include "image/runtimes.h"
#include "nimbrel_sim/game_double.h"
#include "support/real_data.h"
#include "test_support.h"

using namespace nimbrel_sim;

namespace {

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Options RuntimeOptions(uint32_t runtime, const char* name) {
  Options o;
  o.runtimeVersion = runtime;
  o.outDir = nimbrel_sim_tests::RunFolder("nimbrel-runtime-", name);
  return o;
}

bool AnyFailureContains(const GameDouble& game, const std::string& text) {
  for (const auto& f : game.checks().failures())
    if (f.find(text) != std::string::npos) return true;
  return false;
}

}  // namespace

// --- the database ---------------------------------------------------------------

TEST(Database, TheDoublesColumnOf1_5_97IsTheGamesOwnDatabase) {
  AddressDatabase real;
  std::string problem;
  NIMBREL_REAL_ADDRESS_LIBRARY(path, "version-1-5-97-0.bin");
  ASSERT_TRUE(decodeDatabase(ReadBytes(path), real, problem)) << problem;
  EXPECT_EQ(real.format, 1);
  EXPECT_EQ(std::vector<int32_t>(real.version, real.version + 4), (std::vector<int32_t>{1, 5, 97, 0}));
  EXPECT_EQ(real.name, "SkyrimSE.exe");
  ASSERT_EQ(real.entries.size(), 778674u);
  // The worked example of the format.
  EXPECT_EQ(real.entries[0], (std::pair<uint64_t, uint64_t>{2, 0x10d0}));
  EXPECT_EQ(real.entries[1], (std::pair<uint64_t, uint64_t>{3, 0x1160}));
  EXPECT_EQ(real.entries[2], (std::pair<uint64_t, uint64_t>{4, 0x11cc}));
  const std::map<uint64_t, uint64_t> byId(real.entries.begin(), real.entries.end());
  int compared = 0;
  for (int i = 0; i < kEntryCount; ++i) {
    const auto id = static_cast<EntryId>(i);
    if (entry(id).seId == 0) continue;
    const auto found = byId.find(entry(id).seId);
    ASSERT_NE(found, byId.end()) << entry(id).name;
    EXPECT_EQ(found->second, offsetOf(id, Layout::Se1_5_97)) << entry(id).name << " (id " << entry(id).seId << ")";
    ++compared;
  }
  EXPECT_EQ(compared, 37);  // every entry but the two of the patch site
}

TEST(Database, TheDoublesOwnFileOfEachRuntimeReadsBackAsItsTable) {
  for (const uint32_t runtime : {kRuntime1_5_97, kRuntime1_6_353, kRuntime1_6_1170}) {
    SCOPED_TRACE(runtimeName(runtime));
    const AddressDatabase written = databaseFor(Edition::SpecialEdition, runtime);
    const std::vector<uint8_t> bytes = encodeDatabase(written);
    AddressDatabase read;
    std::string problem;
    ASSERT_TRUE(decodeDatabase(bytes, read, problem)) << problem;
    EXPECT_EQ(read.format, runtime == kRuntime1_5_97 ? 1 : 2);
    EXPECT_EQ(read.version[2], static_cast<int32_t>((runtime >> 4) & 0xFFF));
    ASSERT_EQ(read.entries, written.entries);
    EXPECT_TRUE(std::is_sorted(read.entries.begin(), read.entries.end()));
    const std::map<uint64_t, uint64_t> byId(read.entries.begin(), read.entries.end());
    const Layout layout = layoutFor(Edition::SpecialEdition, runtime);
    std::set<uint64_t> real;
    for (int i = 0; i < kEntryCount; ++i) {
      const auto id = static_cast<EntryId>(i);
      const uint32_t dbId = databaseIdOf(id, Edition::SpecialEdition, runtime);
      if (dbId == 0 || offsetOf(id, layout) == 0) continue;
      EXPECT_EQ(byId.at(dbId), offsetOf(id, layout)) << entry(id).name;
      real.insert(dbId);
    }
    // A reader one id off lands in code fill, not on another entry.
    for (const uint64_t id : real) {
      for (const uint64_t next : {id - 1, id + 1}) {
        if (!real.count(next)) {
          EXPECT_EQ(entryAt(static_cast<uint32_t>(byId.at(next)), layout), kEntryCount) << next;
        }
      }
    }
    // The entries use most of the type byte's forms.
    std::set<int> idRules, offsetRules;
    size_t at = 32 + read.name.size();
    for (size_t i = 0; i < read.entries.size(); ++i) {
      const uint8_t type = bytes[at];
      idRules.insert(type & 0xF);
      offsetRules.insert(type >> 4);
      static constexpr size_t kSize[8] = {8, 0, 1, 1, 2, 2, 2, 4};
      at += 1 + kSize[type & 7] + kSize[(type >> 4) & 7];
    }
    EXPECT_EQ(at, bytes.size());
    EXPECT_GE(idRules.size(), 5u);
    EXPECT_GE(offsetRules.size(), 7u);
    EXPECT_TRUE(offsetRules.count(0xA) || offsetRules.count(0xB)) << "no offset in pointer-size units";
  }
}

TEST(Database, DamagedFilesDoNotReadOrNameAnotherRuntime) {
  const AddressDatabase own = databaseFor(Edition::SpecialEdition, kRuntime1_6_1170);
  AddressDatabase read;
  std::string problem;
  EXPECT_FALSE(decodeDatabase(damagedDatabase(own, DatabaseDamage::TruncatedBody), read, problem));
  EXPECT_NE(problem.find("the entries end early"), std::string::npos) << problem;
  EXPECT_FALSE(decodeDatabase(damagedDatabase(own, DatabaseDamage::WrongHeader), read, problem));
  EXPECT_EQ(problem, "the header's format is 7 (1 or 2)");
  ASSERT_TRUE(decodeDatabase(damagedDatabase(own, DatabaseDamage::WrongVersion), read, problem));
  EXPECT_EQ(std::vector<int32_t>(read.version, read.version + 4), (std::vector<int32_t>{1, 6, 1171, 0}));
}

// --- runtimes by name ------------------------------------------------------------

TEST(Runtimes, NamesAndPackedValuesAndTheirFiles) {
  const std::pair<const char*, uint32_t> known[] = {
      {"1.5.39", 0x01050270},  {"1.5.97", 0x01050610},   {"1.6.353", 0x01061610}, {"1.6.629", 0x01062750},
      {"1.6.640", 0x01062800}, {"1.6.1170", 0x01064920}, {"1.7.99", 0x01070630},  {"1.4.15.1", 0x010400F1},
  };
  for (const auto& [name, packed] : known) {
    uint32_t parsed = 0;
    std::string problem;
    EXPECT_TRUE(parseRuntime(name, parsed, problem)) << name;
    EXPECT_EQ(parsed, packed) << name;
    EXPECT_EQ(runtimeName(packed), name);
  }
  uint32_t parsed = 0;
  std::string problem;
  EXPECT_TRUE(parseRuntime("0x01070630", parsed, problem));
  EXPECT_EQ(parsed, 0x01070630u);
  for (const char* bad : {"", "1.6", "1.6.4096", "1.6.1170.16", "1..5", "0x", "0x123456789", "-1", "zz"})
    EXPECT_FALSE(parseRuntime(bad, parsed, problem)) << bad;

  const Edition se = Edition::SpecialEdition;
  EXPECT_EQ(databaseFileName(se, kRuntime1_5_97), "version-1-5-97-0.bin");
  EXPECT_EQ(databaseFileName(se, kRuntime1_6_1170), "versionlib-1-6-1170-0.bin");
  EXPECT_EQ(databaseFileName(se, kRuntime1_5_39), "");
  EXPECT_EQ(databaseFileName(Edition::VR, kRuntimeVR), "");
  EXPECT_EQ(layoutFor(se, 0x01070630), Layout::Ae1_6_1170);
  EXPECT_EQ(layoutFor(se, 0x01050271), Layout::Se1_5_97);
  EXPECT_EQ(cellWorldspaceOffset(se, kRuntime1_6_353), 0x120u);
  EXPECT_EQ(cellWorldspaceOffset(se, kRuntime1_6_629), 0x128u);
  EXPECT_EQ(cellWorldspaceOffset(Edition::VR, kRuntimeVR), 0x120u);
}

// --- SKSE for AE's rules -----------------------------------------------------------

namespace {

// The version data of a plug-in that claims address-library independence and
// no use of structs, as one built for every AE runtime does.
PluginVersionData GoodVersionData() {
  PluginVersionData d{};
  d.dataVersion = 1;
  d.pluginVersion = 4097;
  std::strcpy(d.name, "TestPlugin");
  d.versionIndependenceEx = kNoStructUse;
  d.versionIndependence = kAddressLibraryPostAE;
  return d;
}

AeHostContext Host1170(bool database = true) {
  return {kRuntime1_6_1170, 0x02020060, database, "Data/SKSE/Plugins/versionlib-1-6-1170-0.bin"};
}

}  // namespace

TEST(AeHost, RefusesByItsRulesInItsOrder) {
  EXPECT_EQ(aeHostRefusal(nullptr, Host1170()).rfind("no SKSEPlugin_Version export", 0), 0u);
  const PluginVersionData good = GoodVersionData();
  EXPECT_EQ(aeHostRefusal(&good, Host1170()), "");

  struct Case {
    const char* what;
    void (*change)(PluginVersionData&);
    AeHostContext host;
    std::string expected;  // the start of the refusal
  };
  const Case cases[] = {
      {"data version 0", [](PluginVersionData& d) { d.dataVersion = 0; }, Host1170(), "bad version data: dataVersion"},
      {"empty name, before unknown bits",
       [](PluginVersionData& d) {
         d.name[0] = '\0';
         d.versionIndependence |= 8;
       },
       Host1170(), "bad version data: no name"},
      {"unknown bits", [](PluginVersionData& d) { d.versionIndependence |= 8; }, Host1170(),
       "unsupported version independence 0x00000009"},
      {"no database", [](PluginVersionData&) {}, Host1170(false),
       "address library needs to be updated: Data/SKSE/Plugins/versionlib-1-6-1170-0.bin is missing"},
      {"structs after 1.6.629", [](PluginVersionData& d) { d.versionIndependenceEx = 0; }, Host1170(),
       "only compatible with versions earlier than 1.6.629"},
      {"signatures alike", [](PluginVersionData& d) { d.versionIndependenceEx = 0, d.versionIndependence = 2; },
       Host1170(), "only compatible with versions earlier than 1.6.629"},
      {"no claim, not listed",
       [](PluginVersionData& d) {
         d.versionIndependence = 0;
         d.compatibleVersions[0] = kRuntime1_6_353;
       },
       Host1170(), "incompatible with runtime 1.6.1170 (0x01064920): no independence claimed"},
      {"a newer SKSE", [](PluginVersionData& d) { d.seVersionRequired = 0x02030000; }, Host1170(),
       "requires a newer SKSE: 2.3.0, the host is 2.2.6"},
  };
  for (const Case& c : cases) {
    PluginVersionData data = GoodVersionData();
    c.change(data);
    EXPECT_EQ(aeHostRefusal(&data, c.host).rfind(c.expected, 0), 0u) << c.what << ": " << aeHostRefusal(&data, c.host);
  }

  // What the host lets through: the same data before 1.6.629, StructsPost629
  // instead of NoStructUse, and a runtime listed without a claim.
  PluginVersionData old = GoodVersionData();
  old.versionIndependenceEx = 0;
  EXPECT_EQ(aeHostRefusal(&old, {kRuntime1_6_353, 0x02010050, true, ""}), "");
  old.versionIndependence |= kStructsPost629;
  EXPECT_EQ(aeHostRefusal(&old, Host1170()), "");
  PluginVersionData listed = GoodVersionData();
  listed.versionIndependence = 0;
  listed.compatibleVersions[0] = kRuntime1_6_353;
  listed.compatibleVersions[1] = kRuntime1_6_1170;
  EXPECT_EQ(aeHostRefusal(&listed, Host1170(false)), "");
}

namespace {

int gQueries = 0, gLoads = 0;
uint32_t gHandleInLoad = 0;
struct HostRecord {
  uint32_t skse, runtime, editorVersion, editor;
  void* (*query)(uint32_t);
  uint32_t (*handle)();
};

bool CountingQuery(const void*, void*) { return ++gQueries, true; }
bool CountingLoad(const void* host) {
  ++gLoads;
  gHandleInLoad = static_cast<const HostRecord*>(host)->handle();
  return true;
}

}  // namespace

TEST(AeHost, LoadsWithoutTheQueryAndHandsTheHandleOutDuringLoad) {
  const PluginVersionData data = GoodVersionData();
  GameDouble game(RuntimeOptions(kRuntime1_6_1170, "ae-load"));
  ASSERT_TRUE(game.usePluginEntryPoints(CountingQuery, CountingLoad, &data));
  const PluginStart start = game.startPlugin();
  EXPECT_TRUE(start.loaded()) << start.why;
  EXPECT_TRUE(start.readsVersionData);
  EXPECT_EQ(start.host, "SKSE for AE 2.2.6");
  EXPECT_EQ(gQueries, 0);
  EXPECT_EQ(gLoads, 1);
  EXPECT_EQ(gHandleInLoad, game.host().pluginHandle());
  EXPECT_TRUE(game.checks().ok());
}

TEST(AeHost, AMissingDatabaseIsRefusedBeforeTheLoad) {
  const PluginVersionData data = GoodVersionData();
  Options o = RuntimeOptions(kRuntime1_6_1170, "ae-missing");
  o.addressLibrary = AddressLibrary::Missing;
  GameDouble game(o);
  ASSERT_TRUE(game.usePluginEntryPoints(CountingQuery, CountingLoad, &data));
  const PluginStart start = game.startPlugin();
  EXPECT_EQ(start.outcome, PluginStart::Outcome::DeclinedByHost);
  EXPECT_EQ(start.why, "address library needs to be updated: Data/SKSE/Plugins/versionlib-1-6-1170-0.bin is missing");
  EXPECT_EQ(gQueries + gLoads, 0);
}

TEST(SeHost, OnASeRuntimeTheQueryComesFirstAndAFalseOneEndsIt) {
  GameDouble game(RuntimeOptions(kRuntime1_5_97, "se-query"));
  ASSERT_TRUE(game.usePluginEntryPoints([](const void*, void*) { return ++gQueries, false; }, CountingLoad));
  const PluginStart start = game.startPlugin();
  EXPECT_EQ(start.outcome, PluginStart::Outcome::DeclinedByPlugin);
  EXPECT_EQ(start.why, "SKSEPlugin_Query returned false");
  EXPECT_EQ(gQueries, 1);
  EXPECT_EQ(gLoads, 0);
}

// --- a runtime's image, game folder and cells ----------------------------------------

namespace {

class RuntimeImage : public ::testing::TestWithParam<uint32_t> {};

std::string RuntimeTestName(const ::testing::TestParamInfo<uint32_t>& info) {
  std::string name = runtimeName(info.param);
  std::replace(name.begin(), name.end(), '.', '_');
  return "v" + name;
}

// FormFromId and the sky accessor in each runtime (runtimes.md, "Entries").
struct Spots {
  uint32_t formFromId, skyAccessor, skyHolder;
};
Spots SpotsOf(uint32_t runtime) {
  switch (runtime) {
    case kRuntime1_5_97:
      return {0x194230, 0x177790, 0x2f013d8};
    case kRuntime1_6_353:
      return {0x19f050, 0x181810, 0x2f9cc78};
    default:
      return {0x1e01a0, 0x1c2640, 0x31390d8};
  }
}

}  // namespace

TEST_P(RuntimeImage, EntriesSkyAccessorCellsAndTheDatabaseAreTheRuntimes) {
  const uint32_t runtime = GetParam();
  GameDouble game(RuntimeOptions(runtime, "image"));
  ASSERT_TRUE(game.checks().ok()) << game.checks().failures().front();
  const Spots spots = SpotsOf(runtime);
  const auto* base = reinterpret_cast<const uint8_t*>(game.checks().imageBase());
  EXPECT_EQ(base[spots.formFromId], 0xFF);
  EXPECT_EQ(base[nimbrel_sim_tests::kFormFromId], 0xCC);  // 1.5.39's offset is filler
  EXPECT_EQ(game.checks().patchSiteAddress(), 0u);
  EXPECT_TRUE(game.checks().patchSiteBytes().empty());

  // The accessor answers the holder's value, from any thread.
  auto sky = reinterpret_cast<void* (*)()>(game.checks().imageBase() + spots.skyAccessor);
  const auto holder = [&] { return *reinterpret_cast<void* const*>(base + spots.skyHolder); };
  EXPECT_EQ(sky(), nullptr);
  game.world().loadWorld();
  ASSERT_NE(holder(), nullptr);
  void* fromThread = nullptr;
  std::thread([&] { fromThread = sky(); }).join();
  EXPECT_EQ(fromThread, holder());

  // The player's cell keeps its worldspace where the runtime does, the poison
  // at the other offset.
  const size_t used = runtime >= kRuntime1_6_629 ? 0x128 : 0x120, unused = used == 0x128 ? 0x120 : 0x128;
  const auto* player = *reinterpret_cast<uint8_t* const*>(base + offsetOf(kPlayerRefHolder, image().layout()));
  const auto* cell = *reinterpret_cast<const uint8_t* const*>(player + 0x60);
  const auto* worldspace = *reinterpret_cast<const uint8_t* const*>(cell + used);
  EXPECT_EQ(*reinterpret_cast<const uint32_t*>(worldspace + 0x14), 0x3Cu);
  EXPECT_TRUE(image().isPoison(*reinterpret_cast<const uintptr_t*>(cell + unused)));

  const RuntimeFacts facts = game.runtime();
  EXPECT_EQ(facts.databasePath,
            game.gameDir() + "/Data/SKSE/Plugins/" + databaseFileName(Edition::SpecialEdition, runtime));
  AddressDatabase onDisk;
  std::string problem;
  ASSERT_TRUE(decodeDatabase(ReadBytes(facts.databasePath), onDisk, problem)) << problem;
  const std::map<uint64_t, uint64_t> byId(onDisk.entries.begin(), onDisk.entries.end());
  EXPECT_EQ(byId.at(databaseIdOf(kFormFromId, Edition::SpecialEdition, runtime)), spots.formFromId);
  game.checks().finalChecks();
  EXPECT_TRUE(game.checks().ok()) << game.checks().failures().front();
}

TEST_P(RuntimeImage, AWriteIntoTheGamesCodeFailsTheRun) {
  GameDouble game(RuntimeOptions(GetParam(), "code"));
  auto* base = reinterpret_cast<uint8_t*>(game.checks().imageBase());
  const uint32_t formFromId = SpotsOf(GetParam()).formFromId;
  base[formFromId + 3] ^= 0xFF;  // the jump's address
  base[0x1300000] = 0xE9;        // code fill
  game.checks().finalChecks();
  EXPECT_TRUE(AnyFailureContains(game, "the jump of FormFromId")) << ::testing::PrintToString(game.checks().failures());
  EXPECT_TRUE(AnyFailureContains(game, "1 byte(s) at image base + 0x1300000"));
  EXPECT_TRUE(AnyFailureContains(game, "has no known patch site"));
  base[formFromId + 3] ^= 0xFF;
  base[0x1300000] = 0xCC;
  EXPECT_TRUE(game.checks().codeChanges().empty());
}

INSTANTIATE_TEST_SUITE_P(Runtimes, RuntimeImage, ::testing::Values(kRuntime1_5_97, kRuntime1_6_353, kRuntime1_6_1170),
                         RuntimeTestName);

TEST(UnknownRuntime, GetsTheNearestLayoutAndNoDatabase) {
  GameDouble game(RuntimeOptions(0x01070630, "unknown"));
  const RuntimeFacts facts = game.runtime();
  EXPECT_EQ(facts.layout, "1.6.1170");
  EXPECT_FALSE(facts.layoutExact);
  EXPECT_FALSE(facts.databasePresent);
  EXPECT_EQ(facts.databaseNote, "none: the double knows no offsets of 1.7.99");
}
