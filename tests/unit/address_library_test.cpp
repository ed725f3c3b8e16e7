// The Address Library reader against the real 1.5.97 database, against
// damaged files and against format-5 files built here (no real 1.7 database
// is public), and the binding built from its table.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "game/address_library.h"
#include "game/engine_binding.h"
#include "game/offsets.h"
#include "platform/platform.h"
#include "support/real_data.h"
#include "support/runtime_ids.h"
#include "support/temp_dir.h"

using namespace NimbrelVR;
using namespace NimbrelVR::game;
using namespace testsupport;

namespace {

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A database's bytes, written little-endian field by field.
struct Writer {
  std::vector<uint8_t> bytes;
  Writer& Put(uint64_t value, int size) {
    for (int i = 0; i < size; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return *this;
  }
  Writer& Header(int32_t format, std::vector<int32_t> version, int32_t count, int32_t pointerSize = 8) {
    Put(static_cast<uint32_t>(format), 4);
    for (int32_t number : version) Put(static_cast<uint32_t>(number), 4);
    Put(12, 4).bytes.insert(bytes.end(), {'S', 'k', 'y', 'r', 'i', 'm', 'S', 'E', '.', 'e', 'x', 'e'});
    return Put(static_cast<uint32_t>(pointerSize), 4).Put(static_cast<uint32_t>(count), 4);
  }
  // Both values in full (type 0).
  Writer& Entry(uint64_t id, uint64_t offset) { return Put(0, 1).Put(id, 8).Put(offset, 8); }
  // Format 5: the 96-byte header, then the table is written with Put(offset, 4).
  Writer& HeaderV5(std::vector<uint32_t> version, int32_t count, int32_t pointerSize = 8, int32_t dataFormat = 0) {
    Put(5, 4);
    for (uint32_t number : version) Put(number, 4);
    const char name[64] = "SkyrimSE.exe";
    bytes.insert(bytes.end(), name, name + sizeof name);
    return Put(static_cast<uint32_t>(pointerSize), 4)
        .Put(static_cast<uint32_t>(dataFormat), 4)
        .Put(static_cast<uint32_t>(count), 4);
  }
  Writer& Offsets(const std::vector<uint32_t>& offsets) {
    for (uint32_t offset : offsets) Put(offset, 4);
    return *this;
  }
};

std::string Parse(const std::vector<uint8_t>& bytes, uint32_t runtime, AddressTable* table) {
  return ParseAddressLibrary(bytes, runtime, table).text;
}

// Offsets of the entries in runtime 1.5.97, as the public sources list them
// (the database and SKSE 2.0.20 agree; the type descriptors as runtimes.md
// lists them from the databases).
// clang-format off
const std::map<std::string, uint64_t> k1_5_97Offsets = {
    {"FormFromId", 0x194230}, {"EngineDynamicCast", 0x134bdb0}, {"SpellCastNative", 0x980930},
    {"RefMoveToNative", 0x994840}, {"CellAttachedNative", 0x98ef10}, {"ImodApplyNative", 0x988af0},
    {"ImodRemoveNative", 0x988b60}, {"ScriptEventSourcesGet", 0x186790}, {"EventSourceAddSink", 0x56b600},
    {"EngineHeapAllocate", 0xc02260}, {"EngineHeapFree", 0xc02560}, {"InternedStringCreate", 0xc28bf0},
    {"InternedStringAssign", 0xc28d60}, {"NativeFunctionBaseInit", 0x1250c80},
    {"NativeFunctionBaseRelease", 0x1250ed0}, {"StackFrameArgOffset", 0x1244970},
    {"StackFrameArgValue", 0x12449d0}, {"ScriptValueClear", 0x1236d10}, {"FunctionBaseImpl[0]", 0x1250670},
    {"FunctionBaseImpl[1]", 0x12507f0}, {"FunctionBaseImpl[2]", 0x1250750}, {"FunctionBaseImpl[3]", 0x1250770},
    {"SkyHolder", 0x2f013d8}, {"SkyGetSingleton", 0x177790}, {"PlayerRefHolder", 0x2f26ef8},
    {"ScriptVmHolder", 0x1ec3b78}, {"DataRegistryHolder", 0x1ebe428}, {"MenuManagerHolder", 0x1ebeb20},
    {"EngineHeap", 0x1ebd280}, {"RttiForm", 0x1e10e30}, {"RttiSpell", 0x1e10e50}, {"RttiEffectArt", 0x1e111f0},
    {"RttiImageSpaceModifier", 0x1e11620}, {"RttiFormList", 0x1e117c8}, {"RttiGlobalVariable", 0x1e12040},
    {"RttiObjectReference", 0x1e13798}, {"RttiPlayer", 0x1e14ad8}, {"RttiSky", 0x1e21620},
    {"RttiWeather", 0x1e19f18}, {"RttiPlayerCharacter", 0x1e401d8}, {"RttiCell", 0x1e13680},
    {"RttiWorldSpace", 0x1e13658}, {"RttiNiAVObject", 0x1e14690}, {"RttiSkyrimVM", 0x1e84fc0},
    {"RttiVirtualMachine", 0x1eb8cd8},
};
// clang-format on

}  // namespace

TEST(AddressLibrary, TheReal1_5_97DatabaseGivesThePublishedOffsets) {
  NIMBREL_REAL_ADDRESS_LIBRARY(path, "version-1-5-97-0.bin");
  const std::vector<uint8_t> bytes = ReadBytes(path);
  ASSERT_EQ(bytes.size(), 1490796u) << "the 1.5.97 database has changed: " << path;
  AddressTable table;
  ASSERT_EQ(Parse(bytes, k1_5_97, &table), "");
  EXPECT_EQ(table.size(), 778674u);

  // The worked example's first three entries, and ids with published offsets.
  const std::pair<uint64_t, uint64_t> published[] = {{2, 0x10d0},        {3, 0x1160},       {4, 0x11cc},
                                                     {11483, 0x10f5c0},  {14461, 0x194230}, {13789, 0x177790},
                                                     {515512, 0x2f013d8}};
  for (const auto& [id, expected] : published) {
    uint64_t offset = 0;
    ASSERT_EQ(table.Find(id, &offset), AddressTable::Lookup::Found) << id;
    EXPECT_EQ(offset, expected) << "id " << id;
  }
  for (const SpecialEditionEntry& entry : kSpecialEditionEntries) {
    if (entry.seId == 0) continue;
    ASSERT_EQ(k1_5_97Offsets.count(entry.name), 1u) << entry.name;
    uint64_t offset = 0;
    ASSERT_EQ(table.Find(entry.seId, &offset), AddressTable::Lookup::Found) << entry.name;
    EXPECT_EQ(offset, k1_5_97Offsets.at(entry.name)) << entry.name << " (id " << entry.seId << ")";
  }

  // The binding of 1.5.97: the sky through its holder, no patch site.
  EngineBinding bound{};
  ASSERT_EQ(std::string(BindFromAddressTable(0x140000000, k1_5_97, table, &bound).text), "");
  EXPECT_EQ(reinterpret_cast<uintptr_t>(bound.FormFromId), 0x140000000 + 0x194230u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(bound.SkyHolder), 0x140000000 + 0x2f013d8u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(bound.RttiVirtualMachine), 0x140000000 + 0x1eb8cd8u);
  EXPECT_EQ(bound.runtime, k1_5_97);
  EXPECT_EQ(bound.SkyGetSingleton, nullptr);
  EXPECT_EQ(bound.JumpPatchSite, nullptr);
  EXPECT_EQ(bound.cellWorldspace, 0x120);

  EXPECT_EQ(Parse(bytes, 0x01050500, &table), "it is the database of runtime 1.5.97.0, not of this game's 1.5.80.0");
}

TEST(AddressLibrary, DamagedFilesAreRefusedInWordsAndLeaveTheTableAlone) {
  // The real file's first three entries: a full one, a scaled offset delta
  // and a plain one; 65 bytes.
  const std::vector<uint8_t> good =
      Writer().Header(1, {1, 5, 97, 0}, 3).Entry(2, 0x10d0).Put(0x12a1, 2).Put(0x6c21, 2).bytes;
  AddressTable table;
  ASSERT_EQ(Parse(good, k1_5_97, &table), "");
  ASSERT_EQ(table.size(), 3u);

  const std::pair<size_t, const char*> cuts[] = {
      {0, "it is truncated: its format ends past byte 0"},
      {10, "it is truncated: its version ends past byte 10"},
      {22, "it is truncated: its name length ends past byte 22"},
      {30, "it is truncated: its name ends past byte 30"},
      {38, "it is truncated: its pointer size ends past byte 38"},
      {42, "it is truncated: its entry count ends past byte 42"},
      {60, "it is truncated: entry 1 of 3 ends past byte 60"},
      {64, "it is truncated: entry 3 of 3 ends past byte 64"},
  };
  for (const auto& [size, expected] : cuts)
    EXPECT_EQ(Parse({good.begin(), good.begin() + static_cast<ptrdiff_t>(size)}, k1_5_97, &table), expected);

  const auto file = [](int32_t format, std::vector<int32_t> version, int32_t count, int32_t pointerSize = 8) {
    return Writer().Header(format, std::move(version), count, pointerSize).Entry(2, 0x10d0).bytes;
  };
  std::vector<uint8_t> negativeName = good, longName = good, unknownRule = good;
  negativeName[23] = 0x80;  // name length -2147483636
  longName[21] = 0x10;      // name length 4108
  unknownRule[61] = 0xa9;   // id rule 9 in the second entry
  const struct {
    std::vector<uint8_t> bytes;
    uint32_t runtime;
    const char* expected;
  } refused[] = {
      {file(3, {1, 5, 97, 0}, 1), k1_5_97, "it has format 3, which this build cannot read (1, 2 and 5 only)"},
      {file(2, {1, 5, 97, 0}, 1), k1_5_97, "it has format 2, but runtime 1.5.97 needs format 1"},
      {file(1, {1, 6, 1170, 0}, 1), k1_6_1170, "it has format 1, but runtime 1.6.1170 needs format 2"},
      // The format is judged before the version: the 1.6 database on 1.7.
      {file(2, {1, 6, 1170, 0}, 1), k1_7_99,
       "it has format 2, but runtime 1.7.99 needs format 5 (the Address Library for 1.7)"},
      {file(1, {1, 5, 97, 0}, 1), k1_6_1170, "it has format 1, but runtime 1.6.1170 needs format 2"},
      {file(2, {1, 6, 640, 0}, 1), k1_6_1170, "it is the database of runtime 1.6.640.0, not of this game's 1.6.1170.0"},
      {negativeName, k1_5_97, "its name length -2147483636 is out of range (0 to 1024)"},
      {longName, k1_5_97, "its name length 4108 is out of range (0 to 1024)"},
      {file(1, {1, 5, 97, 0}, 1, 4), k1_5_97, "its pointer size is 4, not 8"},
      {file(1, {1, 5, 97, 0}, -1), k1_5_97, "its entry count -1 is out of range (0 to 4194304)"},
      {file(1, {1, 5, 97, 0}, 1000), k1_5_97, "it is truncated: entry 2 of 1000 ends past byte 61"},
      {unknownRule, k1_5_97, "it is damaged: entry 2 of 3, at byte 61, has the unknown id rule 9"},
      {std::vector<uint8_t>(kAddressLibraryMaxBytes + 1), k1_5_97,
       "it is oversized: 33554433 bytes, more than the 33554432 a database takes"},
  };
  for (const auto& bad : refused) EXPECT_EQ(Parse(bad.bytes, bad.runtime, &table), bad.expected);
  EXPECT_EQ(table.size(), 3u);

  // Ids in any order; an id given twice with two offsets is no address.
  const AddressTable unordered =
      AddressTable::FromEntries({{30, 0x300}, {10, 0x100}, {20, 2}, {20, 2}, {40, 1}, {40, 2}});
  uint64_t offset = 0;
  EXPECT_EQ(unordered.Find(10, &offset), AddressTable::Lookup::Found);
  EXPECT_EQ(offset, 0x100u);
  EXPECT_EQ(unordered.Find(20, &offset), AddressTable::Lookup::Found);
  EXPECT_EQ(unordered.Find(40, &offset), AddressTable::Lookup::Ambiguous);
  EXPECT_EQ(unordered.Find(25, &offset), AddressTable::Lookup::Missing);
}

TEST(AddressLibrary, TheFilesNameComesFromThePackedRuntimesVersionNotItsStore) {
  const std::pair<uint32_t, const char*> names[] = {
      {k1_5_97, "Data/SKSE/Plugins/version-1-5-97-0.bin"},
      {k1_6_1170, "Data/SKSE/Plugins/versionlib-1-6-1170-0.bin"},
      {0x01064921, "Data/SKSE/Plugins/versionlib-1-6-1170-0.bin"},  // GOG 1.6.1170
      {kGog1_6_1179, "Data/SKSE/Plugins/versionlib-1-6-1179-0.bin"},
      {k1_7_99, "Data/SKSE/Plugins/versionlib-1-7-99-0.bin"},
      {0x01070680, "Data/SKSE/Plugins/versionlib-1-7-104-0.bin"},
  };
  for (const auto& [runtime, expected] : names) {
    char path[kAddressLibraryPathSize];
    AddressLibraryPath(runtime, path);
    EXPECT_STREQ(path, expected) << std::hex << runtime;
  }
  EXPECT_EQ(AddressLibraryFormat(k1_5_97), 1);
  EXPECT_EQ(AddressLibraryFormat(kGog1_6_1179), 2);
  EXPECT_EQ(AddressLibraryFormat(k1_7_99), 5);
}

// Format 5, the 1.7 databases: a 96-byte header and a dense table by id.
TEST(AddressLibraryV5, TheDenseTableGivesEachIdItsOffsetAndNamesWhatItLacks) {
  // Ids 0 to 7; 0 and 5 do not exist. The data format changes nothing.
  const std::vector<uint32_t> offsets = {0, 0x1000, 0x1e5860, 0x1c7d00, 0xffffffff, 0, 0x10, 0x21a36e0};
  Writer w;
  w.HeaderV5({1, 7, 99, 0}, 8, 8, 3);
  ASSERT_EQ(w.bytes.size(), 96u);
  const std::vector<uint8_t> good = w.Offsets(offsets).bytes;
  ASSERT_EQ(good.size(), 96u + 4 * 8);

  AddressTable table;
  ASSERT_EQ(Parse(good, k1_7_99, &table), "");
  EXPECT_TRUE(table.dense());
  EXPECT_EQ(table.size(), 8u);
  for (uint64_t id = 0; id < offsets.size(); ++id) {
    uint64_t offset = 0;
    if (offsets[id] == 0) {
      EXPECT_EQ(table.Find(id, &offset), AddressTable::Lookup::NoOffset) << id;
    } else {
      ASSERT_EQ(table.Find(id, &offset), AddressTable::Lookup::Found) << id;
      EXPECT_EQ(offset, offsets[id]) << id;
    }
  }
  uint64_t offset = 0;
  EXPECT_EQ(table.Find(8, &offset), AddressTable::Lookup::PastTable);
  EXPECT_EQ(table.Find(uint64_t{1} << 40, &offset), AddressTable::Lookup::PastTable);

  // Bytes past the table are not the table's; an empty table is a table.
  std::vector<uint8_t> longer = good;
  longer.insert(longer.end(), {1, 2, 3, 4, 5});
  ASSERT_EQ(Parse(longer, k1_7_99, &table), "");
  EXPECT_EQ(table.size(), 8u);
  ASSERT_EQ(Parse(Writer().HeaderV5({1, 7, 104, 0}, 0).bytes, 0x01070680, &table), "");
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(table.Find(0, &offset), AddressTable::Lookup::PastTable);
}

TEST(AddressLibraryV5, DamagedFilesAndOtherGenerationsAreRefusedInWords) {
  const std::vector<uint8_t> good = Writer().HeaderV5({1, 7, 99, 0}, 4).Offsets({0, 0x100, 0x200, 0x300}).bytes;
  AddressTable table = AddressTable::FromEntries({{7, 0x700}});

  const std::pair<size_t, const char*> cuts[] = {
      {2, "it is truncated: its format ends past byte 2"},
      {19, "it is truncated: its version ends past byte 19"},
      {60, "it is truncated: its name ends past byte 60"},
      {86, "it is truncated: its pointer size ends past byte 86"},
      {90, "it is truncated: its data format ends past byte 90"},
      {95, "it is truncated: its offset count ends past byte 95"},
      {96, "it is truncated: its table of 4 offsets ends past byte 96"},
      {111, "it is truncated: its table of 4 offsets ends past byte 111"},
  };
  for (const auto& [size, expected] : cuts)
    EXPECT_EQ(Parse({good.begin(), good.begin() + static_cast<ptrdiff_t>(size)}, k1_7_99, &table), expected);

  const auto header = [](std::vector<uint32_t> version, int32_t count, int32_t pointerSize = 8) {
    return Writer().HeaderV5(std::move(version), count, pointerSize).bytes;
  };
  const struct {
    std::vector<uint8_t> bytes;
    uint32_t runtime;
    const char* expected;
  } refused[] = {
      {header({1, 7, 97, 0}, 0), k1_7_99, "it is the database of runtime 1.7.97.0, not of this game's 1.7.99.0"},
      {header({1, 7, 99, 0}, 0, 4), k1_7_99, "its pointer size is 4, not 8"},
      {header({1, 7, 99, 0}, -1), k1_7_99, "its offset count -1 is out of range (0 to 8388584)"},
      // Beyond what 32 MiB hold: refused before anything is allocated.
      {header({1, 7, 99, 0}, kAddressLibraryMaxOffsets + 1), k1_7_99,
       "its offset count 8388585 is out of range (0 to 8388584)"},
      {header({1, 7, 99, 0}, kAddressLibraryMaxOffsets), k1_7_99,
       "it is truncated: its table of 8388584 offsets ends past byte 96"},
      // A 1.7 database on a 1.6 or 1.5 runtime, whatever version it names.
      {header({1, 6, 1170, 0}, 0), k1_6_1170, "it has format 5, but runtime 1.6.1170 needs format 2"},
      {header({1, 6, 1179, 0}, 0), kGog1_6_1179, "it has format 5, but runtime 1.6.1179 needs format 2"},
      {header({1, 5, 97, 0}, 0), k1_5_97, "it has format 5, but runtime 1.5.97 needs format 1"},
  };
  for (const auto& bad : refused) EXPECT_EQ(Parse(bad.bytes, bad.runtime, &table), bad.expected);

  uint64_t offset = 0;
  EXPECT_FALSE(table.dense());
  EXPECT_EQ(table.Find(7, &offset), AddressTable::Lookup::Found);
  EXPECT_EQ(offset, 0x700u);
}

// The 1.7.99 database as the real one is laid out: half a million ids, the
// entries at their published offsets.
TEST(AddressLibraryV5, The1_7_99BindingTakesThePublishedOffsetsAndTheMovedField) {
  // clang-format off
  const std::map<std::string, uint32_t> published = {
      {"FormFromId", 0x1e5860}, {"EngineDynamicCast", 0x15a957a}, {"SpellCastNative", 0xa32c30},
      {"RefMoveToNative", 0xa461c0}, {"CellAttachedNative", 0xa3fd00}, {"ImodApplyNative", 0xa3a2b0},
      {"ImodRemoveNative", 0xa3a320}, {"ScriptEventSourcesGet", 0x1da8f0}, {"EventSourceAddSink", 0x5eb220},
      {"EngineHeapAllocate", 0xcddff0}, {"EngineHeapFree", 0xcde440}, {"InternedStringCreate", 0xeb0d30},
      {"InternedStringAssign", 0xeb0ec0}, {"NativeFunctionBaseInit", 0x14a9e90},
      {"NativeFunctionBaseRelease", 0x14aa0e0}, {"StackFrameArgOffset", 0x149e590},
      {"StackFrameArgValue", 0x149e600}, {"ScriptValueClear", 0x14917a0}, {"FunctionBaseImpl[0]", 0x14a97b0},
      {"FunctionBaseImpl[1]", 0x14a99b0}, {"FunctionBaseImpl[2]", 0x14a9890}, {"FunctionBaseImpl[3]", 0x14a98b0},
      {"SkyGetSingleton", 0x1c7d00}, {"SkyHolder", 0x31e0d78}, {"PlayerRefHolder", 0x3230778},
      {"ScriptVmHolder", 0x21a36e0}, {"DataRegistryHolder", 0x219ded8}, {"MenuManagerHolder", 0x219e5c0},
      {"EngineHeap", 0x369a810}, {"RttiForm", 0x20db9f8}, {"RttiSpell", 0x20dba18}, {"RttiEffectArt", 0x20dbda8},
      {"RttiImageSpaceModifier", 0x20dc138}, {"RttiFormList", 0x20dc358}, {"RttiGlobalVariable", 0x20dcb20},
      {"RttiObjectReference", 0x20de278}, {"RttiPlayer", 0x20df628},
  };
  // clang-format on
  constexpr int32_t kIds = 500000;
  std::vector<uint32_t> offsets(kIds);
  for (size_t id = 1; id < offsets.size(); ++id) offsets[id] = static_cast<uint32_t>(0x1000 + 0x10 * id);
  // The type descriptors the checks add have no published 1.7.99 offset: they
  // keep the filler.
  for (const SpecialEditionEntry& entry : kSpecialEditionEntries)
    if (const auto at = published.find(entry.name); entry.aeId != 0 && at != published.end())
      offsets[entry.aeId] = at->second;
  const std::vector<uint8_t> bytes = Writer().HeaderV5({1, 7, 99, 0}, kIds).Offsets(offsets).bytes;

  AddressTable table;
  ASSERT_EQ(Parse(bytes, k1_7_99, &table), "");
  EngineBinding bound{};
  ASSERT_EQ(std::string(BindFromAddressTable(0x140000000, k1_7_99, table, &bound).text), "");
  EXPECT_EQ(reinterpret_cast<uintptr_t>(bound.FormFromId), 0x140000000 + 0x1e5860u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(bound.RttiPlayer), 0x140000000 + 0x20df628u);
  EXPECT_EQ(bound.FunctionBaseImpl[3], 0x140000000 + 0x14a98b0u);
  // The sky through the paired accessor, as on 1.6; no patch site.
  EXPECT_EQ(reinterpret_cast<uintptr_t>(bound.SkyGetSingleton), 0x140000000 + 0x1c7d00u);
  EXPECT_EQ(bound.SkyHolder, nullptr);
  EXPECT_EQ(bound.JumpPatchSite, nullptr);
  EXPECT_EQ(bound.cellWorldspace, 0x128);
  EXPECT_EQ(bound.scriptMachineRegistry, 0x210);

  // What the dense table lacks is named by id, and nothing is bound.
  const auto refusal = [&](const std::vector<uint32_t>& withOffsets, int32_t count) {
    AddressTable lacking;
    const std::vector<uint8_t> file = Writer().HeaderV5({1, 7, 99, 0}, count).Offsets(withOffsets).bytes;
    EXPECT_EQ(Parse(file, k1_7_99, &lacking), "");
    EngineBinding untouched{};
    const std::string problem = BindFromAddressTable(0x140000000, k1_7_99, lacking, &untouched).text;
    EXPECT_EQ(untouched.FormFromId, nullptr);
    return problem;
  };
  std::vector<uint32_t> withoutFormFromId = offsets;
  withoutFormFromId[14617] = 0;
  EXPECT_EQ(refusal(withoutFormFromId, kIds), "it has no entry for id 14617 (FormFromId): its offset is 0");
  // PlayerRefHolder (403521) is the first entry past a table of 400,000.
  EXPECT_EQ(refusal({offsets.begin(), offsets.begin() + 400000}, 400000),
            "it has no entry for id 403521 (PlayerRefHolder): its table of 400000 offsets ends before that id");
}

#if !NIMBREL_EDITION_VR
// (The VR build binds every runtime it accepts from its built-in table.)
TEST(AddressLibrary, TheBindingIsInstalledWholeOrNotAtAll) {
  testsupport::TempDir game;
  ASSERT_EQ(setenv("NIMBREL_GAME_FOLDER", game.path().c_str(), 1), 0);
  const EngineBinding before = Engine();
  const std::string file = "Data/SKSE/Plugins/versionlib-1-6-1170-0.bin";
  // Every AE id at 0x100000 + 0x100 * its row, but `without`.
  const auto write = [&](uint32_t without) {
    std::vector<std::pair<uint32_t, uint64_t>> entries;
    for (size_t row = 0; row < std::size(kSpecialEditionEntries); ++row)
      if (kSpecialEditionEntries[row].aeId != 0 && kSpecialEditionEntries[row].aeId != without)
        entries.emplace_back(kSpecialEditionEntries[row].aeId, 0x100000 + 0x100 * row);
    Writer w;
    w.Header(2, {1, 6, 1170, 0}, static_cast<int32_t>(entries.size()));
    for (const auto& [id, offset] : entries) w.Entry(id, offset);
    std::filesystem::create_directories(game.path() + "/Data/SKSE/Plugins");
    std::ofstream(game.path() + "/" + file, std::ios::binary)
        .write(reinterpret_cast<const char*>(w.bytes.data()), static_cast<std::streamsize>(w.bytes.size()));
  };

  BindingReport report = BindEngine(k1_6_1170);
  EXPECT_EQ(report.outcome, BindingReport::Outcome::FileMissing);
  EXPECT_EQ(report.file, file);

  write(14617);
  report = BindEngine(k1_6_1170);
  EXPECT_EQ(report.outcome, BindingReport::Outcome::FileUnusable);
  EXPECT_STREQ(report.problem.text, "it has no entry for id 14617 (FormFromId)");
  EXPECT_EQ(Engine().SkyHolder, before.SkyHolder);
  EXPECT_EQ(Engine().RttiPlayer, before.RttiPlayer);

  write(0);
  report = BindEngine(k1_6_1170);
  ASSERT_EQ(report.outcome, BindingReport::Outcome::Bound) << report.problem.text;
  const EngineBinding& bound = Engine();
  const uintptr_t base = bound.gameBase + 0x100000;
  EXPECT_EQ(reinterpret_cast<uintptr_t>(bound.FormFromId), base);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(bound.SpellCastNative), base + 0x200);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(bound.RttiPlayer), base + 0x100 * 36);
  // The sky through the paired accessor, never the holder known by name only.
  EXPECT_EQ(reinterpret_cast<uintptr_t>(bound.SkyGetSingleton), base + 0x100 * 23);
  EXPECT_EQ(bound.SkyHolder, nullptr);
  EXPECT_EQ(bound.JumpPatchSite, nullptr);
  EXPECT_EQ(bound.cellWorldspace, 0x128);
  EXPECT_EQ(bound.scriptMachineRegistry, 0x200);
  InstallBinding(before);

  // Larger than asked: not read.
  std::vector<uint8_t> bytes;
  const platform::GameFileRead large = platform::ReadGameFile(file.c_str(), 100, &bytes);
  EXPECT_EQ(large.status, platform::GameFileStatus::TooLarge);
  EXPECT_GT(large.size, 100u);
  unsetenv("NIMBREL_GAME_FOLDER");
}
#endif
