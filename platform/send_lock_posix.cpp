// The session-wide send lock on POSIX: an open-file-description lock on one byte of the file
// "send.lock" in the session directory, so the kernel drops it when its holder dies. The file's
// first page is shared memory holding the current generation (which byte is the lock) and a
// count of holds. A waiter that sees the same hold of the same generation for longer than the
// takeover time moves every copy on to the next generation's byte; a hung holder then keeps a
// byte that nobody asks for any more, and its release later is harmless.
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/platform.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

struct SharedState {
  std::atomic<std::uint64_t> generation;  // the lock is the byte kLockBase + generation
  std::atomic<std::uint64_t> holds;       // bumped by every new holder: the lock is moving
};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

constexpr off_t kSharedSize = 4096;
constexpr off_t kLockBase = kSharedSize;
constexpr int kRetryMs = 1;

struct LockFile {
  std::string path;
  pid_t opener = 0;  // a forked child must not share the parent's open file description
  int fd = -1;
  SharedState* shared = nullptr;
  bool held = false;
  std::uint64_t held_generation = 0;
};

LockFile& lock_file() {
  static LockFile* instance = new LockFile;  // usable by exit-time callers
  return *instance;
}

// The session directory, created private to the user when missing; empty when unusable.
std::string session_dir() {
  std::string dir;
  if (const char* env = std::getenv("MMFCAST_SESSION_DIR"); env != nullptr && *env != '\0') {
    dir = env;
  } else if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg != nullptr && *xdg != '\0') {
    dir = std::string(xdg) + "/mmfcast";
  } else {
    dir = "/tmp/mmfcast-" + std::to_string(getuid());
  }
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
  struct stat st {};
  if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid()) return {};
  return dir;
}

void close_lock_file(LockFile& f) {
  if (f.shared != nullptr) munmap(f.shared, kSharedSize);
  // A forked child closes its inherited descriptor too: that leaves the parent's lock alone.
  if (f.fd >= 0) close(f.fd);
  f.shared = nullptr;
  f.fd = -1;
  f.held = false;
}

// Opens (creating it zero-filled when missing) the lock file of the current session.
bool open_lock_file(LockFile& f) {
  const std::string dir = session_dir();
  if (dir.empty()) return false;
  const std::string path = dir + "/send.lock";
  if (f.fd >= 0 && f.path == path && f.opener == getpid()) return true;
  close_lock_file(f);
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  struct stat st {};
  // Growing the file to the shared size keeps what is there; the mapping needs the whole page.
  if (fstat(fd, &st) != 0 || st.st_uid != getuid() || !S_ISREG(st.st_mode) ||
      (st.st_size < kSharedSize && ftruncate(fd, kSharedSize) != 0)) {
    close(fd);
    return false;
  }
  void* page = mmap(nullptr, kSharedSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (page == MAP_FAILED) {
    close(fd);
    return false;
  }
  f.path = path;
  f.opener = getpid();
  f.fd = fd;
  f.shared = static_cast<SharedState*>(page);
  return true;
}

// 1 when the byte of this generation is now locked by us, 0 when another holds it, -1 on error.
int try_lock(int fd, std::uint64_t generation, short type) {
  struct flock region {};
  region.l_type = type;
  region.l_whence = SEEK_SET;
  region.l_start = kLockBase + static_cast<off_t>(generation % (1ULL << 40));
  region.l_len = 1;
  for (;;) {
    if (fcntl(fd, F_OFD_SETLK, &region) == 0) return 1;
    if (errno == EINTR) continue;
    return (errno == EAGAIN || errno == EACCES) ? 0 : -1;
  }
}

// Lets the current holder's broadcast reach this process while it waits for its turn.
void wait_for_turn() {
  const int fd = event_fd();
  if (fd < 0) {
    pollfd none{};
    poll(&none, 0, kRetryMs);
    return;
  }
  dispatch_pending();
  pollfd watch{fd, POLLIN, 0};
  if (poll(&watch, 1, kRetryMs) > 0) dispatch_pending();
}

}  // namespace

int acquire_send_lock(int takeover_ms) {
  LockFile& f = lock_file();
  if (f.held && f.opener == getpid()) return 1;
  if (!open_lock_file(f)) return 0;
  SharedState& shared = *f.shared;
  std::uint64_t generation = shared.generation.load();
  std::uint64_t holds = shared.holds.load();
  Clock::time_point since = Clock::now();
  for (;;) {
    const int locked = try_lock(f.fd, generation, F_WRLCK);
    if (locked < 0) return 0;
    if (locked == 1) {
      if (shared.generation.load() == generation) {
        shared.holds.fetch_add(1);
        f.held = true;
        f.held_generation = generation;
        return 1;
      }
      try_lock(f.fd, generation, F_UNLCK);  // taken over meanwhile: queue on the new byte
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
      shared.generation.compare_exchange_strong(generation, generation + 1);
      generation = shared.generation.load();
      since = Clock::now();
      continue;
    }
    wait_for_turn();
  }
}

void release_send_lock() {
  LockFile& f = lock_file();
  if (!f.held || f.opener != getpid()) return;
  try_lock(f.fd, f.held_generation, F_UNLCK);
  f.held = false;
}

}  // namespace platform
