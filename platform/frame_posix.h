// The fixed-size frames that carry a broadcast notification to another process and its reply
// back. Every field is encoded little-endian at a fixed offset with a CRC-32 over the rest, so a
// receiver can check a frame completely before trusting any of it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace platform::posix {

inline constexpr std::uint32_t kFrameMagic = 0x43464d4d;  // "MMFC" read as little-endian bytes
inline constexpr std::uint16_t kFrameVersion = 1;
inline constexpr std::size_t kFrameSize = 48;

enum class FrameKind : std::uint16_t {
  kNotify = 1,  // sender -> receiver: deliver msg, wparam, lparam to every top-level window
  kReply = 2,   // receiver -> sender: the notification `seq` was handled; value is the result
};

struct Frame {
  FrameKind kind = FrameKind::kNotify;
  std::uint64_t seq = 0;  // chosen by the sender, echoed in the reply; never 0
  std::uint32_t msg = 0;
  std::uint64_t wparam = 0;
  std::int64_t value = 0;  // lParam of a notification, the procedure's result in a reply

  bool operator==(const Frame&) const = default;
};

using FrameBytes = std::array<std::uint8_t, kFrameSize>;

FrameBytes encode_frame(const Frame& frame);

// The frame held in exactly kFrameSize bytes, or nullopt when the size, magic, version, kind,
// reserved fields, sequence number or checksum is wrong, or when wParam or the value does not
// fit the pointer-sized type it stands for.
std::optional<Frame> decode_frame(std::span<const std::uint8_t> bytes);

}  // namespace platform::posix
