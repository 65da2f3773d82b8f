// The process's top-level windows on Windows: hidden windows of one registered class, their
// procedures replaced and called as thin calls of the Win32 API, and the message pump that tests
// and tools use to receive. They are plain top-level windows, not message-only ones, because
// broadcasts skip those.
#include <windows.h>
#undef BroadcastSystemMessage  // the header maps it to the A or W form; ours is the name itself

#include <chrono>

#include "platform/platform.h"
#include "platform/win/internal.h"

namespace mmfcast::platform {

namespace {

HWND to_hwnd(Hwnd h) { return reinterpret_cast<HWND>(h); }

// Our procedure type differs from WNDPROC only in how the four values are spelled, so the
// two convert through the generic function pointer type.
WNDPROC to_wndproc(WndProc proc) {
  return reinterpret_cast<WNDPROC>(reinterpret_cast<void (*)()>(proc));
}

constexpr const char* kWindowClass = "mmfcast.window";
constexpr const char* kWindow = "window";

// The class of our windows, registered on first use; 0, with the reason recorded, when it
// cannot be registered.
ATOM window_class() {
  struct Registered {
    ATOM atom;
    DWORD error;
  };
  static const Registered registered = [] {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = ::DefWindowProcA;
    wc.hInstance = ::GetModuleHandleA(nullptr);
    wc.lpszClassName = kWindowClass;
    const ATOM atom = ::RegisterClassExA(&wc);
    return Registered{atom, atom == 0 ? ::GetLastError() : 0};
  }();
  if (registered.atom == 0) win::record_failure(registered.error, "window class", kWindowClass);
  return registered.atom;
}

// Messages sent from other threads or processes are handled inside PeekMessageA without being
// returned, so a thread-local call hook counts them while the pump runs (wParam is 0 for a
// message that another thread sent).
thread_local int sent_handled = 0;

LRESULT CALLBACK count_sent(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HC_ACTION && wParam == 0) ++sent_handled;
  return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

class SentCounter {
 public:
  SentCounter()
      : hook_(::SetWindowsHookExA(WH_CALLWNDPROC, count_sent, nullptr, ::GetCurrentThreadId())) {
    sent_handled = 0;
  }
  ~SentCounter() {
    if (hook_ != nullptr) ::UnhookWindowsHookEx(hook_);
  }
  SentCounter(const SentCounter&) = delete;
  SentCounter& operator=(const SentCounter&) = delete;
  int count() const { return sent_handled; }

 private:
  HHOOK hook_;
};

}  // namespace

LongPtr SetWindowLongA(Hwnd hWnd, int nIndex, LongPtr dwNewLong) {
  // A previous value of 0 is returned as is, so only a set error code tells a failure apart.
  ::SetLastError(0);
  const LONG_PTR previous =
      ::SetWindowLongPtrA(to_hwnd(hWnd), nIndex, static_cast<LONG_PTR>(dwNewLong));
  if (previous == 0 && ::GetLastError() != 0) win::record_failure(kWindow);
  return static_cast<LongPtr>(previous);
}

LResult CallWindowProcA(WndProc lpPrevWndFunc, Hwnd hWnd, std::uint32_t Msg, WParam wParam,
                        LParam lParam) {
  return static_cast<LResult>(::CallWindowProcA(to_wndproc(lpPrevWndFunc), to_hwnd(hWnd), Msg,
                                                static_cast<WPARAM>(wParam),
                                                static_cast<LPARAM>(lParam)));
}

Hwnd create_window(WndProc proc) {
  if (proc == nullptr) {
    win::record_failure(ERROR_INVALID_PARAMETER, kWindow);
    return 0;
  }
  if (window_class() == 0) return 0;
  HWND hwnd =
      win::recorded(::CreateWindowExA(0, kWindowClass, "", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                      CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                                      ::GetModuleHandleA(nullptr), nullptr),
                    kWindow);
  if (hwnd == nullptr) return 0;
  const LONG_PTR wanted = reinterpret_cast<LONG_PTR>(to_wndproc(proc));
  ::SetWindowLongPtrA(hwnd, GWLP_WNDPROC, wanted);
  if (::GetWindowLongPtrA(hwnd, GWLP_WNDPROC) != wanted) {
    const DWORD error = ::GetLastError();
    win::record_failure(error != 0 ? error : ERROR_INVALID_PARAMETER, kWindow);
    ::DestroyWindow(hwnd);
    return 0;
  }
  return reinterpret_cast<Hwnd>(hwnd);
}

void destroy_window(Hwnd hWnd) {
  if (hWnd != 0) ::DestroyWindow(to_hwnd(hWnd));
}

int pump_messages(int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms > 0 ? timeout_ms : 0);
  SentCounter sent;
  int posted = 0;
  for (;;) {
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageA(&msg);
      ++posted;
    }
    if (posted + sent.count() > 0 || timeout_ms == 0) break;
    DWORD wait = INFINITE;
    if (timeout_ms > 0) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) break;
      wait = static_cast<DWORD>(left.count());
    }
    ::MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
  return posted + sent.count();
}

}  // namespace mmfcast::platform
