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

#include "platform/frame_posix.h"

namespace px = platform::posix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto name = px::parse_endpoint_name(text)) {
    if (px::endpoint_file_name(name->id, name->file) != text) std::abort();
  }

  const std::optional<px::Frame> frame =
      px::decode_frame(std::span<const std::uint8_t>(data, size));
  if (!frame) return 0;
  if (size != px::kFrameSize) std::abort();
  if (frame->kind == px::FrameKind::kNotify) {
    if (frame->seq == 0 || (frame->flags & ~px::kAwaited) != 0) std::abort();
    static auto page = std::make_unique<px::AckPage>();
    px::acknowledge(*page, 0, frame->index, frame->seq);  // out of bounds trips the sanitizer
  } else if (frame->kind == px::FrameKind::kHello) {
    static auto page = std::make_unique<px::AckPage>();
    px::acknowledge(*page, frame->index, 0, 1);
  } else {
    std::abort();
  }
  const px::FrameBytes again = px::encode_frame(*frame);
  if (std::memcmp(again.data(), data, size) != 0) std::abort();
  if (px::decode_frame(again) != frame) std::abort();
  return 0;
}
