// The process's top-level windows on Linux: a table from window handle to current procedure.
// Procedures are always called with the table unlocked, since they may create or destroy
// windows, replace procedures or broadcast. The first window opens the delivery endpoint and
// the last one closes it.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "platform/linux/transport/session.h"
#include "platform/linux/transport/transport.h"
#include "platform/platform.h"

namespace mmfcast::platform::os {

struct WindowTable {
  std::mutex mutex;
  std::atomic<std::uint64_t> changes{0};  // bumped by every window made, destroyed or re-procedured
  std::map<platform::Hwnd, platform::WndProc> procs;  // handles only grow, so oldest first
  platform::Hwnd next = 0x10010;
};

Part<WindowTable> make_window_table() { return new_part<WindowTable>(); }

namespace {

WindowTable& window_table() { return session().windows(); }

}  // namespace

WindowList window_list() {
  WindowTable& t = window_table();
  std::lock_guard lock(t.mutex);
  WindowList out;
  out.changes = t.changes.load(std::memory_order_relaxed);
  out.size = t.procs.size();
  if (out.size > WindowList::kInPlace) {
    out.on_heap.assign(t.procs.begin(), t.procs.end());
  } else {
    std::copy(t.procs.begin(), t.procs.end(), out.in_place.begin());
  }
  return out;
}

platform::WndProc window_proc(const WindowList& list, std::size_t index) {
  WindowTable& t = window_table();
  const auto& [hwnd, proc] = list[index];
  // Every change is counted under the mutex: a count unchanged since the list means the table
  // is still the one the list was made from, and its procedure the window's current one.
  if (t.changes.load(std::memory_order_acquire) == list.changes) return proc;
  std::lock_guard lock(t.mutex);
  auto found = t.procs.find(hwnd);
  return found == t.procs.end() ? nullptr : found->second;
}

}  // namespace mmfcast::platform::os

namespace mmfcast::platform {

Hwnd create_window(WndProc proc) {
  if (proc == nullptr) {
    os::set_last_error(EINVAL, "window", "no window procedure given");
    return 0;
  }
  os::WindowTable& t = os::window_table();
  Hwnd hwnd = 0;
  {
    std::lock_guard lock(t.mutex);
    hwnd = t.next;
    t.next += 0x10;
    t.procs.emplace(hwnd, proc);
    t.changes.fetch_add(1, std::memory_order_release);
  }
  // A window exists even where the session cannot be reached; it then hears no broadcasts.
  if (!os::endpoint_is_open()) os::open_endpoint();
  return hwnd;
}

void destroy_window(Hwnd hWnd) {
  os::WindowTable& t = os::window_table();
  bool last = false;
  {
    std::lock_guard lock(t.mutex);
    if (t.procs.erase(hWnd) == 0) return;
    t.changes.fetch_add(1, std::memory_order_release);
    last = t.procs.empty();
  }
  if (last) os::close_endpoint();
}

LongPtr SetWindowLongA(Hwnd hWnd, int nIndex, LongPtr dwNewLong) {
  if (nIndex != kGwlWndProc || dwNewLong == 0) {
    os::set_last_error(EINVAL, "window", "only a new window procedure can be set");
    return 0;
  }
  os::WindowTable& t = os::window_table();
  std::lock_guard lock(t.mutex);
  auto found = t.procs.find(hWnd);
  if (found == t.procs.end()) {
    os::set_last_error(EINVAL, "window " + std::to_string(hWnd), "no such window");
    return 0;
  }
  const auto previous = reinterpret_cast<LongPtr>(found->second);
  found->second = reinterpret_cast<WndProc>(dwNewLong);
  t.changes.fetch_add(1, std::memory_order_release);
  return previous;
}

LResult CallWindowProcA(WndProc lpPrevWndFunc, Hwnd hWnd, std::uint32_t Msg, WParam wParam,
                        LParam lParam) {
  if (lpPrevWndFunc == nullptr) return 0;
  return lpPrevWndFunc(hWnd, Msg, wParam, lParam);
}

}  // namespace mmfcast::platform
