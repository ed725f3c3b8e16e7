#include "support/real_data.h"

#include <cstdlib>
#include <filesystem>

namespace testsupport {

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// `file` in the folder `variable` names, else in `fallback`; empty with the
// words of what is missing.
std::string FileIn(const std::string& file, const char* variable, const std::string& fallback, const char* holder,
                   std::string* missing) {
  const std::string chosen = Env(variable);
  const std::string dir = chosen.empty() ? std::filesystem::path(fallback).lexically_normal().string() : chosen;
  const std::string path = (std::filesystem::path(dir) / file).string();
  std::error_code ec;
  if (std::filesystem::is_regular_file(path, ec)) return path;
  *missing = "real data missing: no " + file + " in " + dir +
             (chosen.empty() ? " (the default beside the source tree)" : std::string(" (") + variable + ")") +
             "; set " + variable + " to the folder that holds " + holder + file;
  return "";
}

std::string DefaultSharedDir() { return NIMBREL_DEFAULT_SHARED_DIR; }

}  // namespace

std::string AddressLibraryDir() {
  const std::string chosen = Env("NIMBREL_ADDRESS_LIBRARY_DIR");
  if (!chosen.empty()) return chosen;
  return (std::filesystem::path(DefaultSharedDir()) / "address-library").lexically_normal().string();
}

std::string RealAddressLibraryFile(const std::string& file, std::string* missing) {
  return FileIn(file, "NIMBREL_ADDRESS_LIBRARY_DIR", DefaultSharedDir() + "/address-library", "the Address Library's ",
                missing);
}

std::string SharedDir() {
  const std::string chosen = Env("NIMBREL_SHARED_DIR");
  return chosen.empty() ? std::filesystem::path(DefaultSharedDir()).lexically_normal().string() : chosen;
}

std::string RealSharedFile(const std::string& file, std::string* missing) {
  return FileIn(file, "NIMBREL_SHARED_DIR", DefaultSharedDir(), "the project's shared ", missing);
}

bool RealDataRequired() {
  const std::string value = Env("NIMBREL_REQUIRE_REAL_DATA");
  return !value.empty() && value != "0";
}

}  // namespace testsupport
