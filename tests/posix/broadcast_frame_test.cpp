// The broadcast frame codec: every field survives the round trip at its extremes, and any
// change to an encoded frame, any other length, or a field outside its range is refused.
#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "platform/frame_posix.h"

namespace {

namespace px = platform::posix;

std::optional<px::Frame> decode(const std::vector<std::uint8_t>& bytes) {
  return px::decode_frame(bytes);
}

std::vector<std::uint8_t> encoded(const px::Frame& frame) {
  const px::FrameBytes bytes = px::encode_frame(frame);
  return {bytes.begin(), bytes.end()};
}

TEST(BroadcastFrame, FieldsSurviveAtTheirExtremes) {
  const px::Frame frames[] = {
      {px::FrameKind::kNotify, 1, 0, 0, 0},
      {px::FrameKind::kNotify, std::numeric_limits<std::uint64_t>::max(), 0xFFFFFFFFu,
       std::numeric_limits<std::uint64_t>::max(), std::numeric_limits<std::int64_t>::min()},
      {px::FrameKind::kReply, 0x0102030405060708u, 0xC000, 0,
       std::numeric_limits<std::int64_t>::max()},
  };
  for (const px::Frame& frame : frames) EXPECT_EQ(decode(encoded(frame)), frame);
}

TEST(BroadcastFrame, EverySingleBitFlipIsRefused) {
  const std::vector<std::uint8_t> good = encoded({px::FrameKind::kNotify, 42, 0xC001, 7, -1});
  for (std::size_t byte = 0; byte < good.size(); ++byte) {
    for (int bit = 0; bit < 8; ++bit) {
      std::vector<std::uint8_t> bad = good;
      bad[byte] ^= static_cast<std::uint8_t>(1 << bit);
      EXPECT_FALSE(decode(bad).has_value()) << "byte " << byte << " bit " << bit;
    }
  }
}

TEST(BroadcastFrame, OnlyTheExactSizeIsRead) {
  std::vector<std::uint8_t> bytes = encoded({px::FrameKind::kReply, 5, 1, 0, 3});
  bytes.push_back(0);
  EXPECT_FALSE(decode(bytes).has_value());
  bytes.resize(px::kFrameSize - 1);
  EXPECT_FALSE(decode(bytes).has_value());
  EXPECT_FALSE(decode({}).has_value());
}

TEST(BroadcastFrame, UnknownKindOrSequenceZeroIsRefusedEvenWithAGoodChecksum) {
  px::Frame unknown{px::FrameKind::kNotify, 5, 1, 0, 0};
  unknown.kind = static_cast<px::FrameKind>(3);
  EXPECT_FALSE(decode(encoded(unknown)).has_value());
  EXPECT_FALSE(decode(encoded({px::FrameKind::kNotify, 0, 1, 0, 0})).has_value());
}

}  // namespace
