// Windows (and Wine) side of the double's OS layer.
#include <windows.h>

// These need <windows.h> first.
#include <psapi.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>

#include "run/os.h"

namespace nimbrel_sim::os {

const char kSeparator = '\\';

namespace {

std::string lastErrorText(const char* what) {
  char text[64];
  std::snprintf(text, sizeof text, ": error %lu", GetLastError());
  return std::string(what) + text;
}

// The range explainFaultsIn names.
uintptr_t gExplainedBegin = 0, gExplainedEnd = 0;
const char* gExplanation = nullptr;
// How a fault ends the process (setFaultExit).
int gFaultExitCode = 5;
const char* gFaultNote = nullptr;

LONG WINAPI onFault(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* record = info ? info->ExceptionRecord : nullptr;
  unsigned long code = record ? record->ExceptionCode : 0;
  // An access violation's second word is the address it touched.
  const uintptr_t at = code == EXCEPTION_ACCESS_VIOLATION && record->NumberParameters >= 2
                           ? static_cast<uintptr_t>(record->ExceptionInformation[1])
                           : 0;
  if (gExplanation && at >= gExplainedBegin && at < gExplainedEnd)
    std::fprintf(stderr, "nimbrel-sim: %s (address 0x%llx)\n", gExplanation, static_cast<unsigned long long>(at));
  else
    std::fprintf(stderr, "nimbrel-sim: the plug-in called into an unmapped engine address (signal %d)\n",
                 code == EXCEPTION_BREAKPOINT ? 5 : 11);
  if (gFaultNote) std::fprintf(stderr, "nimbrel-sim: %s\n", gFaultNote);
  std::fflush(stderr);
  ExitProcess(static_cast<UINT>(gFaultExitCode));
}

}  // namespace

uintptr_t mainImageBase() { return reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr)); }

bool makeArenaReady(uintptr_t address, size_t size, std::string& error) {
  DWORD old = 0;
  if (!VirtualProtect(reinterpret_cast<void*>(address), size, PAGE_EXECUTE_READWRITE, &old)) {
    error = lastErrorText("VirtualProtect of the arena");
    return false;
  }
  return true;
}

bool protectReadExecute(uintptr_t address, size_t size, std::string& error) {
  DWORD old = 0;
  if (!VirtualProtect(reinterpret_cast<void*>(address), size, PAGE_EXECUTE_READ, &old)) {
    error = lastErrorText("VirtualProtect of the patch site");
    return false;
  }
  return true;
}

uintptr_t reserveNoAccessPage(size_t size, std::string& error) {
  void* page = VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS);
  if (!page) {
    error = lastErrorText("VirtualAlloc of the poison page");
    return 0;
  }
  return reinterpret_cast<uintptr_t>(page);
}

void setFaultExit(int code, const char* note) {
  gFaultNote = note;
  gFaultExitCode = code;
}

void explainFaultsIn(uintptr_t begin, uintptr_t end, const char* line) {
  gExplainedBegin = begin;
  gExplainedEnd = end;
  gExplanation = line;
}

std::string protectionOf(uintptr_t address) {
  MEMORY_BASIC_INFORMATION info{};
  if (VirtualQuery(reinterpret_cast<void*>(address), &info, sizeof info) == 0) return "---";
  switch (info.Protect & 0xff) {
    case PAGE_READONLY:
      return "r--";
    case PAGE_READWRITE:
    case PAGE_WRITECOPY:
      return "rw-";
    case PAGE_EXECUTE:
      return "--x";
    case PAGE_EXECUTE_READ:
      return "r-x";
    case PAGE_EXECUTE_READWRITE:
    case PAGE_EXECUTE_WRITECOPY:
      return "rwx";
    default:
      return "---";
  }
}

void setEnv(const std::string& name, const std::string& value) { _putenv_s(name.c_str(), value.c_str()); }

bool enterGameFolder(const std::string& folder, std::string& error) {
  setEnv("NIMBREL_GAME_FOLDER", folder);
  if (!SetCurrentDirectoryA(folder.c_str())) {
    error = lastErrorText(("SetCurrentDirectoryA " + folder).c_str());
    return false;
  }
  return true;
}

void unsetEnv(const std::string& name) { _putenv_s(name.c_str(), ""); }

std::string libraryFile(const std::string& folder, const std::string& stem) {
  return (folder.empty() ? std::string(".") : folder) + "\\" + stem + ".dll";
}

void* loadLibrary(const std::string& path, std::string& error) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (!module) error = lastErrorText(("LoadLibraryA " + path).c_str());
  return reinterpret_cast<void*>(module);
}

void* findSymbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

std::string executableDir() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return ".";
  std::string full(path, n);
  size_t slash = full.find_last_of("\\/");
  return slash == std::string::npos ? "." : full.substr(0, slash);
}

std::string pluginDocumentsDir(const std::string&) {
  // The plug-in asks the shell itself; the double asks the same question.
  char path[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathA(nullptr, 0x8005, nullptr, 0, path))) return "";
  return path;
}

void installFaultHandler() { SetUnhandledExceptionFilter(onFault); }

uint64_t osThreadId() { return GetCurrentThreadId(); }

// Thread descriptions are left alone: the census is not taken here.
void nameThread(const std::string&) {}

double processCpuSeconds() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  auto seconds = [](const FILETIME& f) {
    return static_cast<double>((static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 1e7;
  };
  return seconds(kernel) + seconds(user);
}

uint64_t peakResidentBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  return GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters) ? counters.PeakWorkingSetSize : 0;
}

// Thread descriptions are not read back here: the census is left empty.
struct ThreadLister::Open {};
ThreadLister::ThreadLister() = default;
ThreadLister::~ThreadLister() = default;
bool ThreadLister::list(std::vector<ThreadInfo>& threads, bool (*)(uint64_t)) {
  threads.clear();
  return false;
}

}  // namespace nimbrel_sim::os
