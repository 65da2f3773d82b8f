// The Windows program's main window: the form's controls as plain Win32 controls, the user's
// settings for it under HKCU\Software\mmfcast, and the message loop that drives it. A process
// has one main window at a time; WinMain opens it, and tests open it in their own process to
// check what only that process can see (its icon and its controls' font).
#pragma once

#include <windows.h>

#include <cstddef>

namespace ui::win32 {

// The number of received lines to keep that the user saved (the value MaxLines), else the
// default.
std::size_t saved_max_lines();

// Makes the main window, joins the channel and shows the window with show, or as the user left
// it (maximized included) when show is the default. nullptr when the window cannot be made or
// one is open already.
HWND open_main_window(HINSTANCE instance, int show, std::size_t max_lines);

// Runs this thread's messages until the main window is destroyed, then lets go of what it held;
// the program's exit status.
int run_main_window();

}  // namespace ui::win32
