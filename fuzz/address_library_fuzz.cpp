// The Address Library reader on any bytes, as the query reads a database file
// from the game's folder: read for 1.5.97, for 1.6.1170, for 1.7.99 and for
// the runtime its own header names (so that damaged entries are reached past
// the header), then the binding built from what it gives. The reader refuses
// in words and leaves the table alone, or gives a table of exactly the
// header's count, in the runtime's own format; a dense table (format 5) gives
// each id the offset its bytes hold; a binding is whole (the sky one way, no
// patch site) or refused by id. The store the runtime names changes nothing.
//
// Seeds (fuzz/corpus/address_library/): the first three entries of the real
// 1.5.97 file, every id and offset rule in formats 1 and 2, databases with
// every id the binding needs on 1.5.97 and 1.6.1170, one cut inside an entry,
// and format-5 files: a small table with ids that do not exist, one cut inside
// its table, one whose count is past the size cap, one naming the GOG
// store's 1.6.1179. (A format-5 file with every id the binding needs takes
// 1.6 MB, too large a seed: the unit tests bind one.)
#include <algorithm>
#include <cstring>
#include <span>
#include <string>

#include "game/address_library.h"
#include "game/engine_binding.h"
#include "support/fuzz_support.h"

using namespace NimbrelVR::game;

namespace {

constexpr uintptr_t kBase = 0x140000000;

int32_t IntAt(std::span<const uint8_t> bytes, size_t at) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) value |= static_cast<uint32_t>(bytes[at + i]) << (8 * i);
  return static_cast<int32_t>(value);
}

// The packed runtime the header's version names, if it has one.
uint32_t HeaderRuntime(std::span<const uint8_t> bytes) {
  if (bytes.size() < 16) return 0x01050610;
  return static_cast<uint32_t>(IntAt(bytes, 4) & 0xFF) << 24 | static_cast<uint32_t>(IntAt(bytes, 8) & 0xFF) << 16 |
         static_cast<uint32_t>(IntAt(bytes, 12) & 0xFFF) << 4;
}

uint32_t U32At(std::span<const uint8_t> bytes, size_t at) { return static_cast<uint32_t>(IntAt(bytes, at)); }

// What the reader says of the bytes for `runtime`, in words and size.
struct Reading {
  std::string problem;
  size_t size;
  bool operator==(const Reading&) const = default;
};

Reading ReadAs(std::span<const uint8_t> bytes, uint32_t runtime) {
  char path[kAddressLibraryPathSize];
  AddressLibraryPath(runtime, path);
  FUZZ_CHECK(std::strncmp(path, "Data/SKSE/Plugins/version", 25) == 0, "path %s", path);

  AddressTable table = AddressTable::FromEntries({{7, 0x700}});
  const Problem problem = ParseAddressLibrary(bytes, runtime, &table);
  uint64_t offset = 0;
  if (problem.any()) {
    // Words that follow "Cannot use <file>: ".
    FUZZ_CHECK(std::strncmp(problem.text, "it", 2) == 0 || std::strncmp(problem.text, "there ", 6) == 0,
               "problem not in words: %s", problem.text);
    FUZZ_CHECK(table.size() == 1 && table.Find(7, &offset) == AddressTable::Lookup::Found && offset == 0x700,
               "a refused file changed the table (%s)", problem.text);
    return {problem.text, 0};
  }
  // Accepted: the header was whole, so its format and count can be read back.
  const int32_t format = IntAt(bytes, 0);
  FUZZ_CHECK(format == AddressLibraryFormat(runtime), "format %d accepted for runtime %08x", format, runtime);
  FUZZ_CHECK(table.dense() == (format == 5), "format %d read into the wrong kind of table", format);
  if (format == 5) {
    const int32_t count = IntAt(bytes, kAddressLibraryV5HeaderBytes - 4);
    FUZZ_CHECK(table.size() == static_cast<size_t>(count), "%zu offsets for a count of %d", table.size(), count);
    FUZZ_CHECK(kAddressLibraryV5HeaderBytes + 4 * table.size() <= bytes.size(), "a table of %zu past the file's end",
               table.size());
    // Each id's offset as its bytes hold it; none at or past the count.
    const size_t checked = std::min<size_t>(table.size(), 256);
    for (size_t id = 0; id < checked + 2; ++id) {
      const AddressTable::Lookup lookup = table.Find(id, &offset);
      if (id >= table.size()) {
        FUZZ_CHECK(lookup == AddressTable::Lookup::PastTable, "id %zu past a table of %zu", id, table.size());
        continue;
      }
      const uint32_t held = U32At(bytes, kAddressLibraryV5HeaderBytes + 4 * id);
      if (held == 0) {
        FUZZ_CHECK(lookup == AddressTable::Lookup::NoOffset, "id %zu with offset 0 was found", id);
      } else {
        FUZZ_CHECK(lookup == AddressTable::Lookup::Found && offset == held, "id %zu: 0x%x in the file", id, held);
      }
    }
  } else {
    const int32_t nameLength = IntAt(bytes, 20);
    const int32_t count = IntAt(bytes, 24 + static_cast<size_t>(nameLength) + 4);
    FUZZ_CHECK(table.size() == static_cast<size_t>(count), "%zu entries for a count of %d", table.size(), count);
  }

  EngineBinding binding{};
  const Problem refused = BindFromAddressTable(kBase, runtime, table, &binding);
  if (refused.any()) {
    FUZZ_CHECK(std::strncmp(refused.text, "it ", 3) == 0 && std::strstr(refused.text, "id ") != nullptr,
               "binding refused without naming the id: %s", refused.text);
    FUZZ_CHECK(binding.FormFromId == nullptr, "a refused binding was filled");
    return {refused.text, table.size()};
  }
  const bool anniversary = IsAnniversaryRuntime(runtime);
  FUZZ_CHECK(binding.FormFromId != nullptr && binding.RttiPlayer != nullptr && binding.MenuManagerHolder != nullptr,
             "an accepted binding has holes");
  FUZZ_CHECK((binding.SkyGetSingleton != nullptr) == anniversary && (binding.SkyHolder != nullptr) == !anniversary,
             "the sky is not reached one way");
  FUZZ_CHECK(binding.JumpPatchSite == nullptr && binding.JumpPatchTarget == nullptr, "a patch site from a database");
  FUZZ_CHECK(binding.cellWorldspace == CellWorldspaceOffset(runtime), "cell worldspace offset");
  FUZZ_CHECK(binding.scriptMachineRegistry == ScriptMachineRegistryOffset(runtime), "script machine registry offset");
  return {"", table.size()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  ReadAs(bytes, 0x01050610);  // 1.5.97
  ReadAs(bytes, 0x01064920);  // 1.6.1170
  ReadAs(bytes, 0x01070630);  // 1.7.99
  const uint32_t named = HeaderRuntime(bytes);
  const Reading steam = ReadAs(bytes, named);
  // The same version from another store: the same file, the same reading.
  const Reading gog = ReadAs(bytes, named | 1);
  FUZZ_CHECK(gog == steam, "the store changed the reading: \"%s\" against \"%s\"", gog.problem.c_str(),
             steam.problem.c_str());
  return 0;
}
