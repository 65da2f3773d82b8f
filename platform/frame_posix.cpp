// Encoding and strict decoding of the broadcast frames. Layout (little-endian):
//   0 magic u32 | 4 version u16 | 6 kind u16 | 8 seq u64 | 16 msg u32 | 20 reserved u32 (0)
//   24 wparam u64 | 32 value i64 | 40 crc32 of bytes 0..39 u32 | 44 reserved u32 (0)
#include "platform/frame_posix.h"

#include <zlib.h>

#include <limits>

namespace platform::posix {
namespace {

constexpr std::size_t kCrcOffset = 40;

template <typename T>
void put(FrameBytes& out, std::size_t offset, T value) {
  auto bits = static_cast<std::uint64_t>(value);
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    out[offset + i] = static_cast<std::uint8_t>(bits >> (8 * i));
  }
}

template <typename T>
T get(std::span<const std::uint8_t> in, std::size_t offset) {
  std::uint64_t bits = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    bits |= static_cast<std::uint64_t>(in[offset + i]) << (8 * i);
  }
  return static_cast<T>(bits);
}

std::uint32_t checksum(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(crc32(0L, bytes, static_cast<uInt>(kCrcOffset)));
}

}  // namespace

FrameBytes encode_frame(const Frame& frame) {
  FrameBytes out{};
  put<std::uint32_t>(out, 0, kFrameMagic);
  put<std::uint16_t>(out, 4, kFrameVersion);
  put<std::uint16_t>(out, 6, static_cast<std::uint16_t>(frame.kind));
  put<std::uint64_t>(out, 8, frame.seq);
  put<std::uint32_t>(out, 16, frame.msg);
  put<std::uint64_t>(out, 24, frame.wparam);
  put<std::uint64_t>(out, 32, static_cast<std::uint64_t>(frame.value));
  put<std::uint32_t>(out, kCrcOffset, checksum(out.data()));
  return out;
}

std::optional<Frame> decode_frame(std::span<const std::uint8_t> bytes) {
  if (bytes.size() != kFrameSize) return std::nullopt;
  if (get<std::uint32_t>(bytes, 0) != kFrameMagic) return std::nullopt;
  if (get<std::uint16_t>(bytes, 4) != kFrameVersion) return std::nullopt;
  if (get<std::uint32_t>(bytes, 20) != 0 || get<std::uint32_t>(bytes, 44) != 0) return std::nullopt;
  if (get<std::uint32_t>(bytes, kCrcOffset) != checksum(bytes.data())) return std::nullopt;

  const auto kind = get<std::uint16_t>(bytes, 6);
  if (kind != static_cast<std::uint16_t>(FrameKind::kNotify) &&
      kind != static_cast<std::uint16_t>(FrameKind::kReply)) {
    return std::nullopt;
  }
  Frame frame;
  frame.kind = static_cast<FrameKind>(kind);
  frame.seq = get<std::uint64_t>(bytes, 8);
  frame.msg = get<std::uint32_t>(bytes, 16);
  frame.wparam = get<std::uint64_t>(bytes, 24);
  frame.value = static_cast<std::int64_t>(get<std::uint64_t>(bytes, 32));
  if (frame.seq == 0) return std::nullopt;
  if constexpr (sizeof(std::uintptr_t) < sizeof(std::uint64_t)) {
    if (frame.wparam > std::numeric_limits<std::uintptr_t>::max()) return std::nullopt;
    if (frame.value < std::numeric_limits<std::intptr_t>::min() ||
        frame.value > std::numeric_limits<std::intptr_t>::max()) {
      return std::nullopt;
    }
  }
  return frame;
}

}  // namespace platform::posix
