// The plug-in's text log: one file per edition below the documents folder.
#pragma once

#include <cstdarg>
#include <cstdint>

#if defined(__MINGW32__)
#define NIMBREL_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define NIMBREL_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#endif

namespace NimbrelVR {

// Process-wide log facility. Entries from all threads are serialised, so the
// shared format buffer is never written by two of them at once.
class IDebugLog {
 public:
  static constexpr int kFormatBufferSize = 8192;
  static constexpr int kNameBufferSize = 1024;

  // Opens the file (truncated, readable but not writable by others); when that
  // fails, tries path0 .. path4. Leaves file output off after five failures.
  static void OpenLogFile(const char* path);
  static void WriteLogEntry(int level, const char* format, va_list args);
  static void Write(int level, const char* format, ...) NIMBREL_PRINTF(2, 3);
  // Writes the assertion line. The caller decides how to stop.
  static void ReportFailedAssertion(const char* file, int line, const char* expression, uint64_t code);
  static void SetLevels(int fileLevel, int echoLevel);
  static bool IsFileOpen();
};

// Always written (level 3 of the facility).
void LogMessage(const char* format, ...) NIMBREL_PRINTF(1, 2);
// Written when `level` <= the level last set (the EnableLog setting, which
// hands every new value here).
void PluginLog(int level, const char* format, ...) NIMBREL_PRINTF(2, 3);

inline constexpr int32_t kDefaultPluginLogLevel = 2;
void SetPluginLogLevel(int32_t level);

}  // namespace NimbrelVR
