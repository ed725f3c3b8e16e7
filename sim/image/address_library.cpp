#include "image/address_library.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "image/image.h"

namespace nimbrel_sim {

namespace {

// The eight rules by which an id or an offset follows the previous one.
enum Rule : uint8_t { kU64, kNext, kPlusU8, kMinusU8, kPlusU16, kMinusU16, kU16, kU32 };
constexpr size_t kRuleBytes[8] = {8, 0, 1, 1, 2, 2, 2, 4};

Rule shortestRule(uint64_t prev, uint64_t value) {
  if (value == prev + 1) return kNext;
  if (value >= prev && value - prev <= 0xFF) return kPlusU8;
  if (value < prev && prev - value <= 0xFF) return kMinusU8;
  if (value >= prev && value - prev <= 0xFFFF) return kPlusU16;
  if (value < prev && prev - value <= 0xFFFF) return kMinusU16;
  return value <= 0xFFFF ? kU16 : value <= 0xFFFFFFFF ? kU32 : kU64;
}

Rule absoluteRule(uint64_t value) { return value <= 0xFFFF ? kU16 : value <= 0xFFFFFFFF ? kU32 : kU64; }

void put(std::vector<uint8_t>& out, uint64_t value, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void putRule(std::vector<uint8_t>& out, Rule rule, uint64_t prev, uint64_t value) {
  switch (rule) {
    case kNext:
      return;
    case kPlusU8:
    case kPlusU16:
      return put(out, value - prev, kRuleBytes[rule]);
    case kMinusU8:
    case kMinusU16:
      return put(out, prev - value, kRuleBytes[rule]);
    default:
      return put(out, value, kRuleBytes[rule]);
  }
}

class Reader {
 public:
  explicit Reader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  bool take(size_t count, uint64_t& value) {
    if (bytes_.size() - at_ < count) return false;
    value = 0;
    for (size_t i = 0; i < count; ++i) value |= uint64_t{bytes_[at_ + i]} << (8 * i);
    at_ += count;
    return true;
  }
  bool i32(int32_t& value) {
    uint64_t raw = 0;
    if (!take(4, raw)) return false;
    value = static_cast<int32_t>(static_cast<uint32_t>(raw));
    return true;
  }
  bool rule(uint8_t rule, uint64_t prev, uint64_t& value) {
    uint64_t raw = 0;
    if (!take(kRuleBytes[rule], raw)) return false;
    switch (rule) {
      case kNext:
        value = prev + 1;
        break;
      case kPlusU8:
      case kPlusU16:
        value = prev + raw;
        break;
      case kMinusU8:
      case kMinusU16:
        value = prev - raw;
        break;
      default:
        value = raw;
    }
    return true;
  }
  bool skip(size_t count) {
    if (bytes_.size() - at_ < count) return false;
    at_ += count;
    return true;
  }
  size_t at() const { return at_; }

 private:
  const std::vector<uint8_t>& bytes_;
  size_t at_ = 0;
};

void putHeader(std::vector<uint8_t>& out, const AddressDatabase& d) {
  put(out, static_cast<uint32_t>(d.format), 4);
  for (int32_t v : d.version) put(out, static_cast<uint32_t>(v), 4);
  put(out, d.name.size(), 4);
  out.insert(out.end(), d.name.begin(), d.name.end());
  put(out, static_cast<uint32_t>(d.pointerSize), 4);
  put(out, d.entries.size(), 4);
}

// Format 5: the 96-byte header, then the dense table.
std::vector<uint8_t> encodeDense(const AddressDatabase& d) {
  std::vector<uint8_t> out;
  put(out, static_cast<uint32_t>(d.format), 4);
  for (int32_t v : d.version) put(out, static_cast<uint32_t>(v), 4);
  for (size_t i = 0; i < kDenseNameSize; ++i) out.push_back(i < d.name.size() ? static_cast<uint8_t>(d.name[i]) : 0);
  put(out, static_cast<uint32_t>(d.pointerSize), 4);
  put(out, 0, 4);  // the data format, 0 in every sample
  uint64_t count = d.offsetCount;
  if (count == 0)
    for (const auto& entry : d.entries) count = std::max(count, entry.first + 1);
  put(out, count, 4);
  out.resize(kDenseHeaderSize + 4 * count, 0);
  for (const auto& [id, offset] : d.entries) {
    if (id >= count) continue;
    for (size_t i = 0; i < 4; ++i) out[kDenseHeaderSize + 4 * id + i] = static_cast<uint8_t>(offset >> (8 * i));
  }
  return out;
}

bool decodeDense(const std::vector<uint8_t>& bytes, AddressDatabase& d, std::string& problem) {
  if (bytes.size() < kDenseHeaderSize) {
    problem = "the header ends early (" + std::to_string(bytes.size()) + " bytes of " +
              std::to_string(kDenseHeaderSize) + ")";
    return false;
  }
  Reader in(bytes);
  int32_t dataFormat = 0, count = 0;
  in.i32(d.format);
  for (int32_t& v : d.version) in.i32(v);
  const auto* name = reinterpret_cast<const char*>(bytes.data() + in.at());
  d.name.assign(name, strnlen(name, kDenseNameSize));
  in.skip(kDenseNameSize);
  in.i32(d.pointerSize);
  in.i32(dataFormat);
  in.i32(count);
  if (d.pointerSize <= 0 || count < 0) {
    problem = "the header's pointer size " + std::to_string(d.pointerSize) + " or offset count " +
              std::to_string(count) + " is out of range";
    return false;
  }
  const uint64_t need = kDenseHeaderSize + 4 * static_cast<uint64_t>(count);
  if (bytes.size() < need) {
    problem = "the table ends early: " + std::to_string(count) + " offsets need " + std::to_string(need) +
              " bytes, the file has " + std::to_string(bytes.size());
    return false;
  }
  d.offsetCount = static_cast<uint32_t>(count);
  d.entries.clear();
  for (int32_t id = 0; id < count; ++id) {
    uint64_t offset = 0;
    in.take(4, offset);
    if (offset != 0) d.entries.emplace_back(static_cast<uint64_t>(id), offset);
  }
  return true;
}

}  // namespace

std::vector<uint8_t> encodeDatabase(const AddressDatabase& d) {
  if (d.format == 5) return encodeDense(d);
  std::vector<uint8_t> out;
  putHeader(out, d);
  const uint64_t size = d.pointerSize > 0 ? static_cast<uint64_t>(d.pointerSize) : 8;
  uint64_t prevId = 0, prevOffset = 0;
  for (size_t i = 0; i < d.entries.size(); ++i) {
    const auto [id, offset] = d.entries[i];
    // The first entry is written whole, as in the game's own files; now and
    // then an absolute form stands in for a delta.
    Rule idRule = i == 0 ? kU64 : shortestRule(prevId, id);
    if (i % 5 == 4 && idRule != kNext) idRule = absoluteRule(id);
    Rule offsetRule = i == 0 ? kU64 : shortestRule(prevOffset, offset);
    bool scaled = false;
    if (i != 0 && offset % size == 0) {
      const Rule inUnits = shortestRule(prevOffset / size, offset / size);
      if (kRuleBytes[inUnits] < kRuleBytes[offsetRule] || (kRuleBytes[inUnits] == kRuleBytes[offsetRule] && i % 2)) {
        offsetRule = inUnits;
        scaled = true;
      }
    }
    if (i % 7 == 3) {
      offsetRule = i % 14 == 3 ? absoluteRule(offset) : kU64;
      scaled = false;
    }
    out.push_back(static_cast<uint8_t>(idRule | (offsetRule | (scaled ? 8 : 0)) << 4));
    putRule(out, idRule, prevId, id);
    if (scaled)
      putRule(out, offsetRule, prevOffset / size, offset / size);
    else
      putRule(out, offsetRule, prevOffset, offset);
    prevId = id;
    prevOffset = offset;
  }
  return out;
}

bool decodeDatabase(const std::vector<uint8_t>& bytes, AddressDatabase& d, std::string& problem) {
  if (bytes.size() >= 4 && bytes[0] == 5 && bytes[1] == 0 && bytes[2] == 0 && bytes[3] == 0)
    return decodeDense(bytes, d, problem);
  Reader in(bytes);
  int32_t nameLength = 0, count = 0;
  if (!in.i32(d.format) || !in.i32(d.version[0]) || !in.i32(d.version[1]) || !in.i32(d.version[2]) ||
      !in.i32(d.version[3]) || !in.i32(nameLength)) {
    problem = "the header ends early (" + std::to_string(bytes.size()) + " bytes)";
    return false;
  }
  if (d.format != 1 && d.format != 2) {
    problem = "the header's format is " + std::to_string(d.format) + " (1, 2 or 5)";
    return false;
  }
  if (nameLength < 0 || static_cast<size_t>(nameLength) > bytes.size() - in.at()) {
    problem = "the header's name length " + std::to_string(nameLength) + " runs past the file";
    return false;
  }
  d.name.assign(bytes.begin() + static_cast<long>(in.at()), bytes.begin() + static_cast<long>(in.at()) + nameLength);
  in.skip(static_cast<size_t>(nameLength));
  if (!in.i32(d.pointerSize) || !in.i32(count)) {
    problem = "the header ends early (" + std::to_string(bytes.size()) + " bytes)";
    return false;
  }
  if (d.pointerSize <= 0 || count < 0) {
    problem = "the header's pointer size " + std::to_string(d.pointerSize) + " or entry count " +
              std::to_string(count) + " is out of range";
    return false;
  }
  const auto size = static_cast<uint64_t>(d.pointerSize);
  d.offsetCount = 0;  // formats 1 and 2 count entries, not offsets
  d.entries.clear();
  d.entries.reserve(std::min(static_cast<size_t>(count), bytes.size()));
  uint64_t prevId = 0, prevOffset = 0;
  for (int32_t i = 0; i < count; ++i) {
    uint64_t type = 0, id = 0, offset = 0;
    auto endsEarly = [&] {
      problem = "the entries end early: " + std::to_string(i) + " of " + std::to_string(count) + " read, at byte " +
                std::to_string(in.at()) + " of " + std::to_string(bytes.size());
      return false;
    };
    if (!in.take(1, type)) return endsEarly();
    if ((type & 0xF) > 7) {
      problem = "entry " + std::to_string(i) + " has id rule " + std::to_string(type & 0xF) + " (0 to 7), at byte " +
                std::to_string(in.at() - 1);
      return false;
    }
    const uint8_t hi = static_cast<uint8_t>(type >> 4);
    const uint64_t base = hi & 8 ? prevOffset / size : prevOffset;
    if (!in.rule(type & 0xF, prevId, id) || !in.rule(hi & 7, base, offset)) return endsEarly();
    if (hi & 8) offset *= size;
    d.entries.emplace_back(id, offset);
    prevId = id;
    prevOffset = offset;
  }
  return true;
}

AddressDatabase databaseFor(Edition edition, uint32_t runtime) {
  AddressDatabase d;
  d.format = databaseFormat(runtime);
  const RuntimeParts p = partsOf(runtime);
  d.version[0] = static_cast<int32_t>(p.major);
  d.version[1] = static_cast<int32_t>(p.minor);
  d.version[2] = static_cast<int32_t>(p.build);
  if (d.format == 5) d.offsetCount = databaseOffsetCount(edition, runtime);
  if (databaseFileName(edition, runtime).empty()) return d;
  const Layout layout = layoutFor(edition, runtime);
  std::map<uint64_t, uint64_t> byId;
  for (int i = 0; i < kEntryCount; ++i) {
    const auto id = static_cast<EntryId>(i);
    const uint32_t dbId = databaseIdOf(id, edition, runtime);
    if (dbId != 0 && offsetOf(id, layout) != 0) byId[dbId] = offsetOf(id, layout);
  }
  // Every type descriptor with an id, at its offset in the column: the
  // published one, or where the double laid it where none is published.
  for (int i = 0; i < kClassCount; ++i) {
    const auto cls = static_cast<ClassId>(i);
    const uint32_t dbId = descriptorIdOf(cls, edition, runtime);
    if (dbId != 0) byId[dbId] = rttiPlacement(layout).descriptor[i];
  }
  // Fillers: the ids next to each real one, whose offsets lie in code fill,
  // so that a reader one id off calls into 0xCC rather than another entry.
  auto fillAt = [layout](uint64_t near, int64_t step) {
    uint64_t at = near;
    do at = static_cast<uint64_t>(static_cast<int64_t>(at) + step);
    while (!inCodeFill(static_cast<uint32_t>(at), layout));
    return at;
  };
  std::map<uint64_t, uint64_t> all = byId;
  for (const auto& [id, offset] : byId) {
    if (!byId.count(id - 1)) all.emplace(id - 1, fillAt(offset, -0x40));
    if (!byId.count(id + 1)) all.emplace(id + 1, fillAt(offset, 0x48));
  }
  // A run of low ids at the start of the image and a few after the last, as
  // a whole database has.
  for (uint64_t id = 1; id <= 24; ++id) all.emplace(id, 0x1000 + 0x10 * id + (id % 3 ? 0 : 4));
  const uint64_t last = byId.rbegin()->first;
  for (uint64_t k = 1; k <= 3; ++k) all.emplace(last + 300 * k, 0x3e00000 + 0x1008 * k);
  d.entries.assign(all.begin(), all.end());
  return d;
}

std::vector<uint8_t> damagedDatabase(const AddressDatabase& database, DatabaseDamage damage) {
  AddressDatabase d = database;
  if (damage == DatabaseDamage::WrongVersion) ++d.version[2];
  std::vector<uint8_t> bytes = encodeDatabase(d);
  // Format 5's fixed header, or the others' seven words and the name.
  const size_t header = d.format == 5 ? kDenseHeaderSize : 32 + d.name.size();
  if (damage == DatabaseDamage::WrongHeader) bytes[0] = 7;  // the format: none of 1, 2 and 5
  if (damage == DatabaseDamage::TruncatedBody) bytes.resize(header + (bytes.size() - header) / 2);
  return bytes;
}

}  // namespace nimbrel_sim
