// The checked files of the session directory: opened never through a symlink and only when
// private to this user, read and written whole, removed only while still the file the caller
// saw; the blocks of files that back shared memory reserved; the session-wide lock, and the
// bounded waits on session-wide locks, which fail rather than hang behind a stopped holder.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>

#include "platform/linux/transport/internal.h"
#include "platform/linux/transport/session.h"

namespace mmfcast::platform::os {

// The lock file whose wait last ran out, so that the next wait for the same holder (the second
// step of one operation, say) fails at once instead of waiting the whole bound again.
struct TimedOut {
  std::mutex mutex;
  dev_t dev = 0;
  ino_t ino = 0;
  std::chrono::steady_clock::time_point when{};
};

Part<TimedOut> make_timed_out() { return new_part<TimedOut>(); }

namespace {
TimedOut& timed_out() { return session().timed_out(); }
}  // namespace

void bounded_flock(int fd, int operation, const std::string& what) {
  using Clock = std::chrono::steady_clock;
  const auto bound = std::chrono::milliseconds(kLockWaitMs);
  const std::string why = "timed out after " + std::to_string(kLockWaitMs / 1000) +
                          " s waiting for a lock another copy holds; that copy may be stopped "
                          "or hung";
  Clock::time_point deadline = Clock::now() + bound;
  struct stat st {};
  bool known = false;
  int pause_ms = 1;
  for (;;) {
    if (retry_eintr([&] { return syscalls().flock(fd, operation | LOCK_NB); }) == 0) return;
    if (errno != EWOULDBLOCK) throw_os_error(errno, what);
    TimedOut& t = timed_out();
    if (!known && syscalls().fstat(fd, &st) == 0) {
      known = true;
      std::lock_guard lock(t.mutex);
      if (t.dev == st.st_dev && t.ino == st.st_ino && Clock::now() - t.when < bound) {
        deadline = Clock::now();  // the same holder made this process wait the bound already
      }
    }
    if (Clock::now() >= deadline) {
      if (known) {
        std::lock_guard lock(t.mutex);
        t.dev = st.st_dev;
        t.ino = st.st_ino;
        t.when = Clock::now();
      }
      throw_os_error(ETIMEDOUT, what, why);
    }
    syscalls().poll(nullptr, 0, pause_ms);
    pause_ms = std::min(pause_ms * 2, 50);
  }
}

UniqueFd open_spare() { return UniqueFd(syscalls().open("/dev/null", O_RDONLY | O_CLOEXEC, 0)); }

void reserve_blocks(int fd, off_t size, const std::string& what) {
  if (retry_eintr([&] { return syscalls().fallocate(fd, 0, size); }) != 0) {
    throw_os_error(errno, what);
  }
}

void reserve_blocks(int fd, off_t size, const std::string& what, const struct stat& known) {
  if (known.st_size >= size && known.st_blocks * 512 >= size) return;
  reserve_blocks(fd, size, what);
}

UniqueFd open_session_file(const std::string& path, Create create, const std::string& what,
                           struct stat* info) {
  const Syscalls& sys = syscalls();
  int flags = O_RDWR | O_NOFOLLOW | O_CLOEXEC;
  if (create != Create::kNever) flags |= O_CREAT;
  if (create == Create::kExclusive) flags |= O_EXCL;
  UniqueFd fd(sys.open(path.c_str(), flags, 0600));
  if (!fd.valid()) {
    if (errno == ENOENT && create == Create::kNever) return fd;
    throw_os_error(errno, what);
  }
  try {
    struct stat st {};
    check(sys.fstat(fd.get(), &st), what);
    if (!S_ISREG(st.st_mode) || st.st_uid != own_euid() || st.st_nlink != 1) {
      throw_os_error(EPERM, what, "not a private file of this user");
    }
    // A file this process made may have lost mode bits to the umask.
    if (create == Create::kExclusive ||
        (create == Create::kIfMissing && (st.st_mode & 0777) != 0600)) {
      check(sys.fchmod(fd.get(), 0600), what);
    }
    if (info != nullptr) *info = st;
  } catch (...) {
    if (create == Create::kExclusive) sys.unlink(path.c_str());  // made by this call
    throw;
  }
  return fd;
}

namespace {

template <typename Transfer>
void transfer_all(std::size_t size, const std::string& what, Transfer&& transfer) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t moved = retry_eintr([&] { return transfer(done); });
    if (moved <= 0) throw_os_error(moved < 0 ? errno : EIO, what);
    done += static_cast<std::size_t>(moved);
  }
}

}  // namespace

void read_all_at(int fd, void* bytes, std::size_t size, off_t offset, const std::string& what) {
  transfer_all(size, what, [&](std::size_t done) {
    return syscalls().pread(fd, static_cast<char*>(bytes) + done, size - done,
                            offset + static_cast<off_t>(done));
  });
}

void write_all_at(int fd, const void* bytes, std::size_t size, off_t offset,
                  const std::string& what) {
  transfer_all(size, what, [&](std::size_t done) {
    return syscalls().pwrite(fd, static_cast<const char*>(bytes) + done, size - done,
                             offset + static_cast<off_t>(done));
  });
}

bool is_same_file(const std::string& path, dev_t dev, ino_t ino) {
  struct stat info {};
  return syscalls().lstat(path.c_str(), &info) == 0 && info.st_dev == dev && info.st_ino == ino;
}

void unlink_if_same(const std::string& path, dev_t dev, ino_t ino) {
  if (is_same_file(path, dev, ino)) syscalls().unlink(path.c_str());
}

UniqueFd lock_session(const std::string& dir) {
  const std::string path = dir + "/lock";
  const std::string what = "session lock " + path;
  UniqueFd fd = open_session_file(path, Create::kIfMissing, what);
  bounded_flock(fd.get(), LOCK_EX, what);
  return fd;
}

}  // namespace mmfcast::platform::os
