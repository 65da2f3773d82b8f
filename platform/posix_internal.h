// Pieces the POSIX backends share: an owned descriptor, the one place where an OS error becomes
// an operation's failure value, and the per-session directory with its session-wide lock.
// The directory holds the lock file "lock" and one "map-<encoded name>" file per named mapping;
// other backends keep their files under prefixes of their own.
#pragma once

#include <cerrno>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/syscalls_posix.h"

namespace platform::posix {

// A descriptor closed (through the system-call table) when the owner goes.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) syscalls().close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// A failed system call inside a backend operation; guarded() turns it into the failure value.
struct OsError {
  int code;
};

[[noreturn]] inline void throw_os_error(int code) { throw OsError{code}; }

// rc when it is not -1, else throws the errno the call left.
inline int check(int rc) {
  if (rc == -1) throw_os_error(errno);
  return rc;
}

// The errno of the calling thread's last failed platform operation (0 when none failed yet).
int last_error();
void set_last_error(int code);

// Runs body and returns its result; any failure inside it (an OsError, running out of memory)
// is recorded for last_error() and makes the operation return `failure` instead.
template <typename R, typename Body>
R guarded(R failure, Body&& body) noexcept {
  try {
    return body();
  } catch (const OsError& e) {
    set_last_error(e.code);
  } catch (const std::bad_alloc&) {
    set_last_error(ENOMEM);
  } catch (const std::exception&) {
    set_last_error(EIO);
  }
  return failure;
}

// The session directory the environment names, read anew on every call and not checked:
// $MMFCAST_SESSION_DIR when set and not empty, else $XDG_RUNTIME_DIR/mmfcast when that is an
// absolute path, else /tmp/mmfcast-<effective uid>. Trailing slashes are dropped.
std::string session_dir_path();

// The session directory, created with mode 0700 when missing (only its last component), once
// it is checked to be a directory (not a symlink) owned by the effective uid with mode exactly
// 0700. nullopt, with errno set, when it cannot be created or fails a check; a relative
// $MMFCAST_SESSION_DIR fails too, since processes started elsewhere would not share it.
std::optional<std::string> session_dir();

// Blocks until this process holds the session-wide lock of dir (an exclusive flock on its
// "lock" file); closing the descriptor releases it. Throws OsError on failure. Not reentrant:
// a second call while this process holds the lock waits forever, as flock locks taken through
// separate descriptors conflict even within one process.
UniqueFd lock_session(const std::string& dir);

// The file name under which the mapping `name` lives in the session directory: "map-" and the
// name with every byte outside [A-Za-z0-9._-] written as %XX, so distinct names give distinct
// files and no name can reach outside the directory. nullopt for an empty name or when the
// file name would exceed NAME_MAX.
std::optional<std::string> mapping_file_name(std::string_view name);

}  // namespace platform::posix
