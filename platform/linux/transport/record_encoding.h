// The encoding of the fixed-size records that processes of a session exchange (the transport's
// frames, the message table's entries): unsigned fields little-endian at fixed offsets, closed
// by a CRC-32 of the bytes before it, so a reader checks a whole record before trusting any of
// it, and both kinds of record are written and checked alike.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace mmfcast::platform::os {

template <typename T>
void store_le(std::uint8_t* at, T value) {
  static_assert(std::is_unsigned_v<T>);
  for (std::size_t i = 0; i < sizeof(T); ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

template <typename T>
T load_le(const std::uint8_t* at) {
  static_assert(std::is_unsigned_v<T>);
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(T{at[i]} << (8 * i));
  return value;
}

// The CRC-32 (zlib's) of the first `size` bytes of a record.
inline std::uint32_t record_crc(const std::uint8_t* bytes, std::size_t size) {
  return static_cast<std::uint32_t>(crc32(0L, bytes, static_cast<uInt>(size)));
}

}  // namespace mmfcast::platform::os
