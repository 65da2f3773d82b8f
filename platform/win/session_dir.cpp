// On Windows the session is the desktop's: there is nothing to check. The last error is the
// thread's own, as the system keeps it.
#include <windows.h>

#include <string>

#include "platform/platform.h"

namespace mmfcast::platform {

bool session_usable() { return true; }

int last_error() { return static_cast<int>(::GetLastError()); }

std::string last_error_text() {
  const DWORD code = ::GetLastError();
  if (code == 0) return {};
  if (code == ERROR_DISK_FULL || code == ERROR_COMMITMENT_LIMIT)
    return "the system is out of space";
  char buffer[512] = {};
  const DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, buffer, sizeof buffer, nullptr);
  std::string text(buffer, length);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.')) {
    text.pop_back();
  }
  return text.empty() ? "error " + std::to_string(code) : text;
}

}  // namespace mmfcast::platform
