// The Address Library database, the file by which plug-ins find the engine's
// entries on runtimes they were not built for: a header, then (id, offset)
// pairs in a packed delta form (runtimes.md, "The database file"). The double
// writes one for the runtime it plays, and reads one back to say what a
// player's file holds.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "image/runtimes.h"

namespace nimbrel_sim {

struct AddressDatabase {
  int32_t format = 0;                 // 1 on 1.5.x, 2 from 1.6 on
  int32_t version[4] = {0, 0, 0, 0};  // the runtime's four numbers, the last 0
  std::string name = "SkyrimSE.exe";
  int32_t pointerSize = 8;
  std::vector<std::pair<uint64_t, uint64_t>> entries;  // id, offset; in file order
};

// The bytes of a database, each entry in the shortest of the encodings, some
// of them in an absolute one, so that a reader meets most of the forms.
std::vector<uint8_t> encodeDatabase(const AddressDatabase& database);
// Reads a database; false with what is wrong (a header field or the byte at
// which the entries end early).
bool decodeDatabase(const std::vector<uint8_t>& bytes, AddressDatabase& out, std::string& problem);

// The database of a runtime as the double lays it out: every entry with an
// id and an offset in the runtime's column, with filler ids around them whose
// offsets land in code fill, sorted by id. Empty entries when the double has
// no column of the runtime's own.
AddressDatabase databaseFor(Edition edition, uint32_t runtime);

// How the double leaves the database in the game folder.
enum class DatabaseDamage { None, TruncatedBody, WrongHeader, WrongVersion };
std::vector<uint8_t> damagedDatabase(const AddressDatabase& database, DatabaseDamage damage);

}  // namespace nimbrel_sim
