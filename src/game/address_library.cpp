#include "game/address_library.h"

#include <algorithm>
#include <bit>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "game/runtime_version.h"

namespace NimbrelVR::game {
namespace {

constexpr int32_t kMaxNameLength = 1024;  // "SkyrimSE.exe" in every known file
constexpr int32_t kPointerSize = 8;
constexpr size_t kV5NameBytes = 64;  // "SkyrimSE.exe", zero-padded
// Format, version, name, pointer size, data format and count.
static_assert(4 + 16 + kV5NameBytes + 4 + 4 + 4 == kAddressLibraryV5HeaderBytes);

constexpr unsigned Major(uint32_t runtime) { return PartsOf(runtime).major; }
constexpr unsigned Minor(uint32_t runtime) { return PartsOf(runtime).minor; }
constexpr unsigned Build(uint32_t runtime) { return PartsOf(runtime).build; }

// Bytes a value takes for each of the eight rules of an entry's type byte.
constexpr uint8_t kValueBytes[8] = {8, 0, 1, 1, 2, 2, 2, 4};

uint16_t LoadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t LoadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
uint64_t LoadU64(const uint8_t* p) { return LoadU32(p) | static_cast<uint64_t>(LoadU32(p + 4)) << 32; }

// One value from its rule and the previous value; `p` moves past what it
// reads. The caller has checked that the bytes are there. Unsigned
// arithmetic: a damaged file wraps, it never overflows.
uint64_t Decode(unsigned rule, uint64_t previous, const uint8_t*& p) {
  uint64_t value = 0;
  switch (rule) {
    case 0:
      value = LoadU64(p);
      break;
    case 1:
      return previous + 1;
    case 2:
      value = previous + p[0];
      break;
    case 3:
      value = previous - p[0];
      break;
    case 4:
      value = previous + LoadU16(p);
      break;
    case 5:
      value = previous - LoadU16(p);
      break;
    case 6:
      value = LoadU16(p);
      break;
    default:
      value = LoadU32(p);
      break;
  }
  p += kValueBytes[rule];
  return value;
}

// Reads the header's little-endian numbers in order, naming the one that the
// file ends inside.
class HeaderReader {
 public:
  HeaderReader(std::span<const uint8_t> bytes, Problem* problem) : bytes_(bytes), problem_(problem) {}

  bool Int(const char* what, int32_t* value) {
    if (!Skip(what, 4)) return false;
    *value = static_cast<int32_t>(LoadU32(bytes_.data() + at_ - 4));
    return true;
  }
  bool Skip(const char* what, size_t count) {
    if (bytes_.size() - at_ < count) {
      problem_->Set("it is truncated: its %s ends past byte %zu", what, bytes_.size());
      return false;
    }
    at_ += count;
    return true;
  }
  size_t at() const { return at_; }

 private:
  std::span<const uint8_t> bytes_;
  Problem* problem_;
  size_t at_ = 0;
};

// Formats 1 and 2 after the version: the name, the pointer size, the count
// and the packed entries. `problem` is the header reader's.
void ParseListed(std::span<const uint8_t> bytes, HeaderReader& header, AddressTable* table, Problem& problem) {
  int32_t nameLength = 0;
  if (!header.Int("name length", &nameLength)) return;
  if (nameLength < 0 || nameLength > kMaxNameLength) {
    problem.Set("its name length %d is out of range (0 to %d)", nameLength, kMaxNameLength);
    return;
  }
  if (!header.Skip("name", static_cast<size_t>(nameLength))) return;
  int32_t pointerSize = 0;
  if (!header.Int("pointer size", &pointerSize)) return;
  if (pointerSize != kPointerSize) {
    problem.Set("its pointer size is %d, not %d", pointerSize, kPointerSize);
    return;
  }
  int32_t count = 0;
  if (!header.Int("entry count", &count)) return;
  if (count < 0 || count > kAddressLibraryMaxEntries) {
    problem.Set("its entry count %d is out of range (0 to %d)", count, kAddressLibraryMaxEntries);
    return;
  }

  const uint8_t* p = bytes.data() + header.at();
  const uint8_t* const end = bytes.data() + bytes.size();
  std::vector<AddressTable::Entry> entries;
  // Every entry takes at least its type byte: a count beyond the bytes left
  // reserves no more than the bytes can hold.
  entries.reserve(std::min(static_cast<size_t>(count), static_cast<size_t>(end - p)));
  uint64_t id = 0;
  uint64_t offset = 0;
  for (int32_t i = 0; i < count; ++i) {
    const size_t left = static_cast<size_t>(end - p);
    const unsigned type = left > 0 ? p[0] : 0;
    const unsigned idRule = type & 0xF;  // 0 to 15; the format defines 0 to 7
    const unsigned offsetRule = (type >> 4) & 7;
    if (idRule > 7) {
      problem.Set("it is damaged: entry %d of %d, at byte %zu, has the unknown id rule %u", i + 1, count,
                  static_cast<size_t>(p - bytes.data()), idRule);
      return;
    }
    if (left == 0 || left - 1 < size_t{kValueBytes[idRule]} + kValueBytes[offsetRule]) {
      problem.Set("it is truncated: entry %d of %d ends past byte %zu", i + 1, count, bytes.size());
      return;
    }
    ++p;
    const uint64_t nextId = Decode(idRule, id, p);
    // A scaled offset counts in pointers from the previous one.
    const bool scaled = (type & 0x80) != 0;
    const uint64_t base = scaled ? offset / kPointerSize : offset;
    uint64_t nextOffset = Decode(offsetRule, base, p);
    if (scaled) nextOffset *= kPointerSize;
    id = nextId;
    offset = nextOffset;
    entries.push_back({id, offset});
  }
  *table = AddressTable::FromEntries(std::move(entries));
}

// Format 5 after the version: the executable's name in a fixed field, the
// pointer size, the data format (which changes nothing in the table), the
// count and the dense table. `problem` is the header reader's.
void ParseDense(std::span<const uint8_t> bytes, HeaderReader& header, AddressTable* table, Problem& problem) {
  if (!header.Skip("name", kV5NameBytes)) return;
  int32_t pointerSize = 0;
  if (!header.Int("pointer size", &pointerSize)) return;
  if (pointerSize != kPointerSize) {
    problem.Set("its pointer size is %d, not %d", pointerSize, kPointerSize);
    return;
  }
  int32_t dataFormat = 0;
  if (!header.Int("data format", &dataFormat)) return;
  int32_t count = 0;
  if (!header.Int("offset count", &count)) return;
  if (count < 0 || count > kAddressLibraryMaxOffsets) {
    problem.Set("its offset count %d is out of range (0 to %d)", count, kAddressLibraryMaxOffsets);
    return;
  }
  const size_t tableBytes = 4 * static_cast<size_t>(count);
  if (bytes.size() - header.at() < tableBytes) {
    problem.Set("it is truncated: its table of %d offsets ends past byte %zu", count, bytes.size());
    return;
  }
  // Bytes after the table are left alone, as the host's own reader does.
  std::vector<uint32_t> offsets(static_cast<size_t>(count));
  const uint8_t* const first = bytes.data() + header.at();
  if constexpr (std::endian::native == std::endian::little) {
    if (count > 0) std::memcpy(offsets.data(), first, tableBytes);
  } else {
    for (size_t i = 0; i < offsets.size(); ++i) offsets[i] = LoadU32(first + 4 * i);
  }
  *table = AddressTable::FromOffsets(std::move(offsets));
}

Problem Parse(std::span<const uint8_t> bytes, uint32_t runtime, AddressTable* table) {
  Problem problem;
  if (bytes.size() > kAddressLibraryMaxBytes) {
    problem.Set("it is oversized: %zu bytes, more than the %zu a database takes", bytes.size(),
                kAddressLibraryMaxBytes);
    return problem;
  }
  HeaderReader header(bytes, &problem);
  int32_t format = 0;
  if (!header.Int("format", &format)) return problem;
  if (format != 1 && format != 2 && format != 5) {
    problem.Set("it has format %d, which this build cannot read (1, 2 and 5 only)", format);
    return problem;
  }
  // The format before the version: a database of another game generation
  // is named as such, whatever version its header gives.
  const int32_t expectedFormat = AddressLibraryFormat(runtime);
  if (format != expectedFormat) {
    problem.Set("it has format %d, but runtime %u.%u.%u needs format %d%s", format, Major(runtime), Minor(runtime),
                Build(runtime), expectedFormat, expectedFormat == 5 ? " (the Address Library for 1.7)" : "");
    return problem;
  }
  int32_t version[4] = {};
  for (int32_t& number : version)
    if (!header.Int("version", &number)) return problem;
  const int32_t expected[4] = {static_cast<int32_t>(Major(runtime)), static_cast<int32_t>(Minor(runtime)),
                               static_cast<int32_t>(Build(runtime)), 0};
  if (!std::equal(version, version + 4, expected)) {
    problem.Set("it is the database of runtime %d.%d.%d.%d, not of this game's %d.%d.%d.%d", version[0], version[1],
                version[2], version[3], expected[0], expected[1], expected[2], expected[3]);
    return problem;
  }
  if (format == 5) {
    ParseDense(bytes, header, table, problem);
  } else {
    ParseListed(bytes, header, table, problem);
  }
  return problem;
}

}  // namespace

void Problem::Set(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
}

void AddressLibraryPath(uint32_t runtime, char (&path)[kAddressLibraryPathSize]) {
  std::snprintf(path, sizeof path, "Data/SKSE/Plugins/%s-%u-%u-%u-0.bin",
                IsAnniversaryRuntime(runtime) ? "versionlib" : "version", Major(runtime), Minor(runtime),
                Build(runtime));
}

AddressTable AddressTable::FromEntries(std::vector<Entry> entries) {
  // Databases list their ids in order; the format allows any. Stable: of an
  // id given twice, the file's order is kept.
  const auto byId = [](const Entry& a, const Entry& b) { return a.id < b.id; };
  if (!std::is_sorted(entries.begin(), entries.end(), byId)) std::stable_sort(entries.begin(), entries.end(), byId);
  AddressTable table;
  table.entries_ = std::move(entries);
  return table;
}

AddressTable AddressTable::FromOffsets(std::vector<uint32_t> offsets) {
  AddressTable table;
  table.offsets_ = std::move(offsets);
  table.dense_ = true;
  return table;
}

AddressTable::Lookup AddressTable::Find(uint64_t id, uint64_t* offset) const {
  if (dense_) {
    if (id >= offsets_.size()) return Lookup::PastTable;
    if (offsets_[id] == 0) return Lookup::NoOffset;
    *offset = offsets_[id];
    return Lookup::Found;
  }
  auto at = std::lower_bound(entries_.begin(), entries_.end(), id, [](const Entry& e, uint64_t v) { return e.id < v; });
  if (at == entries_.end() || at->id != id) return Lookup::Missing;
  for (auto next = at + 1; next != entries_.end() && next->id == id; ++next)
    if (next->offset != at->offset) return Lookup::Ambiguous;
  *offset = at->offset;
  return Lookup::Found;
}

Problem ParseAddressLibrary(std::span<const uint8_t> bytes, uint32_t runtime, AddressTable* table) {
  try {
    return Parse(bytes, runtime, table);
  } catch (...) {
    // The table's vector is the only allocation.
    Problem problem;
    problem.Set("there is not enough memory to read it");
    return problem;
  }
}

}  // namespace NimbrelVR::game
