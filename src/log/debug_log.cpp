#include "log/debug_log.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/platform.h"
#include "platform/process_wide.h"

namespace NimbrelVR {
namespace {

constexpr int kPluginLogBufferSize = 4096;
// The file's own buffer holds any whole line, even with every '\n' of it
// widened to "\r\n" by a text-mode stream: each flush is then one write, and
// a process killed at any moment leaves no partial line behind.
constexpr size_t kFileBufferSize = 4 * IDebugLog::kFormatBufferSize;

struct LogFacility {
  std::mutex mutex;
  FILE* file = nullptr;
  int fileLevel = 5;
  int echoLevel = 3;
  char buffer[IDebugLog::kFormatBufferSize + 1] = {};  // the text, then its newline
  char fileBuffer[kFileBufferSize] = {};               // the open file's, one file at a time
};

ProcessWide<LogFacility> facility;

// Read without the facility's lock: PluginLog drops most entries before
// formatting them.
struct PluginLogThreshold {
  std::atomic<int32_t> level{kDefaultPluginLogLevel};
};
constinit ProcessWide<PluginLogThreshold> threshold;

}  // namespace

void IDebugLog::OpenLogFile(const char* path) {
  LogFacility& log = *facility;
  std::lock_guard lock(log.mutex);
  if (log.file) std::fclose(log.file);
  log.file = platform::OpenExclusiveWriter(path);
  for (int counter = 0; !log.file && counter < 5; ++counter) {
    char name[kNameBufferSize];
    std::snprintf(name, sizeof name, "%s%d", path, counter);
    log.file = platform::OpenExclusiveWriter(name);
  }
  if (log.file) std::setvbuf(log.file, log.fileBuffer, _IOFBF, sizeof log.fileBuffer);
}

void IDebugLog::WriteLogEntry(int level, const char* format, va_list args) {
  LogFacility& log = *facility;
  std::lock_guard lock(log.mutex);
  const bool toFile = level <= log.fileLevel;
  const bool toEcho = level <= log.echoLevel;
  if (!toFile && !toEcho) return;
  // vsnprintf cuts an entry that does not fit and always terminates it.
  if (std::vsnprintf(log.buffer, IDebugLog::kFormatBufferSize, format, args) < 0) log.buffer[0] = '\0';
  if (toFile && log.file) {
    // The line goes out whole with its newline, in one flush.
    const size_t length = std::strlen(log.buffer);
    log.buffer[length] = '\n';
    std::fwrite(log.buffer, 1, length + 1, log.file);
    std::fflush(log.file);
    log.buffer[length] = '\0';
  }
  if (toEcho) {
    std::printf("%s\n", log.buffer);
    std::fflush(stdout);
  }
}

void IDebugLog::Write(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteLogEntry(level, format, args);
  va_end(args);
}

void IDebugLog::ReportFailedAssertion(const char* file, int line, const char* expression, uint64_t code) {
  if (code >> 32) {
    Write(0, "Assertion failed in %s (%d): %s (code = %16llX (%lld))", file, line, expression,
          static_cast<unsigned long long>(code), static_cast<long long>(code));
  } else {
    const auto low = static_cast<uint32_t>(code);
    Write(0, "Assertion failed in %s (%d): %s (code = %08X (%d))", file, line, expression, low,
          static_cast<int32_t>(low));
  }
}

void IDebugLog::SetLevels(int fileLevel, int echoLevel) {
  LogFacility& log = *facility;
  std::lock_guard lock(log.mutex);
  log.fileLevel = fileLevel;
  log.echoLevel = echoLevel;
}

bool IDebugLog::IsFileOpen() {
  LogFacility& log = *facility;
  std::lock_guard lock(log.mutex);
  return log.file != nullptr;
}

void LogMessage(const char* format, ...) {
  va_list args;
  va_start(args, format);
  IDebugLog::WriteLogEntry(3, format, args);
  va_end(args);
}

void SetPluginLogLevel(int32_t level) { threshold->level.store(level, std::memory_order_relaxed); }

void PluginLog(int level, const char* format, ...) {
  if (level > threshold->level.load(std::memory_order_relaxed)) return;
  char text[kPluginLogBufferSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  // The finished text goes on as data, so a '%' in it is not read again.
  LogMessage("%s", text);
}

}  // namespace NimbrelVR
