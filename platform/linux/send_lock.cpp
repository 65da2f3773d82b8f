// The session-wide send lock on Linux: an exclusive flock on "send-lock.<generation>" in the
// session directory, which the kernel drops when its holder dies. The file "send-lock" is
// shared memory holding the current generation and a count of holds. A waiter that sees the
// same hold of the same generation for longer than the takeover time moves every copy on to the
// next generation's file and removes the old one; a hung holder then keeps a lock that nobody
// asks for any more, and its release later is harmless. The count of holds also tells a
// receiver whether a notification's text is still current (no other hold has begun since) and
// tells a resumed holder that its hold was taken over.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/linux/internal.h"
#include "platform/linux/transport.h"
#include "platform/platform.h"

namespace mmfcast::platform {

namespace {

using Clock = std::chrono::steady_clock;
using os::syscalls;

struct SharedState {
  std::atomic<std::uint64_t> generation;  // whose file is the lock
  std::atomic<std::uint64_t> holds;       // bumped by every new holder: the lock is moving
};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

constexpr off_t kSharedSize = 4096;
constexpr int kRetryMs = 1;

struct LockState {
  std::string dir;
  std::uint64_t epoch = 0;  // of the session directory the state was opened in
  pid_t opener = 0;         // a forked child must not share the parent's open file descriptions
  int state_fd = -1;
  SharedState* shared = nullptr;
  int lock_fd = -1;  // the lock file of lock_generation
  std::uint64_t lock_generation = 0;
  std::uint64_t hold = 0;  // the count of holds that this process's hold began
  bool held = false;
};

LockState& lock_state() { return os::process_wide<LockState>(); }

std::string lock_path(const std::string& dir, std::uint64_t generation) {
  return dir + "/send-lock." + std::to_string(generation);
}

// Closes what this process has open. A forked child closes its inherited descriptors as well:
// that leaves the parent's lock in place.
void close_all(LockState& s) {
  if (s.shared != nullptr) syscalls().munmap(s.shared, kSharedSize);
  if (s.state_fd >= 0) syscalls().close(s.state_fd);
  if (s.lock_fd >= 0) syscalls().close(s.lock_fd);
  s.shared = nullptr;
  s.state_fd = -1;
  s.lock_fd = -1;
  s.held = false;
}

// Opens the shared state of the current session, creating it zero-filled when missing; false,
// with the reason recorded, when it cannot.
bool open_state(LockState& s) {
  return os::guarded(false, [&] {
    const os::SessionPtr dir = os::current_session();
    if (!dir) os::throw_last_error();
    if (s.shared != nullptr && s.epoch == dir->epoch && s.opener == os::own_pid()) return true;
    close_all(s);
    const std::string path = dir->file("send-lock");
    const std::string what = "send lock " + path;
    os::UniqueFd fd = os::open_session_file(path, os::Create::kIfMissing, what);
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
      s.lock_fd = os::open_session_file(path, os::Create::kIfMissing, what).release();
      s.lock_generation = generation;
    }
    if (os::retry_eintr([&] { return syscalls().flock(s.lock_fd, LOCK_EX | LOCK_NB); }) == 0) {
      return 1;
    }
    if (errno != EWOULDBLOCK) os::throw_os_error(errno, what);
    return 0;
  });
}

// Lets the holder's broadcast reach this process while it waits for its turn.
void wait_for_turn() {
  const int fd = event_fd();
  if (fd < 0) {
    syscalls().poll(nullptr, 0, kRetryMs);
    return;
  }
  dispatch_pending();
  pollfd watch{fd, POLLIN, 0};
  if (syscalls().poll(&watch, 1, kRetryMs) > 0) dispatch_pending();
}

}  // namespace

int acquire_send_lock(int takeover_ms) {
  LockState& s = lock_state();
  if (s.held && s.opener == os::own_pid()) return 1;
  if (!open_state(s)) return 0;
  SharedState& shared = *s.shared;
  std::uint64_t generation = shared.generation.load();
  std::uint64_t holds = shared.holds.load();
  Clock::time_point since = Clock::now();
  for (;;) {
    const int locked = try_lock(s, generation);
    if (locked < 0) return 0;
    if (locked == 1) {
      if (shared.generation.load() == generation) {
        s.hold = shared.holds.fetch_add(1) + 1;
        s.lock_generation = generation;
        s.held = true;
        return 1;
      }
      // Taken over meanwhile; the file may be one this process just re-created.
      syscalls().flock(s.lock_fd, LOCK_UN);
      syscalls().unlink(lock_path(s.dir, generation).c_str());
    }
    const std::uint64_t now_generation = shared.generation.load();
    const std::uint64_t now_holds = shared.holds.load();
    if (now_generation != generation || now_holds != holds) {
      generation = now_generation;
      holds = now_holds;
      since = Clock::now();
      continue;
    }
    if (Clock::now() - since >= std::chrono::milliseconds(takeover_ms)) {
      // The same hold has lasted past the deadline: its holder has hung.
      if (shared.generation.compare_exchange_strong(generation, generation + 1)) {
        syscalls().unlink(lock_path(s.dir, generation).c_str());
      }
      generation = shared.generation.load();
      since = Clock::now();
      continue;
    }
    wait_for_turn();
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
  return s.held && s.opener == os::own_pid() && s.shared != nullptr &&
         s.shared->generation.load() == s.lock_generation && s.shared->holds.load() == s.hold;
}

namespace os {

SendLockHold send_lock_hold() {
  LockState& s = lock_state();
  if (!s.held || s.opener != os::own_pid()) return {};
  return {s.hold, !send_lock_still_held()};
}

std::uint64_t send_lock_current_hold(std::uint64_t epoch) {
  LockState& s = lock_state();
  const bool current = s.shared != nullptr && s.epoch == epoch && s.opener == os::own_pid();
  if (!current && !open_state(s)) return 0;
  return s.shared->holds.load();
}

}  // namespace os
}  // namespace mmfcast::platform
