// The session-wide send lock on Linux: an exclusive flock on "send-lock.<generation>" in the
// session directory, which the kernel drops when its holder dies. The file "send-lock" is
// shared memory holding the current generation and a count of holds. A waiter that sees the
// same hold of the same generation for longer than the takeover time moves every copy on to the
// next generation's file and removes the old one; a hung holder then keeps a lock that nobody
// asks for any more, and its release later is harmless. The count of holds, with a small table
// of the last hold that broadcast each message, also tells a receiver whether a notification's
// text is still current (no later hold broadcast that message or may be writing its area) and
// tells a resumed holder that its hold was taken over. A waiter sleeps: a helper thread blocks in
// flock on a description of its own while the waiting thread sleeps in poll on that thread's
// wake-up and on its own endpoint, so it keeps answering other senders. Files removed or
// replaced under the lock are noticed when the directory has changed and opened anew; an entry
// at their names that is not a private file is moved aside.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

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

struct SharedState {
  std::atomic<std::uint64_t> generation;  // whose file is the lock
  std::atomic<std::uint64_t> holds;       // bumped by every new holder: the lock is moving
  // The last hold that recorded a broadcast, and per message (slot: id modulo the table's size,
  // the slot's last writer wins) the last hold that broadcast it. A hold records its message
  // before it sends the frames.
  std::atomic<std::uint64_t> recorded;
  std::atomic<std::uint64_t> last_broadcast[kBroadcastSlots];
};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

constexpr off_t kSharedSize = 4096;
static_assert(sizeof(SharedState) <= kSharedSize);

std::uint64_t broadcast_entry(std::uint32_t msg, std::uint64_t hold) {
  return (hold << kHoldShift) | (msg & 0xFFFFu);
}
std::atomic<std::uint64_t>& broadcast_slot(SharedState& shared, std::uint32_t msg) {
  return shared.last_broadcast[(msg - kFirstMessageId) % kBroadcastSlots];
}
bool is_table_id(std::uint32_t msg) { return msg >= kFirstMessageId && msg <= kLastMessageId; }

// How often a waiter looks at the shared state while it sleeps: a takeover by another waiter
// moves the lock to a file its helper thread is not waiting on.
constexpr int kLookMs = 250;

struct LockState {
  std::string dir;
  std::uint64_t epoch = 0;  // of the session directory the state was opened in
  pid_t opener = 0;         // a forked child must not share the parent's open file descriptions
  int state_fd = -1;
  SharedState* shared = nullptr;
  int guard = -1;    // the shared page's slot among the regions guarded against truncation
  int lock_fd = -1;  // the lock file of lock_generation
  std::uint64_t lock_generation = 0;
  struct stat state_st {};  // what state_fd and lock_fd were opened as
  struct stat lock_st {};
  std::uint64_t changes_seen = 0;  // os::session_changes() when the files were last checked
  std::uint64_t moved_seen = 0;    // os::mappings_moved() when the hold began
  std::uint64_t damage_seen = 0;   // os::damage_count() when the hold began
  std::uint64_t hold = 0;          // the count of holds that this process's hold began
  bool held = false;
};

LockState& lock_state() { return os::process_wide<LockState>(); }

std::string lock_path(const std::string& dir, std::uint64_t generation) {
  return dir + "/send-lock." + std::to_string(generation);
}

// Closes what this process has open. A forked child closes its inherited descriptors as well:
// that leaves the parent's lock in place.
void close_all(LockState& s) {
  os::unguard_region(std::exchange(s.guard, -1));
  if (s.shared != nullptr) syscalls().munmap(s.shared, kSharedSize);
  if (s.state_fd >= 0) syscalls().close(s.state_fd);
  if (s.lock_fd >= 0) syscalls().close(s.lock_fd);
  s.shared = nullptr;
  s.state_fd = -1;
  s.lock_fd = -1;
  s.held = false;
}

// Whether the state and lock files this process has open are still the ones at their names;
// looked at only when the directory has changed since the last look.
bool files_in_place(LockState& s) {
  if (os::region_damaged(s.guard)) return false;  // cut short: opening it again grows it back
  const std::uint64_t changes = os::session_changes();
  if (changes == s.changes_seen) return true;
  if (!os::is_same_file(s.dir + "/send-lock", s.state_st.st_dev, s.state_st.st_ino)) return false;
  if (s.lock_fd >= 0 &&
      !os::is_same_file(lock_path(s.dir, s.lock_generation), s.lock_st.st_dev, s.lock_st.st_ino)) {
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
    if (s.shared != nullptr && s.epoch == dir->epoch && s.opener == os::own_pid() &&
        files_in_place(s)) {
      return true;
    }
    // A page no longer at the name is dead; a copy still holding a lock under it learns so
    // from its count of holds, without a system call, before it writes.
    if (s.shared != nullptr && s.opener == os::own_pid() &&
        !os::is_same_file(s.dir + "/send-lock", s.state_st.st_dev, s.state_st.st_ino)) {
      s.shared->holds.fetch_add(1);
    }
    close_all(s);
    const std::string path = dir->file("send-lock");
    const std::string what = "send lock " + path;
    s.changes_seen = os::session_changes();
    os::UniqueFd fd = open_or_repair(dir->path, "send-lock", what, &s.state_st);
    // Growing the file keeps what is there; the blocks are reserved so that the first write
    // into the page cannot meet a full filesystem.
    os::reserve_blocks(fd.get(), kSharedSize, what);
    void* page =
        syscalls().mmap(nullptr, kSharedSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (page == MAP_FAILED) os::throw_os_error(errno, what);
    s.dir = dir->path;
    s.epoch = dir->epoch;
    s.opener = os::own_pid();
    s.state_fd = fd.release();
    s.shared = static_cast<SharedState*>(page);
    s.guard = os::guard_region(page, kSharedSize);
    return true;
  });
}

// Tries to take this generation's lock file, opened once while the generation is current:
// 1 when the lock is now ours, 0 when another process holds it, -1 (the reason recorded) when
// the file cannot be opened or locked.
int try_lock(LockState& s, std::uint64_t generation) {
  return os::guarded(-1, [&] {
    const std::string path = lock_path(s.dir, generation);
    const std::string what = "send lock " + path;
    if (s.lock_fd < 0 || s.lock_generation != generation) {
      if (s.lock_fd >= 0) syscalls().close(s.lock_fd);
      s.lock_fd = -1;
      s.lock_fd = open_or_repair(s.dir, "send-lock." + std::to_string(generation), what, &s.lock_st)
                      .release();
      s.lock_generation = generation;
    }
    if (os::retry_eintr([&] { return syscalls().flock(s.lock_fd, LOCK_EX | LOCK_NB); }) == 0) {
      return 1;
    }
    if (errno != EWOULDBLOCK) os::throw_os_error(errno, what);
    return 0;
  });
}

// A helper thread blocked in flock on its own description of one lock file. It owns that
// description until the waiting thread takes it (the lock then comes with it) or gives up on
// it (the thread closes it once its flock returns, which releases what it got).
struct Waiter {
  enum : int { kWaiting, kGot, kGivenUp };
  std::atomic<int> state{kWaiting};
  int fd = -1;
  os::UniqueFd wake;  // an eventfd the thread writes once it holds the lock

  ~Waiter() {
    if (fd >= 0) syscalls().close(fd);
  }
};

// Starts a helper thread waiting for the lock file open on lock_fd, through a description of
// its own; null when it cannot.
std::shared_ptr<Waiter> start_waiter(const LockState& s) {
  auto waiter = std::make_shared<Waiter>();
  waiter->wake.reset(syscalls().eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!waiter->wake.valid()) return nullptr;
  const std::string self = "/proc/self/fd/" + std::to_string(s.lock_fd);
  waiter->fd = syscalls().open(self.c_str(), O_RDWR | O_CLOEXEC, 0);
  struct stat st {};
  if (waiter->fd < 0 || syscalls().fstat(waiter->fd, &st) != 0 || st.st_ino != s.lock_st.st_ino ||
      st.st_dev != s.lock_st.st_dev) {
    return nullptr;
  }
  try {
    std::thread([waiter] {
      const int rc = os::retry_eintr([&] { return syscalls().flock(waiter->fd, LOCK_EX); });
      int expected = Waiter::kWaiting;
      if (rc == 0 && waiter->state.compare_exchange_strong(expected, Waiter::kGot)) {
        const std::uint64_t one = 1;
        syscalls().write(waiter->wake.get(), &one, sizeof one);
      } else {
        waiter->state.store(Waiter::kGivenUp);
        syscalls().close(std::exchange(waiter->fd, -1));
      }
    }).detach();
  } catch (const std::system_error&) {
    return nullptr;
  }
  return waiter;
}

// Gives up on the waiter; true when it had already taken the lock, which is then released.
void give_up(const std::shared_ptr<Waiter>& waiter) {
  if (!waiter) return;
  int expected = Waiter::kWaiting;
  if (!waiter->state.compare_exchange_strong(expected, Waiter::kGivenUp) &&
      expected == Waiter::kGot) {
    syscalls().close(std::exchange(waiter->fd, -1));
  }
}

// Sleeps until the waiter holds the lock, the own endpoint has notifications (they are handled,
// since the holder may be broadcasting to this very process) or kLookMs pass. True when the
// waiter holds the lock; its description then becomes the lock file's.
bool wait_for_turn(LockState& s, const std::shared_ptr<Waiter>& waiter) {
  pollfd watch[2] = {{-1, POLLIN, 0}, {event_fd(), POLLIN, 0}};
  if (waiter) watch[0].fd = waiter->wake.get();
  if (watch[1].fd >= 0) dispatch_pending();
  const int ready = syscalls().poll(watch, 2, waiter ? kLookMs : 1);
  if (ready > 0 && watch[1].revents != 0) dispatch_pending();
  if (!waiter || waiter->state.load() != Waiter::kGot) return false;
  syscalls().close(s.lock_fd);
  s.lock_fd = std::exchange(waiter->fd, -1);
  return true;
}

}  // namespace

int acquire_send_lock(int takeover_ms) {
  LockState& s = lock_state();
  if (s.held && s.opener == os::own_pid()) return 1;
  // A free lock costs one flock to take: the directory is checked by send_lock_still_held,
  // which a sender calls before it writes, so here the state is reused while the directory
  // last seen is the one it was opened in.
  const os::SessionPtr known = os::attached_session();
  const bool reusable = s.shared != nullptr && s.opener == os::own_pid() && known &&
                        known->epoch == s.epoch && files_in_place(s);
  if (!reusable && !open_state(s)) return 0;
  std::uint64_t generation = s.shared->generation.load();
  std::uint64_t holds = s.shared->holds.load();
  Clock::time_point since = Clock::now();
  std::shared_ptr<Waiter> waiter;
  for (;;) {
    const int locked = waiter && wait_for_turn(s, waiter) ? 1
                       : waiter                           ? 0
                                                          : try_lock(s, generation);
    if (locked < 0) return 0;
    if (locked == 1) {
      const bool waited = waiter != nullptr;
      waiter.reset();
      // The files may have been removed or replaced while this process waited: the lock it
      // got is then one nobody else asks for any more.
      if (waited && (!os::current_session() || !files_in_place(s))) {
        syscalls().flock(s.lock_fd, LOCK_UN);
        close_all(s);
        if (!open_state(s)) return 0;
        generation = s.shared->generation.load();
        holds = s.shared->holds.load();
        since = Clock::now();
        continue;
      }
      if (s.shared->generation.load() == generation) {
        s.hold = s.shared->holds.fetch_add(1) + 1;
        s.lock_generation = generation;
        s.moved_seen = os::mappings_moved();
        s.damage_seen = os::damage_count();
        s.held = true;
        return 1;
      }
      // Taken over meanwhile; the file may be one this process just re-created.
      syscalls().flock(s.lock_fd, LOCK_UN);
      syscalls().unlink(lock_path(s.dir, generation).c_str());
    } else if (!waiter) {
      waiter = start_waiter(s);
      if (waiter) continue;
      wait_for_turn(s, nullptr);  // no thread to spare: look again shortly
    }
    const std::uint64_t now_generation = s.shared->generation.load();
    const std::uint64_t now_holds = s.shared->holds.load();
    if (now_generation != generation || now_holds != holds) {
      if (now_generation != generation) {
        give_up(waiter);
        waiter.reset();
      }
      generation = now_generation;
      holds = now_holds;
      since = Clock::now();
      continue;
    }
    if (Clock::now() - since >= std::chrono::milliseconds(takeover_ms)) {
      // The same hold has lasted past the deadline: its holder has hung.
      give_up(waiter);
      waiter.reset();
      if (s.shared->generation.compare_exchange_strong(generation, generation + 1)) {
        syscalls().unlink(lock_path(s.dir, generation).c_str());
      }
      generation = s.shared->generation.load();
      since = Clock::now();
      continue;
    }
  }
}

void release_send_lock() {
  LockState& s = lock_state();
  if (!s.held || s.opener != os::own_pid()) return;
  syscalls().flock(s.lock_fd, LOCK_UN);
  s.held = false;
}

bool send_lock_still_held() {
  LockState& s = lock_state();
  // One lstat of the directory: the send lock's files are looked at again when it changed, and
  // a lock taken in a directory since replaced is no lock.
  bool same_directory = true;
  if (s.held && s.opener == os::own_pid()) {
    const os::SessionPtr dir = os::current_session();
    same_directory = dir && dir->epoch == s.epoch;
  }
  return same_directory && s.held && s.opener == os::own_pid() && s.shared != nullptr &&
         s.shared->generation.load() == s.lock_generation && s.shared->holds.load() == s.hold &&
         os::mappings_moved() == s.moved_seen && os::damage_count() == s.damage_seen &&
         files_in_place(s);
}

namespace os {

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
