// The thin OS layer: everything the plug-in asks of the operating system.
// One implementation for Windows, one for the simulation platform (Linux).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <vector>

namespace NimbrelVR::platform {

inline constexpr size_t kMaxPath = 260;

// Address at which the process's main executable is mapped.
uintptr_t MainImageBase();

// The main executable's mapping: [base, base + size), its headers to the end
// of its last section. Size 0 when its headers cannot be read.
struct ImageExtent {
  uintptr_t base;
  size_t size;
};
ImageExtent MainImageExtent();

// How many bytes from `address` on are mapped and readable now, counting at
// most `wanted`; 0 when the byte at `address` is not. It may answer fewer
// than are readable (it looks at a bounded stretch), never more. Never
// faults, whatever the address; it costs a system call or a few.
size_t ReadableBytes(uintptr_t address, size_t wanted);

// The user's documents folder (created if missing) into `path`.
// On failure returns false with the shell's result code and the thread's
// last error.
bool DocumentsFolder(char (&path)[kMaxPath], int32_t* result, uint32_t* lastError);

// Makes `size` bytes at `address` readable, writable and executable and
// reports the protection they had, for RestoreProtection.
bool MakeWritable(void* address, size_t size, uint32_t* oldProtection);
bool RestoreProtection(void* address, size_t size, uint32_t oldProtection);

// Sleeps at least `milliseconds`; the OS timer may end it later (on Windows,
// at its next tick).
void SleepMs(uint32_t milliseconds);

// A monotonic clock in milliseconds, on the same scale as SleepMs; only
// differences between two readings mean anything.
double MonotonicMs();

// A sleep until a moment on MonotonicMs's clock that other threads can cut
// short, so that a sleeper who must notice a change at once need not wake
// every few milliseconds to look for it.
class Bell {
 public:
  using GoOn = bool (*)(const void* context);
  // Wakes every sleeper, to look at its goOn again. Call it after the change.
  void Ring();
  // Sleeps until MonotonicMs() reaches `dueMs` (ending as SleepMs would end),
  // or until goOn(context) is false, looked at when rung. Returns goOn.
  bool SleepUntil(double dueMs, GoOn goOn, const void* context);

 private:
  // One wait of at most `milliseconds`, ended early by Ring: the OS's part.
  void WaitAtMost(std::unique_lock<std::mutex>& lock, double milliseconds);

  std::mutex mutex_;
  std::condition_variable rung_;
};

// Creates one directory; errors (it exists, its parent is missing) are the
// caller's to ignore.
bool CreateOneDirectory(const char* path);

// Reads a file of the game's installation whole into `bytes`. `relativePath`
// is from the game's folder, with '/' or a backslash between names. On
// Windows the game's folder is the process's current directory, where the
// game starts and where the plug-ins' ecosystem looks for its files too.
enum class GameFileStatus { Read, Missing, Unreadable, TooLarge };
struct GameFileRead {
  GameFileStatus status;
  uint32_t osError;  // with Unreadable: the system's error code
  uint64_t size;     // with TooLarge: the file's size in bytes
};
// A file larger than `maxBytes` is not read. Never throws.
GameFileRead ReadGameFile(const char* relativePath, size_t maxBytes, std::vector<uint8_t>* bytes);

// Opens `path` for writing in text mode, truncated, so that other processes
// may read it but not write it. Null on failure.
FILE* OpenExclusiveWriter(const char* path);

// Starts `body` on a new detached thread named `name` (at most 15 characters,
// a string that lives as long as the program). False when no thread could be
// started; never throws.
bool StartDetachedThread(const char* name, std::function<void()> body);

// Names the calling thread, for debuggers and the game double; a failure is
// ignored. The simulation platform may also refuse starts of threads by name
// (ThreadStartRefused), to exercise the callers' failure paths.
void NameCurrentThread(const char* name);
bool ThreadStartRefused(const char* name);

// The name of a plug-in thread that is starting or ending, so that a count of
// threads by name never sees one twice: a thread that has given its place
// back takes it before it leaves.
inline constexpr const char* kNeutralThreadName = "nimbrel";

// Where a new thread starts with its creator's name (Linux), the creator
// goes by the neutral name while it creates one.
struct CreatorName {
  char text[16] = {};
  bool changed = false;
};
void NeutralizeCreatorName(CreatorName* saved);
void RestoreCreatorName(const CreatorName& saved);

}  // namespace NimbrelVR::platform
