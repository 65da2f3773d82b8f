// The window hook. One window per process can be hooked: the module keeps a single replaced
// procedure, so a second hook (of the same window or another) is ignored until the first is
// taken down; hooking twice would otherwise record WindowProc as its own predecessor.
#include "hook/ModSubclass.h"

namespace ModSubclass {

std::uint32_t lMsgID = 0;
cMMF* objMMF = nullptr;
mmfcast::platform::LongPtr lPrevWndProc = 0;

namespace {
mmfcast::platform::Hwnd hooked_window = 0;  // the window WindowProc is installed on; 0 when none
}

mmfcast::MMFVariant HookWindow(mmfcast::platform::Hwnd hWnd) {
  if (hooked_window != 0) return {};
  const mmfcast::platform::LongPtr previous =
      mmfcast::platform::SetWindowLongA(hWnd, mmfcast::platform::kGwlWndProc,
                                        reinterpret_cast<mmfcast::platform::LongPtr>(&WindowProc));
  if (previous != 0) {
    lPrevWndProc = previous;
    hooked_window = hWnd;
  }
  return {};
}

mmfcast::MMFVariant UnhookWindow(mmfcast::platform::Hwnd hWnd) {
  if (hooked_window == 0 || hWnd != hooked_window) return {};
  mmfcast::platform::SetWindowLongA(hWnd, mmfcast::platform::kGwlWndProc, lPrevWndProc);
  hooked_window = 0;
  return {};
}

mmfcast::platform::LResult MMFCAST_CALLBACK WindowProc(mmfcast::platform::Hwnd hWnd,
                                                       std::uint32_t uMsg,
                                                       mmfcast::platform::WParam wParam,
                                                       mmfcast::platform::LParam lParam) {
  // A notification our sender tagged with a send-lock hold that has since ended was queued
  // while this window did not answer: the area holds a later text, which is read whole, once,
  // instead of as many copies as there are queued notifications.
  if (uMsg == lMsgID && objMMF != nullptr) {
    using mmfcast::platform::NotificationUse;
    const NotificationUse use = mmfcast::platform::use_notification(hWnd, uMsg, lParam);
    if (use != NotificationUse::kSkip) {
      cMMF& o = *objMMF;
      const std::int32_t i = o.GetMMFIndex(mmfcast::kPubMemoryName);
      const bool open = o.OpenMMF(i) != 0;
      std::u16string text;
      if (open) {
        // wParam carries a 32-bit length; a larger value from a 64-bit sender is cut to it. The
        // current text is read up to its zero byte, bounded by the area.
        const auto length = use == NotificationUse::kReadCurrent
                                ? mmfcast::kPubMemoryLength + 1
                                : static_cast<std::int32_t>(static_cast<std::uint32_t>(wParam));
        text = o.ReadMMF(i, length);
      }
      if (use == NotificationUse::kReadCurrent) mmfcast::platform::current_text_read();
      // A text replaced while it was being copied out is dropped rather than shown.
      if (open && mmfcast::platform::notification_current()) RaiseDataArrival(o, text);
      o.CloseMMF(i);
    }
  }
  return mmfcast::platform::CallWindowProcA(
      reinterpret_cast<mmfcast::platform::WndProc>(lPrevWndProc), hWnd, uMsg, wParam, lParam);
}

}  // namespace ModSubclass
