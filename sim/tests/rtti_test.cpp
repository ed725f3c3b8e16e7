// The engine's type information in the double's image, read back by a
// reader of this test's own (MSVC x64: vtable, complete object locator,
// class hierarchy, base class descriptors, type descriptors): every object
// the plug-in can follow names its class and bases on every layout, the
// descriptors lie at the published offsets and the database finds them by
// id. Then the layout faults, the watch on the plug-in's stand-down, and
// the summary's verdicts. Offsets and names are written out from
// runtimes.md, independently of the double's tables.
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
#include "run/os.h"
#include "support/real_data.h"
#include "test_support.h"

using namespace nimbrel_sim;

namespace {

constexpr uint32_t kVr = 0;  // the VR edition's own runtime

constexpr uintptr_t kArenaRva = 0x1000;
constexpr size_t kArenaSize = 0x4000000;

// --- a reader of MSVC x64 type information ---------------------------------------

struct Found {
  std::string problem;  // empty when the walk held
  uint32_t subobject = 0;
  std::vector<std::string> classes;  // decorated names, the complete class first
};

class RttiReader {
 public:
  explicit RttiReader(uintptr_t base) : base_(base) {}

  bool inImage(uintptr_t at, size_t size) const {
    return at >= base_ + kArenaRva && at + size <= base_ + kArenaRva + kArenaSize;
  }

  Found classOf(uintptr_t object) const {
    Found f;
    const uint64_t vtable = word(object);
    if (!inImage(vtable, 8) || vtable % 8) return fail(f, "the first word is no vtable of the image");
    const uint64_t locator = word(vtable - 8);
    if (!inImage(locator, 24) || locator % 4) return fail(f, "slot -1 points to no locator in the image");
    if (u32(locator) != 1) return fail(f, "the locator's signature is not 1");
    if (static_cast<uintptr_t>(i32(locator + 20)) != locator - base_)
      return fail(f, "the locator's own offset is not its place");
    f.subobject = u32(locator + 4);
    const std::string complete = descriptor(i32(locator + 12), true);
    if (complete.empty()) return fail(f, "the locator names no type descriptor");
    const uintptr_t hierarchy = base_ + static_cast<uint32_t>(i32(locator + 16));
    if (!inImage(hierarchy, 16) || hierarchy % 4 || u32(hierarchy) != 0)
      return fail(f, "the locator names no class hierarchy");
    const uint32_t count = u32(hierarchy + 8);
    const uintptr_t array = base_ + static_cast<uint32_t>(i32(hierarchy + 12));
    if (count == 0 || count > 128 || !inImage(array, 4 * count) || array % 4)
      return fail(f, "the hierarchy's base class array is out of the image");
    for (uint32_t i = 0; i < count; ++i) {
      const uintptr_t base = base_ + static_cast<uint32_t>(i32(array + 4 * i));
      if (!inImage(base, 0x1c) || base % 4) return fail(f, "a base class descriptor is out of the image");
      const std::string name = descriptor(i32(base), true);
      if (name.empty()) return fail(f, "a base class descriptor names no type descriptor");
      f.classes.push_back(name);
    }
    if (f.classes.front() != complete) return fail(f, "the hierarchy does not start with the class itself");
    return f;
  }

  // The decorated name of the descriptor at an image offset; empty when it
  // is none. Its first word is type_info's vtable.
  std::string descriptor(int32_t offset, bool checkTypeInfo) const {
    const uintptr_t at = base_ + static_cast<uint32_t>(offset);
    if (!inImage(at, 0x20) || at % 8) return "";
    const char* name = reinterpret_cast<const char*>(at + 0x10);
    const size_t length = strnlen(name, 256);
    if (length == 256 || std::strncmp(name, ".?AV", 4) != 0) return "";
    if (checkTypeInfo) {
      const uint64_t typeInfo = word(at);
      if (!inImage(typeInfo, 8) || word(at + 8) != 0) return "";
      const uint64_t locator = word(typeInfo - 8);
      if (!inImage(locator, 24) || descriptor(i32(locator + 12), false) != ".?AVtype_info@@") return "";
    }
    return std::string(name, length);
  }

 private:
  static Found fail(Found& f, const char* what) {
    f.problem = what;
    return f;
  }
  static uint64_t word(uintptr_t at) {
    uint64_t v;
    std::memcpy(&v, reinterpret_cast<const void*>(at), 8);
    return v;
  }
  static uint32_t u32(uintptr_t at) {
    uint32_t v;
    std::memcpy(&v, reinterpret_cast<const void*>(at), 4);
    return v;
  }
  static int32_t i32(uintptr_t at) { return static_cast<int32_t>(u32(at)); }
  uintptr_t base_;
};

bool StartsWith(const std::vector<std::string>& classes, const std::vector<std::string>& prefix) {
  return classes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), classes.begin());
}
bool Holds(const std::vector<std::string>& classes, const std::string& name) {
  return std::find(classes.begin(), classes.end(), name) != classes.end();
}

template <typename T>
T Field(uintptr_t object, size_t offset) {
  T value;
  __atomic_load(reinterpret_cast<const T*>(object + offset), &value, __ATOMIC_RELAXED);
  return value;
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

Options OptionsOn(uint32_t runtime, const char* name) {
  Options o;
  o.edition = runtime == kVr ? Edition::VR : Edition::SpecialEdition;
  o.runtimeVersion = runtime;
  o.outDir = nimbrel_sim_tests::RunFolder("nimbrel-rtti-", name);
  return o;
}

uintptr_t HolderValue(const GameDouble& game, EntryId holder) {
  return Field<uintptr_t>(game.checks().imageBase(), offsetOf(holder, image().layout()));
}

size_t WorldspaceOffset(uint32_t runtime) { return runtime >= 0x01062750 ? 0x128 : 0x120; }
size_t MachineOffset(uint32_t runtime) { return runtime >= kRuntime1_7_99 ? 0x210 : 0x200; }

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
  EXPECT_TRUE(StartsWith(classes(sources(), "event sources"), {".?AVScriptEventSourceHolder@@"}));
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

// --- layout faults ---------------------------------------------------------------

namespace {

struct FaultCase {
  const char* name;
  LayoutFault fault;
  uint32_t runtime;
};
void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

class LayoutFaults : public ::testing::TestWithParam<FaultCase> {};

// The pointer a trace line gives for a key ("cell":"0x...").
uintptr_t TracePointer(const GameDouble& game, const std::string& fn, const std::string& key) {
  uintptr_t last = 0;
  for (const std::string& line : game.checks().trace()) {
    if (line.find("\"fn\":\"" + fn + "\"") == std::string::npos) continue;
    const size_t at = line.find("\"" + key + "\":\"0x");
    if (at != std::string::npos) last = std::stoull(line.substr(at + key.size() + 6), nullptr, 16);
  }
  return last;
}

}  // namespace

// Each fault leaves where the plug-in reads what it says, the trace names
// it, and the double's world goes on through what it knows.
TEST_P(LayoutFaults, EachLeavesWhatItSaysWhereThePluginReads) {
  const FaultCase& c = GetParam();
  Options options = OptionsOn(c.runtime, c.name);
  options.layoutFault = c.fault;
  GameDouble game(options);
  ASSERT_EQ(game.layoutFault(), c.fault);
  ASSERT_TRUE(game.loadScenario("at 0 weather thunderstorm\nat 0.05 weather clear over 1\nend 0.1\n"));
  game.applyScenarioSetUp();
  game.playScenario();
  const RttiReader rtti(game.checks().imageBase());
  const uintptr_t sky = HolderValue(game, kSkyHolder), player = HolderValue(game, kPlayerRefHolder);
  const uintptr_t vm = HolderValue(game, kScriptVmHolder);
  const uintptr_t cell = TracePointer(game, "WorldLoaded", "cell");
  ASSERT_NE(cell, 0u);
  switch (c.fault) {
    case LayoutFault::SkyWeather: {
      EXPECT_EQ(rtti.classOf(Field<uintptr_t>(sky, 0x48)).classes,
                (std::vector<std::string>{".?AVClouds@@", ".?AVSkyObject@@"}));
      // The world knew its current weather: the change made it the outgoing one.
      EXPECT_EQ(Field<void*>(sky, 0x50), game.data().findForm(game.data().weatherId(DefaultWeather::Thunderstorm)));
      break;
    }
    case LayoutFault::PlayerCell: {
      const uintptr_t found = Field<uintptr_t>(player, 0x60);
      ASSERT_NE(found, 0u);
      EXPECT_EQ(rtti.classOf(found).problem, "the first word is no vtable of the image");
      EXPECT_NE(Field<uintptr_t>(found, 0), 0u);  // a readable heap address
      game.world().enterInterior();
      EXPECT_EQ(Field<uintptr_t>(player, 0x60), found);
      break;
    }
    case LayoutFault::CellWorldspace: {
      const size_t used = WorldspaceOffset(c.runtime), other = used == 0x128 ? 0x120 : 0x128;
      EXPECT_EQ(Field<uintptr_t>(player, 0x60), cell);
      EXPECT_TRUE(image().isPoison(Field<uintptr_t>(cell, used)));
      EXPECT_TRUE(image().isPoison(Field<uintptr_t>(cell, other)));
      EXPECT_EQ(os::protectionOf(Field<uintptr_t>(cell, used)), "---");
      // A cell made later is laid out the same way.
      game.world().enterExterior(0x69857);
      const uintptr_t later = Field<uintptr_t>(player, 0x60);
      ASSERT_NE(later, cell);
      EXPECT_TRUE(image().isPoison(Field<uintptr_t>(later, used)));
      break;
    }
    case LayoutFault::VmMachine: {
      const size_t used = MachineOffset(c.runtime), other = used == 0x210 ? 0x200 : 0x210;
      const uintptr_t sink = Field<uintptr_t>(vm, used);
      EXPECT_EQ(rtti.classOf(sink).classes, std::vector<std::string>{".?AV?$BSTEventSink@UTESFormDeleteEvent@@@@"});
      EXPECT_EQ(Field<uintptr_t>(vm, other), sink);
      EXPECT_TRUE(game.checks().ok()) << game.checks().failures().front();
      using CellAttached = bool (*)(uintptr_t, uint32_t, void*);
      reinterpret_cast<CellAttached>(game.checks().imageBase() + offsetOf(kCellAttachedNative, image().layout()))(
          sink, 0, nullptr);
      ASSERT_EQ(game.checks().failures().size(), 1u);
      EXPECT_NE(game.checks().failures()[0].find("the layout fault vm-machine put it at"), std::string::npos)
          << game.checks().failures()[0];
      break;
    }
    case LayoutFault::RootNode: {
      const uintptr_t loaded = Field<uintptr_t>(player, 0x68);
      const Found found = rtti.classOf(Field<uintptr_t>(loaded, 0x68));
      EXPECT_EQ(found.classes, (std::vector<std::string>{".?AVNiControllerManager@@", ".?AVNiTimeController@@",
                                                         ".?AVNiObject@@", ".?AVNiRefObject@@"}));
      break;
    }
    case LayoutFault::None:
      break;
  }
  const std::vector<std::string> trace = game.checks().trace();
  EXPECT_TRUE(std::any_of(trace.begin(), trace.end(), [&](const std::string& line) {
    return line.find("\"fn\":\"LayoutFault\"") != std::string::npos &&
           line.find(std::string("\"fault\":\"") + c.name) != std::string::npos;
  }));
}

INSTANTIATE_TEST_SUITE_P(Kinds, LayoutFaults,
                         ::testing::Values(FaultCase{"sky-weather", LayoutFault::SkyWeather, kRuntime1_7_99},
                                           FaultCase{"player-cell", LayoutFault::PlayerCell, kRuntime1_7_99},
                                           FaultCase{"cell-worldspace", LayoutFault::CellWorldspace, kRuntime1_7_99},
                                           FaultCase{"cell-worldspace", LayoutFault::CellWorldspace, kRuntime1_5_39},
                                           FaultCase{"vm-machine", LayoutFault::VmMachine, kRuntime1_7_99},
                                           FaultCase{"vm-machine", LayoutFault::VmMachine, kRuntime1_5_39},
                                           FaultCase{"root-node", LayoutFault::RootNode, kRuntime1_7_99}),
                         [](const ::testing::TestParamInfo<FaultCase>& info) {
                           std::string name = std::string(info.param.name) +
                                              (info.param.runtime == kRuntime1_5_39 ? "_1_5_39" : "_1_7_99");
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

// A scenario's layout-fault line applies with its set-up; the command
// line's fault wins over it.
TEST(LayoutFaultLine, AppliesWithTheSetUpUnlessTheOptionsNameOne) {
  GameDouble plain(OptionsOn(kRuntime1_5_39, "line"));
  ASSERT_TRUE(plain.loadScenario("layout-fault root-node\nend 1\n"));
  EXPECT_EQ(plain.layoutFault(), LayoutFault::None);
  plain.applyScenarioSetUp();
  EXPECT_EQ(plain.layoutFault(), LayoutFault::RootNode);
  Options options = OptionsOn(kRuntime1_5_39, "line-option");
  options.layoutFault = LayoutFault::SkyWeather;
  GameDouble given(options);
  ASSERT_TRUE(given.loadScenario("layout-fault root-node\nend 1\n"));
  given.applyScenarioSetUp();
  EXPECT_EQ(given.layoutFault(), LayoutFault::SkyWeather);
}

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
