// Registered message ids are the desktop's own: a thin call of the Win32 API.
#include <windows.h>

#include "platform/platform.h"

namespace mmfcast::platform {

std::uint32_t RegisterWindowMessageA(const char* lpString) {
  return ::RegisterWindowMessageA(lpString);
}

}  // namespace mmfcast::platform
