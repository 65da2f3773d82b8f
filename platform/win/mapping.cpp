// Named file mappings and the bounded string copy as thin calls of the Win32 API: handles and
// addresses cross the interface as pointer-sized integers, and every failure is the API's own
// failure value (a null handle or address, a zero result).
#include <windows.h>

#include "platform/platform.h"

namespace mmfcast::platform {

namespace {

HANDLE to_handle(Handle h) { return reinterpret_cast<HANDLE>(h); }
Handle from_handle(HANDLE h) { return reinterpret_cast<Handle>(h); }

}  // namespace

Handle OpenFileMappingA(std::uint32_t dwDesiredAccess, int bInheritHandle, const char* lpName) {
  return from_handle(::OpenFileMappingA(dwDesiredAccess, bInheritHandle, lpName));
}

Handle CreateFileMappingA(Handle hFile, void* lpFileMappingAttributes, std::uint32_t flProtect,
                          std::uint32_t dwMaximumSizeHigh, std::uint32_t dwMaximumSizeLow,
                          const char* lpName) {
  const HANDLE file = hFile == kInvalidHandleValue ? INVALID_HANDLE_VALUE : to_handle(hFile);
  return from_handle(
      ::CreateFileMappingA(file, static_cast<LPSECURITY_ATTRIBUTES>(lpFileMappingAttributes),
                           flProtect, dwMaximumSizeHigh, dwMaximumSizeLow, lpName));
}

ViewAddr MapViewOfFile(Handle hFileMappingObject, std::uint32_t dwDesiredAccess,
                       std::uint32_t dwFileOffsetHigh, std::uint32_t dwFileOffsetLow,
                       std::size_t dwNumberOfBytesToMap) {
  return reinterpret_cast<ViewAddr>(::MapViewOfFile(to_handle(hFileMappingObject), dwDesiredAccess,
                                                    dwFileOffsetHigh, dwFileOffsetLow,
                                                    dwNumberOfBytesToMap));
}

int UnmapViewOfFile(ViewAddr lpBaseAddress) {
  return ::UnmapViewOfFile(reinterpret_cast<LPCVOID>(lpBaseAddress)) ? 1 : 0;
}

int CloseHandle(Handle hObject) { return ::CloseHandle(to_handle(hObject)) ? 1 : 0; }

// A view is one region of committed, mapped pages that starts at its allocation base; anything
// else (a heap or stack address, the inside of a view, an unmapped address) has no view size.
std::size_t view_size(ViewAddr view) {
  if (view == 0) return 0;
  MEMORY_BASIC_INFORMATION info{};
  const void* base = reinterpret_cast<const void*>(view);
  if (::VirtualQuery(base, &info, sizeof info) != sizeof info) return 0;
  if (info.BaseAddress != base || info.AllocationBase != base) return 0;
  if (info.State != MEM_COMMIT || info.Type != MEM_MAPPED) return 0;
  return info.RegionSize;
}

}  // namespace mmfcast::platform
