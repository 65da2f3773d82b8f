// Encoding and strict decoding of the transport's frames, the acknowledgement step and the
// endpoint names. Frame layout (little-endian):
//   0 magic u32 | 4 version u16 | 6 kind u16 | 8 seq u64 | 16 msg u32 | 20 flags u32
//   24 wparam u64 | 32 lparam i64 | 40 hold u64 | 48 index u32 | 52 crc32 of bytes 0..51 u32
#include "platform/linux/frame.h"

#include <zlib.h>

#include <limits>
#include <string>

namespace mmfcast::platform::os {
namespace {

constexpr std::size_t kCrcOffset = 52;

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

bool fits_pointer(const Frame& frame) {
  if constexpr (sizeof(std::uintptr_t) < sizeof(std::uint64_t)) {
    if (frame.wparam > std::numeric_limits<std::uintptr_t>::max()) return false;
    if (frame.lparam < std::numeric_limits<std::intptr_t>::min() ||
        frame.lparam > std::numeric_limits<std::intptr_t>::max()) {
      return false;
    }
  }
  return true;
}

constexpr std::string_view kPrefix = "peer-";

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

}  // namespace

FrameBytes encode_frame(const Frame& frame) {
  FrameBytes out{};
  put<std::uint32_t>(out, 0, kFrameMagic);
  put<std::uint16_t>(out, 4, kFrameVersion);
  put<std::uint16_t>(out, 6, static_cast<std::uint16_t>(frame.kind));
  put<std::uint64_t>(out, 8, frame.seq);
  put<std::uint32_t>(out, 16, frame.msg);
  put<std::uint32_t>(out, 20, frame.flags);
  put<std::uint64_t>(out, 24, frame.wparam);
  put<std::uint64_t>(out, 32, static_cast<std::uint64_t>(frame.lparam));
  put<std::uint64_t>(out, 40, frame.hold);
  put<std::uint32_t>(out, 48, frame.index);
  put<std::uint32_t>(out, kCrcOffset, checksum(out.data()));
  return out;
}

std::optional<Frame> decode_frame(std::span<const std::uint8_t> bytes) {
  if (bytes.size() != kFrameSize) return std::nullopt;
  if (get<std::uint32_t>(bytes, 0) != kFrameMagic) return std::nullopt;
  if (get<std::uint16_t>(bytes, 4) != kFrameVersion) return std::nullopt;
  if (get<std::uint32_t>(bytes, kCrcOffset) != checksum(bytes.data())) return std::nullopt;

  Frame frame;
  const auto kind = get<std::uint16_t>(bytes, 6);
  frame.seq = get<std::uint64_t>(bytes, 8);
  frame.msg = get<std::uint32_t>(bytes, 16);
  frame.flags = get<std::uint32_t>(bytes, 20);
  frame.wparam = get<std::uint64_t>(bytes, 24);
  frame.lparam = static_cast<std::int64_t>(get<std::uint64_t>(bytes, 32));
  frame.hold = get<std::uint64_t>(bytes, 40);
  frame.index = get<std::uint32_t>(bytes, 48);
  if (kind == static_cast<std::uint16_t>(FrameKind::kNotify)) {
    frame.kind = FrameKind::kNotify;
    if (frame.seq == 0 || (frame.flags & ~kAwaited) != 0 || frame.index >= kCountWords) {
      return std::nullopt;
    }
    if (!fits_pointer(frame)) return std::nullopt;
  } else if (kind == static_cast<std::uint16_t>(FrameKind::kHello)) {
    frame.kind = FrameKind::kHello;
    if (frame.index >= kAckSlots) return std::nullopt;
    if (frame.seq != 0 || frame.msg != 0 || frame.flags != 0 || frame.wparam != 0 ||
        frame.lparam != 0 || frame.hold != 0) {
      return std::nullopt;
    }
  } else {
    return std::nullopt;
  }
  return frame;
}

bool acknowledge(AckPage& page, std::uint32_t slot, std::uint32_t word, std::uint64_t seq) {
  // Only ever raised: a late answer from a connection the sender has since closed, whose slot
  // now serves another receiver, cannot hide that receiver's answer.
  std::uint64_t acked = page.acked[slot].load(std::memory_order_relaxed);
  while (acked < seq &&
         !page.acked[slot].compare_exchange_weak(acked, seq, std::memory_order_release)) {
  }
  const std::uint64_t tag = (seq & 0xFFFFFFFFu) << 32;
  std::atomic<std::uint64_t>& count = page.pending[word];
  std::uint64_t pending = count.load(std::memory_order_acquire);
  for (;;) {
    // Another notification by now, or every awaited answer already counted (a duplicate).
    if ((pending & ~std::uint64_t{0xFFFFFFFFu}) != tag || (pending & 0xFFFFFFFFu) == 0) {
      return false;
    }
    if (count.compare_exchange_weak(pending, pending - 1, std::memory_order_acq_rel)) {
      return (pending & 0xFFFFFFFFu) == 1;
    }
  }
}

bool state_is_valid(const PeerState& state) {
  return state.magic.load(std::memory_order_acquire) == kStateMagic &&
         state.version.load(std::memory_order_relaxed) == kStateVersion;
}

std::optional<EndpointName> parse_endpoint_name(std::string_view name) {
  if (!name.starts_with(kPrefix) || name.size() < kPrefix.size() + 16 + 1) return std::nullopt;
  EndpointName out{};
  for (std::size_t i = 0; i < 16; ++i) {
    const char c = name[kPrefix.size() + i];
    if (!is_hex(c)) return std::nullopt;
    out.id[i] = c;
  }
  const std::string_view suffix = name.substr(kPrefix.size() + 16);
  if (suffix == ".sock") {
    out.file = EndpointFile::kSocket;
  } else if (suffix == ".state") {
    out.file = EndpointFile::kState;
  } else if (suffix == ".new") {
    out.file = EndpointFile::kUnpublished;
  } else {
    return std::nullopt;
  }
  return out;
}

std::string endpoint_file_name(const EndpointId& id, EndpointFile file) {
  std::string name(kPrefix);
  name.append(id.data(), id.size());
  switch (file) {
    case EndpointFile::kSocket:
      return name + ".sock";
    case EndpointFile::kState:
      return name + ".state";
    case EndpointFile::kUnpublished:
      return name + ".new";
  }
  return name;
}

}  // namespace mmfcast::platform::os
