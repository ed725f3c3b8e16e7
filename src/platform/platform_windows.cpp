#include <windows.h>
#include <shlobj.h>
#include <share.h>

#include "platform/platform.h"

namespace NimbrelVR::platform {

uintptr_t MainImageBase() { return reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr)); }

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

bool CreateOneDirectory(const char* path) { return CreateDirectoryA(path, nullptr) != 0; }

FILE* OpenExclusiveWriter(const char* path) { return _fsopen(path, "w", _SH_DENYWR); }

}  // namespace NimbrelVR::platform
