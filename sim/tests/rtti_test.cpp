// The engine's type information in the double's image, read back by a
// reader of this test's own (MSVC x64: vtable, complete object locator,
// class hierarchy, base class descriptors, type descriptors): every object
// the plug-in can follow names its class and bases on every layout, the
// descriptors lie at the published offsets and the database finds them by
// id. Offsets and names are written out from runtimes.md, independently of
// the double's tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "cli/storm_summary.h"
#include "image/address_library.h"
#include "image/image.h"
#include "nimbrel_sim/game_double.h"
#include "rtti_reader.h"
#include "support/real_data.h"
#include "test_support.h"

using namespace nimbrel_sim;
using nimbrel_sim_tests::Field;
using nimbrel_sim_tests::Found;
using nimbrel_sim_tests::HolderValue;
using nimbrel_sim_tests::MachineOffset;
using nimbrel_sim_tests::RttiReader;
using nimbrel_sim_tests::WorldspaceOffset;

namespace {

constexpr uint32_t kVr = nimbrel_sim_tests::kVrRuntime;

Options OptionsOn(uint32_t runtime, const char* name) {
  return nimbrel_sim_tests::OptionsOn(runtime, "nimbrel-rtti-", name);
}

bool StartsWith(const std::vector<std::string>& classes, const std::vector<std::string>& prefix) {
  return classes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), classes.begin());
}
bool Holds(const std::vector<std::string>& classes, const std::string& name) {
  return std::find(classes.begin(), classes.end(), name) != classes.end();
}
std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// --- the published descriptors (runtimes.md, "Type checks" and "Entries") ---------

struct Descriptor {
  const char* decorated;
  uint32_t seId, aeId;
  uint32_t offset[7];  // 1.5.39, 1.5.97, 1.6.353, 1.6.1170, 1.7.99, 1.7.104, VR
};
// clang-format off
const Descriptor kDescriptors[] = {
    {".?AVSky@@",                              685534, 393319, {0x1e47670, 0x1e21620, 0x1eb8230, 0x2048690, 0x20ebef0, 0x20ebef0, 0x1ee7560}},
    {".?AVTESWeather@@",                       513983, 392883, {0x1e3ff68, 0x1e19f18, 0x1eb0c00, 0x20411f0, 0x20e4a30, 0x20e4a30, 0x1edfe58}},
    {".?AVPlayerCharacter@@",                  686898, 394747, {0x1e66228, 0x1e401d8, 0x1ed77c8, 0x2069798, 0x210da78, 0x210da78, 0x1f07958}},
    {".?AVTESObjectCELL@@",                    513892, 392430, {0x1e396d0, 0x1e13680, 0x1eaa300, 0x203a8d0, 0x20de160, 0x20de160, 0x1ed95a0}},
    {".?AVTESWorldSpace@@",                    513891, 392429, {0x1e396a8, 0x1e13658, 0x1eaa2d8, 0x203a8a8, 0x20de138, 0x20de138, 0x1ed9578}},
    {".?AVNiAVObject@@",                       684827, 392520, {0x1e3a6e0, 0x1e14690, 0x1eab380, 0x203b970, 0x20df1b0, 0x20df1b0, 0x1eda610}},
    {".?AVNiNode@@",                           684841, 392532, {0x1e3aa18, 0x1e149c8, 0x1eab648, 0x203bc38, 0x20df478, 0x20df478, 0x1eda920}},
    {".?AVBSFadeNode@@",                       691872, 399916, {0x1ee0550, 0x1eb9540, 0x1f54ee0, 0x20ed4d0, 0x2194fe0, 0x2194fe0, 0x1f7d738}},
    {".?AVSkyrimVM@@",                         689129, 396984, {0x1eab010, 0x1e84fc0, 0x1f1c3a0, 0x20ae610, 0x2152a38, 0x2152a38, 0x1f4c540}},
    {".?AVIVirtualMachine@BSScript@@",         691836, 399880, {0x1edfad8, 0x1eb8ac0, 0x1f54468, 0x20eca58, 0x2194568, 0x2194568, 0x1f7ccc0}},
    {".?AVVirtualMachine@Internal@BSScript@@", 691844, 399888, {0x1edfce8, 0x1eb8cd8, 0x1f54678, 0x20ecc68, 0x2194778, 0x2194778, 0x1f7cd28}},
    {".?AVTESForm@@",                          513848, 392216, {0x1e36e80, 0x1e10e30, 0x1ea7b50, 0x2038168, 0x20db9f8, 0x20db9f8, 0x1ed6d20}},
    {".?AVTESObjectREFR@@",                    513899, 392437, {0x1e397e8, 0x1e13798, 0x1eaa418, 0x203a9e8, 0x20de278, 0x20de278, 0x1ed96b8}},
    {".?AVActor@@",                            513915, 392538, {0x1e3ab28, 0x1e14ad8, 0x1eab7f8, 0x203bde8, 0x20df628, 0x20df628, 0x1edaa58}},
    {".?AVSpellItem@@",                        513849, 392217, {0x1e36ea0, 0x1e10e50, 0x1ea7b70, 0x2038188, 0x20dba18, 0x20dba18, 0x1ed6d40}},
    {".?AVBGSProjectile@@",                    513868, 392239, {0x1e37240, 0x1e111f0, 0x1ea7f28, 0x2038518, 0x20dbda8, 0x20dbda8, 0x1ed70e0}},
    {".?AVTESImageSpaceModifier@@",            513871, 392256, {0x1e37670, 0x1e11620, 0x1ea8340, 0x20388a8, 0x20dc138, 0x20dc138, 0x1ed7510}},
    {".?AVBGSListForm@@",                      513877, 392264, {0x1e37818, 0x1e117c8, 0x1ea84f8, 0x2038ac8, 0x20dc358, 0x20dc358, 0x1ed76b8}},
    {".?AVTESGlobal@@",                        513882, 392299, {0x1e38090, 0x1e12040, 0x1ea8cc0, 0x2039290, 0x20dcb20, 0x20dcb20, 0x1ed7f30}},
};
// clang-format on

struct Runtime {
  const char* name;
  uint32_t packed;
  int column;
};
const Runtime kRuntimes[] = {
    {"v1_5_39", kRuntime1_5_39, 0},
    {"v1_5_97", kRuntime1_5_97, 1},
    {"v1_6_353", kRuntime1_6_353, 2},
    {"v1_6_1170", kRuntime1_6_1170, 3},
    {"v1_7_99", kRuntime1_7_99, 4},
    {"v1_7_104", kRuntime1_7_104, 5},
    {"vr", kVr, 6},
};
void PrintTo(const Runtime& r, std::ostream* out) { *out << r.name; }

class Rtti : public ::testing::TestWithParam<Runtime> {};

}  // namespace

// Every object the plug-in can follow, and every other polymorphic object
// the double hands it, holds a vtable of the image that names its class and
// its bases in MSVC's order.
TEST_P(Rtti, EveryObjectNamesItsClassAndBasesThroughItsVtable) {
  const Runtime& r = GetParam();
  GameDouble game(OptionsOn(r.packed, r.name));
  ASSERT_TRUE(game.checks().ok()) << game.checks().failures().front();
  game.data().installDefaultData();
  game.world().loadWorld();
  const uint32_t thunderstorm = game.data().weatherId(DefaultWeather::Thunderstorm);
  const uint32_t rain = game.data().weatherId(DefaultWeather::Rain);
  game.world().setWeather(thunderstorm, rain, 0.5f);
  const RttiReader rtti(game.checks().imageBase());
  auto classes = [&](uintptr_t object, const char* what) {
    const Found f = rtti.classOf(object);
    EXPECT_EQ(f.problem, "") << what;
    EXPECT_EQ(f.subobject, 0u) << what;
    return f.classes;
  };
  const std::vector<std::string> form = {".?AVTESForm@@", ".?AVBaseFormComponent@@"};
  auto formOf = [&](const char* decorated) {
    std::vector<std::string> list = {decorated};
    list.insert(list.end(), form.begin(), form.end());
    return list;
  };

  // What the plug-in follows.
  const uintptr_t sky = HolderValue(game, kSkyHolder);
  EXPECT_EQ(classes(sky, "sky"), std::vector<std::string>{".?AVSky@@"});
  EXPECT_EQ(classes(Field<uintptr_t>(sky, 0x48), "current weather"), formOf(".?AVTESWeather@@"));
  EXPECT_EQ(classes(Field<uintptr_t>(sky, 0x50), "outgoing weather"), formOf(".?AVTESWeather@@"));
  const uintptr_t player = HolderValue(game, kPlayerRefHolder);
  const auto playerClasses = classes(player, "player");
  EXPECT_TRUE(StartsWith(playerClasses, {".?AVPlayerCharacter@@", ".?AVCharacter@@", ".?AVActor@@",
                                         ".?AVTESObjectREFR@@", ".?AVTESForm@@", ".?AVBaseFormComponent@@"}));
  EXPECT_TRUE(Holds(playerClasses, ".?AV?$BSTEventSink@VMenuOpenCloseEvent@@@@"));
  const uintptr_t cell = Field<uintptr_t>(player, 0x60);
  EXPECT_TRUE(StartsWith(classes(cell, "cell"), formOf(".?AVTESObjectCELL@@")));
  const uintptr_t worldspace = Field<uintptr_t>(cell, WorldspaceOffset(r.packed));
  EXPECT_TRUE(StartsWith(classes(worldspace, "worldspace"), formOf(".?AVTESWorldSpace@@")));
  const uintptr_t root = Field<uintptr_t>(Field<uintptr_t>(player, 0x68), 0x68);
  EXPECT_EQ(classes(root, "root node"),
            (std::vector<std::string>{".?AVBSFadeNode@@", ".?AVNiNode@@", ".?AVNiAVObject@@", ".?AVNiObjectNET@@",
                                      ".?AVNiObject@@", ".?AVNiRefObject@@"}));
  const uintptr_t vm = HolderValue(game, kScriptVmHolder);
  EXPECT_TRUE(StartsWith(classes(vm, "script VM"), {".?AVSkyrimVM@@"}));
  EXPECT_TRUE(StartsWith(
      classes(Field<uintptr_t>(vm, MachineOffset(r.packed)), "script machine"),
      {".?AVVirtualMachine@Internal@BSScript@@", ".?AVIVirtualMachine@BSScript@@", ".?AVBSIntrusiveRefCounted@@"}));
  const uintptr_t dataRegistry = HolderValue(game, kDataRegistryHolder);
  const uintptr_t weathers = Field<uintptr_t>(dataRegistry, 0x520);
  for (uint32_t i = 0; i < 4; ++i) {
    const uintptr_t weather = Field<uintptr_t>(weathers, 8 * i);
    if (weather) {
      EXPECT_EQ(classes(weather, "weather array"), formOf(".?AVTESWeather@@")) << i;
    }
  }

  // The other objects the double hands out.
  EXPECT_TRUE(StartsWith(classes(dataRegistry, "data registry"), {".?AVTESDataHandler@@"}));
  EXPECT_TRUE(StartsWith(classes(HolderValue(game, kMenuManagerHolder), "menu manager"), {".?AVUI@@"}));
  const auto sources =
      reinterpret_cast<uintptr_t (*)()>(game.checks().imageBase() + offsetOf(kScriptEventSourcesGet, image().layout()));
  // The script event holder is a run of event sources: no vtable of its own.
  EXPECT_EQ(rtti.classOf(sources()).problem, "the first word is no vtable of the image");
  EXPECT_EQ(classes(Field<uintptr_t>(vm, MachineOffset(r.packed) == 0x200 ? 0x210 : 0x200), "VM's other field"),
            std::vector<std::string>{".?AV?$BSTEventSink@UTESFormDeleteEvent@@@@"});
  auto plugin = [&](uint32_t local) {
    return reinterpret_cast<uintptr_t>(game.data().findForm(game.data().pluginFormId(local)));
  };
  EXPECT_EQ(classes(plugin(0x84B), "modifier"), formOf(".?AVTESImageSpaceModifier@@"));
  EXPECT_EQ(classes(plugin(0xA6A), "global"), formOf(".?AVTESGlobal@@"));
  const uintptr_t spells = plugin(0x8CD);
  EXPECT_EQ(classes(spells, "form list"), formOf(".?AVBGSListForm@@"));
  EXPECT_TRUE(
      StartsWith(classes(Field<uintptr_t>(Field<uintptr_t>(spells, 0x20), 0), "spell"),
                 {".?AVSpellItem@@", ".?AVMagicItem@@", ".?AVTESBoundObject@@", ".?AVTESObject@@", ".?AVTESForm@@"}));
  EXPECT_TRUE(StartsWith(classes(Field<uintptr_t>(Field<uintptr_t>(plugin(0x8D3), 0x20), 0), "reference"),
                         {".?AVTESObjectREFR@@", ".?AVTESForm@@"}));
  const uintptr_t art = plugin(0x800);
  const auto artClasses = classes(art, "effect art");
  EXPECT_TRUE(StartsWith(artClasses, {".?AVBGSProjectile@@", ".?AVTESBoundObject@@"}));
  EXPECT_TRUE(Holds(artClasses, ".?AVTESForm@@"));
  // Its model component is a base with a vtable of its own, whose locator
  // says where in the complete object it sits.
  const Found component = rtti.classOf(art + 0x40);
  EXPECT_EQ(component.problem, "");
  EXPECT_EQ(component.subobject, 0x40u);
  EXPECT_EQ(component.classes, artClasses);
  EXPECT_TRUE(Holds(component.classes, ".?AVTESModel@@"));
  const uintptr_t weapon = reinterpret_cast<uintptr_t>(game.data().addForm(FormKind::Weapon, 0x00012EB7));
  EXPECT_TRUE(StartsWith(classes(weapon, "weapon"), {".?AVTESObjectWEAP@@", ".?AVTESBoundObject@@"}));
  const auto formFromId =
      reinterpret_cast<uintptr_t (*)(uint32_t)>(game.checks().imageBase() + offsetOf(kFormFromId, image().layout()));
  EXPECT_TRUE(StartsWith(classes(formFromId(0xff000801), "another actor"),
                         {".?AVCharacter@@", ".?AVActor@@", ".?AVTESObjectREFR@@"}));
  game.checks().finalChecks();
  EXPECT_TRUE(game.checks().ok()) << ::testing::PrintToString(game.checks().failures());
}

// Each base class descriptor gives its base's displacement in the complete
// object (a base within a base at the sum), and each vtable word an object
// holds for a base names the complete class with that displacement: the
// effect art's TESModel at 0x40, the script VM's event sinks from 0x10 on
// (its hit sink at 0x88), the player's menu sink.
TEST_P(Rtti, BasesLieAtTheirDisplacementsAndEachBasesVtableSaysWhere) {
  const Runtime& r = GetParam();
  GameDouble game(OptionsOn(r.packed, (std::string(r.name) + "-bases").c_str()));
  game.data().installDefaultData();
  game.world().loadWorld();
  const RttiReader rtti(game.checks().imageBase());
  // The vtable word at `at` of `object` is its class's own for the base there.
  auto baseVtable = [&](uintptr_t object, uint32_t at, const std::string& complete, const std::string& base) {
    const Found f = rtti.classOf(object + at);
    EXPECT_EQ(f.problem, "") << base;
    EXPECT_EQ(f.subobject, at) << base;
    EXPECT_EQ(f.classes.empty() ? "" : f.classes.front(), complete) << base;
    EXPECT_EQ(f.baseAt(static_cast<int32_t>(at)), base) << std::hex << at;
  };
  auto everyBaseIsPlain = [](const Found& f) {
    for (const nimbrel_sim_tests::BaseRead& b : f.bases) {
      EXPECT_EQ(b.pdisp, -1) << b.name;
      EXPECT_EQ(b.vdisp, 0) << b.name;
      EXPECT_EQ(b.hierarchyOf, b.name);
      EXPECT_EQ(b.contained + 1, b.hierarchyCount) << b.name;
    }
  };

  const auto art = reinterpret_cast<uintptr_t>(game.data().findForm(game.data().pluginFormId(0x800)));
  const Found projectile = rtti.classOf(art);
  ASSERT_EQ(projectile.problem, "");
  everyBaseIsPlain(projectile);
  EXPECT_EQ(projectile.bases.front().contained + 1, projectile.bases.size());
  const std::vector<std::pair<const char*, int32_t>> direct = {{".?AVTESBoundObject@@", 0x00},
                                                               {".?AVTESFullName@@", 0x30},
                                                               {".?AVTESModel@@", 0x40},
                                                               {".?AVBGSPreloadable@@", 0x68},
                                                               {".?AVBGSDestructibleObjectForm@@", 0x70}};
  std::vector<int32_t> components;  // where the BaseFormComponent of each base sits
  for (const auto& b : projectile.bases)
    if (b.name == ".?AVBaseFormComponent@@") components.push_back(b.mdisp);
  EXPECT_EQ(components, (std::vector<int32_t>{0x00, 0x30, 0x40, 0x68, 0x70}));
  for (const auto& [name, at] : direct) {
    EXPECT_EQ(projectile.displacementOf(name), at) << name;
    if (at != 0) baseVtable(art, static_cast<uint32_t>(at), ".?AVBGSProjectile@@", name);
  }

  const uintptr_t vm = HolderValue(game, kScriptVmHolder);
  const Found skyrimVm = rtti.classOf(vm);
  ASSERT_EQ(skyrimVm.problem, "");
  everyBaseIsPlain(skyrimVm);
  const char* const events[] = {"Activate",
                                "ActiveEffectApplyRemove",
                                "ActorLocationChange",
                                "BookRead",
                                "CellAttachDetach",
                                "CellFullyLoaded",
                                "Combat",
                                "ContainerChanged",
                                "Death",
                                "DestructionStageChanged",
                                "EnterBleedout",
                                "Equip",
                                "FormDelete",
                                "Furniture",
                                "GrabRelease",
                                "Hit",
                                "InitScript",
                                "LoadGame"};
  uint32_t at = 0x10;
  for (const char* event : events) {
    baseVtable(vm, at, ".?AVSkyrimVM@@", std::string(".?AV?$BSTEventSink@UTES") + event + "Event@@@@");
    at += 8;
  }
  EXPECT_EQ(skyrimVm.baseAt(0x88), ".?AV?$BSTEventSink@UTESHitEvent@@@@");

  const uintptr_t player = HolderValue(game, kPlayerRefHolder);
  const Found character = rtti.classOf(player);
  everyBaseIsPlain(character);
  // Nested bases sit at the sum: the reference's handle at 0x20 brings its
  // NiRefObject there.
  EXPECT_EQ(character.displacementOf(".?AVBSHandleRefObject@@"), 0x20);
  EXPECT_EQ(character.displacementOf(".?AVNiRefObject@@"), 0x20);
  const int32_t menuSink = character.displacementOf(".?AV?$BSTEventSink@VMenuOpenCloseEvent@@@@");
  ASSERT_GT(menuSink, 0);
  baseVtable(player, static_cast<uint32_t>(menuSink), ".?AVPlayerCharacter@@",
             ".?AV?$BSTEventSink@VMenuOpenCloseEvent@@@@");
  // The bases' places are 8-aligned, and no base's vtable word lands on the
  // reference's fields the double uses (its form id at 0x14, cell at 0x60,
  // 3D at 0x68).
  for (const auto& b : character.bases) {
    EXPECT_EQ(b.mdisp % 8, 0) << b.name;
    if (b.mdisp == 0) continue;
    EXPECT_FALSE(b.mdisp < 0x18 && b.mdisp + 8 > 0x14) << b.name;
    EXPECT_FALSE(b.mdisp < 0x70 && b.mdisp + 8 > 0x60) << b.name;
  }
  game.checks().finalChecks();
  EXPECT_TRUE(game.checks().ok()) << ::testing::PrintToString(game.checks().failures());
}

// The descriptors lie at the runtime's published offsets; on a runtime with a
// database, every descriptor's id gives the offset of its descriptor.
TEST_P(Rtti, DescriptorsLieAtThePublishedOffsetsAndTheDatabaseFindsThemById) {
  const Runtime& r = GetParam();
  GameDouble game(OptionsOn(r.packed, r.name));
  const uintptr_t base = game.checks().imageBase();
  const RttiReader rtti(base);
  int published = 0;
  for (const Descriptor& d : kDescriptors) {
    const uint32_t offset = d.offset[r.column];
    EXPECT_EQ(rtti.descriptor(static_cast<int32_t>(offset), true), d.decorated) << std::hex << offset;
    ++published;
  }
  EXPECT_EQ(published, 19);

  const RuntimeFacts facts = game.runtime();
  if (facts.database.empty()) return;  // 1.5.39 and VR read none
  AddressDatabase database;
  std::string problem;
  ASSERT_TRUE(decodeDatabase(ReadBytes(facts.databasePath), database, problem)) << problem;
  const std::map<uint64_t, uint64_t> byId(database.entries.begin(), database.entries.end());
  for (const Descriptor& d : kDescriptors) {
    const uint32_t id = r.packed >= kRuntime1_6_353 ? d.aeId : d.seId;
    const auto found = byId.find(id);
    ASSERT_NE(found, byId.end()) << d.decorated;
    EXPECT_EQ(rtti.descriptor(static_cast<int32_t>(found->second), true), d.decorated) << id;
    EXPECT_EQ(found->second, d.offset[r.column]) << d.decorated;
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, Rtti, ::testing::ValuesIn(kRuntimes),
                         [](const ::testing::TestParamInfo<Runtime>& info) { return std::string(info.param.name); });

// The real 1.5.97 database puts each descriptor's SE id where the double
// lays that descriptor out for 1.5.97.
TEST(RttiDatabase, The1_5_97OffsetsAreTheGames) {
  NIMBREL_REAL_ADDRESS_LIBRARY(path, "version-1-5-97-0.bin");
  AddressDatabase real;
  std::string problem;
  ASSERT_TRUE(decodeDatabase(ReadBytes(path), real, problem)) << problem;
  const std::map<uint64_t, uint64_t> games(real.entries.begin(), real.entries.end());
  const AddressDatabase own = databaseFor(Edition::SpecialEdition, kRuntime1_5_97);
  const std::map<uint64_t, uint64_t> doubles(own.entries.begin(), own.entries.end());
  for (const Descriptor& d : kDescriptors) {
    ASSERT_TRUE(games.count(d.seId)) << d.decorated;
    EXPECT_EQ(doubles.at(d.seId), games.at(d.seId)) << d.decorated;
  }
}

// A write into a vtable, a locator or a descriptor is a change of the game's
// image: the final checks name it.
TEST(RttiImage, AWriteIntoTheTypeInformationFailsTheRun) {
  GameDouble game(OptionsOn(kRuntime1_5_39, "write"));
  game.world().loadWorld();
  const uintptr_t sky = HolderValue(game, kSkyHolder);
  const auto vtable = Field<uintptr_t>(sky, 0);
  auto* slot = reinterpret_cast<uint8_t*>(vtable + 8);
  auto* locator = reinterpret_cast<uint8_t*>(Field<uintptr_t>(vtable - 8, 0));
  auto* name = reinterpret_cast<uint8_t*>(game.checks().imageBase() + 0x1e3ff68 + 0x14);  // TESWeather's
  *slot ^= 0xFF;
  *locator ^= 0xFF;
  *name ^= 0xFF;
  const std::vector<std::string> changes = game.checks().codeChanges();
  auto named = [&](const std::string& what) {
    return std::any_of(changes.begin(), changes.end(), [&](const std::string& c) { return c.find(what) != c.npos; });
  };
  EXPECT_TRUE(named("(the vtable of Sky) changed")) << ::testing::PrintToString(changes);
  EXPECT_TRUE(named("(the complete object locator of Sky) changed"));
  EXPECT_TRUE(named("(the type descriptor of TESWeather) changed"));
  *slot ^= 0xFF;
  *locator ^= 0xFF;
  *name ^= 0xFF;
  EXPECT_TRUE(game.checks().codeChanges().empty());
}
