// The Address Library databases the double writes: its 1.5.97 column
// against the game's own file, each format read back, format 5 by its
// published header, and damaged files. Facts below are written out from
// runtimes.md.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "image/address_library.h"
#include "image/image.h"
#include "image/runtimes.h"
#include "support/real_data.h"
#include "test_support.h"

using namespace nimbrel_sim;
using nimbrel_sim_tests::ReadBytes;

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
  EXPECT_EQ(problem, "the header's format is 7 (1, 2 or 5)");
  ASSERT_TRUE(decodeDatabase(damagedDatabase(own, DatabaseDamage::WrongVersion), read, problem));
  EXPECT_EQ(std::vector<int32_t>(read.version, read.version + 4), (std::vector<int32_t>{1, 6, 1171, 0}));

  // Format 5: a table shorter than its count, a header cut inside.
  const AddressDatabase dense = databaseFor(Edition::SpecialEdition, kRuntime1_7_99);
  const std::vector<uint8_t> cut = damagedDatabase(dense, DatabaseDamage::TruncatedBody);
  ASSERT_GT(cut.size(), 96u);
  EXPECT_FALSE(decodeDatabase(cut, read, problem));
  EXPECT_EQ(problem.rfind("the table ends early: ", 0), 0u) << problem;
  EXPECT_FALSE(decodeDatabase(std::vector<uint8_t>(cut.begin(), cut.begin() + 95), read, problem));
  EXPECT_EQ(problem, "the header ends early (95 bytes of 96)");
  EXPECT_FALSE(decodeDatabase(damagedDatabase(dense, DatabaseDamage::WrongHeader), read, problem));
  EXPECT_EQ(problem, "the header's format is 7 (1, 2 or 5)");
  ASSERT_TRUE(decodeDatabase(damagedDatabase(dense, DatabaseDamage::WrongVersion), read, problem)) << problem;
  EXPECT_EQ(std::vector<int32_t>(read.version, read.version + 4), (std::vector<int32_t>{1, 7, 100, 0}));
}

// Format 5 by the published header offsets, read from the bytes here, then
// through the double's reader.
TEST(Database, Format5IsTheDenseTableOfTheLayoutLaidOut) {
  for (const uint32_t runtime : {kRuntime1_7_99, kRuntime1_7_104}) {
    SCOPED_TRACE(runtimeName(runtime));
    const AddressDatabase written = databaseFor(Edition::SpecialEdition, runtime);
    const std::vector<uint8_t> bytes = encodeDatabase(written);
    const auto u32 = [&bytes](size_t at) {
      uint32_t v = 0;
      std::memcpy(&v, bytes.data() + at, 4);
      return v;
    };
    ASSERT_GE(bytes.size(), 96u);
    EXPECT_EQ(u32(0x00), 5u);
    EXPECT_EQ(std::vector<uint32_t>({u32(0x04), u32(0x08), u32(0x0c), u32(0x10)}),
              (std::vector<uint32_t>{1, 7, (runtime >> 4) & 0xFFF, 0}));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data() + 0x14)), "SkyrimSE.exe");
    EXPECT_TRUE(std::all_of(bytes.begin() + 0x14 + 12, bytes.begin() + 0x54, [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(u32(0x54), 8u);
    EXPECT_EQ(u32(0x58), 0u);
    // As many offsets as the runtime's own database: its highest id + 1.
    const uint32_t count = u32(0x5c);
    EXPECT_EQ(count, runtime == kRuntime1_7_99 ? 565073u : 565759u);
    ASSERT_EQ(bytes.size(), 96 + 4 * size_t{count});
    EXPECT_EQ(u32(0x60 + 4 * (size_t{count} - 1)), 0u);
    // Every entry at its id, at the runtime's own offset (SpellCastNative
    // moved in 1.7.104, the others did not); ids between the written ones
    // are 0.
    EXPECT_EQ(u32(0x60 + 4 * 14617), 0x1e5860u);                                          // FormFromId
    EXPECT_EQ(u32(0x60 + 4 * 400475), 0x21a36e0u);                                        // ScriptVmHolder
    EXPECT_EQ(u32(0x60 + 4 * 13878), 0x1c7d00u);                                          // SkyGetSingleton
    EXPECT_EQ(u32(0x60 + 4 * 55747), runtime == kRuntime1_7_99 ? 0xa32c30u : 0xa32e90u);  // SpellCastNative
    EXPECT_EQ(u32(0x60), 0u);
    EXPECT_EQ(u32(0x60 + 4 * 50000), 0u);
    size_t nonZero = 0;
    for (uint32_t id = 0; id < count; ++id) nonZero += u32(0x60 + 4 * size_t{id}) != 0;
    EXPECT_EQ(nonZero, written.entries.size());

    AddressDatabase read;
    std::string problem;
    ASSERT_TRUE(decodeDatabase(bytes, read, problem)) << problem;
    EXPECT_EQ(read.format, 5);
    EXPECT_EQ(read.name, "SkyrimSE.exe");
    EXPECT_EQ(read.offsetCount, count);
    EXPECT_EQ(read.entries, written.entries);
  }
  // A later 1.7 runtime, whose count the double does not know: the highest
  // id written + 1.
  const AddressDatabase later = databaseFor(Edition::SpecialEdition, 0x01070700);
  const std::vector<uint8_t> bytes = encodeDatabase(later);
  AddressDatabase read;
  std::string problem;
  ASSERT_TRUE(decodeDatabase(bytes, read, problem)) << problem;
  EXPECT_EQ(read.offsetCount, later.entries.back().first + 1);
  EXPECT_EQ(bytes.size(), 96 + 4 * size_t{read.offsetCount});
}
