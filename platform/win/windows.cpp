// Window procedures as thin calls of the Win32 API, plus
// the hidden top-level windows and the message pump that tests and tools use to receive.
// Windows are plain hidden top-level windows, not message-only ones: broadcasts skip those.
#include <windows.h>
#undef BroadcastSystemMessage  // the header maps it to the A or W form; ours is the name itself

#include <chrono>

#include "platform/platform.h"

namespace mmfcast::platform {

namespace {

HWND to_hwnd(Hwnd h) { return reinterpret_cast<HWND>(h); }

// Our procedure type differs from WNDPROC only in how the four values are spelled, so the
// two convert through the generic function pointer type.
WNDPROC to_wndproc(WndProc proc) {
  return reinterpret_cast<WNDPROC>(reinterpret_cast<void (*)()>(proc));
}

constexpr const char* kWindowClass = "mmfcast.window";

ATOM window_class() {
  static const ATOM atom = [] {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = ::DefWindowProcA;
    wc.hInstance = ::GetModuleHandleA(nullptr);
    wc.lpszClassName = kWindowClass;
    return ::RegisterClassExA(&wc);
  }();
  return atom;
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
  return static_cast<LongPtr>(
      ::SetWindowLongPtrA(to_hwnd(hWnd), nIndex, static_cast<LONG_PTR>(dwNewLong)));
}

LResult CallWindowProcA(WndProc lpPrevWndFunc, Hwnd hWnd, std::uint32_t Msg, WParam wParam,
                        LParam lParam) {
  return static_cast<LResult>(::CallWindowProcA(to_wndproc(lpPrevWndFunc), to_hwnd(hWnd), Msg,
                                                static_cast<WPARAM>(wParam),
                                                static_cast<LPARAM>(lParam)));
}

Hwnd create_window(WndProc proc) {
  if (proc == nullptr || window_class() == 0) return 0;
  HWND hwnd = ::CreateWindowExA(0, kWindowClass, "", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                                ::GetModuleHandleA(nullptr), nullptr);
  if (hwnd == nullptr) return 0;
  const LONG_PTR wanted = reinterpret_cast<LONG_PTR>(to_wndproc(proc));
  ::SetWindowLongPtrA(hwnd, GWLP_WNDPROC, wanted);
  if (::GetWindowLongPtrA(hwnd, GWLP_WNDPROC) != wanted) {
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
