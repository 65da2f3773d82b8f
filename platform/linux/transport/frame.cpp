// Encoding and strict decoding of the transport's frames, the acknowledgement step and the
// endpoint names. Frame layout (little-endian):
//   0 magic u32 | 4 version u16 | 6 kind u16 | 8 seq u64 | 16 msg u32 | 20 flags u32
//   24 wparam u64 | 32 lparam i64 | 40 hold u64 | 48 index u32 | 52 crc32 of bytes 0..51 u32
#include "platform/linux/transport/frame.h"

#include <cstring>
#include <iterator>
#include <limits>
#include <string>

#include "platform/linux/transport/record_encoding.h"

namespace mmfcast::platform::os {
namespace {

constexpr std::size_t kCrcOffset = 52;

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
  std::uint8_t* const at = out.data();
  store_le<std::uint32_t>(at, kFrameMagic);
  store_le<std::uint16_t>(at + 4, kFrameVersion);
  store_le<std::uint16_t>(at + 6, static_cast<std::uint16_t>(frame.kind));
  store_le<std::uint64_t>(at + 8, frame.seq);
  store_le<std::uint32_t>(at + 16, frame.msg);
  store_le<std::uint32_t>(at + 20, frame.flags);
  store_le<std::uint64_t>(at + 24, frame.wparam);
  store_le<std::uint64_t>(at + 32, static_cast<std::uint64_t>(frame.lparam));
  store_le<std::uint64_t>(at + 40, frame.hold);
  store_le<std::uint32_t>(at + 48, frame.index);
  store_le<std::uint32_t>(at + kCrcOffset, record_crc(at, kCrcOffset));
  return out;
}

namespace {

// The fields of a frame whose size, magic, version and checksum are right, its kind as sent.
std::optional<Frame> decode_fields(std::span<const std::uint8_t> bytes, std::uint16_t& kind) {
  if (bytes.size() != kFrameSize) return std::nullopt;
  const std::uint8_t* const in = bytes.data();
  if (load_le<std::uint32_t>(in) != kFrameMagic) return std::nullopt;
  if (load_le<std::uint16_t>(in + 4) != kFrameVersion) return std::nullopt;
  if (load_le<std::uint32_t>(in + kCrcOffset) != record_crc(in, kCrcOffset)) return std::nullopt;
  Frame frame;
  kind = load_le<std::uint16_t>(in + 6);
  frame.seq = load_le<std::uint64_t>(in + 8);
  frame.msg = load_le<std::uint32_t>(in + 16);
  frame.flags = load_le<std::uint32_t>(in + 20);
  frame.wparam = load_le<std::uint64_t>(in + 24);
  frame.lparam = static_cast<std::int64_t>(load_le<std::uint64_t>(in + 32));
  frame.hold = load_le<std::uint64_t>(in + 40);
  frame.index = load_le<std::uint32_t>(in + 48);
  return frame;
}

}  // namespace

std::optional<Frame> decode_frame(std::span<const std::uint8_t> bytes) {
  std::uint16_t kind = 0;
  std::optional<Frame> decoded = decode_fields(bytes, kind);
  if (!decoded) return std::nullopt;
  Frame& frame = *decoded;
  if (kind == static_cast<std::uint16_t>(FrameKind::kNotify)) {
    frame.kind = FrameKind::kNotify;
    if (frame.seq == 0 || frame.flags != 0 || frame.index >= kCountWords) {
      return std::nullopt;
    }
    if (!fits_pointer(frame)) return std::nullopt;
  } else if (kind == static_cast<std::uint16_t>(FrameKind::kHello)) {
    frame.kind = FrameKind::kHello;
    if (frame.index >= kAckSlots) return std::nullopt;
    if (frame.msg != 0 || frame.flags != 0 || frame.wparam != 0 || frame.lparam != 0 ||
        frame.hold != 0) {
      return std::nullopt;
    }
  } else if (kind == static_cast<std::uint16_t>(FrameKind::kRefuse)) {
    frame.kind = FrameKind::kRefuse;
    if (frame.msg == 0 || frame.msg > kMaxRefuseReason || frame.seq != 0 || frame.flags != 0 ||
        frame.wparam != 0 || frame.lparam != 0 || frame.hold != 0 || frame.index != 0) {
      return std::nullopt;
    }
  } else {
    return std::nullopt;
  }
  return frame;
}

std::string encode_outcome(const Outcome& outcome) {
  std::string_view reason = outcome.reason;
  if (reason.size() > kMaxOutcomeReasonBytes) {
    // Cut before a character that would not fit whole, so the reason stays valid UTF-8.
    std::size_t keep = kMaxOutcomeReasonBytes;
    while (keep > 0 && (static_cast<unsigned char>(reason[keep]) & 0xC0) == 0x80) --keep;
    reason = reason.substr(0, keep);
  }
  Frame frame;
  frame.kind = FrameKind::kOutcome;
  frame.seq = outcome.seq;
  frame.msg = outcome.unreached;
  frame.wparam = reason.size();
  const FrameBytes bytes = encode_frame(frame);
  std::string record(bytes.begin(), bytes.end());
  record.append(reason);
  return record;
}

std::optional<Outcome> decode_outcome(std::span<const std::uint8_t> record) {
  if (record.size() < kFrameSize || record.size() > kFrameSize + kMaxOutcomeReasonBytes) {
    return std::nullopt;
  }
  std::uint16_t kind = 0;
  const std::optional<Frame> frame = decode_fields(record.first(kFrameSize), kind);
  if (!frame || kind != static_cast<std::uint16_t>(FrameKind::kOutcome) || frame->seq == 0 ||
      frame->msg == 0 || frame->msg > kMaxOutcomeUnreached || frame->flags != 0 ||
      frame->lparam != 0 || frame->hold != 0 || frame->index != 0 ||
      frame->wparam != record.size() - kFrameSize) {
    return std::nullopt;
  }
  const auto* reason = reinterpret_cast<const char*>(record.data() + kFrameSize);
  return Outcome{frame->seq, frame->msg, std::string(reason, record.size() - kFrameSize)};
}

void publish_entry(AckPage& page, const Frame& frame) {
  const FrameBytes bytes = encode_frame(frame);
  std::uint64_t words[kFrameSize / 8];
  std::memcpy(words, bytes.data(), sizeof words);
  RingEntry& entry = page.ring[frame.seq % kRingEntries];
  entry.stamp.store(0, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  for (std::size_t i = 0; i < std::size(words); ++i) {
    entry.words[i].store(words[i], std::memory_order_relaxed);
  }
  entry.stamp.store(frame.seq, std::memory_order_release);
  page.published.store(frame.seq, std::memory_order_release);
}

std::optional<Frame> read_entry(const AckPage& page, std::uint64_t seq) {
  const RingEntry& entry = page.ring[seq % kRingEntries];
  if (seq == 0 || entry.stamp.load(std::memory_order_acquire) != seq) return std::nullopt;
  std::uint64_t words[kFrameSize / 8];
  for (std::size_t i = 0; i < std::size(words); ++i) {
    words[i] = entry.words[i].load(std::memory_order_relaxed);
  }
  std::atomic_thread_fence(std::memory_order_acquire);
  if (entry.stamp.load(std::memory_order_relaxed) != seq) return std::nullopt;
  FrameBytes bytes{};
  std::memcpy(bytes.data(), words, sizeof words);
  std::optional<Frame> frame = decode_frame(bytes);
  if (!frame || frame->kind != FrameKind::kNotify || frame->seq != seq) {
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
  return count_down(page, word, seq);
}

bool count_down(AckPage& page, std::uint32_t word, std::uint64_t seq) {
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
