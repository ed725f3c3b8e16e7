// The thin OS layer: everything the plug-in asks of the operating system.
// One implementation for Windows, one for the simulation platform (Linux).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>

namespace NimbrelVR::platform {

inline constexpr size_t kMaxPath = 260;

// Address at which the process's main executable is mapped.
uintptr_t MainImageBase();

// The user's documents folder (created if missing) into `path`.
// On failure returns false with the shell's result code and the thread's
// last error.
bool DocumentsFolder(char (&path)[kMaxPath], int32_t* result, uint32_t* lastError);

// Makes `size` bytes at `address` readable, writable and executable and
// reports the protection they had, for RestoreProtection.
bool MakeWritable(void* address, size_t size, uint32_t* oldProtection);
bool RestoreProtection(void* address, size_t size, uint32_t oldProtection);

void SleepMs(uint32_t milliseconds);

// Creates one directory; errors (it exists, its parent is missing) are the
// caller's to ignore.
bool CreateOneDirectory(const char* path);

// Opens `path` for writing in text mode, truncated, so that other processes
// may read it but not write it. Null on failure.
FILE* OpenExclusiveWriter(const char* path);

// Starts `body` on a new detached thread. False when no thread could be
// started; never throws.
bool StartDetachedThread(std::function<void()> body);

}  // namespace NimbrelVR::platform
