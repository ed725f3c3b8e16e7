// Simulation platform (Linux) side of the double's OS layer.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unordered_map>

#include "run/os.h"

namespace nimbrel_sim::os {

const char kSeparator = '/';

namespace {

int firstImage(dl_phdr_info* info, size_t, void* out) {
  uintptr_t lowest = UINTPTR_MAX;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const auto& ph = info->dlpi_phdr[i];
    if (ph.p_type == PT_LOAD && ph.p_vaddr < lowest) lowest = ph.p_vaddr;
  }
  *static_cast<uintptr_t*>(out) = info->dlpi_addr + (lowest == UINTPTR_MAX ? 0 : lowest);
  return 1;  // the first entry is the main program
}

// Is every page of the range inside some mapping of /proc/self/maps?
bool rangeMapped(uintptr_t begin, uintptr_t end) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  uintptr_t covered = begin;
  while (std::getline(maps, line) && covered < end) {
    unsigned long lo = 0, hi = 0;
    if (std::sscanf(line.c_str(), "%lx-%lx", &lo, &hi) != 2) continue;
    if (lo <= covered && covered < hi) covered = hi;
  }
  return covered >= end;
}

std::string errnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// The range explainFaultsIn names, read by the handler.
std::atomic<uintptr_t> gExplainedBegin{0}, gExplainedEnd{0};
std::atomic<const char*> gExplanation{nullptr};
// How a fault ends the process (setFaultExit).
std::atomic<int> gFaultExitCode{5};
std::atomic<const char*> gFaultNote{nullptr};

extern "C" void onFault(int signal, siginfo_t* info, void*) {
  char text[400];
  const auto at = reinterpret_cast<uintptr_t>(info ? info->si_addr : nullptr);
  const char* explained = gExplanation.load();
  int n = 0;
  if (explained && signal == SIGSEGV && at >= gExplainedBegin.load() && at < gExplainedEnd.load())
    n = std::snprintf(text, sizeof text, "nimbrel-sim: %s (address 0x%lx)\n", explained,
                      static_cast<unsigned long>(at));
  else
    n = std::snprintf(text, sizeof text,
                      "nimbrel-sim: the plug-in called into an unmapped engine address (signal %d)\n", signal);
  if (n > 0) (void)!write(2, text, std::min(static_cast<size_t>(n), sizeof text - 1));
  if (const char* note = gFaultNote.load()) {
    n = std::snprintf(text, sizeof text, "nimbrel-sim: %s\n", note);
    if (n > 0) (void)!write(2, text, std::min(static_cast<size_t>(n), sizeof text - 1));
  }
  _exit(gFaultExitCode.load());
}

}  // namespace

uintptr_t mainImageBase() {
  uintptr_t base = 0;
  dl_iterate_phdr(firstImage, &base);
  return base;
}

bool makeArenaReady(uintptr_t address, size_t size, std::string& error) {
  if (!rangeMapped(address, address + size)) {
    void* got = mmap(reinterpret_cast<void*>(address), size, PROT_READ | PROT_WRITE | PROT_EXEC,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (got != reinterpret_cast<void*>(address)) {
      error = errnoText("mmap of the arena");
      return false;
    }
  }
  if (mprotect(reinterpret_cast<void*>(address), size, PROT_READ | PROT_WRITE | PROT_EXEC) != 0) {
    error = errnoText("mprotect of the arena");
    return false;
  }
  return true;
}

bool protectReadExecute(uintptr_t address, size_t size, std::string& error) {
  if (mprotect(reinterpret_cast<void*>(address), size, PROT_READ | PROT_EXEC) != 0) {
    error = errnoText("mprotect of the patch site");
    return false;
  }
  return true;
}

uintptr_t reserveNoAccessPage(size_t size, std::string& error) {
  void* page = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) {
    error = errnoText("mmap of the poison page");
    return 0;
  }
  return reinterpret_cast<uintptr_t>(page);
}

void setFaultExit(int code, const char* note) {
  gFaultNote.store(note);
  gFaultExitCode.store(code);
}

void explainFaultsIn(uintptr_t begin, uintptr_t end, const char* line) {
  gExplainedBegin.store(begin);
  gExplainedEnd.store(end);
  gExplanation.store(line);
}

std::string protectionOf(uintptr_t address) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    unsigned long lo = 0, hi = 0;
    char perms[5] = {};
    if (std::sscanf(line.c_str(), "%lx-%lx %4s", &lo, &hi, perms) != 3) continue;
    if (lo <= address && address < hi) return std::string(perms, 3);
  }
  return "---";
}

void setEnv(const std::string& name, const std::string& value) { ::setenv(name.c_str(), value.c_str(), 1); }

bool enterGameFolder(const std::string& folder, std::string&) {
  setEnv("NIMBREL_GAME_FOLDER", folder);
  return true;
}

void unsetEnv(const std::string& name) { ::unsetenv(name.c_str()); }

std::string libraryFile(const std::string& folder, const std::string& stem) {
  return (folder.empty() ? std::string(".") : folder) + "/" + stem + ".so";
}

void* loadLibrary(const std::string& path, std::string& error) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    error = why ? why : ("cannot load " + path);
  }
  return handle;
}

void* findSymbol(void* library, const char* name) { return dlsym(library, name); }

std::string executableDir() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  std::string full(path, static_cast<size_t>(n));
  size_t slash = full.rfind('/');
  return slash == std::string::npos ? "." : full.substr(0, slash);
}

std::string pluginDocumentsDir(const std::string& simulatedDocuments) { return simulatedDocuments; }

void installFaultHandler() {
  struct sigaction action {};
  action.sa_sigaction = onFault;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGTRAP, SIGSEGV, SIGBUS, SIGILL}) sigaction(signal, &action, nullptr);
}

// Asked on every engine call and task; a thread's id never changes.
uint64_t osThreadId() {
  static thread_local const auto id = static_cast<uint64_t>(syscall(SYS_gettid));
  return id;
}

void nameThread(const std::string& name) { pthread_setname_np(pthread_self(), name.substr(0, 15).c_str()); }

double processCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

uint64_t peakResidentBytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<uint64_t>(usage.ru_maxrss) * 1024;  // kilobytes on Linux
}

struct ThreadLister::Open {
  DIR* tasks = nullptr;
  // Name files of the threads of the last look, kept open for the next.
  std::unordered_map<uint64_t, int> names;
};

namespace {
void closeAll(const std::unordered_map<uint64_t, int>& names) {
  for (const auto& [id, fd] : names)
    if (fd >= 0) close(fd);
}
}  // namespace

ThreadLister::ThreadLister() = default;

ThreadLister::~ThreadLister() {
  if (!open_) return;
  closeAll(open_->names);
  if (open_->tasks) closedir(open_->tasks);
}

bool ThreadLister::list(std::vector<ThreadInfo>& threads, bool (*skip)(uint64_t id)) {
  threads.clear();
  if (!open_) open_ = std::make_unique<Open>();
  if (!open_->tasks) open_->tasks = opendir("/proc/self/task");
  if (!open_->tasks) return false;
  rewinddir(open_->tasks);
  const uint64_t first = static_cast<uint64_t>(getpid());
  // The files of threads still listed move over; those left behind belong to
  // threads that have ended.
  std::unordered_map<uint64_t, int> kept;
  while (dirent* entry = readdir(open_->tasks)) {
    if (entry->d_name[0] == '.') continue;
    const uint64_t id = std::strtoull(entry->d_name, nullptr, 10);
    if (id == first || (skip && skip(id))) continue;
    auto known = open_->names.extract(id);
    int fd = known ? known.mapped() : -1;
    if (!known) {
      char path[300];
      std::snprintf(path, sizeof path, "%s/comm", entry->d_name);
      fd = openat(dirfd(open_->tasks), path, O_RDONLY | O_CLOEXEC);
    }
    char name[32];
    const ssize_t length = fd < 0 ? -1 : pread(fd, name, sizeof name - 1, 0);
    if (length <= 0) {  // the thread ended meanwhile
      if (fd >= 0) close(fd);
      continue;
    }
    kept.emplace(id, fd);
    name[length] = '\0';
    name[std::strcspn(name, "\n")] = '\0';
    threads.push_back({id, name});
  }
  closeAll(open_->names);
  open_->names = std::move(kept);
  return true;
}

}  // namespace nimbrel_sim::os
