#include "support/real_data.h"

#include <cstdlib>
#include <filesystem>

namespace testsupport {

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

std::string AddressLibraryDir() {
  const std::string chosen = Env("NIMBREL_ADDRESS_LIBRARY_DIR");
  if (!chosen.empty()) return chosen;
  return std::filesystem::path(NIMBREL_DEFAULT_ADDRESS_LIBRARY_DIR).lexically_normal().string();
}

std::string RealAddressLibraryFile(const std::string& file, std::string* missing) {
  const std::string dir = AddressLibraryDir();
  const std::string path = (std::filesystem::path(dir) / file).string();
  std::error_code ec;
  if (std::filesystem::is_regular_file(path, ec)) return path;
  const bool chosen = !Env("NIMBREL_ADDRESS_LIBRARY_DIR").empty();
  *missing = "real data missing: no " + file + " in " + dir +
             (chosen ? " (NIMBREL_ADDRESS_LIBRARY_DIR)" : " (the default beside the source tree)") +
             "; set NIMBREL_ADDRESS_LIBRARY_DIR to the folder that holds the Address Library's " + file;
  return "";
}

bool RealDataRequired() {
  const std::string value = Env("NIMBREL_REQUIRE_REAL_DATA");
  return !value.empty() && value != "0";
}

}  // namespace testsupport
