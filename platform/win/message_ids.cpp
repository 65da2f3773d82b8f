// Registered message ids are the desktop's own: a thin call of the Win32 API, its failure
// recorded with the message's name.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win/internal.h"

namespace mmfcast::platform {

std::uint32_t RegisterWindowMessageA(const char* lpString) {
  return win::recorded(::RegisterWindowMessageA(lpString), "registered message", lpString);
}

}  // namespace mmfcast::platform
