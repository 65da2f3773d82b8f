// The one record of why this thread's last platform operation failed. Every entry point of the
// Linux backend that fails stores its error here (through guarded() or set_last_error), so
// last_error_text() can say what failed, on which path, and why.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/linux/transport/internal.h"
#include "platform/platform.h"

namespace mmfcast::platform::os {
namespace {

// Trivially destructible, so exit-time callers (which run after thread-locals are destroyed)
// can still record a failure.
struct LastError {
  int code = 0;
  char what[512] = {};
  char why[256] = {};
};
thread_local LastError last_os_error;

void copy_truncated(char* to, std::size_t size, std::string_view from) {
  const std::size_t length = std::min(from.size(), size - 1);
  if (length != 0) std::memcpy(to, from.data(), length);  // an empty view may hold no pointer
  to[length] = '\0';
}

}  // namespace

int last_error() { return last_os_error.code; }

void set_last_error(int code, std::string_view what, std::string_view why) {
  last_os_error.code = code;
  copy_truncated(last_os_error.what, sizeof last_os_error.what, what);
  copy_truncated(last_os_error.why, sizeof last_os_error.why, why);
}

void throw_last_error() {
  throw_os_error(last_os_error.code, last_os_error.what, last_os_error.why);
}

}  // namespace mmfcast::platform::os

namespace mmfcast::platform {

int last_error() { return os::last_error(); }

void clear_last_error() { os::set_last_error(0); }

std::string last_error_text() {
  const int code = os::last_error();
  if (code == 0) return {};
  std::string why = os::last_os_error.why;
  if (why.empty()) why = code == ENOSPC ? "the filesystem is full" : std::strerror(code);
  const std::string what = os::last_os_error.what;
  return what.empty() ? why : what + ": " + why;
}

}  // namespace mmfcast::platform
