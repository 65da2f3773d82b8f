// The per-session directory the Linux backend keeps its files in: found from the environment,
// checked before use and held open, and re-attached when it is replaced. Its safety (ours
// alone, mode 0700, not a symlink) is what lets the backends trust the files inside it
// (session_files.cpp opens them). An inotify watch on it makes the check of a quiet directory
// one read that finds no event; without one (the system has no instance to spare) each check
// is an lstat.
#include <fcntl.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "platform/linux/transport/internal.h"
#include "platform/linux/transport/session.h"
#include "platform/platform.h"

namespace mmfcast::platform::os {

struct Attached {
  std::mutex mutex;
  SessionPtr dir;
  std::uint64_t last_epoch = 0;
  // The directory's modification time when its files were last checked, and whether that
  // check came late enough after the change to have seen it whole.
  struct timespec checked_mtime {};
  bool settled = false;
  std::atomic<std::uint64_t> changes{0};
  std::atomic<std::uint64_t> damage_repaired{0};  // damage_count() when views were last repaired
  // The watch on dir (none: the system had no instance to spare), made by `watcher` (a forked
  // child makes its own), and how many reads of it found events against how many of those a
  // full check has since covered.
  UniqueFd watch_fd;
  pid_t watcher = 0;
  std::uint64_t watches = 0;  // how many watches were made: an epoll set holding one re-adds
  std::atomic<std::uint64_t> events_read{0};
  std::atomic<std::uint64_t> events_checked{0};
};

Part<Attached> make_attached() { return new_part<Attached>(); }

namespace {

// Everything that changes the directory's modification time, which the checks without a watch
// go by: entries made, removed or renamed; and the directory itself removed, moved away or
// changed in mode or owner.
constexpr std::uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                     IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_DONT_FOLLOW |
                                     IN_ONLYDIR;

// A check made by a thread inside a CheckedScope serves the scope's later calls for this long.
constexpr auto kScopeValidity = std::chrono::milliseconds(20);

struct ScopeCheck {
  int depth = 0;
  SessionPtr dir;                                // the scope's check, once made
  std::chrono::steady_clock::time_point when{};  // of the check; none for a wait's
  // The check is a wait's that just showed the watch quiet: its first use needs no clock, and
  // a later one makes the check again, since the wait's time was not read.
  bool fresh = false;
};
thread_local ScopeCheck scope_check;

// A check made this soon after the directory changed is repeated on the next use: an entry
// removed within the same tick of the file system's clock leaves the modification time as it was.
constexpr long long kSettleNs = 50'000'000;

bool settled_since(const struct timespec& mtime) {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  const long long age_ns = (static_cast<long long>(now.tv_sec) - mtime.tv_sec) * 1'000'000'000LL +
                           (now.tv_nsec - mtime.tv_nsec);
  return age_ns > kSettleNs;
}

Attached& attached() { return session().attached(); }

bool acceptable(const struct stat& st) {
  return S_ISDIR(st.st_mode) && st.st_uid == own_euid() && (st.st_mode & 07777) == 0700;
}

std::atomic<pid_t> cached_pid{0};
std::atomic<bool> euid_known{false};
std::atomic<uid_t> cached_euid{0};

void forget_identity() {
  cached_pid.store(0, std::memory_order_relaxed);
  euid_known.store(false, std::memory_order_relaxed);
}

void forget_identity_after_fork() {
  static const bool registered = ::pthread_atfork(nullptr, nullptr, forget_identity) == 0;
  (void)registered;
}

}  // namespace

pid_t own_pid() {
  forget_identity_after_fork();
  pid_t pid = cached_pid.load(std::memory_order_relaxed);
  if (pid == 0) {
    pid = ::getpid();
    cached_pid.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

uid_t own_euid() {
  forget_identity_after_fork();
  if (!euid_known.load(std::memory_order_acquire)) {
    cached_euid.store(::geteuid(), std::memory_order_relaxed);
    euid_known.store(true, std::memory_order_release);
  }
  return cached_euid.load(std::memory_order_relaxed);
}

void raise_open_file_limit() {
  static const bool raised = [] {
    struct rlimit limit {};
    // Failing leaves the limit as it was: the sends past it report the copies not reached.
    if (syscalls().getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
      limit.rlim_cur = limit.rlim_max;
      syscalls().setrlimit(RLIMIT_NOFILE, &limit);
    }
    return true;
  }();
  (void)raised;
}

namespace {

// Where the environment held MMFCAST_SESSION_DIR when this thread last looked.
struct VariableSeen {
  char** environment = nullptr;
  std::size_t index = 0;
  const char* entry = nullptr;  // the entry found there
};
thread_local VariableSeen session_variable_seen;

}  // namespace

const char* session_dir_variable() {
  constexpr std::string_view kEntry = "MMFCAST_SESSION_DIR=";
  // setenv replaces an entry in its place or appends one, unsetenv moves the later ones down:
  // an entry still named so at the same place of the same array is the first one, as getenv
  // finds it, and the look costs one entry instead of every one.
  VariableSeen& seen = session_variable_seen;
  char** const environment = environ;
  if (environment != nullptr && environment == seen.environment) {
    const char* entry = environment[seen.index];
    // The same string is the same entry: setenv puts a new one in place of one it changes.
    if (entry != nullptr && entry == seen.entry) return entry + kEntry.size();
    if (entry != nullptr && std::strncmp(entry, kEntry.data(), kEntry.size()) == 0) {
      seen.entry = entry;
      return entry + kEntry.size();
    }
  }
  seen.environment = nullptr;
  for (std::size_t i = 0; environment != nullptr && environment[i] != nullptr; ++i) {
    if (std::strncmp(environment[i], kEntry.data(), kEntry.size()) == 0) {
      seen = {environment, i, environment[i]};
      return environment[i] + kEntry.size();
    }
  }
  return nullptr;
}

bool names_path(const std::string& path) {
  const char* own = session_dir_variable();
  if (own == nullptr || *own == '\0') return session_dir_path() == path;
  std::string_view named(own);
  while (named.size() > 1 && named.back() == '/') named.remove_suffix(1);
  return named == path;
}

std::string session_dir_path() {
  std::string path;
  const char* own = session_dir_variable();
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (own != nullptr && *own != '\0') {
    path = own;
  } else if (runtime != nullptr && runtime[0] == '/') {
    path = std::string(runtime) + "/mmfcast";
  } else {
    path = "/tmp/mmfcast-" + std::to_string(own_euid());
  }
  // "link/" would make lstat look through a symlink named link.
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

namespace {

// Reads every event the watch holds; counts them (the next check is then a full one) and
// returns true when there were any, or when the watch could not be read.
bool take_watch_events(Attached& a) {
  alignas(inotify_event) char buffer[4096];
  bool any = false;
  while (retry_eintr([&] { return syscalls().read(a.watch_fd.get(), buffer, sizeof buffer); }) >
         0) {
    any = true;
  }
  if (!any && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
  a.events_read.fetch_add(1, std::memory_order_acq_rel);
  return true;
}

// Whether the watch shows the attached directory unchanged since its last full check: one read
// that finds no event. Events found are counted, and the caller then checks in full.
bool quiet_by_watch(Attached& a, const std::string& path) {
  if (!a.watch_fd.valid() || a.watcher != own_pid() || !a.dir || a.dir->path != path ||
      a.events_read.load(std::memory_order_acquire) !=
          a.events_checked.load(std::memory_order_acquire)) {
    return false;
  }
  return !take_watch_events(a);
}

// Watches the directory now attached, replacing the watch of an earlier one. Without an
// inotify instance the checks fall back to one lstat each.
void watch_attached(Attached& a) {
  const Syscalls& sys = syscalls();
  a.watch_fd.reset(sys.inotify_init1(IN_NONBLOCK | IN_CLOEXEC));  // a forked child's copy too
  a.watcher = own_pid();
  ++a.watches;
  if (a.watch_fd.valid() &&
      sys.inotify_add_watch(a.watch_fd.get(), a.dir->path.c_str(), kWatchMask) < 0) {
    a.watch_fd.reset();
  }
  // The check that led here came before the watch: the next one is made in full again.
  a.events_read.fetch_add(1, std::memory_order_acq_rel);
}

// Counts the events read before a full check began as covered by it.
void mark_checked(Attached& a, std::uint64_t events) {
  std::uint64_t checked = a.events_checked.load(std::memory_order_acquire);
  while (checked < events &&
         !a.events_checked.compare_exchange_weak(checked, events, std::memory_order_acq_rel)) {
  }
}

SessionPtr checked_session(bool* reattached);

}  // namespace

CheckedScope::CheckedScope() { ++scope_check.depth; }

CheckedScope::CheckedScope(const WatchedBy& waited) : CheckedScope() {
  Attached& a = attached();
  std::lock_guard lock(a.mutex);
  // Only a watch that was in the set, quiet since the last full check, with nothing damaged.
  if (waited.watches != 0 && waited.watches == a.watches && a.watcher == own_pid() &&
      a.watch_fd.valid() && a.dir && names_path(a.dir->path) &&
      a.events_read.load() == a.events_checked.load() &&
      a.damage_repaired.load() == damage_count()) {
    scope_check.dir = a.dir;
    scope_check.fresh = true;
    scope_check.when = {};
  }
}

void WatchedBy::take_events() {
  Attached& a = attached();
  std::lock_guard lock(a.mutex);
  if (a.watch_fd.valid() && a.watcher == own_pid()) take_watch_events(a);
}

bool WatchedBy::watch_in(int epoll_fd, std::uint64_t tag) {
  Attached& a = attached();
  std::lock_guard lock(a.mutex);
  if (!a.watch_fd.valid() || a.watcher != own_pid()) {
    watches = 0;
    return false;
  }
  if (watches == a.watches) return true;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = tag;
  // A watch made since took the place of the one registered, which went with its descriptor.
  watches =
      syscalls().epoll_ctl(epoll_fd, EPOLL_CTL_ADD, a.watch_fd.get(), &ev) == 0 ? a.watches : 0;
  return watches != 0;
}

// A scope ended on another thread than it began (a send lock released elsewhere) leaves this
// thread's count alone.
CheckedScope::~CheckedScope() {
  if (scope_check.depth > 0 && --scope_check.depth == 0) {
    scope_check.dir.reset();
    scope_check.fresh = false;
  }
}

SessionPtr current_session(bool* reattached) {
  if (reattached != nullptr) *reattached = false;
  ScopeCheck& scope = scope_check;
  if (scope.depth > 0 && scope.dir && scope.fresh) {
    scope.fresh = false;
    return scope.dir;
  }
  const auto now = std::chrono::steady_clock::now();
  if (scope.depth > 0 && scope.dir && scope.when != std::chrono::steady_clock::time_point{} &&
      now - scope.when < kScopeValidity) {
    return scope.dir;
  }
  SessionPtr dir = checked_session(reattached);
  if (scope.depth > 0) {
    scope.dir = dir;
    scope.when = now;
  }
  return dir;
}

namespace {

// The lstat of the session directory at path, made first when missing; throws OsError naming
// `what` when it cannot be made or is not a directory of this user with mode 0700.
struct stat checked_stat(const std::string& path, const std::string& what) {
  if (path.empty() || path.front() != '/') throw_os_error(EINVAL, what, "not an absolute path");
  const Syscalls& sys = syscalls();
  struct stat st {};
  if (sys.lstat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) throw_os_error(errno, what);
    // Made by this process: the mode is set explicitly, since the umask may have taken bits
    // away (0277 would leave a directory this user cannot write).
    if (sys.mkdir(path.c_str(), 0700) == 0) {
      check(sys.chmod(path.c_str(), 0700), what);
    } else if (errno != EEXIST) {
      throw_os_error(errno, what);
    }
    check(sys.lstat(path.c_str(), &st), what);
  }
  if (!acceptable(st)) {
    throw_os_error(EACCES, what, "must be a directory of this user with mode 0700");
  }
  return st;
}

// The attached directory, found unchanged at its path (st); `events` were read before the
// check began. Called with a.mutex held through `lock`, which it releases.
SessionPtr still_attached(Attached& a, std::unique_lock<std::mutex>& lock, const struct stat& st,
                          std::uint64_t events, bool* reattached) {
  SessionPtr same = a.dir;
  // Files may have been removed or replaced inside the directory: views of areas whose file
  // is gone move to the one that now has its name. Checked only after a change, so a quiet
  // session costs nothing more than the lstat.
  const bool changed = !a.settled || st.st_mtim.tv_sec != a.checked_mtime.tv_sec ||
                       st.st_mtim.tv_nsec != a.checked_mtime.tv_nsec ||
                       events != a.events_checked.load(std::memory_order_acquire);
  if (changed) {
    a.checked_mtime = st.st_mtim;
    a.settled = settled_since(st.st_mtim);
    a.changes.fetch_add(1, std::memory_order_relaxed);
  }
  if (a.watcher != own_pid()) watch_attached(a);
  lock.unlock();
  // Views move before the events that led here count as checked, so no other thread takes
  // the quiet path while they are still in the removed files.
  if (changed && reattach_mappings(*same) > 0 && reattached != nullptr) *reattached = true;
  mark_checked(a, events);
  return same;
}

// Attaches to the directory at path (st), held open from now on; called with a.mutex held
// through `lock`, which it releases.
SessionPtr attach(Attached& a, std::unique_lock<std::mutex>& lock, std::string path,
                  const struct stat& st, std::uint64_t events, bool* reattached) {
  const std::string what = "session directory " + path;
  const bool replaced = a.dir && a.dir->path == path;
  UniqueFd fd(syscalls().open(path.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0));
  if (!fd.valid()) throw_os_error(errno, what);
  struct stat held {};
  check(syscalls().fstat(fd.get(), &held), what);
  if (held.st_dev != st.st_dev || held.st_ino != st.st_ino || !acceptable(held)) {
    throw_os_error(EAGAIN, what, "replaced while it was opened");
  }
  auto dir = std::make_shared<SessionDir>();
  dir->fd = std::move(fd);
  dir->path = std::move(path);
  dir->dev = st.st_dev;
  dir->ino = st.st_ino;
  dir->epoch = ++a.last_epoch;
  a.dir = dir;
  a.checked_mtime = st.st_mtim;
  a.settled = settled_since(st.st_mtim);
  a.changes.fetch_add(1, std::memory_order_relaxed);
  watch_attached(a);
  lock.unlock();
  // The directory this process used is gone: its areas move to the new one, so that what is
  // written from now on reaches the copies there.
  if (replaced) {
    reattach_mappings(*dir);
    if (reattached != nullptr) *reattached = true;
  }
  mark_checked(a, events);
  return dir;
}

// The session directory checked in full (an lstat), or by its watch when it shows no change.
SessionPtr checked_session(bool* reattached) {
  return guarded<SessionPtr>(nullptr, [&]() -> SessionPtr {
    std::string path = session_dir_path();
    Attached& a = attached();
    const std::uint64_t damage_now = damage_count();
    if (a.damage_repaired.load() == damage_now) {
      std::unique_lock lock(a.mutex);
      if (quiet_by_watch(a, path)) return a.dir;
    }
    const std::uint64_t events = a.events_read.load(std::memory_order_acquire);
    const struct stat st = checked_stat(path, "session directory " + path);
    const std::uint64_t damage = damage_count();
    if (a.damage_repaired.exchange(damage) != damage) repair_damaged_views();
    std::unique_lock lock(a.mutex);
    if (a.dir && a.dir->path == path && a.dir->dev == st.st_dev && a.dir->ino == st.st_ino) {
      return still_attached(a, lock, st, events, reattached);
    }
    return attach(a, lock, std::move(path), st, events, reattached);
  });
}

}  // namespace

SessionPtr attached_session() {
  Attached& a = attached();
  std::lock_guard lock(a.mutex);
  return a.dir;
}

std::uint64_t session_changes() { return attached().changes.load(std::memory_order_relaxed); }

}  // namespace mmfcast::platform::os
