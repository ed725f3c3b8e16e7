// The simulation platform: the plug-in built for Linux, hosted by the game
// double. Windows paths are accepted ('\' becomes '/'), sleeps run on the
// double's time scale, and the documents folder comes from the double.
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "platform/process_wide.h"

namespace NimbrelVR::platform {
namespace {

// The span of the main program's loaded segments, from the lowest to the end
// of the highest: its ELF header on, and the game double's arena (a NOLOAD
// section placed at RVA 0x1000) with it.
int FirstImageCallback(dl_phdr_info* info, size_t, void* out) {
  uintptr_t lowest = UINTPTR_MAX;
  uintptr_t highest = 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const auto& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    if (ph.p_vaddr < lowest) lowest = ph.p_vaddr;
    if (ph.p_vaddr + ph.p_memsz > highest) highest = ph.p_vaddr + ph.p_memsz;
  }
  auto* extent = static_cast<ImageExtent*>(out);
  extent->base = info->dlpi_addr + (lowest == UINTPTR_MAX ? 0 : lowest);
  extent->size = lowest == UINTPTR_MAX ? 0 : highest - lowest;
  return 1;  // the first entry is the main program
}

std::string ToNativePath(const char* path) {
  std::string native(path);
  for (char& c : native) {
    if (c == '\\') c = '/';
  }
  return native;
}

// A positive number from the environment, or `fallback` when unset or not one.
double PositiveEnv(const char* name, double fallback) {
  const char* text = std::getenv(name);
  const double value = text ? std::strtod(text, nullptr) : fallback;
  return (value > 0.0 && value < 1e9) ? value : fallback;
}

double TimeScale() {
  static const double scale = PositiveEnv("NIMBREL_TIME_SCALE", 1.0);
  return scale;
}

// NIMBREL_TIMER_RESOLUTION: the OS timer's tick in simulated milliseconds
// (0: exact). Every sleep then ends at the first tick at or after its due
// time, as Windows ends a Sleep.
double TimerResolution() {
  static const double resolution = PositiveEnv("NIMBREL_TIMER_RESOLUTION", 0.0);
  return resolution;
}

using Clock = std::chrono::steady_clock;

// Simulated milliseconds on the steady clock: wall time times the time scale.
double ScaledMs(Clock::time_point at) {
  return std::chrono::duration<double, std::milli>(at.time_since_epoch()).count() * TimeScale();
}

uint32_t HexEnv(const char* name) {
  const char* text = std::getenv(name);
  return text ? static_cast<uint32_t>(std::strtoul(text, nullptr, 16)) : 0;
}

// Protection of the page holding `address`, as PROT_* bits, from the kernel's
// own map of the process.
bool PageProtection(uintptr_t address, int* prot) {
  FILE* maps = std::fopen("/proc/self/maps", "r");
  if (!maps) return false;
  char line[512];
  bool found = false;
  while (std::fgets(line, sizeof line, maps)) {
    unsigned long start = 0, end = 0;
    char perms[5] = {};
    if (std::sscanf(line, "%lx-%lx %4s", &start, &end, perms) != 3) continue;
    if (address >= start && address < end) {
      *prot =
          (perms[0] == 'r' ? PROT_READ : 0) | (perms[1] == 'w' ? PROT_WRITE : 0) | (perms[2] == 'x' ? PROT_EXEC : 0);
      found = true;
      break;
    }
  }
  std::fclose(maps);
  return found;
}

bool PageRange(void* address, size_t size, uintptr_t* first, size_t* length) {
  const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<uintptr_t>(address);
  *first = begin & ~(page - 1);
  *length = ((begin + size + page - 1) & ~(page - 1)) - *first;
  return size > 0;
}

}  // namespace

uintptr_t MainImageBase() { return MainImageExtent().base; }

ImageExtent MainImageExtent() {
  ImageExtent extent{0, 0};
  dl_iterate_phdr(FirstImageCallback, &extent);
  return extent;
}

// Pages looked at by one query: a type check reads a few dozen bytes, and
// each page looked at costs about a tenth of the query.
constexpr size_t kProbedPages = 4;

// The kernel copies one byte of each page for us, or stops at the first page
// that is unmapped or not readable (PROT_NONE): process_vm_readv transfers
// whole iovec elements or none, and ends at the first that fails. Nothing
// faults, and the sanitizers see only the write into `sink`.
size_t ReadableBytes(uintptr_t address, size_t wanted) {
  if (wanted == 0) return 0;
  if (wanted > UINTPTR_MAX - address) wanted = UINTPTR_MAX - address;
  const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t first = address & ~(page - 1);
  const uintptr_t last = (address + wanted - 1) & ~(page - 1);
  const size_t pages = std::min<size_t>((last - first) / page + 1, kProbedPages);
  iovec remote[kProbedPages];
  remote[0] = {reinterpret_cast<void*>(address), 1};
  for (size_t i = 1; i < pages; ++i) remote[i] = {reinterpret_cast<void*>(first + i * page), 1};
  char sink[kProbedPages];
  iovec local{sink, pages};
  const ssize_t read = process_vm_readv(getpid(), &local, 1, remote, pages, 0);
  if (read <= 0) return 0;
  const uintptr_t end = first + static_cast<uintptr_t>(read) * page;
  return std::min<size_t>(end - address, wanted);
}

bool DocumentsFolder(char (&path)[kMaxPath], int32_t* result, uint32_t* lastError) {
  path[0] = '\0';
  if (uint32_t failure = HexEnv("NIMBREL_DOCUMENTS_RESULT")) {
    *result = static_cast<int32_t>(failure);
    *lastError = HexEnv("NIMBREL_DOCUMENTS_LASTERR");
    return false;
  }
  std::string folder;
  if (const char* documents = std::getenv("NIMBREL_DOCUMENTS")) {
    folder = documents;
  } else if (const char* home = std::getenv("HOME")) {
    folder = std::string(home) + "/Documents";
  }
  *lastError = 0;
  if (folder.empty() || folder.size() >= kMaxPath) {
    *result = static_cast<int32_t>(0x80004005);  // E_FAIL
    return false;
  }
  mkdir(folder.c_str(), 0755);
  std::memcpy(path, folder.c_str(), folder.size() + 1);
  *result = 0;
  return true;
}

// NIMBREL_REFUSE_PROTECT: "make" or "restore", a protection change the
// system refuses, as a hardened or out-of-memory process may.
bool ProtectionRefused(const char* step) {
  const char* refused = std::getenv("NIMBREL_REFUSE_PROTECT");
  return refused && std::strcmp(refused, step) == 0;
}

bool MakeWritable(void* address, size_t size, uint32_t* oldProtection) {
  if (ProtectionRefused("make")) return false;
  uintptr_t first = 0;
  size_t length = 0;
  int prot = 0;
  if (!PageRange(address, size, &first, &length)) return false;
  if (!PageProtection(reinterpret_cast<uintptr_t>(address), &prot)) return false;
  if (mprotect(reinterpret_cast<void*>(first), length, PROT_READ | PROT_WRITE | PROT_EXEC) != 0) return false;
  *oldProtection = static_cast<uint32_t>(prot);
  return true;
}

bool RestoreProtection(void* address, size_t size, uint32_t oldProtection) {
  if (ProtectionRefused("restore")) return false;
  uintptr_t first = 0;
  size_t length = 0;
  if (!PageRange(address, size, &first, &length)) return false;
  return mprotect(reinterpret_cast<void*>(first), length, static_cast<int>(oldProtection)) == 0;
}

// The moment, on the steady clock, at which a sleep of `milliseconds` from now
// ends.
Clock::time_point SleepEnd(double milliseconds) {
  const double tick = TimerResolution();
  if (tick <= 0.0)
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double, std::milli>(milliseconds / TimeScale()));
  // The ticks are the same for every thread, counted from the clock's epoch.
  const double due = ScaledMs(Clock::now()) + milliseconds;
  const double end = std::ceil(due / tick) * tick;
  return Clock::time_point(
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(end / TimeScale())));
}

void SleepMs(uint32_t milliseconds) { std::this_thread::sleep_until(SleepEnd(milliseconds)); }

void Bell::WaitAtMost(std::unique_lock<std::mutex>& lock, double milliseconds) {
  rung_.wait_until(lock, SleepEnd(milliseconds));
}

double MonotonicMs() {
  static const Clock::time_point origin = Clock::now();
  return std::chrono::duration<double, std::milli>(Clock::now() - origin).count() * TimeScale();
}

bool CreateOneDirectory(const char* path) { return mkdir(ToNativePath(path).c_str(), 0755) == 0; }

// NIMBREL_DISK_SPACE: bytes the disk takes before it is full; writes past
// them fail with ENOSPC, as on a full disk.
struct Budget {
  int fd;
  long long left;
};

constexpr size_t kMaxBudgets = 16;  // log files opened in one process (fallback names included)
Budget gBudgets[kMaxBudgets];
size_t gBudgetCount = 0;
constinit ProcessWide<std::mutex> gBudgetsMutex;

ssize_t BudgetWrite(void* cookie, const char* data, size_t size) {
  auto* budget = static_cast<Budget*>(cookie);
  if (budget->left < static_cast<long long>(size)) {
    budget->left = 0;
    errno = ENOSPC;
    return -1;
  }
  const ssize_t written = write(budget->fd, data, size);
  if (written > 0) budget->left -= written;
  return written;
}

int BudgetClose(void* cookie) { return close(static_cast<Budget*>(cookie)->fd); }

FILE* LimitedWriter(int fd) {
  const char* space = std::getenv("NIMBREL_DISK_SPACE");
  if (!space) return fdopen(fd, "w");
  // The log stays open for the life of the process, and so does its budget.
  std::lock_guard lock(*gBudgetsMutex);
  if (gBudgetCount == kMaxBudgets) return fdopen(fd, "w");
  Budget* budget = &gBudgets[gBudgetCount++];
  *budget = {fd, std::atoll(space)};
  cookie_io_functions_t io{nullptr, &BudgetWrite, nullptr, &BudgetClose};
  return fopencookie(budget, "w", io);
}

FILE* OpenExclusiveWriter(const char* path) {
  // Windows' deny-write share, emulated with an advisory lock that every
  // writer of the simulation takes. The file is truncated only once the lock
  // is held, so a refused open leaves the other writer's content alone.
  int fd = open(ToNativePath(path).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ftruncate(fd, 0) != 0) {
    close(fd);
    return nullptr;
  }
  FILE* file = LimitedWriter(fd);
  if (!file) close(fd);
  return file;
}

// NIMBREL_GAME_FOLDER: the game's folder, which the game double sets; else
// the current directory, as on Windows.
GameFileRead ReadGameFile(const char* relativePath, size_t maxBytes, std::vector<uint8_t>* bytes) {
  std::string path = ToNativePath(relativePath);
  if (const char* folder = std::getenv("NIMBREL_GAME_FOLDER"); folder && *folder)
    path = std::string(folder) + "/" + path;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    const bool missing = error == ENOENT || error == ENOTDIR;
    return {missing ? GameFileStatus::Missing : GameFileStatus::Unreadable, static_cast<uint32_t>(error), 0};
  }
  GameFileRead result{GameFileStatus::Read, 0, 0};
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    result = {GameFileStatus::Unreadable, static_cast<uint32_t>(errno), 0};
  } else if (static_cast<uint64_t>(info.st_size) > maxBytes) {
    result = {GameFileStatus::TooLarge, 0, static_cast<uint64_t>(info.st_size)};
  } else {
    try {
      bytes->resize(static_cast<size_t>(info.st_size));
      size_t done = 0;
      while (done < bytes->size()) {
        const ssize_t got = read(fd, bytes->data() + done, bytes->size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
          result = {GameFileStatus::Unreadable, static_cast<uint32_t>(errno), 0};
          break;
        }
        if (got == 0) break;  // it shrank since fstat: what was there
        done += static_cast<size_t>(got);
      }
      bytes->resize(done);
    } catch (...) {
      result = {GameFileStatus::Unreadable, static_cast<uint32_t>(ENOMEM), 0};
    }
  }
  close(fd);
  return result;
}

void NameCurrentThread(const char* name) { pthread_setname_np(pthread_self(), name); }

void NeutralizeCreatorName(CreatorName* saved) {
  saved->changed = pthread_getname_np(pthread_self(), saved->text, sizeof saved->text) == 0 &&
                   pthread_setname_np(pthread_self(), kNeutralThreadName) == 0;
}

void RestoreCreatorName(const CreatorName& saved) {
  if (saved.changed) pthread_setname_np(pthread_self(), saved.text);
}

// NIMBREL_REFUSE_THREADS: names, separated by commas, of threads whose start
// fails as if the system had no thread left to give.
bool ThreadStartRefused(const char* name) {
  const char* refused = std::getenv("NIMBREL_REFUSE_THREADS");
  if (!refused || !name) return false;
  const size_t length = std::strlen(name);
  for (const char* at = refused; *at;) {
    const char* end = std::strchr(at, ',');
    const size_t size = end ? static_cast<size_t>(end - at) : std::strlen(at);
    if (size == length && std::strncmp(at, name, length) == 0) return true;
    if (!end) break;
    at = end + 1;
  }
  return false;
}

}  // namespace NimbrelVR::platform
