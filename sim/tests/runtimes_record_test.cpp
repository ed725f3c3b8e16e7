// The double against runtimes.md itself, read where it lies (never copied
// in): every entry offset of the runtimes it publishes, by name and id; every
// type descriptor at its offset with its decorated name; the databases the
// double writes, by id, and format 5's real count.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

#include "image/address_library.h"
#include "image/image.h"
#include "image/rtti.h"
#include "image/runtimes.h"
#include "runtimes_record.h"
#include "support/real_data.h"

using namespace nimbrel_sim;
using nimbrel_sim_tests::PublishedOffset;
using nimbrel_sim_tests::RuntimesRecord;

namespace {

// The runtimes.md record, read once; `problems` lists what it could not read.
const RuntimesRecord& RecordAt(const std::string& path) {
  static const RuntimesRecord record = [&] {
    std::ifstream in(path, std::ios::binary);
    return nimbrel_sim_tests::readRuntimesRecord(
        std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
  }();
  return record;
}

std::string Problems(const RuntimesRecord& record) {
  std::ostringstream out;
  for (const std::string& p : record.problems) out << "\n  " << p;
  return out.str();
}

// In a test body: `record` becomes the record of runtimes.md; the test skips
// (or fails, when real data is required) where the file is absent, and fails
// on a row it cannot read.
#define RUNTIMES_RECORD(record)                           \
  NIMBREL_REAL_SHARED_FILE(record##Path_, "runtimes.md"); \
  const RuntimesRecord& record = RecordAt(record##Path_); \
  ASSERT_TRUE(record.problems.empty()) << Problems(record);

// A column of the tables as the double plays it.
struct Column {
  Edition edition;
  uint32_t runtime;
  Layout layout;
};
Column ColumnOf(const std::string& name) {
  if (name == "VR") return {Edition::VR, kRuntimeVR, layoutFor(Edition::VR, kRuntimeVR)};
  uint32_t packed = 0;
  std::string problem;
  EXPECT_TRUE(parseRuntime(name, packed, problem)) << name << ": " << problem;
  return {Edition::SpecialEdition, packed, layoutFor(Edition::SpecialEdition, packed)};
}

// The id a column's database gives a row (SE ids on 1.5.x, AE ids from 1.6).
uint32_t IdIn(const PublishedOffset& p, const Column& c) {
  return isAnniversaryRuntime(c.edition, c.runtime) ? p.aeId : p.seId;
}

// The double's entries a table's row names: by name, but for the engine's
// IFunction implementations, which the double names by the operation they
// serve, and the patch site's row, which names the site and its target.
std::vector<EntryId> EntriesNamed(const std::string& name) {
  static const std::map<std::string, std::vector<std::string>> kOtherwise = {
      {"FunctionBaseImpl[0]", {"IFunctionBase7"}},
      {"FunctionBaseImpl[1]", {"IFunctionBase16"}},
      {"FunctionBaseImpl[2]", {"IFunctionBase17"}},
      {"FunctionBaseImpl[3]", {"IFunctionBase19"}},
      {"JumpPatchSite / Target", {"JumpPatchSite", "JumpPatchTarget"}},
  };
  const auto other = kOtherwise.find(name);
  const std::vector<std::string> names = other == kOtherwise.end() ? std::vector<std::string>{name} : other->second;
  std::vector<EntryId> found;
  for (const std::string& n : names)
    for (int i = 0; i < kEntryCount; ++i)
      if (n == entry(static_cast<EntryId>(i)).name) found.push_back(static_cast<EntryId>(i));
  return found;
}

// MSVC's decorated name of a plain class: ".?AV", the name's parts from
// the innermost out, each closed by '@', and a closing '@'.
std::string Decorated(const std::string& name) {
  std::vector<std::string> parts;
  for (size_t at = 0;;) {
    const size_t next = name.find("::", at);
    parts.push_back(name.substr(at, next == std::string::npos ? std::string::npos : next - at));
    if (next == std::string::npos) break;
    at = next + 2;
  }
  std::string out = ".?AV";
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) out += *it + "@";
  return out + "@";
}

bool ClassNamed(const std::string& name, ClassId& cls) {
  for (int i = 0; i < kClassCount; ++i) {
    if (name == className(static_cast<ClassId>(i))) {
      cls = static_cast<ClassId>(i);
      return true;
    }
  }
  return false;
}

std::set<std::string> ColumnsOf(const std::vector<PublishedOffset>& rows) {
  std::set<std::string> columns;
  for (const PublishedOffset& p : rows) columns.insert(p.runtime);
  return columns;
}

}  // namespace

// Every entry of the tables lies at its offset in the double's column of the
// runtime, under the table's ids; every entry the double lays out in those
// columns is in the tables.
TEST(RuntimesRecord, TheDoublesEntryColumnsAreTheTables) {
  RUNTIMES_RECORD(record);
  EXPECT_EQ(ColumnsOf(record.entries), (std::set<std::string>{"1.5.97", "1.6.353", "1.6.1170", "1.7.99", "1.7.104"}));
  std::map<Layout, std::set<int>> covered;
  for (const PublishedOffset& p : record.entries) {
    SCOPED_TRACE(p.runtime + ": " + p.row);
    const Column c = ColumnOf(p.runtime);
    EXPECT_TRUE(layoutExact(c.edition, c.runtime)) << "laid out as " << layoutName(c.layout);
    if (p.name.front() == '(') {  // a function the tables give for reference, none of the image's entries
      for (int i = 0; i < kEntryCount; ++i)
        EXPECT_NE(entry(static_cast<EntryId>(i)).aeId, p.aeId) << entry(static_cast<EntryId>(i)).name;
      continue;
    }
    const std::vector<EntryId> ids = EntriesNamed(p.name);
    ASSERT_FALSE(ids.empty()) << "the double has no entry " << p.name;
    for (const EntryId id : ids) {
      EXPECT_EQ(offsetOf(id, c.layout), p.offset) << entry(id).name;
      if (p.hasSeId) {
        EXPECT_EQ(entry(id).seId, p.seId) << entry(id).name;
      }
      if (p.hasAeId) {
        EXPECT_EQ(entry(id).aeId, p.aeId) << entry(id).name;
      }
      EXPECT_EQ(databaseIdOf(id, c.edition, c.runtime), IdIn(p, c)) << entry(id).name;
      covered[c.layout].insert(id);
    }
  }
  for (const std::string& name : ColumnsOf(record.entries)) {
    const Column c = ColumnOf(name);
    for (int i = 0; i < kEntryCount; ++i) {
      if (offsetOf(static_cast<EntryId>(i), c.layout) == 0) continue;
      EXPECT_TRUE(covered[c.layout].count(i))
          << entry(static_cast<EntryId>(i)).name << " in " << name << " is in no table";
    }
  }
}

// Every descriptor of "Type checks" lies at its offset in each column's
// type information, with its decorated name; every descriptor the double
// calls published there is either in that table or a cast entry's.
TEST(RuntimesRecord, EveryDescriptorLiesAtItsOffsetInEachColumn) {
  RUNTIMES_RECORD(record);
  EXPECT_EQ(ColumnsOf(record.descriptors),
            (std::set<std::string>{"1.5.39", "1.5.97", "1.6.353", "1.6.1170", "1.7.99", "1.7.104", "VR"}));
  std::map<Layout, std::map<uint32_t, std::vector<uint8_t>>> blocks;  // each column's bytes, by offset
  std::map<Layout, std::set<ClassId>> inTable;
  for (const PublishedOffset& p : record.descriptors) {
    SCOPED_TRACE(p.runtime + ": " + p.row);
    const Column c = ColumnOf(p.runtime);
    EXPECT_TRUE(layoutExact(c.edition, c.runtime)) << "laid out as " << layoutName(c.layout);
    ClassId cls{};
    ASSERT_TRUE(ClassNamed(p.name, cls)) << "the double has no class " << p.name;
    ASSERT_NE(p.offset, 0u);
    inTable[c.layout].insert(cls);
    EXPECT_EQ(rttiPlacement(c.layout).descriptor[static_cast<size_t>(cls)], p.offset);
    EXPECT_TRUE(descriptorPublished(cls, c.layout));
    if (c.edition == Edition::SpecialEdition) {
      EXPECT_EQ(descriptorIdOf(cls, c.edition, c.runtime), IdIn(p, c));
    }
    auto& bytes = blocks[c.layout];
    if (bytes.empty())
      for (RttiBlock& b : rttiBytes(c.layout, 0, {})) bytes[b.offset] = std::move(b.bytes);
    const auto found = bytes.find(p.offset);
    ASSERT_NE(found, bytes.end()) << "nothing laid out at the offset";
    const std::string decorated = Decorated(p.name);
    ASSERT_EQ(found->second.size(), 0x10 + decorated.size() + 1);
    EXPECT_EQ(std::string(found->second.begin() + 0x10, found->second.end()), decorated + '\0');
  }
  for (const auto& [layout, classes] : inTable) {
    std::set<uint32_t> castEntries;
    for (int i = kFirstDescriptor; i <= kLastDescriptor; ++i)
      castEntries.insert(offsetOf(static_cast<EntryId>(i), layout));
    for (int i = 0; i < kClassCount; ++i) {
      const auto cls = static_cast<ClassId>(i);
      if (!descriptorPublished(cls, layout) || classes.count(cls)) continue;
      EXPECT_TRUE(castEntries.count(rttiPlacement(layout).descriptor[static_cast<size_t>(i)]))
          << className(cls) << " in " << layoutName(layout) << " is published by no table";
    }
  }
}

// The database the double writes for each runtime of the tables gives every
// table id the table's offset; format 5 holds the runtime's own count.
TEST(RuntimesRecord, EachDatabaseGivesTheTablesIdsTheirOffsets) {
  RUNTIMES_RECORD(record);
  ASSERT_TRUE(record.databaseCounts.count("1.7.99") && record.databaseCounts.count("1.7.104"));
  std::set<std::string> columns = ColumnsOf(record.entries);
  columns.merge(ColumnsOf(record.descriptors));
  size_t dense = 0;
  for (const std::string& name : columns) {
    SCOPED_TRACE(name);
    const Column c = ColumnOf(name);
    if (databaseFileName(c.edition, c.runtime).empty()) continue;  // 1.5.39 and VR read none
    const std::vector<uint8_t> bytes = encodeDatabase(databaseFor(c.edition, c.runtime));
    AddressDatabase read;
    std::string problem;
    ASSERT_TRUE(decodeDatabase(bytes, read, problem)) << problem;
    if (read.format == 5) {
      ASSERT_TRUE(record.databaseCounts.count(name)) << "no published size";
      EXPECT_EQ(read.offsetCount, record.databaseCounts.at(name));
      EXPECT_EQ(bytes.size(), kDenseHeaderSize + 4 * size_t{record.databaseCounts.at(name)});
      ++dense;
    }
    const std::map<uint64_t, uint64_t> byId(read.entries.begin(), read.entries.end());
    for (const auto* rows : {&record.entries, &record.descriptors}) {
      for (const PublishedOffset& p : *rows) {
        if (p.runtime != name || p.offset == 0) continue;
        // A function given for reference is none the double lays out: its id
        // holds 0, as every id the double does not lay out.
        if (p.name.front() == '(') {
          EXPECT_FALSE(byId.count(IdIn(p, c))) << p.row;
          continue;
        }
        const auto found = byId.find(IdIn(p, c));
        ASSERT_NE(found, byId.end()) << p.row;
        EXPECT_EQ(found->second, p.offset) << p.row;
      }
    }
  }
  EXPECT_EQ(dense, record.databaseCounts.size());
}

// The reader itself: what it reads from a row, and that a row it cannot read
// is a problem naming the row rather than a row left out.
TEST(RuntimesRecord, TheReaderReadsRowsStrictly) {
  const std::string good =
      "## Entries\n\n"
      "| Entry | SE id | AE id | 1.5.97 | 1.6.353 | AE id known by |\n|---|---|---|---|---|---|\n"
      "| FormFromId | 14461 | 14617 | 0x194230 | none | SKSE pair (**weak**) |\n\n"
      "## Runtimes 1.7.x\n\n"
      "  | Entry | AE id | 1.7.99 | | Entry | AE id | 1.7.99 |\n  |---|---|---|---|---|---|---|\n"
      "  | SkyHolder | 401651 | 0x31e0d78 | | RttiForm | 392216 | 0x20db9f8 |\n\n"
      "## Type checks (run-time type information)\n\n"
      "| Class | SE id | AE id | VR |\n|---|---|---|---|\n| `Sky` | 685534 | 393319 | 0x1ee7560 |\n\n"
      "`Sky::GetSingleton()` = RELOCATION_ID(13789, 13878), at 0x177790 (1.5.97), 0x181810 (1.6.353) and 0x1c2640\n"
      "(1.6.1170), which\n\n- **The databases' size.** 565073 in 1.7.99 (highest id 565072).\n- **Next.**\n";
  const RuntimesRecord read = nimbrel_sim_tests::readRuntimesRecord(good);
  ASSERT_TRUE(read.problems.empty()) << Problems(read);
  ASSERT_EQ(read.entries.size(), 7u);  // two columns, two sides, the accessor's three
  EXPECT_EQ(read.entries[0].name, "FormFromId");
  EXPECT_EQ(read.entries[0].seId, 14461u);
  EXPECT_EQ(read.entries[0].offset, 0x194230u);
  EXPECT_EQ(read.entries[1].runtime, "1.6.353");
  EXPECT_EQ(read.entries[1].offset, 0u);
  EXPECT_EQ(read.entries[3].name, "RttiForm");
  EXPECT_FALSE(read.entries[3].hasSeId);
  EXPECT_EQ(read.entries[6].name, "SkyGetSingleton");
  EXPECT_EQ(read.entries[6].runtime, "1.6.1170");
  EXPECT_EQ(read.entries[6].offset, 0x1c2640u);
  ASSERT_EQ(read.descriptors.size(), 1u);
  EXPECT_EQ(read.descriptors[0].name, "Sky");
  EXPECT_EQ(read.databaseCounts, (std::map<std::string, uint32_t>{{"1.7.99", 565073}}));

  // `good` with one text in place of another: it must be read as one problem
  // that quotes the row.
  auto problemsWith = [&good](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return nimbrel_sim_tests::readRuntimesRecord(text).problems;
  };
  const std::string formFromId = "| FormFromId | 14461 | 14617 | 0x194230 | none | SKSE pair (**weak**) |";
  for (const char* row : {"| FormFromId | 14461 | 14617 | 0x19423g | none | x |",  // no hex
                          "| FormFromId | 14461 | 14617 | 0x194230 | none |",      // a cell short
                          "| FormFromId | 1446I | 14617 | 0x194230 | none | x |",  // no id
                          "| FormFromId | 14461 | 14617 | 0x194230 | soon | x |"}) {
    const std::vector<std::string> problems = problemsWith(formFromId, row);
    ASSERT_EQ(problems.size(), 1u) << row;
    EXPECT_NE(problems[0].find(row), std::string::npos) << problems[0];
  }
  const std::vector<std::string> between = problemsWith("0x31e0d78 | | RttiForm", "0x31e0d78 | x | RttiForm");
  ASSERT_EQ(between.size(), 1u);
  EXPECT_NE(between[0].find("between its sides"), std::string::npos) << between[0];
  EXPECT_EQ(problemsWith("(highest id 565072)", "(highest id 565071)").size(), 1u);
  EXPECT_EQ(problemsWith("RELOCATION_ID(13789, 13878)", "RELOCATION_ID(13789)").size(), 1u);
}
