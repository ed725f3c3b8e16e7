// The run's game folder: the Address Library database the runtime's plug-ins
// read, as Options::addressLibrary says (written from the double's table,
// left out, damaged, or the user's file copied in), and what the summary
// says of the runtime.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "double/game_double_impl.h"
#include "image/address_library.h"
#include "image/image.h"
#include "image/runtimes.h"

namespace nimbrel_sim {

namespace {

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// What a player's database says of FormFromId, against the layout.
std::string describeUserFile(const std::string& path, uint32_t id, uint32_t rva) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  AddressDatabase database;
  std::string problem;
  if (!decodeDatabase(bytes, database, problem)) return "the double cannot read it either: " + problem;
  char text[200];
  std::snprintf(text, sizeof text, "format %d, %zu entries, version %d.%d.%d.%d", database.format,
                database.entries.size(), database.version[0], database.version[1], database.version[2],
                database.version[3]);
  std::string note = text;
  for (const auto& [entryId, offset] : database.entries) {
    if (entryId != id) continue;
    std::snprintf(text, sizeof text, "; it puts FormFromId (id %u) at 0x%llx", id,
                  static_cast<unsigned long long>(offset));
    note += text;
    std::snprintf(text, sizeof text, ", the double laid it at 0x%x", rva);
    note += offset == rva ? ", where the double laid it" : text;
  }
  return note;
}

}  // namespace

RuntimeFacts layGameFolder(const Options& options, const std::string& gameDir, Run& run) {
  const Edition edition = options.edition;
  const uint32_t packed = runtimeOf(options);
  const Layout layout = layoutFor(edition, packed);
  RuntimeFacts f;
  f.packed = packed;
  f.name = runtimeLabel(edition, packed);
  f.layout = layoutName(layout);
  f.layoutExact = layoutExact(edition, packed);
  f.host = hostName(edition, packed);
  f.hostNote = hostStandInNote(edition, packed);
  f.anniversary = isAnniversaryRuntime(edition, packed);
  f.cellWorldspace = cellWorldspaceOffset(edition, packed);
  f.patchSiteKnown = offsetOf(kJumpPatchSite, layout) != 0;
  f.formFromIdRva = offsetOf(kFormFromId, layout);
  f.database = databaseFileName(edition, packed);
  f.formFromIdDatabaseId = f.database.empty() ? 0 : databaseIdOf(kFormFromId, edition, packed);

  std::error_code ec;
  const std::string folder = gameDir + "/" + kDatabaseFolder;
  std::filesystem::create_directories(folder, ec);
  if (ec) run.fail("cannot make the game folder " + folder + ": " + ec.message());
  if (f.database.empty()) {
    f.databaseNote = "none needed";
    return f;
  }
  f.databasePath = folder + "/" + f.database;
  std::filesystem::remove(f.databasePath, ec);  // an earlier run's file
  // Written for the layout laid out, the runtime's own or the nearest: in
  // this game the database is what says where the engine's entries are.
  const AddressDatabase own = databaseFor(edition, packed);
  const std::string format = "format " + std::to_string(own.format);
  auto lay = [&](DatabaseDamage damage, const std::string& how) {
    if (writeFile(f.databasePath, damagedDatabase(own, damage)))
      f.databaseNote = how;
    else
      run.fail("cannot write the Address Library database " + f.databasePath);
  };
  switch (options.addressLibrary) {
    case AddressLibrary::Written:
      lay(DatabaseDamage::None, format + ", written by the double");
      break;
    case AddressLibrary::Missing:
      f.databaseNote = "left out on purpose";
      break;
    case AddressLibrary::TruncatedBody:
      lay(DatabaseDamage::TruncatedBody,
          format + ", written by the double, then cut short in " + (own.format == 5 ? "its table" : "its entries"));
      break;
    case AddressLibrary::WrongHeader:
      lay(DatabaseDamage::WrongHeader, "written by the double with a wrong header (format 7)");
      break;
    case AddressLibrary::WrongVersion:
      lay(DatabaseDamage::WrongVersion,
          format + ", written by the double for another runtime (one build later in its header)");
      break;
    case AddressLibrary::File:
      std::filesystem::copy_file(options.addressLibraryFile, f.databasePath, ec);
      // A later run removes it again, on Windows too.
      if (!ec)
        std::filesystem::permissions(f.databasePath, std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::add, ec);
      if (ec) {
        run.fail("cannot copy the Address Library database " + options.addressLibraryFile + ": " + ec.message());
      } else {
        f.databaseNote = "copied from " + options.addressLibraryFile + ": " +
                         describeUserFile(f.databasePath, f.formFromIdDatabaseId, f.formFromIdRva);
      }
      break;
  }
  f.databasePresent = std::filesystem::is_regular_file(f.databasePath, ec);
  return f;
}

}  // namespace nimbrel_sim
