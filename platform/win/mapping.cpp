// Named file mappings as thin calls of the Win32 API: handles and addresses cross the interface
// as pointer-sized integers, and every failure is the API's own failure value (a null handle or
// address, a zero result), recorded with the area's name where the call has one.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win/internal.h"

namespace mmfcast::platform {

namespace {

HANDLE to_handle(Handle h) { return reinterpret_cast<HANDLE>(h); }
Handle from_handle(HANDLE h) { return reinterpret_cast<Handle>(h); }

// What a failure names: an area by its name; a view or a handle has no name to give.
constexpr const char* kArea = "shared area";
constexpr const char* kView = "view of a shared area";

}  // namespace

Handle OpenFileMappingA(std::uint32_t dwDesiredAccess, int bInheritHandle, const char* lpName) {
  return win::recorded(from_handle(::OpenFileMappingA(dwDesiredAccess, bInheritHandle, lpName)),
                       kArea, lpName);
}

Handle CreateFileMappingA(Handle hFile, void* lpFileMappingAttributes, std::uint32_t flProtect,
                          std::uint32_t dwMaximumSizeHigh, std::uint32_t dwMaximumSizeLow,
                          const char* lpName) {
  const HANDLE file = hFile == kInvalidHandleValue ? INVALID_HANDLE_VALUE : to_handle(hFile);
  return win::recorded(from_handle(::CreateFileMappingA(
                           file, static_cast<LPSECURITY_ATTRIBUTES>(lpFileMappingAttributes),
                           flProtect, dwMaximumSizeHigh, dwMaximumSizeLow, lpName)),
                       kArea, lpName);
}

ViewAddr MapViewOfFile(Handle hFileMappingObject, std::uint32_t dwDesiredAccess,
                       std::uint32_t dwFileOffsetHigh, std::uint32_t dwFileOffsetLow,
                       std::size_t dwNumberOfBytesToMap) {
  return win::recorded(reinterpret_cast<ViewAddr>(::MapViewOfFile(
                           to_handle(hFileMappingObject), dwDesiredAccess, dwFileOffsetHigh,
                           dwFileOffsetLow, dwNumberOfBytesToMap)),
                       kView);
}

int UnmapViewOfFile(ViewAddr lpBaseAddress) {
  return win::recorded(::UnmapViewOfFile(reinterpret_cast<LPCVOID>(lpBaseAddress)) ? 1 : 0, kView);
}

int CloseHandle(Handle hObject) {
  return win::recorded(::CloseHandle(to_handle(hObject)) ? 1 : 0, "handle");
}

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
