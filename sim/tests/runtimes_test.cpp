// The runtimes the double plays: their names, hosts and moved fields, SKSE
// for AE's rules, and the image, cells and checks of a runtime. Facts below
// are written out from runtimes.md.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <thread>
#include <tuple>

#include "host/version_data.h"
#include "image/address_library.h"
#include "image/image.h"
#include "image/runtimes.h"
#include "nimbrel_sim/game_double.h"
#include "test_support.h"

using namespace nimbrel_sim;

namespace {

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
  // Stores: a suffix or the packed nibble, named in words.
  const std::tuple<const char*, uint32_t, const char*> stores[] = {
      {"1.6.1179-gog", 0x010649B1, "1.6.1179 GOG"},   {"1.6.659-GOG", 0x01062931, "1.6.659 GOG"},
      {"1.6.678-epic", 0x01062A62, "1.6.678 Epic"},   {"0x010649B1", 0x010649B1, "1.6.1179 GOG"},
      {"0x01062A62", 0x01062A62, "1.6.678 Epic"},     {"1.7.104", 0x01070680, "1.7.104"},
      {"0x01064925", 0x01064925, "1.6.1170 store 5"}, {"0x01050271", 0x01050271, "1.5.39 GOG"},
  };
  for (const auto& [text, packed, label] : stores) {
    EXPECT_TRUE(parseRuntime(text, parsed, problem)) << text;
    EXPECT_EQ(parsed, packed) << text;
    EXPECT_EQ(runtimeLabel(Edition::SpecialEdition, packed), label);
  }
  // Before 1.5 the nibble is no store.
  EXPECT_EQ(runtimeLabel(Edition::SpecialEdition, 0x010400F1), "1.4.15.1");
  EXPECT_EQ(runtimeLabel(Edition::VR, kRuntimeVR), "1.4.15.1");
  for (const char* bad : {"", "1.6", "1.6.4096", "1.6.1170.16", "1..5", "0x", "0x123456789", "-1", "zz",
                          "1.6.1179.1-gog", "1.6-gog", "-gog", "1.6.1179-steam", "1.6.1179gog", "1.4.15-gog"})
    EXPECT_FALSE(parseRuntime(bad, parsed, problem)) << bad;

  const Edition se = Edition::SpecialEdition;
  EXPECT_EQ(databaseFileName(se, kRuntime1_5_97), "version-1-5-97-0.bin");
  EXPECT_EQ(databaseFileName(se, kRuntime1_6_1170), "versionlib-1-6-1170-0.bin");
  EXPECT_EQ(databaseFileName(se, kRuntime1_7_99), "versionlib-1-7-99-0.bin");
  EXPECT_EQ(databaseFileName(se, kRuntimeGog1_6_1179), "versionlib-1-6-1179-0.bin");  // no store in the name
  EXPECT_EQ(databaseFileName(se, kRuntime1_5_39), "");
  EXPECT_EQ(databaseFileName(Edition::VR, kRuntimeVR), "");
  EXPECT_EQ(databaseFormat(kRuntime1_5_97), 1);
  EXPECT_EQ(databaseFormat(kRuntimeGog1_6_1179), 2);
  EXPECT_EQ(databaseFormat(kRuntime1_7_104), 5);

  // The nearest layouts: other 1.7 as 1.7.99 before 1.7.104 and as 1.7.104
  // from it on, every store's 1.6 as 1.6.1170 (GOG's own build of 1.6.1170
  // is no Steam executable).
  const std::tuple<uint32_t, Layout, bool> layouts[] = {
      {kRuntime1_7_99, Layout::Ae1_7_99, true},
      {kRuntime1_7_104, Layout::Ae1_7_104, true},
      {0x01070620, Layout::Ae1_7_99, false},   // 1.7.98
      {0x01070631, Layout::Ae1_7_99, false},   // 1.7.99 GOG
      {0x01070670, Layout::Ae1_7_99, false},   // 1.7.103
      {0x01070681, Layout::Ae1_7_104, false},  // 1.7.104 GOG
      {0x01070700, Layout::Ae1_7_104, false},  // 1.7.112
      {0x01080000, Layout::Ae1_7_104, false},
      {kRuntimeGog1_6_1179, Layout::Ae1_6_1170, false},
      {0x01064921, Layout::Ae1_6_1170, false},
      {0x01061611, Layout::Ae1_6_1170, false},
      {kRuntimeEpic1_6_678, Layout::Ae1_6_1170, false},
      {0x01050271, Layout::Se1_5_97, false},
  };
  for (const auto& [runtime, layout, exact] : layouts) {
    EXPECT_EQ(layoutFor(se, runtime), layout) << runtimeName(runtime);
    EXPECT_EQ(layoutExact(se, runtime), exact) << runtimeName(runtime);
  }

  // Fields that moved, by version whatever the store.
  EXPECT_EQ(cellWorldspaceOffset(se, kRuntime1_6_353), 0x120u);
  EXPECT_EQ(cellWorldspaceOffset(se, kRuntime1_6_629), 0x128u);
  EXPECT_EQ(cellWorldspaceOffset(se, 0x01062741), 0x120u);  // GOG 1.6.628
  EXPECT_EQ(cellWorldspaceOffset(se, kRuntimeGog1_6_1179), 0x128u);
  EXPECT_EQ(cellWorldspaceOffset(Edition::VR, kRuntimeVR), 0x120u);
  EXPECT_EQ(scriptVmMachineOffset(se, kRuntime1_6_1170), 0x200u);
  EXPECT_EQ(scriptVmMachineOffset(se, kRuntimeGog1_6_1179), 0x200u);
  EXPECT_EQ(scriptVmMachineOffset(se, 0x01070621), 0x200u);  // 1.7.98 GOG
  EXPECT_EQ(scriptVmMachineOffset(se, kRuntime1_7_99), 0x210u);
  EXPECT_EQ(scriptVmMachineOffset(se, 0x01070631), 0x210u);  // 1.7.99 GOG
  EXPECT_EQ(scriptVmMachineOffset(Edition::VR, kRuntimeVR), 0x200u);
  EXPECT_EQ(scriptVmOtherOffset(se, kRuntime1_7_104), 0x200u);

  EXPECT_EQ(documentsFolderName(se, kRuntime1_6_1170), "Skyrim Special Edition");
  EXPECT_EQ(documentsFolderName(se, kRuntimeGog1_6_1179), "Skyrim Special Edition GOG");
  EXPECT_EQ(documentsFolderName(se, kRuntimeEpic1_6_678), "Skyrim Special Edition");  // the stand-in's
  EXPECT_EQ(documentsFolderName(Edition::VR, kRuntimeVR), "Skyrim VR");
}

// The SKSE each runtime gets, and where none of its store is public, the
// nearest as a stand-in that says so.
TEST(Runtimes, HostsPerRuntime) {
  const Edition se = Edition::SpecialEdition;
  const std::tuple<uint32_t, uint32_t, const char*, bool> hosts[] = {
      {kRuntime1_5_97, 0x02000140, "SKSE64 2.0.20", false},
      {kRuntime1_6_353, 0x02010050, "SKSE for AE 2.1.5", false},
      {kRuntime1_6_1170, 0x02020060, "SKSE for AE 2.2.6", false},
      {kRuntime1_7_99, 0x02030000, "SKSE for AE 2.3.0", false},
      {kRuntime1_7_104, 0x02030010, "SKSE for AE 2.3.1", false},
      {0x01070700, 0x02030010, "SKSE for AE 2.3.1", false},
      {kRuntimeGog1_6_1179, 0x02020060, "SKSE for AE 2.2.6 (its GOG build, v2.2.6-gog)", false},
      {kRuntimeEpic1_6_678, 0x02020060, "SKSE for AE 2.2.6 (a stand-in)", true},
      {0x01070631, 0x02030000, "SKSE for AE 2.3.0 (a stand-in)", true},  // no GOG SKSE for 1.7
      {0x01050271, 0x02000140, "SKSE64 2.0.20 (a stand-in)", true},      // nor for 1.5
  };
  for (const auto& [runtime, version, name, standIn] : hosts) {
    SCOPED_TRACE(runtimeLabel(se, runtime));
    EXPECT_EQ(hostVersionFor(se, runtime), version);
    EXPECT_EQ(hostName(se, runtime), name);
    EXPECT_EQ(hostStandInNote(se, runtime).empty(), !standIn);
  }
  EXPECT_EQ(hostStandInNote(se, kRuntimeEpic1_6_678).rfind("no SKSE for the Epic store is public", 0), 0u);
  EXPECT_EQ(hostStandInNote(se, 0x01070631).rfind("no GOG build of SKSE for 1.7.99 is public", 0), 0u);
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

TEST(AeHost, From2_3_1OnVersionDataMustClaimFormat5) {
  PluginVersionData data = GoodVersionData();
  const AeHostContext host2_3_1{kRuntime1_7_104, kSkse2_3_1, true, "Data/SKSE/Plugins/versionlib-1-7-104-0.bin"};
  const AeHostContext host2_3_0{kRuntime1_7_99, kSkse2_3_0, true, "Data/SKSE/Plugins/versionlib-1-7-99-0.bin"};
  EXPECT_EQ(aeHostRefusal(&data, host2_3_1).rfind("disabled, must be recompiled for new address library", 0), 0u)
      << aeHostRefusal(&data, host2_3_1);
  EXPECT_EQ(aeHostRefusal(&data, host2_3_0), "");
  // A plug-in that lists the runtime without an independence claim is no exception.
  PluginVersionData listed = data;
  listed.versionIndependence = 0;
  listed.compatibleVersions[0] = kRuntime1_7_104;
  EXPECT_EQ(aeHostRefusal(&listed, host2_3_1).rfind("disabled, must be recompiled", 0), 0u);
  data.versionIndependenceEx |= kAddressLibraryV5;
  EXPECT_EQ(aeHostRefusal(&data, host2_3_1), "");
  EXPECT_NE(describeVersionData(data).find("address library format 5"), std::string::npos);
  // Older hosts ignore the bits of versionIndependenceEx they do not know.
  data.versionIndependenceEx |= 0xF0;
  EXPECT_EQ(aeHostRefusal(&data, host2_3_0), "");
  EXPECT_EQ(aeHostRefusal(&data, Host1170()), "");
}

namespace {

int gQueries = 0, gLoads = 0;
uint32_t gHandleInLoad = 0, gSkseInLoad = 0, gRuntimeInLoad = 0;
struct HostRecord {
  uint32_t skse, runtime, editorVersion, editor;
  void* (*query)(uint32_t);
  uint32_t (*handle)();
};

bool CountingQuery(const void*, void*) { return ++gQueries, true; }
bool CountingLoad(const void* host) {
  ++gLoads;
  const auto* record = static_cast<const HostRecord*>(host);
  gHandleInLoad = record->handle();
  gSkseInLoad = record->skse;
  gRuntimeInLoad = record->runtime;
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

TEST(AeHost, Skse2_3_1RefusesVersionDataWithoutFormat5BeforeTheLoad) {
  const PluginVersionData data = GoodVersionData();  // NoStructUse, but not AddressLibraryV5
  GameDouble game(RuntimeOptions(kRuntime1_7_104, "ae-2-3-1"));
  ASSERT_TRUE(game.usePluginEntryPoints(CountingQuery, CountingLoad, &data));
  const PluginStart start = game.startPlugin();
  EXPECT_EQ(start.outcome, PluginStart::Outcome::DeclinedByHost);
  EXPECT_EQ(start.host, "SKSE for AE 2.3.1");
  EXPECT_EQ(start.why.rfind("disabled, must be recompiled for new address library", 0), 0u) << start.why;
  EXPECT_EQ(gQueries + gLoads, 0);
}

// GOG's SKSE hands the plug-in the runtime with its store, and the plug-in's
// log is expected below the GOG game's documents folder.
TEST(AeHost, GogsSkseHandsTheStoreOnAndLogsBelowItsOwnFolder) {
  const PluginVersionData data = GoodVersionData();
  GameDouble game(RuntimeOptions(kRuntimeGog1_6_1179, "gog"));
  ASSERT_TRUE(game.usePluginEntryPoints(CountingQuery, CountingLoad, &data));
  const PluginStart start = game.startPlugin();
  ASSERT_TRUE(start.loaded()) << start.why;
  EXPECT_EQ(start.host, "SKSE for AE 2.2.6 (its GOG build, v2.2.6-gog)");
  EXPECT_EQ(gRuntimeInLoad, 0x010649B1u);
  EXPECT_EQ(gSkseInLoad, 0x02020060u);
  const std::string sep(1, std::filesystem::path::preferred_separator);
  const std::string tail =
      sep + "My Games" + sep + "Skyrim Special Edition GOG" + sep + "SKSE" + sep + "NimbrelPlugin.log";
  const std::string log = game.pluginLogPath();
  ASSERT_GE(log.size(), tail.size());
  EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
  EXPECT_EQ(game.runtime().name, "1.6.1179 GOG");
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

// FormFromId, the sky accessor and holder, and the spell cast native in each
// runtime (runtimes.md, "Entries", "Runtimes 1.7.x"); the cast is one of the
// functions that moved in 1.7.104.
struct Spots {
  uint32_t formFromId, skyAccessor, skyHolder, spellCast;
};
Spots SpotsOf(uint32_t runtime) {
  switch (runtime) {
    case kRuntime1_5_97:
      return {0x194230, 0x177790, 0x2f013d8, 0x980930};
    case kRuntime1_6_353:
      return {0x19f050, 0x181810, 0x2f9cc78, 0x9aa1e0};
    case kRuntime1_7_99:
      return {0x1e5860, 0x1c7d00, 0x31e0d78, 0xa32c30};
    case kRuntime1_7_104:
      return {0x1e5860, 0x1c7d00, 0x31e0d78, 0xa32e90};
    default:  // 1.6.1170, and GOG 1.6.1179 laid out as it
      return {0x1e01a0, 0x1c2640, 0x31390d8, 0xa1a410};
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
  EXPECT_EQ(base[spots.spellCast], 0xFF);
  // The other 1.7 column's cast is filler.
  if (runtime == kRuntime1_7_99) {
    EXPECT_EQ(base[0xa32e90], 0xCC);
  }
  if (runtime == kRuntime1_7_104) {
    EXPECT_EQ(base[0xa32c30], 0xCC);
  }
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
  const size_t used = (runtime & ~0xFu) >= kRuntime1_6_629 ? 0x128 : 0x120, unused = used == 0x128 ? 0x120 : 0x128;
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
  ASSERT_TRUE(decodeDatabase(nimbrel_sim_tests::ReadBytes(facts.databasePath), onDisk, problem)) << problem;
  const std::map<uint64_t, uint64_t> byId(onDisk.entries.begin(), onDisk.entries.end());
  EXPECT_EQ(byId.at(databaseIdOf(kFormFromId, Edition::SpecialEdition, runtime)), spots.formFromId);
  // The runtime's own version in the header, whatever layout it matches.
  EXPECT_EQ(std::vector<int32_t>(onDisk.version, onDisk.version + 4),
            (std::vector<int32_t>{1, static_cast<int32_t>((runtime >> 16) & 0xFF),
                                  static_cast<int32_t>((runtime >> 4) & 0xFFF), 0}));
  EXPECT_EQ(onDisk.format, (runtime >> 16) == 0x0107 ? 5 : (runtime >> 16) == 0x0106 ? 2 : 1);
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

INSTANTIATE_TEST_SUITE_P(Runtimes, RuntimeImage,
                         ::testing::Values(kRuntime1_5_97, kRuntime1_6_353, kRuntime1_6_1170, kRuntime1_7_99,
                                           kRuntime1_7_104, kRuntimeGog1_6_1179),
                         RuntimeTestName);

// --- the script VM's two offsets of the script machine ---------------------------------

namespace {

class ScriptVmFields : public ::testing::TestWithParam<uint32_t> {};

}  // namespace

// The registry where the runtime keeps it; at the other offset an object of
// its own whose every use fails the run, naming the cause.
TEST_P(ScriptVmFields, TheMachineWhereTheRuntimeKeepsItAndTheOtherFieldFailsTheRun) {
  const uint32_t runtime = GetParam();
  const bool from1_7 = runtime >= kRuntime1_7_99;
  const size_t machineAt = from1_7 ? 0x210 : 0x200, otherAt = from1_7 ? 0x200 : 0x210;
  const std::string words =
      from1_7
          ? "the plug-in read the script VM's +0x200, where 1.6 kept the script machine; on 1.7 it is at +0x210"
          : "the plug-in read the script VM's +0x210, where 1.7 keeps the script machine; before 1.7 it is at +0x200";
  GameDouble game(RuntimeOptions(runtime, "vm"));
  const uintptr_t base = game.checks().imageBase();
  const auto* vm = *reinterpret_cast<uint8_t* const*>(base + offsetOf(kScriptVmHolder, image().layout()));
  void* machine = *reinterpret_cast<void* const*>(vm + machineAt);
  void* other = *reinterpret_cast<void* const*>(vm + otherAt);
  ASSERT_NE(other, nullptr);
  ASSERT_NE(other, machine);
  using CellAttached = bool (*)(void*, uint32_t, void*);
  const auto cellAttached = reinterpret_cast<CellAttached>(base + offsetOf(kCellAttachedNative, image().layout()));
  EXPECT_FALSE(cellAttached(machine, 0, nullptr));
  ASSERT_TRUE(game.checks().ok()) << game.checks().failures().front();

  // A native given the other object as its script machine.
  cellAttached(other, 0, nullptr);
  ASSERT_EQ(game.checks().failures().size(), 1u);
  EXPECT_NE(game.checks().failures()[0].find("CellAttachedNative called with the object at the script VM's +0x"),
            std::string::npos)
      << game.checks().failures()[0];
  EXPECT_NE(game.checks().failures()[0].find(words), std::string::npos) << game.checks().failures()[0];
  // A call through its virtual table, as the register-function slot.
  using Slot = uintptr_t (*)(void*, uintptr_t, uintptr_t, uintptr_t);
  const auto* table = *reinterpret_cast<const Slot* const*>(other);
  table[24](other, 0, 0, 0);
  ASSERT_EQ(game.checks().failures().size(), 2u);
  EXPECT_EQ(game.checks().failures()[1], words + " (it called virtual slot 24 of the object there)");
}

INSTANTIATE_TEST_SUITE_P(Runtimes, ScriptVmFields, ::testing::Values(kRuntime1_6_1170, kRuntime1_7_99),
                         RuntimeTestName);
