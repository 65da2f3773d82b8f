// The send lock's parts as its three files share them: the shared page "send-lock" and its
// layout (send_lock.cpp), the holder tokens (holder_token.cpp) and the wait for a held lock
// (send_lock_wait.cpp); platform/linux/send_lock.cpp makes the Win32-shaped operations of the
// entry points at the end. The rules are described in docs/session-transport.md.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/linux/transport/internal.h"

namespace mmfcast::platform::os {

using Clock = std::chrono::steady_clock;

// Message ids as they travel in frames: the message table's ids.
inline constexpr std::uint32_t kFirstMessageId = 0xC000;
inline constexpr std::uint32_t kLastMessageId = 0xFFFF;
inline constexpr std::size_t kBroadcastSlots = 256;
inline constexpr std::size_t kWaiterSlots = 64;

// The lock word: 0 when free, else a token (below kOffered) when held, or kOffered | token when
// that token's holder released it to the waiters: free for anybody but that holder.
inline constexpr std::uint64_t kOffered = std::uint64_t{1} << 63;

struct SharedState {
  std::atomic<std::uint64_t> owner;  // the lock word
  std::atomic<std::uint64_t> holds;  // bumped by every new holder: the lock is moving
  // The last hold that recorded a broadcast, and per message (slot: id modulo the table's size,
  // the slot's last writer wins) the last hold that broadcast it. A hold records its message
  // before it sends the frames.
  std::atomic<std::uint64_t> recorded;
  std::atomic<std::uint64_t> last_broadcast[kBroadcastSlots];
  // Bumped whenever the lock is released or changes hands; waiters sleep on it (a futex).
  std::atomic<std::uint32_t> turn;
  std::atomic<std::uint32_t> reserved;
  // The tokens of the processes waiting for the lock (0: a free slot).
  std::atomic<std::uint64_t> waiting[kWaiterSlots];
  // When the current holder's run of holds reaches kRunMs (steady clock, ns): its releases
  // before then wake nobody, so waiters sleep no longer than that.
  std::atomic<std::int64_t> run_ends;
};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);
static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
static_assert(offsetof(SharedState, holds) == 8 && offsetof(SharedState, last_broadcast) == 24);
static_assert(offsetof(SharedState, turn) == 2072 && offsetof(SharedState, waiting) == 2080);
static_assert(offsetof(SharedState, run_ends) == 2592);

inline constexpr off_t kSharedSize = 4096;
static_assert(sizeof(SharedState) <= kSharedSize);

// How often a waiter looks at the holder while it sleeps: whether it died, or has hung.
inline constexpr int kLookMs = 100;
// How long a releaser that offered the lock to its waiters lets them take it before it takes
// the lock back itself; the waiters it saw are then forgotten (they register again when they
// wake), so a waiter that died or was stopped costs this once.
inline constexpr int kOfferMs = 20;
// How long a process may hold the lock in a run of holds (taking it again at once after each
// release) while others wait, before its release offers it to them. Taking a free lock again
// costs nothing, while handing it over costs the waiter's wake-up: runs keep a busy session
// fast, their bound keeps every sender going. A release within the run wakes nobody (the
// holder may take the lock again at once, and a waiter woken for each send would cost a switch
// each time); waiters sleep no longer than the run, so a lock let go for good within its run
// waits at most that long for them.
inline constexpr int kRunMs = 2;

inline std::int64_t steady_ns(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// The shared page mapped in this process, guarded against the file being cut short; kept by a
// waiter's helper thread as long as it runs.
struct Page {
  SharedMapping mapping;
  SharedState* shared() const { return mapping.as<SharedState>(); }
};

// This process's token: its file, flocked for as long as the process lives.
struct Token {
  std::uint64_t value = 0;
  UniqueFd fd;
  std::string path;
  struct stat st {};
};

struct LockState {
  std::string dir;
  std::uint64_t epoch = 0;  // of the session directory the state was opened in
  pid_t opener = 0;         // a forked child must not share the parent's open file descriptions
  UniqueFd state_fd;
  std::shared_ptr<Page> page;
  SharedState* shared = nullptr;  // page->shared()
  struct stat state_st {};        // what state_fd was opened as
  Token token;
  std::uint64_t changes_seen = 0;  // session_changes() when the files were last checked
  std::uint64_t moved_seen = 0;    // mappings_moved() when the hold began
  std::uint64_t damage_seen = 0;   // damage_count() when the hold began
  std::uint64_t hold = 0;          // the count of holds that this process's hold began
  bool held = false;
  // While held, the steps of a send (the checks before and after writing, the broadcast) look
  // at the session directory once.
  std::unique_ptr<CheckedScope> scope;
  Clock::time_point offered_at{};  // when this process last offered the lock to its waiters
  std::uint64_t last_hold = 0;     // the count of holds its last hold began
  Clock::time_point run_since{};   // the start of its current run of holds

  LockState() = default;
  // Lets go of a lock this process holds and removes its token.
  ~LockState();
  LockState(const LockState&) = delete;
  LockState& operator=(const LockState&) = delete;
};

LockState& lock_state();

// ---- The page (send_lock.cpp) ---------------------------------------------------------------

// Sleeps while turn still reads `expected`, at most timeout_ms, as a waiter of class `bits`;
// wakes up to count waiters of the classes in bits.
void futex_wait(SharedState& shared, std::uint32_t expected, int timeout_ms, std::uint32_t bits);
void futex_wake(SharedState& shared, int count, std::uint32_t bits = ~std::uint32_t{0});

// Whether this process may take the lock word holding `owner`: free, offered by another, or
// its own token (this process holds no lock, so that is one it left behind).
bool takeable(std::uint64_t owner, std::uint64_t token);

// Opens the page of the current session (again when it was removed or replaced, or the
// directory was), creating it zero-filled when missing; false, with the reason recorded, when
// it cannot. A lock this process held in a page it leaves is let go.
bool open_state(LockState& s);

// The lock word now holds this process's token: the hold begins, unless the page was damaged
// (the word was then a private copy), in which case false.
bool begin_hold(LockState& s);

// Ends this process's hold, if it has one, and lets the lock go.
void end_hold(LockState& s);

// ---- Tokens (holder_token.cpp) --------------------------------------------------------------

// The futex bit this process's helper sleeps with, so that it can be woken alone.
inline std::uint32_t token_bit(std::uint64_t token) { return std::uint32_t{1} << (token % 32); }

// Makes this process's token when it has none in the page's directory; false, with the reason
// recorded, when it cannot. Tokens of dead processes are swept away then.
bool ensure_token(LockState& s);
// Removes this process's token file and forgets it.
void drop_token(LockState& s);
// Frees the lock word of `shared` if it holds `token`, whose holder is gone or exiting, and
// wakes a waiter. True when this call freed it.
bool free_dead_holder(SharedState& shared, std::uint64_t token);
// Whether the holder whose token is `owner` has died: its token file is there and its lock is
// free. The file is then removed. A missing file proves nothing (someone removed it).
bool holder_gone(const std::string& dir, std::uint64_t owner);

// ---- Waiting (send_lock_wait.cpp) -----------------------------------------------------------

void register_waiter(SharedState& shared, std::uint64_t token);
void unregister_waiter(SharedState& shared, std::uint64_t token);
bool others_waiting(const SharedState& shared, std::uint64_t token);

// Waits until this process holds the lock: taken when free or offered to it, taken from a
// dead holder, or taken over from one that held it takeover_ms. False, with the reason
// recorded, when the lock's files cannot be opened.
bool wait_for_send_lock(LockState& s, int takeover_ms);

// ---- The entry points of platform/linux/send_lock.cpp --------------------------------------

// Whether this process holds the lock (a forked child holds none of its parent's).
bool send_lock_held();
// Makes the page and the token ready to take the lock; false, with the reason recorded, when
// it cannot. Costs no system call while the directory last seen is the one they were opened in.
bool send_lock_ready();
// Takes the lock if nobody holds it; no system call.
bool take_free_send_lock();
// Lets go of this process's hold, if it has one.
void release_send_lock_hold();
// Whether this process's hold still stands: nobody took it over, and the directory, its files
// and this process's mappings are the ones it began in.
bool send_lock_hold_stands();

}  // namespace mmfcast::platform::os
