// The session-wide send lock on Linux: a word in the shared page "send-lock" of the session
// directory, taken and released with atomic operations, so a lock nobody else wants costs no
// system call. The word holds the holder's token, a random id whose file "holder-<token>" the
// holder keeps an exclusive flock on for its whole life: a waiter that can take that flock knows
// the holder is dead and takes the lock. A waiter that sees the same hold for longer than the
// takeover time takes it over from a hung holder. The page's count of holds, with a small table
// of the last hold that broadcast each message, tells a receiver whether a notification's text
// is still current and tells a resumed holder that its hold was taken over. Waiters sleep on a
// futex word of the page (a helper thread sleeps there while the waiting thread keeps answering
// its own endpoint); a process that has held the lock for a while in a run of holds offers it to
// the waiters rather than take it again, so a copy sending in a loop cannot starve the others.
// Files removed or replaced under the lock are noticed when the directory has changed and
// opened anew; an entry at their names that is not a private file is moved aside.
#include <dirent.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/linux/internal.h"
#include "platform/linux/transport.h"
#include "platform/platform.h"

namespace mmfcast::platform {

namespace {

using Clock = std::chrono::steady_clock;
using os::syscalls;

// Message ids as they travel in frames: the message table's ids.
constexpr std::uint32_t kFirstMessageId = 0xC000;
constexpr std::uint32_t kLastMessageId = 0xFFFF;
constexpr std::size_t kBroadcastSlots = 256;
constexpr int kHoldShift = 16;  // an entry: the hold in the high 48 bits, the message id below
constexpr std::size_t kWaiterSlots = 64;

// The lock word: 0 when free, else a token (below kOffered) when held, or kOffered | token when
// that token's holder released it to the waiters: free for anybody but that holder.
constexpr std::uint64_t kOffered = std::uint64_t{1} << 63;

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

constexpr off_t kSharedSize = 4096;
static_assert(sizeof(SharedState) <= kSharedSize);

std::uint64_t broadcast_entry(std::uint32_t msg, std::uint64_t hold) {
  return (hold << kHoldShift) | (msg & 0xFFFFu);
}
std::atomic<std::uint64_t>& broadcast_slot(SharedState& shared, std::uint32_t msg) {
  return shared.last_broadcast[(msg - kFirstMessageId) % kBroadcastSlots];
}
bool is_table_id(std::uint32_t msg) { return msg >= kFirstMessageId && msg <= kLastMessageId; }

// How often a waiter looks at the holder while it sleeps: whether it died, or has hung.
constexpr int kLookMs = 100;
// How long a releaser that offered the lock to its waiters lets them take it before it takes
// the lock back itself; the waiters it saw are then forgotten (they register again when they
// wake), so a waiter that died or was stopped costs this once.
constexpr int kOfferMs = 20;
// How long a process may hold the lock in a run of holds (taking it again at once after each
// release) while others wait, before its release offers it to them. Taking a free lock again
// costs nothing, while handing it over costs the waiter's wake-up: runs keep a busy session
// fast, their bound keeps every sender going. A release within the run wakes nobody (the
// holder may take the lock again at once, and a waiter woken for each send would cost a switch
// each time); waiters sleep no longer than the run, so a lock let go for good within its run
// waits at most that long for them.
constexpr int kRunMs = 2;

std::int64_t steady_ns(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// The shared page mapped in this process; kept by a waiter's helper thread as long as it runs.
struct Page {
  SharedState* shared = nullptr;
  int guard = -1;  // the page's slot among the regions guarded against truncation

  Page() = default;
  Page(const Page&) = delete;
  Page& operator=(const Page&) = delete;
  ~Page() {
    os::unguard_region(guard);
    if (shared != nullptr) syscalls().munmap(shared, kSharedSize);
  }
};

// This process's token: its file, flocked for as long as the process lives.
struct Token {
  std::uint64_t value = 0;
  int fd = -1;
  std::string path;
  struct stat st {};
};

struct LockState {
  std::string dir;
  std::uint64_t epoch = 0;  // of the session directory the state was opened in
  pid_t opener = 0;         // a forked child must not share the parent's open file descriptions
  int state_fd = -1;
  std::shared_ptr<Page> page;
  SharedState* shared = nullptr;  // page->shared
  struct stat state_st {};        // what state_fd was opened as
  Token token;
  std::uint64_t changes_seen = 0;  // os::session_changes() when the files were last checked
  std::uint64_t moved_seen = 0;    // os::mappings_moved() when the hold began
  std::uint64_t damage_seen = 0;   // os::damage_count() when the hold began
  std::uint64_t hold = 0;          // the count of holds that this process's hold began
  bool held = false;
  // While held, the steps of a send (the checks before and after writing, the broadcast) look
  // at the session directory once.
  std::unique_ptr<os::CheckedScope> scope;
  Clock::time_point offered_at{};  // when this process last offered the lock to its waiters
  std::uint64_t last_hold = 0;     // the count of holds its last hold began
  Clock::time_point run_since{};   // the start of its current run of holds
};

LockState& lock_state() { return os::process_wide<LockState>(); }

// ---- Futexes on the shared page (never FUTEX_PRIVATE: the waiters are other processes) ------

std::uint32_t* futex_word(SharedState& shared) {
  return reinterpret_cast<std::uint32_t*>(&shared.turn);
}

// Sleeps while turn still reads `expected`, at most timeout_ms, as a waiter of class `bits`.
void futex_wait(SharedState& shared, std::uint32_t expected, int timeout_ms, std::uint32_t bits) {
  timespec until{};
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += timeout_ms / 1000;
  until.tv_nsec += (timeout_ms % 1000) * 1'000'000L;
  if (until.tv_nsec >= 1'000'000'000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1'000'000'000L;
  }
  syscall(SYS_futex, futex_word(shared), FUTEX_WAIT_BITSET, expected, &until, nullptr, bits);
}

void futex_wake(SharedState& shared, int count, std::uint32_t bits = FUTEX_BITSET_MATCH_ANY) {
  syscall(SYS_futex, futex_word(shared), FUTEX_WAKE_BITSET, count, nullptr, nullptr, bits);
}

// ---- Tokens ------------------------------------------------------------------------------

constexpr std::string_view kTokenPrefix = "holder-";

std::string token_name(std::uint64_t token) {
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(token));
  return std::string(kTokenPrefix) + hex;
}

// The futex bit this process's helper sleeps with, so that it can be woken alone.
std::uint32_t token_bit(std::uint64_t token) { return std::uint32_t{1} << (token % 32); }

// What the at-exit handler removes, in storage that exit-time destruction leaves alone.
struct TokenExitRecord {
  pid_t pid = 0;
  dev_t dev = 0;
  ino_t ino = 0;
  char path[4096] = {};
};
TokenExitRecord token_exit_record;

// A forked child shares the open file description of its parent's token, whose lock would then
// outlive the parent: the child lets go of it at once and makes its own when it needs one.
void forget_token_in_child() {
  LockState& s = lock_state();
  if (s.token.fd >= 0) ::close(s.token.fd);
  s.token = Token{};
}

void drop_token(LockState& s) {
  if (s.token.fd >= 0) {
    os::unlink_if_same(s.token.path, s.token.st.st_dev, s.token.st.st_ino);
    syscalls().close(s.token.fd);
  }
  s.token = Token{};
  token_exit_record.path[0] = '\0';
}

// Frees the lock word of `shared` if it holds `token`, whose holder is gone or exiting, and
// wakes a waiter. True when this call freed it.
bool free_dead_holder(SharedState& shared, std::uint64_t token) {
  std::uint64_t expected = token;
  if (!shared.owner.compare_exchange_strong(expected, 0)) return false;
  shared.turn.fetch_add(1);
  futex_wake(shared, 1);
  return true;
}

void remove_token_at_exit() {
  const TokenExitRecord& r = token_exit_record;
  if (r.pid != getpid() || r.path[0] == '\0') return;
  // A lock left in the word would outlive the file that tells the others its holder is gone.
  LockState& s = lock_state();
  if (s.shared != nullptr && s.opener == r.pid && s.token.value != 0) {
    free_dead_holder(*s.shared, s.token.value);
  }
  os::unlink_if_same(r.path, r.dev, r.ino);
}

// Removes the file at path, a token or an old lock file, when the flock `mode` (LOCK_SH or
// LOCK_EX) can be taken on it: no live process holds it. True when it did.
bool remove_if_unlocked(const std::string& path, int mode) {
  try {
    struct stat info {};
    const os::UniqueFd fd = os::open_session_file(path, os::Create::kNever, path, &info);
    if (!fd.valid()) return false;
    if (os::retry_eintr([&] { return syscalls().flock(fd.get(), mode | LOCK_NB); }) != 0) {
      return false;
    }
    os::unlink_if_same(path, info.st_dev, info.st_ino);
    return true;
  } catch (const os::OsError&) {
    return false;
  }
}

// Removes the tokens of processes that died, and the lock files of older builds ("send-lock."
// and a number) that nobody holds. A dead token that still holds the lock frees it.
void sweep(LockState& s) {
  DIR* stream = syscalls().opendir(s.dir.c_str());
  if (stream == nullptr) return;
  std::vector<std::string> names;
  while (const dirent* entry = syscalls().readdir(stream)) {
    const std::string_view name = entry->d_name;
    if ((name.starts_with(kTokenPrefix) && name.size() == kTokenPrefix.size() + 16 &&
         name.find_first_not_of("0123456789abcdef", kTokenPrefix.size()) ==
             std::string_view::npos) ||
        (name.starts_with("send-lock.") && name.size() > 10 &&
         name.find_first_not_of("0123456789", 10) == std::string_view::npos)) {
      names.emplace_back(name);
    }
  }
  syscalls().closedir(stream);
  for (const std::string& name : names) {
    if (!name.starts_with(kTokenPrefix)) {
      remove_if_unlocked(s.dir + "/" + name, LOCK_EX);
      continue;
    }
    if (remove_if_unlocked(s.dir + "/" + name, LOCK_SH) && s.shared != nullptr) {
      const std::uint64_t token = std::strtoull(name.c_str() + kTokenPrefix.size(), nullptr, 16);
      if (token != 0 && (token & kOffered) == 0) free_dead_holder(*s.shared, token);
    }
  }
}

// Makes this process's token in the current directory: a new file "holder-<token>", flocked
// exclusively for the life of the process. Throws OsError naming it when it cannot.
constexpr int kTokenAttempts = 8;
void make_token(LockState& s) {
  static const bool registered = [] {
    std::atexit(remove_token_at_exit);
    pthread_atfork(nullptr, nullptr, forget_token_in_child);
    return true;
  }();
  (void)registered;
  drop_token(s);
  for (int attempt = 1;; ++attempt) {
    std::uint64_t value = 0;
    if (syscalls().getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value)) {
      os::throw_os_error(errno, "send lock holder token (getrandom)");
    }
    value &= ~kOffered;
    if (value == 0) continue;
    const std::string path = s.dir + "/" + token_name(value);
    const std::string what = "send lock holder token " + path;
    struct stat st {};
    os::UniqueFd fd;
    try {
      fd = os::open_session_file(path, os::Create::kExclusive, what, &st);
    } catch (const os::OsError& e) {
      // Taken, or removed or replaced right after it was made (see below): another id.
      if ((e.code == EEXIST || e.code == EPERM) && attempt < kTokenAttempts) continue;
      throw;
    }
    // A copy sweeping the directory may take the fresh file for a dead one before it is
    // locked (it then holds a shared lock on it, or has removed it): made again under a new id.
    if (syscalls().flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      os::unlink_if_same(path, st.st_dev, st.st_ino);
      if (error == EWOULDBLOCK && attempt < kTokenAttempts) continue;
      os::throw_os_error(error, what);
    }
    if (!os::is_same_file(path, st.st_dev, st.st_ino)) {
      if (attempt < kTokenAttempts) continue;
      os::throw_os_error(ENOENT, what, "removed while it was made");
    }
    s.token = Token{value, fd.release(), path, st};
    TokenExitRecord& r = token_exit_record;
    r.pid = getpid();
    r.path[0] = '\0';
    if (path.size() < sizeof r.path) {
      r.dev = st.st_dev;
      r.ino = st.st_ino;
      std::memcpy(r.path, path.c_str(), path.size() + 1);
    }
    sweep(s);
    return;
  }
}

// Whether the holder whose token is `owner` has died: its token file is there and its lock is
// free. The file is then removed. A missing file proves nothing (someone removed it).
bool holder_gone(const std::string& dir, std::uint64_t owner) {
  if (owner == 0 || (owner & kOffered) != 0) return false;
  return remove_if_unlocked(dir + "/" + token_name(owner), LOCK_SH);
}

// ---- Waiters ------------------------------------------------------------------------------

void register_waiter(SharedState& shared, std::uint64_t token) {
  if (token == 0) return;
  for (auto& slot : shared.waiting) {
    if (slot.load() == token) return;
  }
  for (auto& slot : shared.waiting) {
    std::uint64_t expected = 0;
    if (slot.load() == 0 && slot.compare_exchange_strong(expected, token)) return;
  }
  // Every slot taken: this waiter is not woken, and finds the lock at its next look.
}

void unregister_waiter(SharedState& shared, std::uint64_t token) {
  if (token == 0) return;
  for (auto& slot : shared.waiting) {
    std::uint64_t expected = token;
    if (slot.load() == token) slot.compare_exchange_strong(expected, 0);
  }
}

bool others_waiting(const SharedState& shared, std::uint64_t token) {
  for (const auto& slot : shared.waiting) {
    const std::uint64_t value = slot.load();
    if (value != 0 && value != token) return true;
  }
  return false;
}

// Whether this process may take the lock word holding `owner`: free, offered by another, or
// its own token (this process holds no lock, so that is one it left behind).
bool takeable(std::uint64_t owner, std::uint64_t token) {
  return owner == 0 || owner == token || ((owner & kOffered) != 0 && owner != (kOffered | token));
}

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

// A helper thread that sleeps on the lock's futex word, as a waiter of this process's class,
// and writes its eventfd when the word moved and the lock may be taken, so that the waiting
// thread can sleep in poll on the eventfd and its own endpoint together.
class Helper {
 public:
  Helper(std::shared_ptr<Page> page, std::uint32_t seen, std::uint64_t token)
      : page_(std::move(page)), token_(token), bits_(token_bit(token)), seen_(seen) {}
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;

  // Starts the thread; false when there is no eventfd or thread to spare.
  bool start() {
    wake_.reset(syscalls().eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wake_.valid()) return false;
    try {
      thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
      return false;
    }
    return true;
  }
  int wake_fd() const { return wake_.get(); }
  bool serves(const std::shared_ptr<Page>& page, std::uint64_t token) const {
    return page == page_ && token == token_;
  }
  void drain() {
    std::uint64_t count = 0;
    while (syscalls().read(wake_.get(), &count, sizeof count) > 0) {
    }
  }

  // Stops the thread: the word is moved and this process's class woken, so that it returns
  // from its sleep at once (other processes' waiters see a change and look again).
  ~Helper() {
    if (!thread_.joinable()) return;
    stop_.store(true);
    page_->shared->turn.fetch_add(1);
    futex_wake(*page_->shared, INT_MAX, bits_);
    thread_.join();
  }

 private:
  void run() {
    SharedState& shared = *page_->shared;
    while (!stop_.load()) {
      futex_wait(shared, seen_, kLookMs, bits_);
      const std::uint32_t now = shared.turn.load();
      if (stop_.load()) break;
      if (now == seen_) continue;
      seen_ = now;
      // Read after the turn: a lock freed later moves the turn again.
      if (takeable(shared.owner.load(), token_)) {
        const std::uint64_t one = 1;
        syscalls().write(wake_.get(), &one, sizeof one);
      }
    }
  }

  std::shared_ptr<Page> page_;
  std::uint64_t token_;
  std::uint32_t bits_;
  std::uint32_t seen_;
  std::atomic<bool> stop_{false};
  os::UniqueFd wake_;
  std::thread thread_;
};

// Sleeps until the lock word may have moved since turn read `seen`, the own endpoint has
// notifications (they are handled, since the holder may be broadcasting to this very process)
// or timeout_ms pass. Without an endpoint the calling thread sleeps on the futex itself.
void wait_for_turn(LockState& s, std::unique_ptr<Helper>& helper, std::uint32_t seen,
                   int timeout_ms) {
  const int events = event_fd();
  if (events < 0) {
    helper.reset();
    futex_wait(*s.shared, seen, timeout_ms, token_bit(s.token.value));
    return;
  }
  if (helper && !helper->serves(s.page, s.token.value)) helper.reset();
  if (!helper) {
    helper = std::make_unique<Helper>(s.page, seen, s.token.value);
    if (!helper->start()) helper.reset();
  }
  pollfd watch[2] = {{helper ? helper->wake_fd() : -1, POLLIN, 0}, {events, POLLIN, 0}};
  // No thread to spare: look again shortly.
  const int ready = syscalls().poll(watch, 2, helper ? timeout_ms : std::min(timeout_ms, 10));
  if (helper) helper->drain();
  if (ready > 0 && watch[1].revents != 0) dispatch_pending();
}

// ---- The page -----------------------------------------------------------------------------

// Closes what this process has open. A forked child closes its inherited descriptors as well.
void close_all(LockState& s) {
  s.page.reset();
  s.shared = nullptr;
  if (s.state_fd >= 0) syscalls().close(s.state_fd);
  s.state_fd = -1;
  s.held = false;
  s.scope.reset();
}

// Whether the page and the token this process has open are still the ones at their names;
// looked at only when the directory has changed since the last look.
bool files_in_place(LockState& s) {
  if (s.page && os::region_damaged(s.page->guard)) return false;  // opening it again grows it
  const std::uint64_t changes = os::session_changes();
  if (changes == s.changes_seen) return true;
  if (!os::is_same_file(s.dir + "/send-lock", s.state_st.st_dev, s.state_st.st_ino)) return false;
  // A token no longer at its name proves nothing to waiters: a new one is made when free.
  if (s.token.fd >= 0 && !s.held &&
      !os::is_same_file(s.token.path, s.token.st.st_dev, s.token.st.st_ino)) {
    return false;
  }
  s.changes_seen = changes;
  return true;
}

// Opens (or makes) the private file at path. Something else at its name (a directory, a
// symlink, a file with another link) is moved aside under the session lock, as
// "damaged-<name>-<random>", and the file made anew; throws OsError naming it when that fails.
os::UniqueFd open_or_repair(const std::string& dir, const std::string& name,
                            const std::string& what, struct stat* info) {
  const std::string path = dir + "/" + name;
  // Another copy may be repairing it at the same moment: a few rounds settle it.
  for (int attempt = 1;; ++attempt) {
    try {
      return os::open_session_file(path, os::Create::kIfMissing, what, info);
    } catch (const os::OsError&) {
      if (attempt == 3) throw;
    }
    struct stat st {};
    const auto damaged = [&] {
      return syscalls().lstat(path.c_str(), &st) == 0 &&
             (!S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != os::own_euid());
    };
    if (!damaged()) continue;
    const os::UniqueFd session = os::lock_session(dir);
    if (!damaged()) continue;
    std::uint64_t tag = 0;
    syscalls().getrandom(&tag, sizeof tag, 0);
    char suffix[17];
    std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(tag));
    std::string aside = dir;
    aside.append("/damaged-").append(name).append("-").append(suffix);
    if (syscalls().rename(path.c_str(), aside.c_str()) != 0) {
      os::throw_os_error(errno, what, "not a private file, and it cannot be moved aside");
    }
  }
}

// Opens the shared state of the current session, creating it zero-filled when missing; false,
// with the reason recorded, when it cannot.
bool open_state(LockState& s) {
  return os::guarded(false, [&] {
    const os::SessionPtr dir = os::current_session();
    if (!dir) os::throw_last_error();
    const bool own = s.shared != nullptr && s.opener == os::own_pid();
    if (own && s.epoch == dir->epoch && files_in_place(s)) return true;
    if (own) {
      // A page no longer at the name is dead; a copy still holding a lock under it learns so
      // from its count of holds, without a system call, before it writes. A lock this process
      // left in it is let go, for copies that have not noticed yet.
      if (!os::is_same_file(s.dir + "/send-lock", s.state_st.st_dev, s.state_st.st_ino)) {
        s.shared->holds.fetch_add(1);
      }
      if (s.token.value != 0) {
        unregister_waiter(*s.shared, s.token.value);
        let_go(*s.shared, s.token.value, false);
      }
    }
    close_all(s);
    if (s.token.fd >= 0 && s.opener == os::own_pid() && s.epoch == dir->epoch &&
        os::is_same_file(s.token.path, s.token.st.st_dev, s.token.st.st_ino)) {
      // The token is still good in this directory.
    } else if (s.token.fd >= 0) {
      drop_token(s);
    }
    const std::string path = dir->file("send-lock");
    const std::string what = "send lock " + path;
    s.changes_seen = os::session_changes();
    os::UniqueFd fd = open_or_repair(dir->path, "send-lock", what, &s.state_st);
    // Growing the file keeps what is there; the blocks are reserved so that the first write
    // into the page cannot meet a full filesystem.
    os::reserve_blocks(fd.get(), kSharedSize, what);
    void* mapped =
        syscalls().mmap(nullptr, kSharedSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (mapped == MAP_FAILED) os::throw_os_error(errno, what);
    auto page = std::make_shared<Page>();
    page->shared = static_cast<SharedState*>(mapped);
    page->guard = os::guard_region(mapped, kSharedSize);
    s.dir = dir->path;
    s.epoch = dir->epoch;
    s.opener = os::own_pid();
    s.state_fd = fd.release();
    s.shared = page->shared;
    s.page = std::move(page);
    return true;
  });
}

// Makes this process's token when it has none in the page's directory; false, with the reason
// recorded, when it cannot.
bool ensure_token(LockState& s) {
  if (s.token.fd >= 0) return true;
  return os::guarded(false, [&] {
    make_token(s);
    return true;
  });
}

// The lock word now holds this process's token: the hold begins, unless the page was damaged
// (the word was then a private copy), in which case false.
bool begin_hold(LockState& s) {
  if (os::region_damaged(s.page->guard)) return false;
  s.hold = s.shared->holds.fetch_add(1) + 1;
  if (s.hold != s.last_hold + 1) s.run_since = Clock::now();  // another held it in between
  s.shared->run_ends.store(steady_ns(s.run_since + std::chrono::milliseconds(kRunMs)));
  s.moved_seen = os::mappings_moved();
  s.damage_seen = os::damage_count();
  s.held = true;
  s.scope = std::make_unique<os::CheckedScope>();
  return true;
}

}  // namespace

int acquire_send_lock(int takeover_ms) {
  LockState& s = lock_state();
  if (s.held && s.opener == os::own_pid()) return 1;
  // A free lock costs no system call to take: the directory is checked by
  // send_lock_still_held, which a sender calls before it writes, so here the state is reused
  // while the directory last seen is the one it was opened in and the environment still names
  // it (another directory named since has not been looked at yet).
  const os::SessionPtr known = os::attached_session();
  const bool reusable = s.shared != nullptr && s.opener == os::own_pid() && known &&
                        known->epoch == s.epoch && s.token.fd >= 0 && os::names_path(s.dir) &&
                        files_in_place(s);
  if (!reusable && (!open_state(s) || !ensure_token(s))) return 0;

  std::uint64_t owner = s.shared->owner.load();
  if (takeable(owner, s.token.value) &&
      s.shared->owner.compare_exchange_strong(owner, s.token.value)) {
    if (begin_hold(s)) return 1;
  }

  // Wait: the lock is held, offered by this process to the others, or the page was damaged.
  std::unique_ptr<Helper> helper;
  std::uint64_t seen_owner = owner;
  std::uint64_t seen_holds = s.shared->holds.load();
  Clock::time_point since = Clock::now();
  Clock::time_point looked = since;
  const auto leave = [&](bool got) {
    helper.reset();
    if (s.shared != nullptr) unregister_waiter(*s.shared, s.token.value);
    return got ? 1 : 0;
  };
  for (;;) {
    if (os::region_damaged(s.page->guard)) {
      helper.reset();
      if (!open_state(s) || !ensure_token(s)) return leave(false);
      since = Clock::now();
    }
    SharedState& shared = *s.shared;
    const std::uint64_t token = s.token.value;
    register_waiter(shared, token);
    const std::uint32_t turn = shared.turn.load();
    owner = shared.owner.load();
    const std::uint64_t holds = shared.holds.load();
    const Clock::time_point now = Clock::now();
    if (owner != seen_owner || holds != seen_holds) {
      seen_owner = owner;
      seen_holds = holds;
      since = now;
    }
    bool take = takeable(owner, token);
    bool forget_waiters = false;
    int wait_ms = kLookMs;
    if (owner == (kOffered | token)) {
      // This process's own offer: the waiters it saw have had their chance.
      const auto offered_ms =
          std::chrono::duration_cast<std::chrono::milliseconds>(now - s.offered_at).count();
      take = forget_waiters = offered_ms >= kOfferMs || offered_ms < 0;
      wait_ms = static_cast<int>(std::clamp<long long>(kOfferMs - offered_ms, 1, kOfferMs));
    } else if (!take && now - since >= std::chrono::milliseconds(takeover_ms)) {
      take = true;  // the same hold has lasted past the deadline: its holder has hung
    } else if (!take) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                            since + std::chrono::milliseconds(takeover_ms) - now)
                            .count();
      // The holder's releases wake nobody until its run ends. A hold just begun may not have
      // published its run yet: the first sleep on it is no longer than a run. The page may
      // have been scribbled on, so the end is compared before it is subtracted.
      const std::int64_t ends = shared.run_ends.load();
      const std::int64_t now_ns = steady_ns(now);
      const long long bound = ends > now_ns  ? (ends - now_ns) / 1'000'000 + 1
                              : since == now ? kRunMs
                                             : kLookMs;
      wait_ms =
          static_cast<int>(std::clamp<long long>(std::min<long long>(left, bound), 1, kLookMs));
    }
    if (take && shared.owner.compare_exchange_strong(owner, token)) {
      if (forget_waiters) {
        for (auto& slot : shared.waiting) slot.store(0);
      }
      if (!begin_hold(s)) continue;
      // The files may have been removed or replaced while this process waited: the lock it
      // got is then one nobody else asks for any more, and is let go.
      if (!open_state(s) || !ensure_token(s)) return leave(false);
      if (s.shared == &shared) return leave(true);
      since = Clock::now();
      continue;
    }
    if (take) continue;  // the word moved meanwhile
    wait_for_turn(s, helper, turn, wait_ms);
    if (s.shared != &shared || shared.turn.load() != turn) continue;
    if (Clock::now() - looked < std::chrono::milliseconds(kLookMs)) continue;
    looked = Clock::now();
    // At each look while the word stays the same: the page may have been replaced (the others
    // moved on to the new one), or the holder may have died.
    if (!open_state(s) || !ensure_token(s)) return leave(false);
    if (s.shared != &shared) {
      since = looked;
      continue;
    }
    if (shared.owner.load() == owner && holder_gone(s.dir, owner) &&
        shared.owner.compare_exchange_strong(owner, token) && begin_hold(s)) {
      return leave(true);
    }
  }
}

void release_send_lock() {
  LockState& s = lock_state();
  if (!s.held || s.opener != os::own_pid()) return;
  s.held = false;
  s.scope.reset();
  s.last_hold = s.hold;
  if (s.shared != nullptr) let_go(*s.shared, s.token.value, true);
}

bool send_lock_still_held() {
  LockState& s = lock_state();
  // One look at the directory per hold: the send lock's files are looked at again when it
  // changed, and a lock taken in a directory since replaced is no lock.
  bool same_directory = true;
  if (s.held && s.opener == os::own_pid()) {
    const os::SessionPtr dir = os::current_session();
    same_directory = dir && dir->epoch == s.epoch;
  }
  return same_directory && s.held && s.opener == os::own_pid() && s.shared != nullptr &&
         s.shared->owner.load() == s.token.value && s.shared->holds.load() == s.hold &&
         os::mappings_moved() == s.moved_seen && os::damage_count() == s.damage_seen &&
         files_in_place(s);
}

namespace os {

void remove_send_lock_token() { remove_token_at_exit(); }

SendLockHold send_lock_hold() {
  LockState& s = lock_state();
  if (!s.held || s.opener != os::own_pid()) return {};
  return {s.hold, !send_lock_still_held()};
}

bool send_lock_hold_current(std::uint64_t epoch, std::uint32_t msg, std::uint64_t hold) {
  if (hold == 0) return true;
  LockState& s = lock_state();
  const bool current =
      s.shared != nullptr && s.epoch == epoch && s.opener == os::own_pid() && files_in_place(s);
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
  if (!is_table_id(msg) || hold == 0 || !s.held || s.hold != hold || s.opener != os::own_pid() ||
      s.shared == nullptr) {
    return;
  }
  broadcast_slot(*s.shared, msg).store(broadcast_entry(msg, hold));
  s.shared->recorded.store(hold);
}

}  // namespace os
}  // namespace mmfcast::platform
