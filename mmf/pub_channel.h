// The channel every copy of the program joins: the registered message that announces a text,
// and the named shared area of fixed size that carries it. The window, the window hook, the
// command-line companion and anything else that talks to those copies use these three values.
// Constants only: nothing to own, no thread rule, nothing that fails.
#pragma once

/* The library's C++ headers need C++20 or newer, which a compiler's default may not be; the
   flags of mmfcast.pc leave the standard to the program, so an older one is named here. */
#if __cplusplus < 202002L && !(defined(_MSVC_LANG) && _MSVC_LANG >= 202002L)
#error "mmfcast's C++ headers need C++20 or newer: compile with -std=c++20 or a later standard"
#endif

#include <cstdint>

namespace mmfcast {

// The name the notification is registered under.
inline constexpr char16_t kPubMessageName[] = u"MyPubMessage";
// The name of the shared area.
inline constexpr char16_t kPubMemoryName[] = u"MyPubMemory";
inline constexpr std::int32_t kPubMemoryLength = 4096;  // bytes: the text and its zero byte

}  // namespace mmfcast
