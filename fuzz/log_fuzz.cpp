// The log: a documents folder of any bytes and length, entries with format
// arguments of any length, and the numbered fallback names when the log's
// file (and some of .log0 .. .log4) is held by another writer.
//
// Everything happens below one temporary folder: a ".." in the fuzzed folder
// is defused so no input reaches outside it, and the tree is emptied every
// few hundred inputs so a long run does not fill the disk.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "log/debug_log.h"
#include "plugin/edition.h"
#include "plugin/host.h"
#include "settings/settings.h"
#include "support/fuzz_support.h"

using namespace NimbrelVR;

namespace {

constexpr int kCandidates = 6;  // the log's name, then name0 .. name4
constexpr unsigned kInputsPerSweep = 256;
constexpr size_t kMaxPath = 260;
constexpr const char* kHeldContent = "another writer's line\n";

const std::string& Root() {
  // Never destroyed: the exit handler below still needs it.
  static const std::string* root = [] {
    auto* path = new std::string((std::filesystem::temp_directory_path() / "nimbrel-log-XXXXXX").string());
    if (!mkdtemp(path->data())) std::abort();
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(Root(), ignored);
    });
    return path;
  }();
  return *root;
}

// Windows separators become '/', as the simulation platform does.
std::string Native(std::string path) {
  for (char& c : path)
    if (c == '\\') c = '/';
  return path;
}

// No NUL (an environment value cannot hold one) and no ".." component.
std::string Defused(const std::string& folder) {
  std::string out;
  size_t componentStart = 0;
  for (size_t i = 0; i <= folder.size(); ++i) {
    const bool end = i == folder.size() || folder[i] == '/' || folder[i] == '\\';
    if (end) {
      if (out.size() - componentStart == 2 && out.compare(componentStart, 2, "..") == 0)
        out.replace(componentStart, 2, "__");
      if (i == folder.size()) break;
      out += folder[i];
      componentStart = out.size();
    } else if (folder[i] != '\0') {
      out += folder[i];
    }
  }
  return out;
}

int Hold(const std::string& path) {
  for (size_t i = 1; i < path.size(); ++i)
    if (path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ftruncate(fd, 0) != 0 ||
      write(fd, kHeldContent, std::strlen(kHeldContent)) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool IsFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// A name that an earlier input's folder made into a directory cannot be opened.
bool IsDirectory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string Read(const std::string& path) {
  std::string text;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char chunk[16384];
  for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) text.append(chunk, static_cast<size_t>(n));
  close(fd);
  return text;
}

std::string ConsumeLongText(FuzzedDataProvider& in) {
  std::string pattern = in.ConsumeRandomLengthString(32);
  std::erase(pattern, '\0');
  // Mostly short; now and then past both buffers (4096 and 8192 bytes).
  const size_t length = pattern.empty()    ? 0
                        : in.ConsumeBool() ? in.ConsumeIntegralInRange<size_t>(0, 300)
                                           : in.ConsumeIntegralInRange<size_t>(0, 20000);
  std::string text = pattern;
  while (text.size() < length) text += text;
  text.resize(length);
  return text;
}

std::string Formatted(size_t bufferSize, const char* format, const std::string& text, int number) {
  std::vector<char> buffer(bufferSize);
  std::snprintf(buffer.data(), buffer.size(), format, text.c_str(), number);
  return buffer.data();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::QuietStdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static unsigned inputs = 0;
  FuzzedDataProvider in(data, size);
  fuzzsupport::ResetSettings();
  const std::string tree = Root() + "/d";
  mkdir(tree.c_str(), 0755);

  // Mostly no other writer; else the first names, or any of them.
  unsigned heldMask = 0;
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 2:
      heldMask = (1u << in.ConsumeIntegralInRange<int>(1, kCandidates)) - 1;
      break;
    case 3:
      heldMask = in.ConsumeIntegral<uint8_t>();
      break;
    default:
      break;
  }
  const bool lookupFails = in.ConsumeIntegralInRange<uint8_t>(0, 15) == 0;
  const std::string documents = tree + "/" + Defused(in.ConsumeRandomLengthString(400));
  setenv("NIMBREL_DOCUMENTS", documents.c_str(), 1);
  if (lookupFails) {
    char code[16];
    std::snprintf(code, sizeof code, "%08x", in.ConsumeIntegral<uint32_t>() | 0x80000000u);
    setenv("NIMBREL_DOCUMENTS_RESULT", code, 1);
    std::snprintf(code, sizeof code, "%08x", in.ConsumeIntegral<uint32_t>());
    setenv("NIMBREL_DOCUMENTS_LASTERR", code, 1);
  } else {
    unsetenv("NIMBREL_DOCUMENTS_RESULT");
  }

  const std::string base = Native(documents + edition::kLogPath);
  std::string candidates[kCandidates] = {base};
  for (int i = 1; i < kCandidates; ++i) candidates[i] = base + std::to_string(i - 1);
  int held[kCandidates];
  for (int i = 0; i < kCandidates; ++i) held[i] = (heldMask >> i) & 1 ? Hold(candidates[i]) : -1;

  Set(IntSetting::EnableLog, fuzzsupport::ConsumeInt(in));
  FUZZ_CHECK(!QueryPlugin(nullptr, nullptr), "a query without a host was accepted");

  // The entries and the lines they must leave at the end of the file.
  std::string expectedTail;
  for (int entry = 0; entry < 4 && in.remaining_bytes() > 0; ++entry) {
    const int kind = in.ConsumeIntegralInRange<int>(0, 4);
    const int level = in.ConsumeIntegralInRange<int>(-2, 6);
    const int number = fuzzsupport::ConsumeInt(in);
    const std::string text = ConsumeLongText(in);
    switch (kind) {
      case 0:
        LogMessage("%s", text.c_str());
        expectedTail += Formatted(IDebugLog::kFormatBufferSize, "%s", text, 0) + "\n";
        break;
      case 1:
        PluginLog(level, "Value change - %s: %d", text.c_str(), number);
        if (level <= Get(IntSetting::EnableLog))
          expectedTail += Formatted(4096, "Value change - %s: %d", text, number) + "\n";
        break;
      case 2:
        // Set through the log's own reader: the next entry's filter follows it.
        Set(IntSetting::EnableLog, number);
        break;
      case 3:
        IDebugLog::Write(level, "%s", text.c_str());
        if (level <= 5) expectedTail += Formatted(IDebugLog::kFormatBufferSize, "%s", text, 0) + "\n";
        break;
      default: {
        const std::string expression = ConsumeLongText(in);
        IDebugLog::ReportFailedAssertion(text.c_str(), number, expression.c_str(), in.ConsumeIntegral<uint64_t>());
        expectedTail.clear();  // its wording is the unit tests' business; what follows must still be whole
        break;
      }
    }
  }

  const bool folderUsable = !lookupFails && documents.size() < kMaxPath;
  const bool pathFits = documents.size() + std::strlen(edition::kLogPath) < kMaxPath;
  int opened = -1;
  for (int i = 0; i < kCandidates && opened < 0; ++i)
    if (held[i] < 0 && IsFile(candidates[i])) opened = i;
  for (int i = 0; i < kCandidates; ++i) {
    if (held[i] < 0) continue;
    FUZZ_CHECK(Read(candidates[i]) == kHeldContent, "the plug-in wrote into %s, which another writer holds",
               candidates[i].c_str());
  }
  if (!folderUsable || !pathFits) {
    FUZZ_CHECK(opened < 0, "a log was made although the folder is unusable: %s", candidates[opened].c_str());
  } else {
    FUZZ_CHECK(IDebugLog::IsFileOpen() == (opened >= 0), "the log is %s open but %s found",
               IDebugLog::IsFileOpen() ? "" : "not", opened >= 0 ? candidates[opened].c_str() : "none was");
    for (int i = 0; i < opened; ++i)
      FUZZ_CHECK(held[i] >= 0 || IsDirectory(candidates[i]), "the log skipped the free name %s for %s",
                 candidates[i].c_str(), candidates[opened].c_str());
    if (opened >= 0) {
      const std::string content = Read(candidates[opened]);
      FUZZ_CHECK(content.empty() || content.back() == '\n', "the log ends in a partial line");
      FUZZ_CHECK(content.size() >= expectedTail.size() &&
                     content.compare(content.size() - expectedTail.size(), expectedTail.size(), expectedTail) == 0,
                 "the log's last lines are not the entries written (%zu bytes, %zu expected at the end)",
                 content.size(), expectedTail.size());
    }
  }

  for (int i = 0; i < kCandidates; ++i) {
    if (held[i] >= 0) close(held[i]);
    unlink(candidates[i].c_str());
  }
  // The next input's failures write here, not into a file just removed.
  IDebugLog::OpenLogFile((Root() + "/idle.log").c_str());
  if (++inputs % kInputsPerSweep == 0) {
    std::error_code ignored;
    std::filesystem::remove_all(tree, ignored);
  }
  return 0;
}
