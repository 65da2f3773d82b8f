// Placeholder until the POSIX mapping backend lands.
#include "platform/platform.h"

namespace platform {

Handle OpenFileMappingA(std::uint32_t, int, const char*) { return 0; }
Handle CreateFileMappingA(Handle, void*, std::uint32_t, std::uint32_t, std::uint32_t, const char*) {
  return 0;
}
ViewAddr MapViewOfFile(Handle, std::uint32_t, std::uint32_t, std::uint32_t, std::size_t) { return 0; }
int UnmapViewOfFile(ViewAddr) { return 0; }
int CloseHandle(Handle) { return 0; }
std::size_t view_size(ViewAddr) { return 0; }
char* lstrcpynA(char* dst, const char*, int) { return dst; }
std::string to_ansi(std::u16string_view) { return {}; }
std::u16string from_ansi(std::string_view) { return {}; }

}  // namespace platform
