// Finding the main window of a started copy of mmfcast.exe, for the Windows tests that drive it
// from the outside.
#pragma once

#include <windows.h>

#include <cstring>

#include "ui/win32/control_ids.h"

namespace testsupport {

namespace detail {

struct MainWindowSearch {
  DWORD pid;
  bool visible_only;
  HWND found;
};

inline BOOL CALLBACK match_main_window(HWND hwnd, LPARAM param) {
  auto* wanted = reinterpret_cast<MainWindowSearch*>(param);
  DWORD pid = 0;
  ::GetWindowThreadProcessId(hwnd, &pid);
  char cls[64] = {};
  ::GetClassNameA(hwnd, cls, sizeof cls);
  if (pid != wanted->pid || std::strcmp(cls, ui::win32::kMainClass) != 0) return TRUE;
  if (wanted->visible_only && !::IsWindowVisible(hwnd)) return TRUE;
  wanted->found = hwnd;
  return FALSE;
}

}  // namespace detail

// The main window of process pid as it is now, or nullptr; with visible_only, only once it is
// shown, which the form does once it has loaded (joined the channel).
inline HWND main_window_of(DWORD pid, bool visible_only) {
  detail::MainWindowSearch wanted{pid, visible_only, nullptr};
  ::EnumWindows(detail::match_main_window, reinterpret_cast<LPARAM>(&wanted));
  return wanted.found;
}

}  // namespace testsupport
