// The Address Library database, the file by which plug-ins find the engine's
// entries on runtimes they were not built for. Formats 1 (1.5.x) and 2 (1.6):
// a header, then (id, offset) pairs in a packed delta form (runtimes.md, "The
// database file"). Format 5 (1.7): a 96-byte header, then a dense table of
// u32 offsets indexed by id, 0 for no such id ("Runtimes 1.7.x"). The double
// writes one for the runtime it plays, and reads one back to say what a
// player's file holds.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "image/runtimes.h"

namespace nimbrel_sim {

// Format 5's header: format, version (4 x u32), the executable's name
// zero-padded to 64 bytes, pointer size, data format, offset count.
inline constexpr size_t kDenseHeaderSize = 96;
inline constexpr size_t kDenseNameSize = 64;

struct AddressDatabase {
  int32_t format = 0;                 // 1 on 1.5.x, 2 on 1.6, 5 from 1.7 on
  int32_t version[4] = {0, 0, 0, 0};  // the runtime's four numbers, the last 0
  std::string name = "SkyrimSE.exe";
  int32_t pointerSize = 8;
  // Format 5: how many offsets the table holds, the runtime's highest id + 1
  // (0: the highest id among the entries + 1).
  uint32_t offsetCount = 0;
  // id, offset; in file order (in format 5, every id with a non-zero offset,
  // by id)
  std::vector<std::pair<uint64_t, uint64_t>> entries;
};

// The bytes of a database. Formats 1 and 2: each entry in the shortest of the
// encodings, some of them in an absolute one, so that a reader meets most of
// the forms. Format 5: a table of offsetCount offsets, 0 where no entry names
// the id; an entry whose id lies at or past the count has no place in it and
// is left out.
std::vector<uint8_t> encodeDatabase(const AddressDatabase& database);
// Reads a database of format 1, 2 or 5; false with what is wrong (a header
// field, the byte at which the entries end early, or a table shorter than
// its count).
bool decodeDatabase(const std::vector<uint8_t>& bytes, AddressDatabase& out, std::string& problem);

// The database of a runtime as the double lays it out, in the runtime's
// format with its version in the header: every entry with an id and an
// offset in the column laid out for it (its own or the nearest), with filler
// ids around them whose offsets land in code fill, sorted by id; in format 5
// as many offsets as the runtime's own database has, where the double knows
// the count. Empty entries for a runtime whose plug-ins read no database.
AddressDatabase databaseFor(Edition edition, uint32_t runtime);

// How the double leaves the database in the game folder: whole, cut short in
// its entries (format 5: its table shorter than its count), with a format of
// 7, or with the next build's version in its header.
enum class DatabaseDamage { None, TruncatedBody, WrongHeader, WrongVersion };
std::vector<uint8_t> damagedDatabase(const AddressDatabase& database, DatabaseDamage damage);

}  // namespace nimbrel_sim
