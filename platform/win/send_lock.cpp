// The session-wide send lock on Windows: a named mutex, which the system hands on (abandoned)
// when its holder dies. A small named mapping holds the current generation (which mutex is the
// lock) and a count of holds. A waiter that sees the same hold of the same generation for longer
// than the takeover time moves every copy on to the next generation's mutex, so a hung holder
// keeps a mutex that nobody waits for any more. Waiting handles the messages other threads and
// processes send to this thread, never input, so no handler of this process runs again inside.
// A lock that cannot be set up or waited for is recorded as the send lock's failure, with the
// name of the object concerned.
// The mapping also records, for each notification message sent under the lock, the latest hold
// it was sent under, so that receivers judge each message's notifications by that message alone.
// A waiter leaves the mutex's queue whenever it handles a message, and the holder's broadcast
// sends it one each time, so a copy with a window could wait behind the other waiters for ever.
// A waiter that has seen kClaimAfterHolds other holds pass therefore claims the next turn in the
// mapping: while its claim is fresh, other waiters stay out of the mutex's queue. A claim that is
// not refreshed for kClaimStaleMs (its waiter died or stopped) counts for nothing.
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "platform/win/hung_marks.h"
#include "platform/win/internal.h"

namespace mmfcast::platform {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kStateName = "mmfcast.send-lock.state";
constexpr const char* kMutexPrefix = "mmfcast.send-lock.";
constexpr DWORD kRetryMs = 5;
constexpr LONG64 kClaimAfterHolds = 2;
constexpr ULONGLONG kClaimStaleMs = 100;
constexpr const char* kSendLock = "send lock";

// The latest hold a notification message was sent under. A slot is claimed once, by an
// interlocked change of its message from 0, and never given back.
struct MessageHold {
  volatile LONG64 message;
  volatile LONG64 hold;
};
constexpr int kMessageSlots = 64;

struct SharedState {
  volatile LONG64 generation;
  volatile LONG64 holds;
  MessageHold latest[kMessageSlots];
  // The waiter that claimed the next turn (its process and thread ids, 0 for none) and when it
  // last said it still waits (GetTickCount64). Copies that predate the claim leave it alone.
  volatile LONG64 claimant;
  volatile LONG64 claim_refreshed;
};
// A mapping is at least one page, so a copy that made a smaller one still leaves it readable.
static_assert(sizeof(SharedState) <= 4096);

struct LockState {
  HANDLE mapping = nullptr;
  SharedState* shared = nullptr;
  HANDLE mutex = nullptr;  // the mutex of mutex_generation
  LONG64 mutex_generation = -1;
  LONG64 hold = 0;  // the count of holds that this process's hold began
  bool held = false;
};

LockState& send_lock_state() { return win::never_destroyed<LockState>(); }

LONG64 load(volatile LONG64& value) { return InterlockedCompareExchange64(&value, 0, 0); }

bool open_shared(LockState& s) {
  if (s.shared != nullptr) return true;
  HANDLE mapping = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        sizeof(SharedState), kStateName);
  if (mapping == nullptr) {
    win::record_failure(kSendLock, kStateName);
    return false;
  }
  void* view = ::MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0);
  if (view == nullptr) {
    win::record_failure(kSendLock, kStateName);
    ::CloseHandle(mapping);
    return false;
  }
  s.mapping = mapping;
  s.shared = static_cast<SharedState*>(view);
  return true;
}

std::string mutex_name(LONG64 generation) { return kMutexPrefix + std::to_string(generation); }

// This thread's turn claim: made once it has waited past kClaimAfterHolds holds, refreshed on
// each round of its wait, given up when the wait ends.
class TurnClaim {
 public:
  explicit TurnClaim(SharedState& shared)
      : shared_(shared),
        self_(static_cast<LONG64>(static_cast<ULONG64>(::GetCurrentProcessId()) << 32 |
                                  ::GetCurrentThreadId())) {}
  TurnClaim(const TurnClaim&) = delete;
  TurnClaim& operator=(const TurnClaim&) = delete;
  ~TurnClaim() {
    if (held_) InterlockedCompareExchange64(&shared_.claimant, 0, self_);
  }

  // One round of the wait: claims the turn when due and free (or its claimant went quiet), and
  // keeps a claim fresh. True when another waiter's claim stands, and this one should stay out
  // of the mutex's queue.
  bool others_first(LONG64 holds_waited) {
    const auto now = static_cast<LONG64>(::GetTickCount64());
    if (held_ && load(shared_.claimant) != self_) held_ = false;  // a quiet spell lost it
    if (held_) {
      InterlockedExchange64(&shared_.claim_refreshed, now);
      return false;
    }
    const LONG64 claimant = load(shared_.claimant);
    const bool stale =
        claimant != 0 && now - load(shared_.claim_refreshed) > static_cast<LONG64>(kClaimStaleMs);
    if (holds_waited >= kClaimAfterHolds && (claimant == 0 || stale) &&
        InterlockedCompareExchange64(&shared_.claimant, self_, claimant) == claimant) {
      InterlockedExchange64(&shared_.claim_refreshed, now);
      held_ = true;
      return false;
    }
    return claimant != 0 && !stale;
  }

 private:
  SharedState& shared_;
  const LONG64 self_;
  bool held_ = false;
};

// The mutex of this generation, opened once and kept while the generation stays current.
HANDLE mutex_for(LockState& s, LONG64 generation) {
  if (s.mutex != nullptr && s.mutex_generation == generation) return s.mutex;
  if (s.mutex != nullptr) ::CloseHandle(s.mutex);
  const std::string name = mutex_name(generation);
  s.mutex = win::recorded(::CreateMutexA(nullptr, FALSE, name.c_str()), kSendLock, name.c_str());
  s.mutex_generation = s.mutex != nullptr ? generation : -1;
  return s.mutex;
}

}  // namespace

int acquire_send_lock(int takeover_ms) {
  LockState& s = send_lock_state();
  if (s.held) return 1;
  if (!open_shared(s)) return 0;
  SharedState& shared = *s.shared;
  LONG64 generation = load(shared.generation);
  LONG64 holds = load(shared.holds);
  const LONG64 holds_at_start = holds;
  TurnClaim claim(shared);
  Clock::time_point since = Clock::now();
  for (;;) {
    if (claim.others_first(load(shared.holds) - holds_at_start)) {
      // The claimant watches the holder for a hang; this one only answers what is sent to it.
      const DWORD woke =
          ::MsgWaitForMultipleObjectsEx(0, nullptr, kRetryMs, QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
      if (woke == WAIT_OBJECT_0) win::handle_sent_messages();
      since = Clock::now();
      continue;
    }
    HANDLE mutex = mutex_for(s, generation);
    if (mutex == nullptr) return 0;
    const DWORD woke =
        ::MsgWaitForMultipleObjectsEx(1, &mutex, kRetryMs, QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
    if (woke == WAIT_OBJECT_0 || woke == WAIT_ABANDONED_0) {
      if (load(shared.generation) == generation) {
        s.hold = InterlockedIncrement64(&shared.holds);
        s.held = true;
        return 1;
      }
      ::ReleaseMutex(mutex);  // taken over meanwhile: queue on the new mutex
    } else if (woke == WAIT_OBJECT_0 + 1) {
      win::handle_sent_messages();
    } else if (woke == WAIT_FAILED) {
      win::record_failure(kSendLock, mutex_name(generation));
      return 0;
    }
    const LONG64 now_generation = load(shared.generation);
    const LONG64 now_holds = load(shared.holds);
    if (now_generation != generation || now_holds != holds) {
      generation = now_generation;
      holds = now_holds;
      since = Clock::now();
    } else if (Clock::now() - since >= std::chrono::milliseconds(takeover_ms)) {
      // The same hold has lasted past the deadline: its holder has hung.
      InterlockedCompareExchange64(&shared.generation, generation + 1, generation);
      generation = load(shared.generation);
      since = Clock::now();
    }
  }
}

void release_send_lock() {
  LockState& s = send_lock_state();
  if (!s.held) return;
  ::ReleaseMutex(s.mutex);
  s.held = false;
}

bool send_lock_still_held() {
  const LockState& s = send_lock_state();
  return s.held && s.shared != nullptr && load(s.shared->generation) == s.mutex_generation &&
         load(s.shared->holds) == s.hold;
}

// A hold tag is the count of holds, cut to a positive 32-bit lParam (a 32-bit sender's lParam
// carries no more); 0 stays the tag of a notification that is not ours.
LParam hold_tag(LONG64 hold) { return static_cast<LParam>(hold & 0x7FFFFFFF); }

namespace {

// The slot of this message in the shared table; with claim, the first free slot is claimed for
// it when it has none. nullptr when it has none (and, with claim, the table is full). Slots are
// claimed in order and never freed, so the first free slot ends the search.
MessageHold* message_slot(SharedState& shared, std::uint32_t msg, bool claim) {
  if (msg == 0) return nullptr;
  const auto wanted = static_cast<LONG64>(msg);
  for (MessageHold& slot : shared.latest) {
    LONG64 found = load(slot.message);
    if (found == 0) {
      if (!claim) return nullptr;
      found = InterlockedCompareExchange64(&slot.message, wanted, 0);
      if (found == 0) return &slot;  // claimed just now
    }
    if (found == wanted) return &slot;
  }
  return nullptr;
}

// The tag of the latest hold this message was sent under; the latest hold of any message when
// the table does not know it (its sender found no room, and judged it the same way).
LParam latest_tag(SharedState& shared, std::uint32_t msg) {
  MessageHold* slot = message_slot(shared, msg, false);
  return hold_tag(load(slot != nullptr ? slot->hold : shared.holds));
}

// Per message: the latest hold whose text this process's receiver has read, and the latest hold
// this process sent under (its text is not read back, a sender does not hear itself); 0 when
// none yet. Guarded: receivers and senders may run on several threads.
struct Tags {
  LParam read = 0;
  LParam sent = 0;
};
std::mutex tags_mutex;
std::map<std::uint32_t, Tags> tags_by_message;

Tags& tags_of(std::uint32_t msg) { return tags_by_message[msg]; }

// The mutex taken for a kReadCurrent read, released by current_text_read().
HANDLE reading_mutex = nullptr;

}  // namespace

LParam notification_tag(std::uint32_t msg) {
  if (!send_lock_still_held()) return 0;
  LockState& s = send_lock_state();
  const LONG64 hold = s.hold;
  if (MessageHold* slot = message_slot(*s.shared, msg, true); slot != nullptr) {
    // Only the holder writes; one that was taken over may still, so the later hold wins.
    LONG64 before = load(slot->hold);
    while (before < hold) {
      const LONG64 seen = InterlockedCompareExchange64(&slot->hold, hold, before);
      if (seen == before) break;
      before = seen;
    }
  }
  const std::lock_guard lock(tags_mutex);
  return tags_of(msg).sent = hold_tag(hold);
}

NotificationUse use_notification(Hwnd window, std::uint32_t msg, LParam tag) {
  win::session_hung_marks().clear(reinterpret_cast<HWND>(window));
  if (tag == 0) return NotificationUse::kRead;
  LockState& s = send_lock_state();
  // Without the lock's state the tag cannot be judged; the contract's reading is kept.
  if (!open_shared(s)) return NotificationUse::kRead;
  const LParam current = latest_tag(*s.shared, msg);
  const std::lock_guard lock(tags_mutex);
  Tags& tags = tags_of(msg);
  if (current == tags.read || current == tags.sent) return NotificationUse::kSkip;
  if (tag == current) {
    tags.read = current;
    return NotificationUse::kRead;
  }
  // Stale: read what the area holds now, but only when no sender is writing (this process's
  // own send included: a sender does not hear itself).
  if (s.held) return NotificationUse::kSkip;
  const LONG64 generation = load(s.shared->generation);
  HANDLE mutex = mutex_for(s, generation);
  if (mutex == nullptr) return NotificationUse::kSkip;
  const DWORD got = ::WaitForSingleObject(mutex, 0);
  if (got != WAIT_OBJECT_0 && got != WAIT_ABANDONED) return NotificationUse::kSkip;
  if (load(s.shared->generation) != generation || latest_tag(*s.shared, msg) != current) {
    ::ReleaseMutex(mutex);
    return NotificationUse::kSkip;
  }
  reading_mutex = mutex;
  tags.read = current;
  return NotificationUse::kReadCurrent;
}

void current_text_read() {
  if (reading_mutex == nullptr) return;
  ::ReleaseMutex(reading_mutex);
  reading_mutex = nullptr;
}

}  // namespace mmfcast::platform
