// The one record of why this thread's last platform operation failed on Windows. Every entry
// point of this backend that fails stores the system's code here with what was being done and
// on which name, kept apart from GetLastError (which any later Win32 call may overwrite) until
// the caller asks for it.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/win/internal.h"

namespace mmfcast::platform::win {

namespace {

// Trivially destructible, so exit-time callers (which run after thread-locals are destroyed)
// can still record a failure.
struct Record {
  DWORD code = 0;
  bool whole = false;  // `what` is the whole reason, with no system message after it
  char what[512] = {};
};
thread_local Record last_record;

// Writes text into the record's description at `at`, cut where the buffer ends; returns the end.
std::size_t append(std::size_t at, std::string_view text) {
  const std::size_t length = std::min(text.size(), sizeof last_record.what - 1 - at);
  if (length != 0) std::memcpy(last_record.what + at, text.data(), length);
  return at + length;
}

}  // namespace

void record_failure(DWORD code, std::string_view what, std::string_view name) {
  // Reaching a thread-local may go through TlsGetValue, which clears the thread's last error.
  const DWORD kept = ::GetLastError();
  last_record.code = code;
  last_record.whole = false;
  std::size_t end = append(0, what);
  if (!name.empty()) end = append(end == 0 ? end : append(end, " "), name);
  last_record.what[end] = '\0';
  ::SetLastError(kept);
}

void record_reason(DWORD code, std::string_view reason) {
  record_failure(code, reason);
  last_record.whole = true;
}

Failure last_failure() { return {last_record.code, last_record.what, last_record.whole}; }

std::string system_message(DWORD code) {
  if (code == ERROR_DISK_FULL || code == ERROR_COMMITMENT_LIMIT) {
    return "the system is out of space";
  }
  char buffer[512] = {};
  const DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, buffer, sizeof buffer, nullptr);
  std::string text(buffer, length);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.')) {
    text.pop_back();
  }
  return text.empty() ? "error " + std::to_string(code) : text;
}

}  // namespace mmfcast::platform::win

namespace mmfcast::platform {

void clear_last_error() { win::record_failure(0, {}); }

int last_error() { return static_cast<int>(win::last_failure().code); }

std::string last_error_text() {
  const win::Failure failure = win::last_failure();
  if (failure.code == 0) return {};
  const std::string what = failure.what;
  if (failure.whole) return what;
  const std::string text = win::system_message(failure.code);
  return what.empty() ? text : what + ": " + text;
}

}  // namespace mmfcast::platform
