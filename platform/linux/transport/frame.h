// The records the session transport shares between processes: the fixed-size frames a sender
// writes to a receiver's connection, the sender's acknowledgement page that receivers answer
// in, and the state page beside each endpoint. Frames are encoded little-endian at fixed
// offsets with a CRC-32 over the rest, so a receiver checks a frame completely before trusting
// any of it; the pages hold only atomics, and every index read from one is bounds-checked.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace mmfcast::platform::os {

inline constexpr std::uint32_t kFrameMagic = 0x43464d4d;  // "MMFC" read as little-endian bytes
inline constexpr std::uint16_t kFrameVersion = 3;
inline constexpr std::size_t kFrameSize = 56;

enum class FrameKind : std::uint16_t {
  // Deliver msg, wparam, lparam to every top-level window. Travels only as an entry of the
  // sender's ring (see AckPage); on a connection it is malformed. The answer is counted down in
  // count word `index`; `hold` is the send-lock hold it was sent under (0: none), and the
  // receiver discards it when another hold has begun since.
  kNotify = 1,
  // The one frame a sender sends on a connection, first, carrying the sender's acknowledgement
  // page, wake-up descriptor and notification descriptor (SCM_RIGHTS, exactly these three); in
  // `index`, the slot of the page this connection answers in; in `seq`, the last notification
  // of the ring the receiver is not to read.
  kHello = 3,
  // The one frame a receiver sends, on a connection whose hello it cannot take, before it
  // closes the connection: in `msg`, why (a RefuseReason). Every other field is 0.
  kRefuse = 4,
  // What a receiver sends on a connection, before it answers notification `seq` in the page,
  // when some copies beyond it (ones it relays to) were not reached: in `msg`, how many (never
  // 0); in `wparam`, the length of the reason that follows the frame in the same record, at most
  // kMaxOutcomeReasonBytes. Every other field is 0. See decode_outcome.
  kOutcome = 5,
};

// Why a receiver refused a connection; the sender counts the copy as not reached with it.
enum class RefuseReason : std::uint32_t {
  kNoDescriptor = 1,  // at its limit of open descriptors
  kCannotWatch = 2,   // its epoll set cannot take the notification descriptor (wake-up paths)
  kFailed = 3,        // anything else (out of memory)
};
inline constexpr std::uint32_t kMaxRefuseReason = 3;

struct Frame {
  FrameKind kind = FrameKind::kNotify;
  std::uint64_t seq = 0;    // notify: chosen by the sender, never 0; hello: where the ring starts
  std::uint32_t msg = 0;    // refuse: the RefuseReason
  std::uint32_t flags = 0;  // no flags are defined: always 0
  std::uint64_t wparam = 0;
  std::int64_t lparam = 0;
  std::uint64_t hold = 0;
  std::uint32_t index = 0;  // hello: the answer slot; notify: the count word

  bool operator==(const Frame&) const = default;
};

using FrameBytes = std::array<std::uint8_t, kFrameSize>;

// The longest reason an outcome carries, and the most copies it may count.
inline constexpr std::size_t kMaxOutcomeReasonBytes = 512;
inline constexpr std::uint32_t kMaxOutcomeUnreached = 1u << 20;

// What became of notification `seq` beyond the receiver that answered it.
struct Outcome {
  std::uint64_t seq = 0;
  std::uint32_t unreached = 0;
  std::string reason;

  bool operator==(const Outcome&) const = default;
};

FrameBytes encode_frame(const Frame& frame);

// The frame held in exactly kFrameSize bytes, or nullopt when the size, magic, version, kind,
// checksum or any field is out of its range for the kind (a hello's slot beyond the page, a
// notification's seq 0, any flag or an unknown count word, a wParam or lParam wider than this
// build's pointers, a refusal's unknown reason).
std::optional<Frame> decode_frame(std::span<const std::uint8_t> bytes);

// The record of an outcome: its frame, then the reason (cut to kMaxOutcomeReasonBytes).
std::string encode_outcome(const Outcome& outcome);
// The outcome a record holds, or nullopt when its frame is not a valid kOutcome (checked as
// decode_frame checks a frame), counts 0 or more than kMaxOutcomeUnreached copies, or the
// record's length is not the frame's and the reason's it names.
std::optional<Outcome> decode_outcome(std::span<const std::uint8_t> record);

// ---- The sender's acknowledgement page -----------------------------------------------------
// A sealed memfd of kAckPageSize bytes, shared by a sender with every receiver it connects to.
// The sender publishes each notification `seq` as an entry of the ring, marks in `awaited` the
// slot of every receiver it waits for, sets a count word to (seq's low 32 bits) << 32 | the
// number of those receivers, and then writes its notification descriptor (an eventfd every
// receiver watches, edge-triggered) once: one write wakes all of them. Each receiver reads the
// entries after the last one it read; each awaited one, after handling it, raises its slot of
// `acked` to seq and takes one off the count if the word still names seq; the one that brings
// it to 0 writes the wake-up descriptor. Broadcasts nested inside a wait (a procedure that
// broadcasts) use the next count word, so they do not disturb the count of the broadcast they
// interrupt. A receiver that falls more than kRingEntries behind (it was stopped) skips to the
// newest ones; their staleness check would have discarded the rest.

inline constexpr std::size_t kAckPageSize = 40960;
inline constexpr std::size_t kCountWords = 8;
inline constexpr std::size_t kAckSlots = 2040;
inline constexpr std::size_t kRingEntries = 64;

// One published notification: its frame's bytes, and its seq as a stamp that is 0 while the
// entry is being written, so a reader can tell a whole entry from a torn or overwritten one.
struct RingEntry {
  std::atomic<std::uint64_t> stamp;
  std::atomic<std::uint64_t> words[kFrameSize / 8];
};
static_assert(kFrameSize % 8 == 0);

struct AckPage {
  std::atomic<std::uint64_t> pending[kCountWords];
  std::atomic<std::uint64_t> acked[kAckSlots];
  std::atomic<std::uint64_t> awaited[kAckSlots];  // the seq the slot's receiver is awaited for
  std::atomic<std::uint64_t> published;           // the newest entry's seq
  RingEntry ring[kRingEntries];
};
static_assert(sizeof(AckPage) <= kAckPageSize);
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

// Writes the notification (frame.seq) into its entry of the ring and makes it the newest.
void publish_entry(AckPage& page, const Frame& frame);
// The notification `seq` as its entry holds it, or nullopt when the entry holds another one
// (overwritten, or not written yet), was being written meanwhile, or is not a valid notification.
std::optional<Frame> read_entry(const AckPage& page, std::uint64_t seq);

// Records the answer to `seq` in `slot`, counted down in count word `word` (both bounds-checked
// by the caller), and returns true when this answer was the last one the sender waits for, so
// the caller must wake it.
bool acknowledge(AckPage& page, std::uint32_t slot, std::uint32_t word, std::uint64_t seq);
// Takes one off count word `word` if it still names `seq` and is not 0 (the part of an answer
// that counts); true when this brought it to 0. A sender uses it alone for an awaited receiver
// that will not answer.
bool count_down(AckPage& page, std::uint32_t word, std::uint64_t seq);

// ---- The state page beside each endpoint ---------------------------------------------------
// "peer-<id>.state": kStatePageSize bytes, written by its owner (magic, version) before the
// endpoint is published. A sender whose deadline passed sets `hung`; the owner clears it
// whenever it handles notifications. The owner holds an exclusive flock on the file for as
// long as it lives, so a lock anybody else can take proves the owner gone.

inline constexpr std::size_t kStatePageSize = 4096;
inline constexpr std::uint32_t kStateMagic = 0x50464d4d;  // "MMFP"
inline constexpr std::uint32_t kStateVersion = 1;

struct PeerState {
  std::atomic<std::uint32_t> magic;
  std::atomic<std::uint32_t> version;
  std::atomic<std::uint32_t> hung;
};

bool state_is_valid(const PeerState& state);

// ---- Endpoint names ------------------------------------------------------------------------
// An endpoint is named by a random 64-bit id written as 16 lower-case hex digits: unique across
// PID namespaces and pid reuse. "peer-<id>.sock" is the published socket, "peer-<id>.state"
// its state page, "peer-<id>.new" the socket before it accepts connections.

using EndpointId = std::array<char, 16>;

enum class EndpointFile { kSocket, kState, kUnpublished };

struct EndpointName {
  EndpointId id;
  EndpointFile file;
};

// The id and kind of an endpoint file name, or nullopt for any other name.
std::optional<EndpointName> parse_endpoint_name(std::string_view name);
std::string endpoint_file_name(const EndpointId& id, EndpointFile file);

}  // namespace mmfcast::platform::os
