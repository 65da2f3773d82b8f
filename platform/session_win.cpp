// Placeholder until the Windows backend lands: registered messages, windows and broadcast.
#include "platform/platform.h"

namespace platform {

std::uint32_t RegisterWindowMessageA(const char*) { return 0; }
long BroadcastSystemMessage(std::uint32_t, std::uint32_t*, std::uint32_t, WParam, LParam) {
  return -1;
}
LongPtr SetWindowLongA(Hwnd, int, LongPtr) { return 0; }
LResult CallWindowProcA(WndProc proc, Hwnd hWnd, std::uint32_t msg, WParam w, LParam l) {
  return proc ? proc(hWnd, msg, w, l) : 0;
}
Hwnd create_window(WndProc) { return 0; }
void destroy_window(Hwnd) {}
int pump_messages(int) { return -1; }

}  // namespace platform
