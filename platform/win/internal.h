// Pieces the Windows backend's files share: its one error path (a failed Win32 call recorded,
// in platform/win/error.cpp, as the reason callers can ask for), the handling of sent
// messages while a call waits, and per-process state that must outlive static destruction.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace mmfcast::platform::win {

// Records code as the calling thread's last failure, made while doing `what` on `name` (which
// may be empty), for last_error() and last_error_text(). The thread's GetLastError is kept.
void record_failure(DWORD code, std::string_view what, std::string_view name = {});

// The same with GetLastError's code, for a Win32 call that has just failed.
inline void record_failure(std::string_view what, std::string_view name = {}) {
  record_failure(::GetLastError(), what, name);
}

// Returns result; when it is the API's failure value (zero or null), first records GetLastError
// as the reason `what` on `name` failed. name may be null.
template <typename T>
T recorded(T result, std::string_view what, const char* name = nullptr) {
  if (result == T{}) record_failure(what, name != nullptr ? std::string_view(name) : "");
  return result;
}

// Records code as the calling thread's last failure with reason as the whole text that
// last_error_text() gives ("1 of 3 programs not reached: not answering").
void record_reason(DWORD code, std::string_view reason);

// The calling thread's last recorded failure: the system's code (0 while none failed) and
// "<what> <name>" ("" when nothing was named), or the whole reason.
struct Failure {
  DWORD code;
  const char* what;
  bool whole;
};
Failure last_failure();

// The system's message for code, without its final period ("Access denied").
std::string system_message(DWORD code);

// Handles the messages other threads and processes have sent to this thread (PeekMessage
// delivers them itself), never input or posted messages.
inline void handle_sent_messages() {
  MSG pending;
  ::PeekMessageA(&pending, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

// The process's one T, created on first use and never destroyed, so callers that run at exit
// (after static destructors) still find it.
template <typename T>
T& never_destroyed() {
  static T* instance = new T;
  return *instance;
}

}  // namespace mmfcast::platform::win
