// Resource and control ids of the Windows program, shared with its resource script and with
// the tests that drive a running copy through its controls.
#pragma once

#define MMFCAST_ID_ICON 1

#ifndef RC_INVOKED
namespace ui::win32 {

inline constexpr int kIdIcon = MMFCAST_ID_ICON;
inline constexpr int kIdText1 = 101;
inline constexpr int kIdText2 = 102;
inline constexpr int kIdCommand1 = 103;
inline constexpr int kIdStatus = 104;
inline constexpr char kMainClass[] = "mmfcast.main";

}  // namespace ui::win32
#endif
