// The session-wide send lock on POSIX: an exclusive flock on "send-lock.<generation>" in the
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

LockState& lock_state() {
  static LockState* instance = new LockState;  // usable by exit-time callers
  return *instance;
}

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

// Opens the shared state of the current session, creating it zero-filled when missing.
bool open_state(LockState& s) {
  const os::SessionPtr dir = os::current_session();
  if (!dir) return false;
  if (s.shared != nullptr && s.epoch == dir->epoch && s.opener == os::own_pid()) return true;
  close_all(s);
  const std::string path = dir->file("send-lock");
  const int fd = os::open_private_file(path);
  if (fd < 0) return false;
  // Growing the file keeps what is there; the blocks are reserved so that the first write into
  // the page cannot meet a full filesystem.
  void* page = os::guarded<void*>(MAP_FAILED, [&]() -> void* {
    os::reserve_blocks(fd, kSharedSize, path);
    void* mapped = syscalls().mmap(nullptr, kSharedSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) os::throw_os_error(errno, path);
    return mapped;
  });
  if (page == MAP_FAILED) {
    syscalls().close(fd);
    return false;
  }
  s.dir = dir->path;
  s.epoch = dir->epoch;
  s.opener = os::own_pid();
  s.state_fd = fd;
  s.shared = static_cast<SharedState*>(page);
  return true;
}

// The descriptor of this generation's lock file, opened once while the generation is current.
int lock_file(LockState& s, std::uint64_t generation) {
  if (s.lock_fd >= 0 && s.lock_generation == generation) return s.lock_fd;
  if (s.lock_fd >= 0) syscalls().close(s.lock_fd);
  s.lock_fd = os::open_private_file(lock_path(s.dir, generation));
  s.lock_generation = generation;
  return s.lock_fd;
}

// 1 when the lock is now ours, 0 when another process holds it, -1 on error.
int try_lock(int fd) {
  for (;;) {
    if (syscalls().flock(fd, LOCK_EX | LOCK_NB) == 0) return 1;
    if (errno == EINTR) continue;
    return errno == EWOULDBLOCK ? 0 : -1;
  }
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
    const int fd = lock_file(s, generation);
    if (fd < 0) return 0;
    const int locked = try_lock(fd);
    if (locked < 0) return 0;
    if (locked == 1) {
      if (shared.generation.load() == generation) {
        s.hold = shared.holds.fetch_add(1) + 1;
        s.lock_generation = generation;
        s.held = true;
        return 1;
      }
      // Taken over meanwhile; the file may be one this process just re-created.
      syscalls().flock(fd, LOCK_UN);
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
