// The frames the Linux bridge and its Windows agent exchange over the agent's standard input
// and output: one byte of kind, the payload's length as 4 bytes little-endian, the payload.
// Texts travel as UTF-8 on the pipe whatever either side's code page is. What arrives from the
// other process is untrusted: FrameReader checks every length against a bound before taking
// anything, and refuses a frame that is malformed for its kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace cli::bridge {

enum class FrameKind : char {
  kHello = 'H',   // agent: joined; u32 the longest text its side carries, then its code page's name
  kText = 'T',    // either way: a line heard on the writer's side, for the reader's side to send
  kResult = 'R',  // agent: what became of the bridge's oldest unanswered text; one per kText
  kPing = 'P',    // bridge: are you there; agent: yes (answered in turn, after what came before)
};

// What the agent's send did with a text the bridge gave it.
enum class RelayStatus : std::uint8_t {
  kSent = 0,
  kRefused = 1,        // not sent: it cannot be carried exactly on that side (the reason says)
  kTooLong = 2,        // not sent: longer than the other side's area holds
  kNotAllReached = 3,  // sent, but some copies there were not reached
  kFailed = 4,         // not sent: the send failed there
};
inline constexpr std::uint8_t kLastRelayStatus = 4;

inline constexpr std::size_t kHeaderBytes = 5;
// The largest payload either side writes: a text of the largest area, each byte of its code
// page taking at most 3 bytes of UTF-8, and room for a result's reason.
inline constexpr std::size_t kMaxPayloadBytes = std::size_t{3} * (std::size_t{16} << 20) + 4096;

struct Frame {
  FrameKind kind = FrameKind::kText;
  std::string payload;
};

// The bytes of one frame. The payload must not exceed kMaxPayloadBytes.
std::string encode(FrameKind kind, std::string_view payload);
std::string hello_frame(std::uint32_t max_text_bytes, std::string_view code_page);
// A result: the status, how many copies were not reached (kNotAllReached only), the reason.
std::string result_frame(RelayStatus status, std::string_view reason, std::uint32_t unreached = 0);

// A hello's or a result's fields; false when the payload is too short or out of range (a
// result that counts copies not reached for another status than kNotAllReached, or none for it).
bool parse_hello(std::string_view payload, std::uint32_t& max_text_bytes, std::string& code_page);
bool parse_result(std::string_view payload, RelayStatus& status, std::string& reason,
                  std::uint32_t& unreached);

// Cuts frames out of the bytes read from the other process, in order.
class FrameReader {
 public:
  enum class Next { kFrame, kNeedMore, kBad };
  void feed(std::string_view bytes) { pending_.append(bytes); }
  // The next whole frame; kBad (and why) for an unknown kind or a length past the bound. The
  // stream is then out of step: the bad header stays in front, so every later call is kBad.
  Next next(Frame& frame, std::string& why);

 private:
  std::string pending_;
  std::size_t taken_ = 0;  // bytes of pending_ already handed out
};

}  // namespace cli::bridge
