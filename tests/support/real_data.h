#pragma once

#include <string>

namespace testsupport {

// The folder of the real Address Library databases: NIMBREL_ADDRESS_LIBRARY_DIR
// when set (read when the test runs, so a clone points its tests at a folder
// without reconfiguring), else ../shared/address-library beside the source tree.
std::string AddressLibraryDir();

// The path of the real database `file` in that folder. Empty when it is not
// there, with `missing` saying which file is missing and how to point the
// tests at it.
std::string RealAddressLibraryFile(const std::string& file, std::string* missing);

// The folder of the project's shared facts (runtimes.md): NIMBREL_SHARED_DIR
// when set, else ../shared beside the source tree.
std::string SharedDir();

// The path of the shared file `file` in that folder; empty when it is not
// there, with `missing` saying so, as RealAddressLibraryFile does.
std::string RealSharedFile(const std::string& file, std::string* missing);

// NIMBREL_REQUIRE_REAL_DATA=1 (CI): a missing file fails its test instead of
// skipping it.
bool RealDataRequired();
inline constexpr const char* kRealDataRequired = " (required: NIMBREL_REQUIRE_REAL_DATA is set)";

}  // namespace testsupport

// In a test body: `path` becomes what `lookup(file, &missing)` finds; when it
// is missing, the test skips saying which file and how to point the tests at
// it, or fails with the same words when real data is required.
#define NIMBREL_REAL_DATA_FILE(path, lookup, file)                                                           \
  std::string path;                                                                                          \
  do {                                                                                                       \
    std::string realDataMissing_;                                                                            \
    path = lookup(file, &realDataMissing_);                                                                  \
    if (path.empty()) {                                                                                      \
      if (::testsupport::RealDataRequired()) FAIL() << realDataMissing_ << ::testsupport::kRealDataRequired; \
      GTEST_SKIP() << realDataMissing_;                                                                      \
    }                                                                                                        \
  } while (false)

// The real database `file` (version-1-5-97-0.bin).
#define NIMBREL_REAL_ADDRESS_LIBRARY(path, file) \
  NIMBREL_REAL_DATA_FILE(path, ::testsupport::RealAddressLibraryFile, file)

// The shared file `file` (runtimes.md).
#define NIMBREL_REAL_SHARED_FILE(path, file) NIMBREL_REAL_DATA_FILE(path, ::testsupport::RealSharedFile, file)
