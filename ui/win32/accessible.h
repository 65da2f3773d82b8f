// Names and descriptions for screen readers, given by the controls themselves.
#pragma once

#include <windows.h>

namespace ui::win32 {

// From now on the control's accessible object (the one the system makes for it, which a screen
// reader asks for with WM_GETOBJECT) answers name and description for the control itself;
// everything else (role, value, state, location, actions) stays the system's. The strings must
// outlive the control. False, with nothing changed, when the control cannot be subclassed.
bool name_for_screen_readers(HWND control, const wchar_t* name, const wchar_t* description);

}  // namespace ui::win32
