// The session-wide send lock on Linux: a word in the shared page "send-lock" of the session
// directory, taken and released with atomic operations, so a lock nobody else wants costs no
// system call. The word holds the holder's token (holder_token.cpp): a waiter that finds the
// holder dead, or sees the same hold for longer than the takeover time, takes the lock
// (send_lock_wait.cpp). The page's count of holds, with a small table of the last hold that
// broadcast each message, tells a receiver whether a notification's text is still current and
// tells a resumed holder that its hold was taken over. A process that has held the lock for a
// while in a run of holds offers it to the waiters rather than take it again, so a copy sending
// in a loop cannot starve the others. Files removed or replaced under the lock are noticed when
// the directory has changed and opened anew; an entry at their names that is not a private
// file is moved aside.
#include "platform/linux/transport/send_lock.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/stat.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include "platform/linux/transport/internal.h"
#include "platform/linux/transport/session.h"
#include "platform/linux/transport/transport.h"

namespace mmfcast::platform::os {

Part<LockState> make_lock_state() { return new_part<LockState>(); }

LockState& lock_state() { return session().lock(); }

LockState::~LockState() {
  if (shared != nullptr && opener == own_pid() && token.value != 0) {
    unregister_waiter(*shared, token.value);
    free_dead_holder(*shared, token.value);
  }
  drop_token(*this);
}

namespace {

std::uint64_t broadcast_entry(std::uint32_t msg, std::uint64_t hold) {
  constexpr int kHoldShift = 16;  // an entry: the hold in the high 48 bits, the message id below
  return (hold << kHoldShift) | (msg & 0xFFFFu);
}
std::atomic<std::uint64_t>& broadcast_slot(SharedState& shared, std::uint32_t msg) {
  return shared.last_broadcast[(msg - kFirstMessageId) % kBroadcastSlots];
}
bool is_table_id(std::uint32_t msg) { return msg >= kFirstMessageId && msg <= kLastMessageId; }

// Futexes on the shared page are never FUTEX_PRIVATE: the waiters are other processes.
std::uint32_t* futex_word(SharedState& shared) {
  return reinterpret_cast<std::uint32_t*>(&shared.turn);
}

}  // namespace

void futex_wait(SharedState& shared, std::uint32_t expected, int timeout_ms, std::uint32_t bits) {
  timespec until{};
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += timeout_ms / 1000;
  until.tv_nsec += (timeout_ms % 1000) * 1'000'000L;
  if (until.tv_nsec >= 1'000'000'000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1'000'000'000L;
  }
  syscalls().futex(futex_word(shared), FUTEX_WAIT_BITSET, expected, &until, bits);
}

void futex_wake(SharedState& shared, int count, std::uint32_t bits) {
  syscalls().futex(futex_word(shared), FUTEX_WAKE_BITSET, static_cast<std::uint32_t>(count),
                   nullptr, bits);
}

// Whether this process may take the lock word holding `owner`: free, offered by another, or
// its own token (this process holds no lock, so that is one it left behind).
bool takeable(std::uint64_t owner, std::uint64_t token) {
  return owner == 0 || owner == token || ((owner & kOffered) != 0 && owner != (kOffered | token));
}

namespace {

// Lets the lock go and wakes one waiter, if any. With may_offer, a run of holds that has lasted
// kRunMs while others wait ends with the lock offered to them. Nothing happens when the word no
// longer holds this token (it was taken over).
void let_go(SharedState& shared, std::uint64_t token, bool may_offer) {
  LockState& s = lock_state();
  const bool waiters = others_waiting(shared, token);
  const bool in_run = may_offer && Clock::now() - s.run_since < std::chrono::milliseconds(kRunMs);
  const bool offer = may_offer && waiters && !in_run;
  std::uint64_t expected = token;
  if (!shared.owner.compare_exchange_strong(expected, offer ? (kOffered | token) : 0)) return;
  if (offer) s.offered_at = Clock::now();
  shared.turn.fetch_add(1);
  // Waiters sleep until the run ends at the latest (a waiter about to sleep sees the turn move).
  if (in_run) return;
  // A waiter that registered after the first look finds the word changed, or is woken here.
  if (waiters || others_waiting(shared, token)) futex_wake(shared, 1);
}

// Closes what this process has open. A forked child closes its inherited descriptors as well.
void close_all(LockState& s) {
  s.page.reset();
  s.shared = nullptr;
  s.state_fd.reset();
  s.held = false;
  s.scope.reset();
}

// Whether the page and the token this process has open are still the ones at their names;
// looked at only when the directory has changed since the last look.
bool files_in_place(LockState& s) {
  if (s.page && s.page->mapping.damaged()) return false;  // opening it again grows it
  const std::uint64_t changes = session_changes();
  if (changes == s.changes_seen) return true;
  if (!is_same_file(s.dir + "/send-lock", s.state_st.st_dev, s.state_st.st_ino)) return false;
  // A token no longer at its name proves nothing to waiters: a new one is made when free.
  if (s.token.fd.valid() && !s.held &&
      !is_same_file(s.token.path, s.token.st.st_dev, s.token.st.st_ino)) {
    return false;
  }
  s.changes_seen = changes;
  return true;
}

// Opens (or makes) the private file at path. Something else at its name (a directory, a
// symlink, a file with another link) is moved aside under the session lock, as
// "damaged-<name>-<random>", and the file made anew; throws OsError naming it when that fails.
UniqueFd open_or_repair(const std::string& dir, const std::string& name, const std::string& what,
                        struct stat* info) {
  const std::string path = dir + "/" + name;
  // Another copy may be repairing it at the same moment: a few rounds settle it.
  for (int attempt = 1;; ++attempt) {
    try {
      return open_session_file(path, Create::kIfMissing, what, info);
    } catch (const OsError&) {
      if (attempt == 3) throw;
    }
    struct stat st {};
    const auto damaged = [&] {
      return syscalls().lstat(path.c_str(), &st) == 0 &&
             (!S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != own_euid());
    };
    if (!damaged()) continue;
    const UniqueFd session = lock_session(dir);
    if (!damaged()) continue;
    std::uint64_t tag = 0;
    syscalls().getrandom(&tag, sizeof tag, 0);
    char suffix[17];
    std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(tag));
    std::string aside = dir;
    aside.append("/damaged-").append(name).append("-").append(suffix);
    if (syscalls().rename(path.c_str(), aside.c_str()) != 0) {
      throw_os_error(errno, what, "not a private file, and it cannot be moved aside");
    }
  }
}

// Leaves the page this process has open for another: a page no longer at the name is dead; a
// copy still holding a lock under it learns so from its count of holds, without a system call,
// before it writes. A lock this process left in it is let go, for copies that have not noticed
// yet.
void leave_page(LockState& s) {
  if (!is_same_file(s.dir + "/send-lock", s.state_st.st_dev, s.state_st.st_ino)) {
    s.shared->holds.fetch_add(1);
  }
  if (s.token.value != 0) {
    unregister_waiter(*s.shared, s.token.value);
    let_go(*s.shared, s.token.value, false);
  }
}

// Maps the page of dir, made or repaired, into s.
void map_page(LockState& s, const SessionDir& dir) {
  const std::string what = "send lock " + dir.file("send-lock");
  s.changes_seen = session_changes();
  UniqueFd fd = open_or_repair(dir.path, "send-lock", what, &s.state_st);
  // Growing the file keeps what is there; the blocks are reserved so that the first write
  // into the page cannot meet a full filesystem.
  reserve_blocks(fd.get(), kSharedSize, what, s.state_st);
  auto page = std::make_shared<Page>();
  page->mapping = SharedMapping::map_guarded(fd.get(), kSharedSize, what);
  s.dir = dir.path;
  s.epoch = dir.epoch;
  s.opener = own_pid();
  s.state_fd = std::move(fd);
  s.shared = page->shared();
  s.page = std::move(page);
}

}  // namespace

bool open_state(LockState& s) {
  return guarded(false, [&] {
    const SessionPtr dir = current_session();
    if (!dir) throw_last_error();
    const bool own = s.shared != nullptr && s.opener == own_pid();
    if (own && s.epoch == dir->epoch && files_in_place(s)) return true;
    if (own) leave_page(s);
    close_all(s);
    const bool token_good = s.token.fd.valid() && s.opener == own_pid() && s.epoch == dir->epoch &&
                            is_same_file(s.token.path, s.token.st.st_dev, s.token.st.st_ino);
    if (!token_good && s.token.fd.valid()) drop_token(s);
    map_page(s, *dir);
    return true;
  });
}

// The lock word now holds this process's token: the hold begins, unless the page was damaged
// (the word was then a private copy), in which case false.
bool begin_hold(LockState& s) {
  if (s.page->mapping.damaged()) return false;
  s.hold = s.shared->holds.fetch_add(1) + 1;
  if (s.hold != s.last_hold + 1) s.run_since = Clock::now();  // another held it in between
  s.shared->run_ends.store(steady_ns(s.run_since + std::chrono::milliseconds(kRunMs)));
  s.moved_seen = mappings_moved();
  s.damage_seen = damage_count();
  s.held = true;
  s.scope = std::make_unique<CheckedScope>();
  return true;
}

void end_hold(LockState& s) {
  if (!s.held || s.opener != own_pid()) return;
  s.held = false;
  s.scope.reset();
  s.last_hold = s.hold;
  if (s.shared != nullptr) let_go(*s.shared, s.token.value, true);
}

// ---- The entry points --------------------------------------------------------------------

bool send_lock_held() {
  const LockState& s = lock_state();
  return s.held && s.opener == own_pid();
}

bool send_lock_ready() {
  LockState& s = lock_state();
  // A free lock costs no system call to take: the directory is checked by
  // send_lock_still_held, which a sender calls before it writes, so here the state is reused
  // while the directory last seen is the one it was opened in and the environment still names
  // it (another directory named since has not been looked at yet).
  const SessionPtr known = attached_session();
  const bool reusable = s.shared != nullptr && s.opener == own_pid() && known &&
                        known->epoch == s.epoch && s.token.fd.valid() && names_path(s.dir) &&
                        files_in_place(s);
  return reusable || (open_state(s) && ensure_token(s));
}

bool take_free_send_lock() {
  LockState& s = lock_state();
  std::uint64_t owner = s.shared->owner.load();
  return takeable(owner, s.token.value) &&
         s.shared->owner.compare_exchange_strong(owner, s.token.value) && begin_hold(s);
}

void release_send_lock_hold() { end_hold(lock_state()); }

bool send_lock_hold_stands() {
  LockState& s = lock_state();
  // One look at the directory per hold: the send lock's files are looked at again when it
  // changed, and a lock taken in a directory since replaced is no lock.
  bool same_directory = true;
  if (s.held && s.opener == own_pid()) {
    const SessionPtr dir = current_session();
    same_directory = dir && dir->epoch == s.epoch;
  }
  return same_directory && s.held && s.opener == own_pid() && s.shared != nullptr &&
         s.shared->owner.load() == s.token.value && s.shared->holds.load() == s.hold &&
         mappings_moved() == s.moved_seen && damage_count() == s.damage_seen && files_in_place(s);
}

SendLockHold send_lock_hold() {
  LockState& s = lock_state();
  if (!s.held || s.opener != own_pid()) return {};
  return {s.hold, !send_lock_hold_stands()};
}

bool send_lock_hold_current(std::uint64_t epoch, std::uint32_t msg, std::uint64_t hold) {
  if (hold == 0) return true;
  LockState& s = lock_state();
  const bool current =
      s.shared != nullptr && s.epoch == epoch && s.opener == own_pid() && files_in_place(s);
  if (!current && !open_state(s)) return true;  // nothing is known to be stale
  // A holder bumps holds when it takes the lock, and writes its entry before recorded: an
  // entry read after recorded showed that hold is the one it wrote.
  const std::uint64_t holds = s.shared->holds.load();
  if (holds == 0 || holds == hold) return true;
  if (!is_table_id(msg)) return false;
  // A later hold that has not recorded a broadcast yet may be writing this message's area.
  if (s.shared->recorded.load() != holds) return false;
  return broadcast_slot(*s.shared, msg).load() == broadcast_entry(msg, hold);
}

void record_broadcast(std::uint32_t msg, std::uint64_t hold) {
  LockState& s = lock_state();
  if (!is_table_id(msg) || hold == 0 || !s.held || s.hold != hold || s.opener != own_pid() ||
      s.shared == nullptr) {
    return;
  }
  broadcast_slot(*s.shared, msg).store(broadcast_entry(msg, hold));
  s.shared->recorded.store(hold);
}

}  // namespace mmfcast::platform::os
