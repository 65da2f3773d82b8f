// The records of the session's message table ("messages" in the session directory), apart from
// the file's I/O so that the decoding of what other processes wrote can be checked on its own.
// Each record holds one registered name; record i stands for id 0xC000 + i.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace mmfcast::platform::os {

inline constexpr std::size_t kRecordSize = 272;
inline constexpr std::size_t kMaxName = 255;

using Record = std::array<std::uint8_t, kRecordSize>;

// The record of a name of 1 to kMaxName bytes.
Record encode_record(std::string_view name);
// The name the kRecordSize bytes at r hold, or nullopt when any check fails.
std::optional<std::string_view> decode_record(const std::uint8_t* r);
// Equal but for the case of ASCII letters, as message names are compared.
bool same_name(std::string_view a, std::string_view b);
// The index of the first whole record among `records` that holds the name, if any.
std::optional<std::size_t> find_record(std::span<const std::uint8_t> records,
                                       std::string_view name);

}  // namespace mmfcast::platform::os
