// The Address Library for SKSE Plugins: one database file per runtime that
// gives the offset of each engine function or global by a stable id. This is
// the reader alone: bytes in, a table out, no file access.
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
// Five times the entries of the largest known database: a count above it is
// a damaged header, not a bigger game.
inline constexpr int32_t kAddressLibraryMaxEntries = 4 << 20;

// The Anniversary Edition's runtimes, 1.6 on: their databases are format 2
// and their entries are found by AE ids.
constexpr bool IsAnniversaryRuntime(uint32_t runtime) { return (runtime >> 16) >= 0x0106; }

// The database's path from the game's folder for a packed runtime (major <<
// 24 | minor << 16 | build << 4 | kind): "Data/SKSE/Plugins/version-1-5-97-0.bin"
// on 1.5.x, "Data/SKSE/Plugins/versionlib-1-6-1170-0.bin" on 1.6.x.
inline constexpr size_t kAddressLibraryPathSize = 64;
void AddressLibraryPath(uint32_t runtime, char (&path)[kAddressLibraryPathSize]);

// The id-to-offset table of one runtime.
class AddressTable {
 public:
  struct Entry {
    uint64_t id;
    uint64_t offset;
  };
  enum class Lookup { Found, Missing, Ambiguous };

  // The offset of `id` from the image base. Ambiguous when the file gave the
  // id twice with different offsets: neither can be trusted.
  Lookup Find(uint64_t id, uint64_t* offset) const;
  size_t size() const { return entries_.size(); }

  // A table of entries in any order.
  static AddressTable FromEntries(std::vector<Entry> entries);

 private:
  std::vector<Entry> entries_;  // sorted by id
};

// Reads the database of the packed runtime `runtime` from its bytes into
// `table`. The file must be the runtime's own: format 1 on 1.5.x, 2 on 1.6.x,
// and its header's version the runtime's (with 0 as the fourth number). On a
// problem `table` is left as it was. Never throws.
Problem ParseAddressLibrary(std::span<const uint8_t> bytes, uint32_t runtime, AddressTable* table);

}  // namespace NimbrelVR::game
