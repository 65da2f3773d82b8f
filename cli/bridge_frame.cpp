// Encoding and checked decoding of the bridge's frames.
#include "cli/bridge_frame.h"

namespace cli::bridge {
namespace {

void put_u32(std::string& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((value >> shift) & 0xFF);
}

std::uint32_t get_u32(std::string_view bytes) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
  return value;
}

bool known_kind(char kind) {
  return kind == static_cast<char>(FrameKind::kHello) ||
         kind == static_cast<char>(FrameKind::kText) ||
         kind == static_cast<char>(FrameKind::kResult) ||
         kind == static_cast<char>(FrameKind::kPing);
}

}  // namespace

std::string encode(FrameKind kind, std::string_view payload) {
  std::string out;
  out.reserve(kHeaderBytes + payload.size());
  out += static_cast<char>(kind);
  put_u32(out, static_cast<std::uint32_t>(payload.size()));
  out.append(payload);
  return out;
}

std::string hello_frame(std::uint32_t max_text_bytes, std::string_view code_page) {
  std::string payload;
  put_u32(payload, max_text_bytes);
  payload.append(code_page);
  return encode(FrameKind::kHello, payload);
}

std::string result_frame(RelayStatus status, std::string_view reason, std::uint32_t unreached) {
  std::string payload(1, static_cast<char>(status));
  put_u32(payload, status == RelayStatus::kNotAllReached ? unreached : 0);
  payload.append(reason);
  return encode(FrameKind::kResult, payload);
}

bool parse_hello(std::string_view payload, std::uint32_t& max_text_bytes, std::string& code_page) {
  if (payload.size() < 4) return false;
  max_text_bytes = get_u32(payload);
  code_page.assign(payload.substr(4));
  return true;
}

bool parse_result(std::string_view payload, RelayStatus& status, std::string& reason,
                  std::uint32_t& unreached) {
  if (payload.size() < 5 || static_cast<std::uint8_t>(payload[0]) > kLastRelayStatus) return false;
  status = static_cast<RelayStatus>(payload[0]);
  unreached = get_u32(payload.substr(1));
  if ((unreached != 0) != (status == RelayStatus::kNotAllReached)) return false;
  reason.assign(payload.substr(5));
  return true;
}

FrameReader::Next FrameReader::next(Frame& frame, std::string& why) {
  const std::string_view rest = std::string_view(pending_).substr(taken_);
  if (rest.size() < kHeaderBytes) return Next::kNeedMore;
  if (!known_kind(rest[0])) {
    why = "unknown frame kind " + std::to_string(static_cast<unsigned char>(rest[0]));
    return Next::kBad;
  }
  const std::uint32_t length = get_u32(rest.substr(1));
  if (length > kMaxPayloadBytes) {
    why = "a frame of " + std::to_string(length) + " bytes, more than the " +
          std::to_string(kMaxPayloadBytes) + " allowed";
    return Next::kBad;
  }
  if (rest.size() - kHeaderBytes < length) return Next::kNeedMore;
  frame.kind = static_cast<FrameKind>(rest[0]);
  frame.payload.assign(rest.substr(kHeaderBytes, length));
  taken_ += kHeaderBytes + length;
  // Drops what was handed out once it is most of the buffer, so it neither grows nor moves
  // bytes on every frame.
  if (taken_ > pending_.size() / 2) {
    pending_.erase(0, taken_);
    taken_ = 0;
  }
  return Next::kFrame;
}

}  // namespace cli::bridge
