// Fuzzes the transport's record parsers with arbitrary bytes. Whatever the frame decoder accepts
// must be in the canonical encoding (re-encoding gives back exactly the input, so no field is
// read that the checks did not cover) and within its kind's range; an accepted frame's index
// (a hello's slot, a notification's count word) indexes the acknowledgement page safely. The
// endpoint-name parser must round-trip too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>

#include "platform/linux/frame.h"

namespace os = mmfcast::platform::os;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto name = os::parse_endpoint_name(text)) {
    if (os::endpoint_file_name(name->id, name->file) != text) std::abort();
  }

  const std::optional<os::Frame> frame =
      os::decode_frame(std::span<const std::uint8_t>(data, size));
  if (!frame) return 0;
  if (size != os::kFrameSize) std::abort();
  if (frame->kind == os::FrameKind::kNotify) {
    if (frame->seq == 0 || (frame->flags & ~os::kAwaited) != 0) std::abort();
    static auto page = std::make_unique<os::AckPage>();
    os::acknowledge(*page, 0, frame->index, frame->seq);  // out of bounds trips the sanitizer
  } else if (frame->kind == os::FrameKind::kHello) {
    static auto page = std::make_unique<os::AckPage>();
    os::acknowledge(*page, frame->index, 0, 1);
  } else {
    std::abort();
  }
  const os::FrameBytes again = os::encode_frame(*frame);
  if (std::memcmp(again.data(), data, size) != 0) std::abort();
  if (os::decode_frame(again) != frame) std::abort();
  return 0;
}
