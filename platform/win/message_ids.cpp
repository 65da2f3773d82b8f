// Registered message ids are the desktop's own: a thin call of the Win32 API, its failure
// recorded with the message's name. A process that registers a message takes part in the
// session's notifications, so it also keeps the session-wide marks of unresponsive windows open:
// they live as long as some process holds them, and a sender that ends at once (mmfcast-cli
// send) must leave its marks to the next one.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win/internal.h"

namespace mmfcast::platform {

std::uint32_t RegisterWindowMessageA(const char* lpString) {
  win::keep_hung_marks();
  return win::recorded(::RegisterWindowMessageA(lpString), "registered message", lpString);
}

}  // namespace mmfcast::platform
