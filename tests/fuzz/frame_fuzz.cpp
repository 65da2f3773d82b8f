// Fuzzes what a receiver reads from a sender: the frames and the sender's acknowledgement page.
// Input: a mode byte (bit 0: give both frames a correct checksum, so that the field checks are
// reached), a hello frame, a notification frame, then the page's count word and answer slot as
// the sender (or anybody else who can write the page) left them. A refusal and an outcome,
// the records a receiver sends back, are decoded by the same rules; the whole input is also
// read as an outcome record.
// Whatever the decoder accepts must be in the canonical encoding (re-encoding gives back exactly
// the input, so no field is read that the checks did not cover) and within its kind's range.
// The acknowledgement of an accepted notification, in the slot the hello named, must change
// exactly the two words it is given, as the page's protocol says, whatever they held before.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/linux/transport/frame.h"
#include "platform/linux/transport/record_encoding.h"

namespace os = mmfcast::platform::os;

namespace {

void require(bool ok) {
  if (!ok) std::abort();
}

// The frame in the bytes, checked against the kind's rules when the decoder accepts it.
std::optional<os::Frame> decode_checked(std::span<const std::uint8_t> bytes) {
  const std::optional<os::Frame> frame = os::decode_frame(bytes);
  if (!frame) return frame;
  require(bytes.size() == os::kFrameSize);
  if (frame->kind == os::FrameKind::kNotify) {
    require(frame->seq != 0 && frame->flags == 0 && frame->index < os::kCountWords);
  } else if (frame->kind == os::FrameKind::kRefuse) {
    require(frame->msg != 0 && frame->msg <= os::kMaxRefuseReason && frame->seq == 0 &&
            frame->index == 0);
    require(frame->flags == 0 && frame->wparam == 0 && frame->lparam == 0 && frame->hold == 0);
  } else {
    require(frame->kind == os::FrameKind::kHello && frame->index < os::kAckSlots);
    require(frame->msg == 0 && frame->flags == 0 && frame->wparam == 0 && frame->lparam == 0 &&
            frame->hold == 0);
  }
  const os::FrameBytes again = os::encode_frame(*frame);
  require(std::memcmp(again.data(), bytes.data(), bytes.size()) == 0);
  return frame;
}

// The outcome in the record, checked against its bounds when the decoder accepts it.
void decode_outcome_checked(std::span<const std::uint8_t> record) {
  const std::optional<os::Outcome> outcome = os::decode_outcome(record);
  if (!outcome) return;
  require(outcome->seq != 0 && outcome->unreached != 0 &&
          outcome->unreached <= os::kMaxOutcomeUnreached);
  require(outcome->reason.size() <= os::kMaxOutcomeReasonBytes &&
          record.size() == os::kFrameSize + outcome->reason.size());
  const std::string again = os::encode_outcome(*outcome);
  require(again.size() == record.size() &&
          std::memcmp(again.data(), record.data(), again.size()) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  decode_checked({data, size});
  decode_outcome_checked({data, size});
  if (size < 1 + 2 * os::kFrameSize) return 0;
  std::uint8_t frames[2 * os::kFrameSize];
  std::memcpy(frames, data + 1, sizeof frames);
  for (std::uint8_t* frame = frames; (data[0] & 1) != 0 && frame < std::end(frames);
       frame += os::kFrameSize) {
    os::store_le<std::uint32_t>(frame + 52, os::record_crc(frame, 52));
  }
  const auto hello = decode_checked({frames, os::kFrameSize});
  const auto notify = decode_checked({frames + os::kFrameSize, os::kFrameSize});
  if (!hello || hello->kind != os::FrameKind::kHello || !notify ||
      notify->kind != os::FrameKind::kNotify) {
    return 0;
  }

  std::uint64_t before[2] = {0, 0};  // the count word, the answer slot
  std::memcpy(before, data + 1 + sizeof frames, std::min(sizeof before, size - 1 - sizeof frames));
  static const auto page = std::make_unique<os::AckPage>();
  static const auto blank = std::make_unique<os::AckPage>();
  std::atomic<std::uint64_t>& count = page->pending[notify->index];
  std::atomic<std::uint64_t>& slot = page->acked[hello->index];
  count.store(before[0]);
  slot.store(before[1]);
  const bool last = os::acknowledge(*page, hello->index, notify->index, notify->seq);

  const std::uint64_t tag = (notify->seq & 0xFFFFFFFFu) << 32;
  const std::uint64_t waiting = before[0] & 0xFFFFFFFFu;
  const bool counted = (before[0] & ~std::uint64_t{0xFFFFFFFFu}) == tag && waiting != 0;
  require(slot.load() == std::max(before[1], notify->seq));
  require(count.load() == (counted ? before[0] - 1 : before[0]));
  require(last == (counted && waiting == 1));
  count.store(0);
  slot.store(0);

  // Through the ring, a plain notification comes back as it went in; nothing else does.
  os::publish_entry(*page, *notify);
  const std::optional<os::Frame> back = os::read_entry(*page, notify->seq);
  require(back.has_value() == (notify->flags == 0));
  if (back) require(*back == *notify);
  os::RingEntry& entry = page->ring[notify->seq % os::kRingEntries];
  entry.stamp.store(0);
  for (auto& word : entry.words) word.store(0);
  page->published.store(0);
  require(std::memcmp(page.get(), blank.get(), sizeof(os::AckPage)) == 0);
  return 0;
}
