// The Address Library for SKSE Plugins: one database file per runtime that
// gives the offset of each engine function or global by a stable id. This is
// the reader alone: bytes in, a table out, no file access.
//
// Formats 1 (1.5.x) and 2 (1.6.x) list their entries packed, each id and
// offset as a change from the one before. Format 5 (1.7.x) is a 96-byte
// header and then a dense table: the offset of id i as the i-th u32, 0 where
// the id does not exist.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "log/debug_log.h"

namespace NimbrelVR::game {

// What went wrong, in words that follow "Cannot use <file>: " ("it is
// truncated: ..."); empty when nothing did. A fixed buffer, so that reporting
// a failure never allocates.
struct Problem {
  char text[256] = {};
  bool any() const { return text[0] != '\0'; }
  void Set(const char* format, ...) NIMBREL_PRINTF(2, 3);
};

// A larger file is no database: the 1.5.97 one takes 1.4 MiB.
inline constexpr size_t kAddressLibraryMaxBytes = 32u << 20;
// Five times the entries of the largest known database in formats 1 and 2: a
// count above it is a damaged header, not a bigger game.
inline constexpr int32_t kAddressLibraryMaxEntries = 4 << 20;
// Format 5: the header's size, and the most offsets a file within the size
// cap can hold.
inline constexpr size_t kAddressLibraryV5HeaderBytes = 96;
inline constexpr int32_t kAddressLibraryMaxOffsets =
    static_cast<int32_t>((kAddressLibraryMaxBytes - kAddressLibraryV5HeaderBytes) / 4);

// The Anniversary Edition's runtimes and those after it, 1.6 on: their
// entries are found by AE ids (1.7 kept them). By version, whatever the store.
constexpr bool IsAnniversaryRuntime(uint32_t runtime) { return (runtime >> 16) >= 0x0106; }

// The database format of a packed runtime: 1 on 1.5.x, 2 on 1.6.x, 5 from
// 1.7 on.
constexpr int32_t AddressLibraryFormat(uint32_t runtime) {
  const uint32_t version = runtime >> 16;
  return version >= 0x0107 ? 5 : version == 0x0106 ? 2 : 1;
}

// The database's path from the game's folder for a packed runtime (major <<
// 24 | minor << 16 | build << 4 | kind): "Data/SKSE/Plugins/version-1-5-97-0.bin"
// on 1.5.x, "Data/SKSE/Plugins/versionlib-1-6-1170-0.bin" from 1.6 on. The
// store (the kind) is no part of the name.
inline constexpr size_t kAddressLibraryPathSize = 64;
void AddressLibraryPath(uint32_t runtime, char (&path)[kAddressLibraryPathSize]);

// The id-to-offset table of one runtime: the listed entries of formats 1 and
// 2, sorted for a binary search, or format 5's dense table as it is in the
// file, looked up by index (4 bytes an id: 2 MiB for half a million ids).
class AddressTable {
 public:
  struct Entry {
    uint64_t id;
    uint64_t offset;
  };
  enum class Lookup {
    Found,
    Missing,    // a listed table without the id
    Ambiguous,  // the file gave the id twice with different offsets: neither can be trusted
    PastTable,  // a dense table: the id is at or past its count
    NoOffset,   // a dense table: the id's offset is 0, which means no such id
  };

  // The offset of `id` from the image base.
  Lookup Find(uint64_t id, uint64_t* offset) const;
  // The entries listed, or the length of the dense table.
  size_t size() const { return dense_ ? offsets_.size() : entries_.size(); }
  bool dense() const { return dense_; }

  // A table of entries in any order.
  static AddressTable FromEntries(std::vector<Entry> entries);
  // A dense table: the offset of id i at index i.
  static AddressTable FromOffsets(std::vector<uint32_t> offsets);

 private:
  std::vector<Entry> entries_;     // sorted by id
  std::vector<uint32_t> offsets_;  // by id
  bool dense_ = false;
};

// Reads the database of the packed runtime `runtime` from its bytes into
// `table`. The file must be the runtime's own: of its format
// (AddressLibraryFormat), checked first, and with its header's version the
// runtime's (with 0 as the fourth number). On a problem `table` is left as it
// was. Never throws.
Problem ParseAddressLibrary(std::span<const uint8_t> bytes, uint32_t runtime, AddressTable* table);

}  // namespace NimbrelVR::game
