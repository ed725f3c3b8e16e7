#pragma once

#include <string>

namespace testsupport {

// A fresh folder under the system's temp folder, removed with its content.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
// Holds a file open for writing the way the plug-in's writer does, so that the
// plug-in's own open of it fails. Returns the descriptor (close it to release).
int HoldForWriting(const std::string& path);

}  // namespace testsupport
