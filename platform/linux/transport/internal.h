// Pieces the Linux backend shares: owned descriptors and mappings, the one place where an OS
// error becomes an operation's failure value and the reason callers can ask for, the EINTR
// retry, and the per-session directory with its checked files and session-wide lock. The
// directory's files are described in docs/session-transport.md.
#pragma once

#include <sys/stat.h>
#include <time.h>

#include <cerrno>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/linux/transport/syscalls.h"

namespace mmfcast::platform::os {

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

// Calls `call` again for as long as it fails with EINTR.
template <typename Call>
auto retry_eintr(Call&& call) {
  auto rc = call();
  while (rc == -1 && errno == EINTR) rc = call();
  return rc;
}

// A failed step of a backend operation; guarded() turns it into the failure value and records
// it for last_error_text(), which reads "what: why". `what` names the thing and its path
// ("shared area A (/run/x/map-A)"); `why` says what went wrong when the error code's own text
// would not ("must be a directory of this user with mode 0700"), and is empty otherwise.
struct OsError {
  int code;
  std::string what;
  std::string why;
};

[[noreturn]] inline void throw_os_error(int code, std::string what = {}, std::string why = {}) {
  throw OsError{code, std::move(what), std::move(why)};
}

// rc when it is not -1, else throws the errno the call left.
inline int check(int rc, std::string_view what = {}) {
  if (rc == -1) throw_os_error(errno, std::string(what));
  return rc;
}

// The calling thread's last failed platform operation: its errno (0 when none failed yet), and
// what failed and why, as OsError has them.
int last_error();
void set_last_error(int code, std::string_view what = {}, std::string_view why = {});

// Throws the calling thread's last recorded failure again, for an operation that fails because
// a step it relies on failed.
[[noreturn]] void throw_last_error();

// Runs body and returns its result; any failure inside it (an OsError, running out of memory)
// is recorded for last_error() and makes the operation return `failure` instead.
template <typename R, typename Body>
R guarded(R failure, Body&& body) noexcept {
  try {
    return body();
  } catch (const OsError& e) {
    set_last_error(e.code, e.what, e.why);
  } catch (const std::bad_alloc&) {
    set_last_error(ENOMEM);
  } catch (const std::exception&) {
    set_last_error(EIO);
  }
  return failure;
}

// This process's pid and effective uid, read once and again after a fork, so that the
// checks made on every send cost no system call. A process that changes its effective uid
// without forking keeps the one it had when it first used the session.
pid_t own_pid();
uid_t own_euid();

// Raises this process's soft limit of open descriptors to its hard limit, once: a sender keeps
// one connection per peer, and a receiver one per sender.
void raise_open_file_limit();

// How long a wait for a session-wide lock (the session lock, the message table's) may last
// before the holder is taken to be stopped or hung and the wait fails with ETIMEDOUT.
inline constexpr int kLockWaitMs = 3000;

// Takes the flock `operation` (LOCK_SH or LOCK_EX) on fd, waiting at most kLockWaitMs.
// Throws OsError naming `what` (the locked file) on failure.
void bounded_flock(int fd, int operation, const std::string& what);

// Reserves size bytes of blocks for a file that backs shared memory, so that a write into the
// mapping can never meet a full filesystem (which would raise SIGBUS). Throws OsError.
void reserve_blocks(int fd, off_t size, const std::string& what);
// The same for a file whose fstat is `known`: nothing to do (and no system call) when the file
// already has its size and as many blocks as it holds bytes, as one that a copy made has.
void reserve_blocks(int fd, off_t size, const std::string& what, const struct stat& known);

// Whether open_session_file may make the file.
enum class Create { kNever, kIfMissing, kExclusive };

// A descriptor kept in reserve, so that a process at its descriptor limit can still do the one
// thing it gives it up for (list the directory, accept a connection to refuse it); invalid when
// none could be opened.
UniqueFd open_spare();

// Opens the file at path in the session directory read-write, never through a symlink, and
// checks that it is a regular file of this user with no other link; *info receives its fstat.
// A file it makes (kExclusive, or kIfMissing with the mode the umask left) gets mode 0600.
// An invalid descriptor when kNever and there is no such file; throws OsError naming `what`
// on any other failure.
UniqueFd open_session_file(const std::string& path, Create create, const std::string& what,
                           struct stat* info = nullptr);

// Reads or writes all size bytes at offset of the file, retrying short transfers; throws
// OsError naming `what` when the file ends early or the call fails.
void read_all_at(int fd, void* bytes, std::size_t size, off_t offset, const std::string& what);
void write_all_at(int fd, const void* bytes, std::size_t size, off_t offset,
                  const std::string& what);

// Whether path (not followed if a symlink) is still the file (device, inode) the caller made
// or saw; unlink_if_same removes it only then.
bool is_same_file(const std::string& path, dev_t dev, ino_t ino);
void unlink_if_same(const std::string& path, dev_t dev, ino_t ino);

// The session directory the environment names, read anew on every call and not checked:
// $MMFCAST_SESSION_DIR when set and not empty, else $XDG_RUNTIME_DIR/mmfcast when that is an
// absolute path, else /tmp/mmfcast-<effective uid>. Trailing slashes are dropped.
std::string session_dir_path();
// Whether the environment still names `path` as the session directory: no system call, and no
// name built when $MMFCAST_SESSION_DIR gives it (the common case, checked on every delivery).
bool names_path(const std::string& path);
// MMFCAST_SESSION_DIR's value as getenv would give it, or nullptr when it is not set.
const char* session_dir_variable();

// The checked session directory this process is attached to, held open.
struct SessionDir {
  UniqueFd fd;  // O_PATH descriptor, so /proc/self/fd/<fd> reaches files by a short path
  std::string path;
  dev_t dev = 0;
  ino_t ino = 0;
  std::uint64_t epoch = 0;  // distinct for every directory the process attached to

  std::string file(std::string_view name) const { return path + "/" + std::string(name); }
};
using SessionPtr = std::shared_ptr<const SessionDir>;

// The session directory, checked (one read of its inotify watch that finds no event while it is
// unchanged, else one lstat of its path): a directory (not a symlink) owned
// by the effective uid with mode exactly 0700. When missing it is created (0700 whatever the
// umask); when the path now names another directory than last time (the old one was removed
// and re-created), the process attaches to the new one and the result has a new epoch. nullptr,
// with the reason recorded, when it cannot be created or fails a check; a relative
// $MMFCAST_SESSION_DIR fails too, since processes started elsewhere would not share it.
// Attaching to a replacement moves this process's views of mappings in the old directory onto
// the new one (reattach_mappings), and sets *reattached.
SessionPtr current_session(bool* reattached = nullptr);

// While a thread is inside a CheckedScope, the first current_session call checks the directory
// and the calls after it, for a few milliseconds, return that check's result: one operation (a
// send under the send lock) looks at the directory once, not once per step.
// The directory watch as registered in an epoll set (the endpoint's), so that a wait on the set
// that did not report the watch shows the directory unchanged without a read of its own.
class WatchedBy {
 public:
  // Adds the watch to the set under `tag` unless it is there already; false without a watch.
  bool watch_in(int epoll_fd, std::uint64_t tag);
  // Reads the events the set reported, so that it stops reporting them; the next
  // current_session checks in full.
  void take_events();

 private:
  friend class CheckedScope;
  std::uint64_t watches = 0;  // which watch is in the set; 0: none
};

class CheckedScope {
 public:
  CheckedScope();
  // A scope whose check is already made: a wait on the set that holds the watch has just
  // returned without reporting it.
  explicit CheckedScope(const WatchedBy& waited);
  ~CheckedScope();
  CheckedScope(const CheckedScope&) = delete;
  CheckedScope& operator=(const CheckedScope&) = delete;
};

// The session directory this process attached to last, as current_session left it, without
// looking at the path again; nullptr before the first attach.
SessionPtr attached_session();

// Blocks until this process holds the session-wide lock of dir (an exclusive flock on its
// "lock" file), at most kLockWaitMs; closing the descriptor releases it. Throws OsError on
// failure. Not reentrant: flock locks taken through separate descriptors conflict even within
// one process.
UniqueFd lock_session(const std::string& dir);

// The file name under which the mapping `name` lives in the session directory: "map-" and the
// name with every byte outside [A-Za-z0-9._-] written as %XX, so distinct names give distinct
// files and no name can reach outside the directory. nullopt for an empty name or when the
// file name would exceed NAME_MAX.
std::optional<std::string> mapping_file_name(std::string_view name);

// Moves every view this process holds of a mapping in a directory that has since been removed
// or replaced at now's path onto the mapping of the same name in `now` (opened, or created
// with the old view's contents), at the same address. Views in `now` whose file was removed or
// replaced move onto the live mapping that now has the name; while there is none they stay,
// shared with the other copies that held the old file. Views of other directories stay.
// Returns how many views moved.
int reattach_mappings(const SessionDir& now);

// Maps again, over the same addresses, the views whose file another process cut short (their
// guarded region is marked damaged), after growing the file back. Returns how many.
int repair_damaged_views();

// How many views reattach_mappings has moved in this process so far.
std::uint64_t mappings_moved();

// Shared memory backed by a file that another process of this user could truncate, guarded
// against SIGBUS: an access past the file's end lands on private zero pages that replace the
// whole region, and the region is marked damaged for its owner to map again. guard_region
// returns the slot (-1 when every slot is taken: the region is then unguarded); a slot is
// given back with unguard_region before its region is unmapped.
int guard_region(const void* start, std::size_t size);
void unguard_region(int slot);
bool region_damaged(int slot);
void clear_damage(int slot);
// How many times a guarded region has been damaged in this process so far.
std::uint64_t damage_count();

// A shared read-write mapping of a whole file, unmapped when the owner goes. Mapped with
// map_guarded, it is guarded against the file being cut short (see guard_region) and its guard
// slot is given back first.
class SharedMapping {
 public:
  SharedMapping() = default;
  SharedMapping(SharedMapping&& other) noexcept
      : address_(std::exchange(other.address_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        guard_(std::exchange(other.guard_, -1)) {}
  SharedMapping& operator=(SharedMapping&& other) noexcept {
    if (this != &other) {
      reset();
      address_ = std::exchange(other.address_, nullptr);
      size_ = std::exchange(other.size_, 0);
      guard_ = std::exchange(other.guard_, -1);
    }
    return *this;
  }
  ~SharedMapping() { reset(); }

  // Maps size bytes of fd from offset 0; throws OsError naming `what` when it cannot.
  static SharedMapping map(int fd, std::size_t size, const std::string& what);
  static SharedMapping map_guarded(int fd, std::size_t size, const std::string& what);

  template <typename T>
  T* as() const {
    return static_cast<T*>(address_);
  }
  void* get() const { return address_; }
  std::size_t size() const { return size_; }
  bool valid() const { return address_ != nullptr; }
  int guard() const { return guard_; }
  // Whether another process cut the file short under the mapping (never for an unguarded one).
  bool damaged() const { return region_damaged(guard_); }
  void reset();

 private:
  void* address_ = nullptr;
  std::size_t size_ = 0;
  int guard_ = -1;
};

// A count that goes up whenever current_session saw the directory change (an entry made,
// removed or renamed) or attached to another one: holders of files in it check that theirs
// are still in place when it has moved.
std::uint64_t session_changes();

}  // namespace mmfcast::platform::os
