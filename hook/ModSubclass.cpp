// The window hook. One window per process can be hooked: the module keeps a single replaced
// procedure, so a second hook (of the same window or another) is ignored until the first is
// taken down; hooking twice would otherwise record WindowProc as its own predecessor.
#include "hook/ModSubclass.h"

#include "mmf/pub_channel.h"
#include "mmf/send_text.h"

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
  if (uMsg == lMsgID && objMMF != nullptr) {
    cMMF& o = *objMMF;
    const std::int32_t i = o.GetMMFIndex(mmfcast::kPubMemoryName);
    if (auto text = mmfcast::read_notified_text(o, i, hWnd, uMsg, wParam, lParam)) {
      RaiseDataArrival(o, *text);
    }
    o.CloseMMF(i);
  }
  return mmfcast::platform::CallWindowProcA(
      reinterpret_cast<mmfcast::platform::WndProc>(lPrevWndProc), hWnd, uMsg, wParam, lParam);
}

}  // namespace ModSubclass
