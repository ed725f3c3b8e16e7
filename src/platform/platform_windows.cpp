#include <windows.h>

#include <cmath>

// These need <windows.h> first.
#include <share.h>
#include <shlobj.h>

#include "platform/platform.h"

namespace NimbrelVR::platform {

uintptr_t MainImageBase() { return reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr)); }

// The loader maps the executable's headers at its base; SizeOfImage spans
// them and every section.
ImageExtent MainImageExtent() {
  const uintptr_t base = MainImageBase();
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (!dos || dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew <= 0 ||
      dos->e_lfanew > static_cast<LONG>(0x1000 - sizeof(IMAGE_NT_HEADERS64)))
    return {base, 0};
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + static_cast<uintptr_t>(dos->e_lfanew));
  if (nt->Signature != IMAGE_NT_SIGNATURE || nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC)
    return {base, 0};
  return {base, nt->OptionalHeader.SizeOfImage};
}

// Regions looked at by one query: a type check reads a few dozen bytes.
constexpr int kQueriedRegions = 4;

size_t ReadableBytes(uintptr_t address, size_t wanted) {
  constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                              PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  if (wanted > UINTPTR_MAX - address) wanted = UINTPTR_MAX - address;
  size_t counted = 0;
  for (int region = 0; region < kQueriedRegions && counted < wanted; ++region) {
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(reinterpret_cast<const void*>(address + counted), &info, sizeof info) == 0) break;
    if (info.State != MEM_COMMIT || (info.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0 ||
        (info.Protect & kReadable) == 0)
      break;
    counted = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize - address;
  }
  return counted < wanted ? counted : wanted;
}

bool DocumentsFolder(char (&path)[kMaxPath], int32_t* result, uint32_t* lastError) {
  // CSIDL_PERSONAL | CSIDL_FLAG_CREATE
  HRESULT hr = SHGetFolderPathA(nullptr, 0x8005, nullptr, 0, path);
  *result = static_cast<int32_t>(hr);
  *lastError = GetLastError();
  return SUCCEEDED(hr);
}

bool MakeWritable(void* address, size_t size, uint32_t* oldProtection) {
  DWORD old = 0;
  if (!VirtualProtect(address, size, PAGE_EXECUTE_READWRITE, &old)) return false;
  *oldProtection = old;
  return true;
}

bool RestoreProtection(void* address, size_t size, uint32_t oldProtection) {
  DWORD ignored = 0;
  return VirtualProtect(address, size, oldProtection, &ignored) != 0;
}

void SleepMs(uint32_t milliseconds) { Sleep(milliseconds); }

void Bell::WaitAtMost(std::unique_lock<std::mutex>& lock, double milliseconds) {
  // Whole milliseconds, as Sleep takes them; never shorter than what is left.
  rung_.wait_for(lock, std::chrono::milliseconds(static_cast<int64_t>(std::ceil(milliseconds))));
}

double MonotonicMs() {
  static const double ticksPerMs = [] {
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(frequency.QuadPart) / 1000.0;
  }();
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / ticksPerMs;
}

bool CreateOneDirectory(const char* path) { return CreateDirectoryA(path, nullptr) != 0; }

FILE* OpenExclusiveWriter(const char* path) { return _fsopen(path, "w", _SH_DENYWR); }

GameFileRead ReadGameFile(const char* relativePath, size_t maxBytes, std::vector<uint8_t>* bytes) {
  // A relative path is from the current directory: the game's folder.
  HANDLE file =
      CreateFileA(relativePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    return {missing ? GameFileStatus::Missing : GameFileStatus::Unreadable, error, 0};
  }
  GameFileRead result{GameFileStatus::Read, 0, 0};
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size)) {
    result = {GameFileStatus::Unreadable, GetLastError(), 0};
  } else if (static_cast<uint64_t>(size.QuadPart) > maxBytes) {
    result = {GameFileStatus::TooLarge, 0, static_cast<uint64_t>(size.QuadPart)};
  } else {
    try {
      bytes->resize(static_cast<size_t>(size.QuadPart));
      size_t done = 0;
      while (done < bytes->size()) {
        DWORD got = 0;
        if (!ReadFile(file, bytes->data() + done, static_cast<DWORD>(bytes->size() - done), &got, nullptr)) {
          result = {GameFileStatus::Unreadable, GetLastError(), 0};
          break;
        }
        if (got == 0) break;  // it shrank since its size was taken: what was there
        done += got;
      }
      bytes->resize(done);
    } catch (...) {
      result = {GameFileStatus::Unreadable, ERROR_NOT_ENOUGH_MEMORY, 0};
    }
  }
  CloseHandle(file);
  return result;
}

// SetThreadDescription exists from Windows 10 1607 on; looked up at run time
// so the DLL still loads where it is missing.
void NameCurrentThread(const char* name) {
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const auto setDescription = reinterpret_cast<SetDescription>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetThreadDescription")));
  if (!setDescription || !name) return;
  wchar_t wide[32];
  size_t i = 0;
  for (; name[i] != '\0' && i + 1 < sizeof wide / sizeof wide[0]; ++i) wide[i] = static_cast<unsigned char>(name[i]);
  wide[i] = L'\0';
  setDescription(GetCurrentThread(), wide);
}

bool ThreadStartRefused(const char*) { return false; }

// A Windows thread does not inherit its creator's description.
void NeutralizeCreatorName(CreatorName*) {}
void RestoreCreatorName(const CreatorName&) {}

}  // namespace NimbrelVR::platform
