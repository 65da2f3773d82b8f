// The window hook: WindowProc stands in front of the main window's own procedure, turns the
// notification into a read of the shared area and a DataArrival event of the object it serves,
// and passes every message on unchanged. The three globals are shared with cMMF and the form.
#pragma once

#include <cstdint>

#include "mmf/cMMF.h"
#include "platform/platform.h"

namespace ModSubclass {

// The area the notification announces; the form registers its area under the same name.
inline constexpr char16_t kPubMemoryName[] = u"MyPubMemory";

extern std::uint32_t lMsgID;          // the notification's id; 0 until registered
extern cMMF* objMMF;                  // the object the hook serves; null when none
extern platform::LongPtr lPrevWndProc;  // the procedure WindowProc replaced; 0 when none

MMFVariant HookWindow(platform::Hwnd hWnd);
MMFVariant UnhookWindow(platform::Hwnd hWnd);
platform::LResult MMF_CALLBACK WindowProc(platform::Hwnd hWnd, std::uint32_t uMsg,
                                          platform::WParam wParam, platform::LParam lParam);

}  // namespace ModSubclass
