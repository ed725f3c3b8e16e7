// The thin operating-system layer of the game double. One implementation per
// platform (os_posix.cpp, os_windows.cpp), chosen by the build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nimbrel_sim::os {

// Path separator the platform's own APIs expect.
extern const char kSeparator;

// Address of the main executable's image (the module handle on Windows).
uintptr_t mainImageBase();

// Makes sure [address, address + size) is mapped and readable, writable and
// executable. False with a reason when it cannot be.
bool makeArenaReady(uintptr_t address, size_t size, std::string& error);
// Gives a page range read + execute only, as engine code is mapped.
bool protectReadExecute(uintptr_t address, size_t size, std::string& error);
// Gives a page range no access at all.
// A fresh page of `size` bytes that no access is allowed to, outside every
// section of the executable; 0 with a reason on failure.
uintptr_t reserveNoAccessPage(size_t size, std::string& error);
// Protection of the page holding an address, as "rwx" letters ("r-x", ...).
std::string protectionOf(uintptr_t address);

// Tells the plug-in where the game's folder is, as each platform does: the
// simulation platform reads NIMBREL_GAME_FOLDER; a Windows plug-in reads its
// files relative to the current directory, which becomes that folder (so
// every path the double keeps must be absolute before). False with a reason.
bool enterGameFolder(const std::string& folder, std::string& error);

void setEnv(const std::string& name, const std::string& value);
void unsetEnv(const std::string& name);

// The plug-in library: a file name for a stem ("Nimbrel" -> "Nimbrel.so" or
// "Nimbrel.dll"), loading it and resolving an export.
std::string libraryFile(const std::string& folder, const std::string& stem);
void* loadLibrary(const std::string& path, std::string& error);
void* findSymbol(void* library, const char* name);

// Folder of the running executable.
std::string executableDir();
// The documents folder the plug-in will use: the simulated one natively,
// the shell's real one on Windows (and under Wine).
std::string pluginDocumentsDir(const std::string& simulatedDocuments);

// The operating system's id of the calling thread. Linux does not hand a
// thread id out again for a long time, unlike std::thread::id.
uint64_t osThreadId();

// The process's live threads (system id and name), its first one excluded
// and those `skip` names (their names are not read). Asked every 20 ms while
// the plug-in may run 60 and more threads, so it keeps the task folder and
// each thread's name file open between calls.
struct ThreadInfo {
  uint64_t id = 0;
  std::string name;
};
class ThreadLister {
 public:
  ThreadLister();
  ~ThreadLister();
  ThreadLister(const ThreadLister&) = delete;
  ThreadLister& operator=(const ThreadLister&) = delete;
  // False where the platform does not tell them.
  bool list(std::vector<ThreadInfo>& threads, bool (*skip)(uint64_t id));

 private:
  struct Open;
  std::unique_ptr<Open> open_;
};
// Names the calling thread for the system's tools (cut to 15 characters).
void nameThread(const std::string& name);
// CPU time of the whole process so far, in seconds (every thread, ended
// ones included).
double processCpuSeconds();
// The most memory the process has had resident, in bytes.
uint64_t peakResidentBytes();

// A fault inside the process (0xCC trap, access violation) ends it with
// exit code 5 and a one-line explanation.
void installFaultHandler();
// From now on a fault ends the process with `code` instead, and a second
// line `note` (which must live as long as the process) after the explanation.
void setFaultExit(int code, const char* note);
// An access to an address in [begin, end) is explained with `line` instead
// (one range; `line` must live as long as the process).
void explainFaultsIn(uintptr_t begin, uintptr_t end, const char* line);

}  // namespace nimbrel_sim::os
