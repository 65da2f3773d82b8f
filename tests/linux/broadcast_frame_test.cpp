// The transport's records: the frame codec keeps every field at its extremes and refuses any
// change, any other length and any field outside its kind's range; the acknowledgement step
// counts each awaited answer once and wakes the sender only for the last; endpoint names parse
// only in their one spelling.
#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/linux/transport/frame.h"

namespace {

namespace os = mmfcast::platform::os;

std::optional<os::Frame> decode(const std::vector<std::uint8_t>& bytes) {
  return os::decode_frame(bytes);
}

std::vector<std::uint8_t> encoded(const os::Frame& frame) {
  const os::FrameBytes bytes = os::encode_frame(frame);
  return {bytes.begin(), bytes.end()};
}

os::Frame notify(std::uint64_t seq, std::uint32_t msg, std::uint64_t w, std::int64_t l,
                 std::uint64_t hold = 0, std::uint32_t flags = 0) {
  os::Frame f;
  f.kind = os::FrameKind::kNotify;
  f.seq = seq;
  f.msg = msg;
  f.wparam = w;
  f.lparam = l;
  f.hold = hold;
  f.flags = flags;
  return f;
}

os::Frame hello(std::uint32_t slot) {
  os::Frame f;
  f.kind = os::FrameKind::kHello;
  f.index = slot;
  return f;
}

os::Frame refusal(std::uint32_t reason) {
  os::Frame f;
  f.kind = os::FrameKind::kRefuse;
  f.msg = reason;
  return f;
}

TEST(BroadcastFrame, FieldsSurviveAtTheirExtremes) {
  const os::Frame frames[] = {
      notify(1, 0, 0, 0),
      notify(std::numeric_limits<std::uint64_t>::max(), 0xFFFFFFFFu,
             std::numeric_limits<std::uint64_t>::max(), std::numeric_limits<std::int64_t>::min(),
             std::numeric_limits<std::uint64_t>::max()),
      notify(0x0102030405060708u, 0xC000, 0, std::numeric_limits<std::int64_t>::max(), 7),
      hello(0),
      hello(os::kAckSlots - 1),
      refusal(1),
      refusal(os::kMaxRefuseReason),
  };
  for (const os::Frame& frame : frames) EXPECT_EQ(decode(encoded(frame)), frame);
}

TEST(BroadcastFrame, EverySingleBitFlipIsRefused) {
  for (const os::Frame& frame : {notify(42, 0xC001, 7, -1, 3), hello(5), refusal(2)}) {
    const std::vector<std::uint8_t> good = encoded(frame);
    for (std::size_t byte = 0; byte < good.size(); ++byte) {
      for (int bit = 0; bit < 8; ++bit) {
        std::vector<std::uint8_t> bad = good;
        bad[byte] ^= static_cast<std::uint8_t>(1 << bit);
        EXPECT_FALSE(decode(bad).has_value()) << "byte " << byte << " bit " << bit;
      }
    }
  }
}

TEST(BroadcastFrame, OnlyTheExactSizeIsRead) {
  std::vector<std::uint8_t> bytes = encoded(notify(5, 1, 0, 3));
  bytes.push_back(0);
  EXPECT_FALSE(decode(bytes).has_value());
  bytes.resize(os::kFrameSize - 1);
  EXPECT_FALSE(decode(bytes).has_value());
  EXPECT_FALSE(decode({}).has_value());
}

TEST(BroadcastFrame, FieldsOutOfTheirKindsRangeAreRefusedEvenWithAGoodChecksum) {
  os::Frame unknown = notify(5, 1, 0, 0);
  unknown.kind = static_cast<os::FrameKind>(2);  // the retired reply
  os::Frame hello_with_text = hello(1);
  hello_with_text.msg = 0xC000;
  os::Frame notify_with_word = notify(5, 1, 0, 0);
  notify_with_word.index = os::kCountWords;
  os::Frame refusal_with_seq = refusal(1);
  refusal_with_seq.seq = 1;
  os::Frame refusal_with_slot = refusal(1);
  refusal_with_slot.index = 1;
  const os::Frame refused[] = {
      unknown,
      notify(0, 1, 0, 0),
      notify(5, 1, 0, 0, 0, 2),
      notify(5, 1, 0, 0, 0, 1),
      hello_with_text,
      hello(os::kAckSlots),
      notify_with_word,
      refusal(0),
      refusal(os::kMaxRefuseReason + 1),
      refusal_with_seq,
      refusal_with_slot,
  };
  for (const os::Frame& frame : refused) EXPECT_FALSE(decode(encoded(frame)).has_value());
}

// An outcome is a frame and its reason in one record: the frame's length field must name the
// reason exactly, the reason stays within its bound, and the count is never 0 nor past its bound.
TEST(BroadcastFrame, OutcomeRecordsAreReadOnlyWhenWholeAndWithinBounds) {
  const auto bytes = [](const std::string& record) {
    return std::vector<std::uint8_t>(record.begin(), record.end());
  };
  const os::Outcome outcome{7, 2, "1 of 2 copies not reached: not answering"};
  std::vector<std::uint8_t> good = bytes(os::encode_outcome(outcome));
  EXPECT_EQ(os::decode_outcome(good), outcome);
  EXPECT_FALSE(os::decode_frame(std::span(good).first(os::kFrameSize)))
      << "not a frame a connection carries otherwise";
  EXPECT_FALSE(os::decode_outcome(std::span(good).first(good.size() - 1)));
  good.push_back('!');
  EXPECT_FALSE(os::decode_outcome(good));

  // A long reason is cut to the bound, before a character that would not fit whole.
  std::string cut = os::encode_outcome({7, 1, "a\xc3\xbc" + std::string(600, 'x')});
  EXPECT_EQ(os::decode_outcome(bytes(cut))->reason.size(), os::kMaxOutcomeReasonBytes);
  cut = os::encode_outcome({7, 1, std::string(os::kMaxOutcomeReasonBytes - 1, 'x') + "\xc3\xbc"});
  EXPECT_EQ(os::decode_outcome(bytes(cut))->reason.size(), os::kMaxOutcomeReasonBytes - 1);
  os::Frame longer;
  longer.kind = os::FrameKind::kOutcome;
  longer.seq = 7;
  longer.msg = 1;
  longer.wparam = os::kMaxOutcomeReasonBytes + 1;
  std::vector<std::uint8_t> over = encoded(longer);
  over.resize(os::kFrameSize + longer.wparam, 'x');
  EXPECT_FALSE(os::decode_outcome(over)) << "a reason past the bound";

  for (const os::Outcome& bad : {os::Outcome{0, 1, ""}, os::Outcome{7, 0, ""},
                                 os::Outcome{7, os::kMaxOutcomeUnreached + 1, ""}}) {
    EXPECT_FALSE(os::decode_outcome(bytes(os::encode_outcome(bad))));
  }
}

TEST(AckPage, EachAwaitedAnswerCountsOnceAndOnlyTheLastWakes) {
  auto page = std::make_unique<os::AckPage>();
  page->pending[0].store((std::uint64_t{9} << 32) | 3);
  EXPECT_FALSE(os::acknowledge(*page, 0, 0, 9));
  EXPECT_FALSE(os::acknowledge(*page, 1, 0, 9));
  EXPECT_FALSE(os::acknowledge(*page, 2, 0, 8));  // a late answer to an older notification
  EXPECT_TRUE(os::acknowledge(*page, 2, 0, 9));
  EXPECT_FALSE(os::acknowledge(*page, 2, 0, 9));  // a duplicate cannot take the count below 0
  EXPECT_EQ(page->pending[0].load() & 0xFFFFFFFFu, 0u);
  EXPECT_EQ(page->acked[2].load(), 9u);
  EXPECT_FALSE(os::acknowledge(*page, 2, 0, 4));  // never lowered by a slot's former owner
  EXPECT_EQ(page->acked[2].load(), 9u);
}

TEST(AckPage, NestedBroadcastCountsInItsOwnWordAndLeavesTheOuterCountAlone) {
  auto page = std::make_unique<os::AckPage>();
  page->pending[0].store(std::uint64_t{5} << 32 | 2);  // outer: two answers to come
  page->pending[1].store(std::uint64_t{6} << 32 | 1);  // nested, begun while it waits
  EXPECT_TRUE(os::acknowledge(*page, 0, 1, 6));
  EXPECT_FALSE(os::acknowledge(*page, 0, 0, 5));
  EXPECT_TRUE(os::acknowledge(*page, 1, 0, 5));  // the outer's last answer still wakes it
}

TEST(AckPage, RingEntriesAreReadWholeUntilOverwrittenAndNeverWrong) {
  auto page = std::make_unique<os::AckPage>();
  const std::uint64_t last = os::kRingEntries + 2;
  for (std::uint64_t seq = 1; seq <= last; ++seq) {
    os::publish_entry(*page, notify(seq, 0xC001, seq, -1, 7));
  }
  EXPECT_EQ(page->published.load(), last);
  EXPECT_FALSE(os::read_entry(*page, 2).has_value());  // its entry holds `last` now
  ASSERT_TRUE(os::read_entry(*page, 3).has_value());
  EXPECT_EQ(*os::read_entry(*page, 3), notify(3, 0xC001, 3, -1, 7));
  EXPECT_FALSE(os::read_entry(*page, last + 1).has_value());  // not written yet
  EXPECT_FALSE(os::read_entry(*page, 0).has_value());

  // Being written (stamp 0), scribbled by another process, or not a plain notification.
  os::RingEntry& entry = page->ring[3 % os::kRingEntries];
  entry.stamp.store(0);
  EXPECT_FALSE(os::read_entry(*page, 3).has_value());
  entry.stamp.store(3);
  entry.words[2].fetch_xor(1);
  EXPECT_FALSE(os::read_entry(*page, 3).has_value());
  os::Frame introduction = hello(1);
  introduction.seq = 3;
  for (const os::Frame& other : {introduction, notify(3, 0xC001, 3, -1, 7, 1)}) {
    os::publish_entry(*page, other);
    EXPECT_FALSE(os::read_entry(*page, 3).has_value());
  }
}

TEST(EndpointName, ParsesOnlyItsOwnSpelling) {
  const auto parsed = os::parse_endpoint_name("peer-0123456789abcdef.sock");
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->file, os::EndpointFile::kSocket);
  EXPECT_EQ(os::endpoint_file_name(parsed->id, os::EndpointFile::kState),
            "peer-0123456789abcdef.state");
  EXPECT_EQ(os::endpoint_file_name(parsed->id, os::EndpointFile::kUnpublished),
            "peer-0123456789abcdef.new");
  for (const char* other :
       {"peer-0123456789ABCDEF.sock", "peer-0123456789abcde.sock", "peer-0123456789abcdef0.sock",
        "peer-0123456789abcdef.sock.old", "peer-1234.sock", "map-peer-0123456789abcdef.sock",
        "peer-0123456789abcdef", "lock"}) {
    EXPECT_FALSE(os::parse_endpoint_name(other).has_value()) << other;
  }
}

}  // namespace
