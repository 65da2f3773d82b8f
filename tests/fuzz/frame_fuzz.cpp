// Fuzzes the broadcast frame decoder with arbitrary bytes. Whatever it accepts must be in the
// canonical encoding: re-encoding a decoded frame gives back exactly the input, so no two
// byte strings decode to the same frame and no field is read that the checks did not cover.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "platform/frame_posix.h"

namespace px = platform::posix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::optional<px::Frame> frame =
      px::decode_frame(std::span<const std::uint8_t>(data, size));
  if (!frame) return 0;
  if (size != px::kFrameSize || frame->seq == 0) std::abort();
  if (frame->kind != px::FrameKind::kNotify && frame->kind != px::FrameKind::kReply) std::abort();
  const px::FrameBytes again = px::encode_frame(*frame);
  if (std::memcmp(again.data(), data, size) != 0) std::abort();
  if (px::decode_frame(again) != frame) std::abort();
  return 0;
}
