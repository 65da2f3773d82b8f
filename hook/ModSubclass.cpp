// The window hook. One window per process can be hooked: the module keeps a single replaced
// procedure, so a second hook (of the same window or another) is ignored until the first is
// taken down; hooking twice would otherwise record WindowProc as its own predecessor.
#include "hook/ModSubclass.h"

namespace ModSubclass {

std::uint32_t lMsgID = 0;
cMMF* objMMF = nullptr;
platform::LongPtr lPrevWndProc = 0;

namespace {
platform::Hwnd hooked_window = 0;  // the window WindowProc is installed on; 0 when none
}

MMFVariant HookWindow(platform::Hwnd hWnd) {
  if (hooked_window != 0) return {};
  const platform::LongPtr previous = platform::SetWindowLongA(
      hWnd, platform::kGwlWndProc, reinterpret_cast<platform::LongPtr>(&WindowProc));
  if (previous != 0) {
    lPrevWndProc = previous;
    hooked_window = hWnd;
  }
  return {};
}

MMFVariant UnhookWindow(platform::Hwnd hWnd) {
  if (hooked_window == 0 || hWnd != hooked_window) return {};
  platform::SetWindowLongA(hWnd, platform::kGwlWndProc, lPrevWndProc);
  hooked_window = 0;
  return {};
}

platform::LResult MMF_CALLBACK WindowProc(platform::Hwnd hWnd, std::uint32_t uMsg,
                                          platform::WParam wParam, platform::LParam lParam) {
  if (uMsg == lMsgID && objMMF != nullptr) {
    cMMF& o = *objMMF;
    const std::int32_t i = o.GetMMFIndex(kPubMemoryName);
    if (o.OpenMMF(i) != 0) {
      // wParam carries a 32-bit length; a larger value from a 64-bit sender is cut to it.
      const auto length = static_cast<std::int32_t>(static_cast<std::uint32_t>(wParam));
      std::u16string text = o.ReadMMF(i, length);
      RaiseDataArrival(o, text);
    }
    o.CloseMMF(i);
  }
  return platform::CallWindowProcA(reinterpret_cast<platform::WndProc>(lPrevWndProc), hWnd, uMsg,
                                   wParam, lParam);
}

}  // namespace ModSubclass
