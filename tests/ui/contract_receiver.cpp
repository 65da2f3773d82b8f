// A receiver written from the channel's external interface alone, as another program would be,
// against the Win32 API directly: a top-level window that hears the registered message
// "MyPubMessage" and, for each, copies wParam - 1 characters (bytes, in a single-byte code page)
// from the start of the mapping "MyPubMemory". It trusts the announced length as the interface
// allows, so a sender that announces more than the area holds makes it fault.
// Prints "ready", then "got W TEXT" for each notification (W its wParam, TEXT the copied bytes up
// to the first zero byte); ends when its standard input ends.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

UINT notification = 0;

void report(WPARAM wParam) {
  std::string text;
  HANDLE mapping = ::OpenFileMappingA(FILE_MAP_READ, FALSE, "MyPubMemory");
  if (mapping != nullptr) {
    const char* view = static_cast<const char*>(::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    if (view != nullptr && wParam > 0) {
      text.assign(view, wParam - 1);  // exactly what was announced, not a byte more
      text.resize(std::strlen(text.c_str()));
    }
    if (view != nullptr) ::UnmapViewOfFile(view);
    ::CloseHandle(mapping);
  }
  std::printf("got %llu %s\n", static_cast<unsigned long long>(wParam), text.c_str());
  std::fflush(stdout);
}

LRESULT CALLBACK receiver_proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == notification && notification != 0) {
    report(wParam);
    return 0;
  }
  if (msg == WM_DESTROY) {
    ::PostQuitMessage(0);
    return 0;
  }
  return ::DefWindowProcA(hwnd, msg, wParam, lParam);
}

DWORD WINAPI wait_for_end_of_input(void* window) {
  char chunk[256];
  DWORD got = 0;
  while (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), chunk, sizeof chunk, &got, nullptr) &&
         got > 0) {
  }
  ::PostMessageA(static_cast<HWND>(window), WM_CLOSE, 0, 0);
  return 0;
}

}  // namespace

int main() {
  notification = ::RegisterWindowMessageA("MyPubMessage");
  WNDCLASSA wc{};
  wc.lpfnWndProc = receiver_proc;
  wc.hInstance = ::GetModuleHandleA(nullptr);
  wc.lpszClassName = "contract.receiver";
  if (notification == 0 || ::RegisterClassA(&wc) == 0) return 1;
  HWND window = ::CreateWindowA(wc.lpszClassName, "contract receiver", WS_OVERLAPPEDWINDOW, 0, 0,
                                100, 100, nullptr, nullptr, wc.hInstance, nullptr);
  if (window == nullptr) return 1;
  HANDLE input = ::CreateThread(nullptr, 0, wait_for_end_of_input, window, 0, nullptr);
  if (input != nullptr) ::CloseHandle(input);
  std::printf("ready\n");
  std::fflush(stdout);
  MSG msg;
  while (::GetMessageA(&msg, nullptr, 0, 0) > 0) ::DispatchMessageA(&msg);
  return 0;
}
