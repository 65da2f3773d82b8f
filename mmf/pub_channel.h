// The channel every copy of the program joins: the registered message that announces a text,
// and the named shared area of fixed size that carries it. The window, the window hook, the
// command-line companion and anything else that talks to those copies use these three values.
#pragma once

#include <cstdint>

namespace mmfcast {

// The name the notification is registered under.
inline constexpr char16_t kPubMessageName[] = u"MyPubMessage";
// The name of the shared area.
inline constexpr char16_t kPubMemoryName[] = u"MyPubMemory";
inline constexpr std::int32_t kPubMemoryLength = 4096;  // bytes: the text and its zero byte

}  // namespace mmfcast
