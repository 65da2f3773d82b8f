// The window hook: WindowProc stands in front of the main window's own procedure, turns the
// notification into a read of the shared area and a DataArrival event of the object it serves,
// and passes every message on unchanged. The three globals are shared with cMMF and the form.
// Ownership: objMMF points at the served object, which its owner keeps; the object clears it
// when destroyed. Threads: the hook runs on the hooked window's thread. Errors: WindowProc
// passes every message on; a notification whose text cannot be read (stale, replaced) raises
// no DataArrival.
#pragma once

#include <cstdint>

#include "../mmf/cMMF.h"
#include "../mmf/pub_channel.h"
#include "../platform/platform.h"

namespace ModSubclass {

// The notification's id; 0 until registered.
extern MMFCAST_EXPORT std::uint32_t lMsgID;
// The object the hook serves; null when none.
extern MMFCAST_EXPORT cMMF* objMMF;
// The procedure WindowProc replaced; 0 when none.
extern MMFCAST_EXPORT mmfcast::platform::LongPtr lPrevWndProc;

// Makes WindowProc the window's procedure and keeps the one it replaces in lPrevWndProc.
MMFCAST_EXPORT mmfcast::MMFVariant HookWindow(mmfcast::platform::Hwnd hWnd);
// Gives the window back the procedure kept in lPrevWndProc.
MMFCAST_EXPORT mmfcast::MMFVariant UnhookWindow(mmfcast::platform::Hwnd hWnd);
// The hooked window's procedure: turns the notification lMsgID into a read of the area and a
// DataArrival event of objMMF, then passes every message on to lPrevWndProc.
MMFCAST_EXPORT mmfcast::platform::LResult MMFCAST_CALLBACK
WindowProc(mmfcast::platform::Hwnd hWnd, std::uint32_t uMsg, mmfcast::platform::WParam wParam,
           mmfcast::platform::LParam lParam);

}  // namespace ModSubclass
