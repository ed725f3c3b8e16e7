// The Address Library reader on any bytes, as the query reads a database file
// from the game's folder: read for 1.5.97, for 1.6.1170 and for the runtime
// its own header names (so that damaged entries are reached past the header),
// then the binding built from what it gives. The reader refuses in words and
// leaves the table alone, or gives a table of exactly the header's count; a
// binding is whole (the sky one way, no patch site) or refused by id.
//
// Seeds (fuzz/corpus/address_library/): the first three entries of the real
// 1.5.97 file, every id and offset rule in each format, databases with every
// id the binding needs on 1.5.97 and 1.6.1170, and one cut inside an entry.
#include <cstring>
#include <span>

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

void ReadAs(std::span<const uint8_t> bytes, uint32_t runtime) {
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
    return;
  }
  // Accepted: the header was whole, so its count can be read back.
  const int32_t nameLength = IntAt(bytes, 20);
  const int32_t count = IntAt(bytes, 24 + static_cast<size_t>(nameLength) + 4);
  FUZZ_CHECK(table.size() == static_cast<size_t>(count), "%zu entries for a count of %d", table.size(), count);

  EngineBinding binding{};
  const Problem refused = BindFromAddressTable(kBase, runtime, table, &binding);
  if (refused.any()) {
    FUZZ_CHECK(std::strncmp(refused.text, "it ", 3) == 0 && std::strstr(refused.text, "id ") != nullptr,
               "binding refused without naming the id: %s", refused.text);
    FUZZ_CHECK(binding.FormFromId == nullptr, "a refused binding was filled");
    return;
  }
  const bool anniversary = IsAnniversaryRuntime(runtime);
  FUZZ_CHECK(binding.FormFromId != nullptr && binding.RttiPlayer != nullptr && binding.MenuManagerHolder != nullptr,
             "an accepted binding has holes");
  FUZZ_CHECK((binding.SkyGetSingleton != nullptr) == anniversary && (binding.SkyHolder != nullptr) == !anniversary,
             "the sky is not reached one way");
  FUZZ_CHECK(binding.JumpPatchSite == nullptr && binding.JumpPatchTarget == nullptr, "a patch site from a database");
  FUZZ_CHECK(binding.cellWorldspace == CellWorldspaceOffset(runtime), "cell worldspace offset");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  ReadAs(bytes, 0x01050610);  // 1.5.97
  ReadAs(bytes, 0x01064920);  // 1.6.1170
  ReadAs(bytes, HeaderRuntime(bytes));
  return 0;
}
