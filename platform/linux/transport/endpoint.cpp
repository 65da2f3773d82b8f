// The receiving side of broadcasts on Linux. A process with at least one top-level window has an
// endpoint: a state page "peer-<id>.state" that it keeps an exclusive flock on, and a
// Unix-domain SOCK_SEQPACKET socket bound as "peer-<id>.new", listening, then renamed to
// "peer-<id>.sock", so a name a sender can see always accepts connections. One epoll descriptor,
// which lives from the first window to the last, covers the listener, every accepted
// connection and its sender's notification eventfd (edge-triggered: each write means new
// entries in that sender's ring), an inotify watch on the session directory for repairs,
// the session directory's own watch (a wait that does not report it shows the directory
// unchanged) and a repair timer: when the endpoint's files or the directory vanish, the
// endpoint is published anew (in a re-created directory) shortly after. Each notification goes
// to every window on the calling thread and is answered in the sender's acknowledgement page.
// Delivery state belongs to the thread that handles messages and is not locked.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/linux/transport/session.h"
#include "platform/linux/transport/syscalls.h"
#include "platform/linux/transport/transport.h"

namespace mmfcast::platform::os {
namespace {

constexpr int kListenBacklog = 64;
constexpr std::size_t kMaxInbound = 256;     // accepted connections kept at once
constexpr int kMaxFramesPerDispatch = 4096;  // bounds one dispatch_pending call
constexpr int kEventsPerRound = 16;          // events one wait takes in
constexpr std::uint64_t kListenerId = 0;
constexpr std::uint64_t kWatchId = 1;
constexpr std::uint64_t kTimerId = 2;
constexpr std::uint64_t kSessionWatchId = 3;
constexpr std::uint64_t kFirstInboundId = 16;
// Marks an epoll id as the ring of connection (id without the mark), not its socket.
constexpr std::uint64_t kRingMark = std::uint64_t{1} << 63;
// A vanished endpoint is published anew this long after the first sign, so that a directory
// being removed entry by entry is gone before it is made again; a failed attempt is retried.
// While the directory keeps changing (it is being emptied) the repair waits on, up to
// kRepairMaxDelayMs after the first sign. An endpoint without a directory watch looks every
// kRepairRetryMs.
constexpr long kRepairDelayMs = 250;
constexpr long kRepairRetryMs = 1000;
constexpr long kRepairMaxDelayMs = 2000;

struct Inbound {
  int fd = -1;
  bool closed = false;
  AckPage* ack = nullptr;  // the sender's page, once its hello has arrived
  int wake_fd = -1;
  int notify_fd = -1;          // the sender's ring descriptor; -1 when it sends on the socket
  std::uint64_t read_seq = 0;  // the last entry of the ring read
  std::uint32_t slot = 0;
  std::uint64_t last_used = 0;
};

// The files that make the endpoint visible in one session directory.
struct Publication {
  SessionPtr dir;
  EndpointId id{};
  int listen_fd = -1;
  int state_fd = -1;  // flocked for as long as the process lives
  PeerState* state = nullptr;
  int guard = -1;     // the state page's slot among the regions guarded against truncation
  int watch_fd = -1;  // inotify on the directory; -1 when the system has none to spare
  std::string socket_name, state_name, socket_path, state_path;
  struct stat socket_st {};
  struct stat state_st {};
};

}  // namespace

struct Endpoint {
  int epoll_fd = -1;
  int timer_fd = -1;
  std::unique_ptr<Publication> published;
  std::uint64_t next_id = kFirstInboundId;
  std::uint64_t use_clock = 0;
  std::map<std::uint64_t, std::shared_ptr<Inbound>> inbound;
  std::chrono::steady_clock::time_point repair_since{};  // first sign of the pending repair
  bool repair_pending = false;
  std::uint64_t opens = 0;  // how many times the epoll descriptor was made
  WatchedBy session_watch;  // the session directory's watch, in the epoll set
};

Part<Endpoint> make_endpoint() {
  return {new Endpoint, [](Endpoint* e) {
            close_endpoint();  // still the session's part while it is destroyed
            delete e;
          }};
}

namespace {

// The notification being handed to the windows on this thread, so that a reader of the area can
// ask afterwards whether the text it copied out was still the one announced.
struct Delivery {
  bool active = false;
  std::uint32_t msg = 0;  // as it travels in frames
  std::uint64_t hold = 0;
  std::uint64_t epoch = 0;
  std::uint64_t damage = 0;  // damage_count() when the delivery began
  std::uint64_t moved = 0;   // mappings_moved() when the delivery began
};
thread_local Delivery delivery;

Endpoint& endpoint() { return session().endpoint(); }

// What the exit handler needs, kept in plain storage that exit-time destruction cannot touch.
struct ExitRecord {
  pid_t pid = 0;
  struct ExitFile {
    dev_t dev = 0;
    ino_t ino = 0;
    char path[4096] = {};
  } files[2];
};
ExitRecord exit_record;

void remove_endpoint_at_exit() {
  if (exit_record.pid != getpid()) return;
  for (const auto& file : exit_record.files) {
    if (file.path[0] != '\0') unlink_if_same(file.path, file.dev, file.ino);
  }
}

// A hang-up, interrupt or termination that would end the process where it stands removes the
// endpoint's files and the send lock's token first (lstat and unlink are safe in a signal handler),
// then ends it the same way. Installed only for signals still at their default action: a program
// that handles one itself keeps it, and exits normally through the at-exit handler.
void remove_endpoint_and_die(int signal) {
  if (exit_record.pid == ::getpid()) {
    for (const auto& file : exit_record.files) {
      struct stat st {};
      if (file.path[0] != '\0' && ::lstat(file.path, &st) == 0 && st.st_dev == file.dev &&
          st.st_ino == file.ino) {
        ::unlink(file.path);
      }
    }
    remove_send_lock_token();
  }
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  ::sigaction(signal, &fallback, nullptr);
  ::raise(signal);
}

void remove_endpoint_on_stop_signals() {
  for (const int signal : {SIGHUP, SIGINT, SIGTERM}) {
    struct sigaction current {};
    if (::sigaction(signal, nullptr, &current) != 0 || (current.sa_flags & SA_SIGINFO) != 0 ||
        current.sa_handler != SIG_DFL) {
      continue;
    }
    struct sigaction action {};
    action.sa_handler = remove_endpoint_and_die;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
  }
}

void remember_for_exit(const Publication& p) {
  static const bool registered = std::atexit(remove_endpoint_at_exit) == 0;
  (void)registered;
  static const bool signals = (remove_endpoint_on_stop_signals(), true);
  (void)signals;
  exit_record.pid = getpid();
  const std::pair<const std::string*, const struct stat*> files[2] = {
      {&p.socket_path, &p.socket_st}, {&p.state_path, &p.state_st}};
  for (int i = 0; i < 2; ++i) {
    auto& slot = exit_record.files[i];
    slot.path[0] = '\0';
    if (files[i].first->size() >= sizeof slot.path) continue;
    slot.dev = files[i].second->st_dev;
    slot.ino = files[i].second->st_ino;
    std::memcpy(slot.path, files[i].first->c_str(), files[i].first->size() + 1);
  }
}

void watch(int fd, std::uint64_t id) {
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = id;
  check(syscalls().epoll_ctl(endpoint().epoll_fd, EPOLL_CTL_ADD, fd, &ev), "endpoint's epoll set");
}

// Arms the repair timer to fire once after ms, then every `every` ms (0: once).
void arm_timer(long ms, long every = 0) {
  itimerspec when{};
  when.it_value.tv_sec = ms / 1000;
  when.it_value.tv_nsec = (ms % 1000) * 1000000L;
  when.it_interval.tv_sec = every / 1000;
  when.it_interval.tv_nsec = (every % 1000) * 1000000L;
  syscalls().timerfd_settime(endpoint().timer_fd, 0, &when, nullptr);
}

// Starts waiting to repair the endpoint, or waits longer while the directory keeps changing.
void schedule_repair() {
  Endpoint& e = endpoint();
  const auto now = std::chrono::steady_clock::now();
  if (!e.repair_pending) {
    e.repair_pending = true;
    e.repair_since = now;
  }
  // Never past the bound, however often the directory changes.
  const long left = static_cast<long>(
      kRepairMaxDelayMs -
      std::chrono::duration_cast<std::chrono::milliseconds>(now - e.repair_since).count());
  arm_timer(std::clamp(left, 1L, kRepairDelayMs));
}

// Removes the publication's files (only while they are still its own) and closes it.
void unpublish(Publication& p) {
  Endpoint& e = endpoint();
  if (!p.socket_path.empty()) unlink_if_same(p.socket_path, p.socket_st.st_dev, p.socket_st.st_ino);
  if (!p.state_path.empty()) unlink_if_same(p.state_path, p.state_st.st_dev, p.state_st.st_ino);
  for (int fd : {p.listen_fd, p.watch_fd}) {
    if (fd < 0) continue;
    if (e.epoll_fd >= 0) syscalls().epoll_ctl(e.epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
    syscalls().close(fd);
  }
  unguard_region(p.guard);
  if (p.state != nullptr) syscalls().munmap(p.state, kStatePageSize);
  if (p.state_fd >= 0) syscalls().close(p.state_fd);  // releases the liveness lock
  p = Publication{};
  for (auto& file : exit_record.files) file.path[0] = '\0';
}

EndpointId random_id() {
  std::uint8_t bytes[8];
  if (syscalls().getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    throw_os_error(errno, "endpoint id (getrandom)");
  }
  EndpointId id{};
  for (std::size_t i = 0; i < 8; ++i) {
    id[2 * i] = "0123456789abcdef"[bytes[i] >> 4];
    id[2 * i + 1] = "0123456789abcdef"[bytes[i] & 0xF];
  }
  return id;
}

// Creates the state page and the socket and makes them visible; throws OsError, leaving
// nothing behind, when it cannot.
void publish(Publication& p) {
  const Syscalls& sys = syscalls();
  p.dir = current_session();
  if (!p.dir) throw_last_error();
  p.id = random_id();
  p.socket_name = endpoint_file_name(p.id, EndpointFile::kSocket);
  p.state_name = endpoint_file_name(p.id, EndpointFile::kState);
  const std::string new_name = endpoint_file_name(p.id, EndpointFile::kUnpublished);
  const std::string state_path = p.dir->file(p.state_name);
  const std::string state_what = "endpoint state page " + state_path;

  // The state page first: its lock is what tells others this endpoint's owner is alive.
  p.state_fd = open_session_file(state_path, Create::kExclusive, state_what, &p.state_st).release();
  p.state_path = state_path;
  check(sys.flock(p.state_fd, LOCK_EX | LOCK_NB), state_what);
  reserve_blocks(p.state_fd, kStatePageSize, state_what);
  void* page = sys.mmap(nullptr, kStatePageSize, PROT_READ | PROT_WRITE, MAP_SHARED, p.state_fd, 0);
  if (page == MAP_FAILED) throw_os_error(errno, state_what);
  p.state = static_cast<PeerState*>(page);
  p.guard = guard_region(page, kStatePageSize);
  p.state->version.store(kStateVersion, std::memory_order_relaxed);
  p.state->magic.store(kStateMagic, std::memory_order_release);

  sockaddr_un address{};
  socklen_t length = 0;
  const std::string new_path = p.dir->file(new_name);
  const std::string socket_what = "endpoint socket " + new_path;
  if (!socket_address(*p.dir, new_name, address, length)) {
    throw_os_error(ENAMETOOLONG, socket_what);
  }
  p.listen_fd =
      check(sys.socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0), socket_what);
  check(sys.bind(p.listen_fd, reinterpret_cast<const sockaddr*>(&address), length), socket_what);
  try {
    // Senders need write permission on the socket, which the umask may have taken away.
    check(sys.chmod(new_path.c_str(), 0600), socket_what);
    check(sys.listen(p.listen_fd, kListenBacklog), socket_what);
    const std::string socket_path = p.dir->file(p.socket_name);
    const std::string published_what = "endpoint socket " + socket_path;
    check(sys.rename(new_path.c_str(), socket_path.c_str()), published_what);
    p.socket_path = socket_path;
    check(sys.lstat(socket_path.c_str(), &p.socket_st), published_what);
  } catch (...) {
    sys.unlink(new_path.c_str());
    throw;
  }

  // Without an inotify instance to spare, the repair timer looks every kRepairRetryMs instead.
  p.watch_fd = sys.inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (p.watch_fd >= 0 && sys.inotify_add_watch(p.watch_fd, p.dir->path.c_str(),
                                               IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF |
                                                   IN_MOVE_SELF | IN_ONLYDIR) < 0) {
    sys.close(p.watch_fd);
    p.watch_fd = -1;
  }
  watch(p.listen_fd, kListenerId);
  if (p.watch_fd >= 0) watch(p.watch_fd, kWatchId);
  arm_timer(p.watch_fd >= 0 ? 0 : kRepairRetryMs, p.watch_fd >= 0 ? 0 : kRepairRetryMs);
  remember_for_exit(p);
}

// Publishes a new endpoint; false, with the reason recorded and nothing left behind, when it
// cannot.
bool publish_or_clean_up() {
  std::unique_ptr<Publication> p;
  const bool published = guarded(false, [&] {
    p = std::make_unique<Publication>();
    publish(*p);
    return true;
  });
  if (!published) {
    if (p) unpublish(*p);
    return false;
  }
  endpoint().published = std::move(p);
  return true;
}

// True while the endpoint's files are still in place in the directory the path names.
bool still_published(const Publication& p) {
  SessionPtr now = current_session();
  if (!now || now->epoch != p.dir->epoch) return false;
  return is_same_file(p.socket_path, p.socket_st.st_dev, p.socket_st.st_ino) &&
         is_same_file(p.state_path, p.state_st.st_dev, p.state_st.st_ino);
}

// Milliseconds since the directory was last changed, or -1 when that cannot be told.
long long directory_quiet_ms(const SessionDir& dir) {
  struct stat st {};
  if (syscalls().lstat(dir.path.c_str(), &st) != 0) return -1;
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  return (static_cast<long long>(now.tv_sec) - st.st_mtim.tv_sec) * 1000LL +
         (now.tv_nsec - st.st_mtim.tv_nsec) / 1'000'000;
}

void repair() {
  Endpoint& e = endpoint();
  if (e.published && !region_damaged(e.published->guard) && still_published(*e.published)) {
    e.repair_pending = false;
    if (e.published->watch_fd < 0) arm_timer(kRepairRetryMs, kRepairRetryMs);
    return;
  }
  // A directory still being emptied (rm -r) changes all the time: publishing in it would leave
  // it not empty. Waited for while it keeps changing, within a bound; an endpoint without a
  // watch finds it here first.
  if (e.published && !e.repair_pending) {
    e.repair_pending = true;
    e.repair_since = std::chrono::steady_clock::now();
  }
  if (e.published && e.repair_pending) {
    SessionPtr now = current_session();
    const long long quiet =
        now && now->epoch == e.published->dir->epoch ? directory_quiet_ms(*now) : kRepairDelayMs;
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - e.repair_since)
                            .count();
    if (quiet >= 0 && quiet < kRepairDelayMs && waited < kRepairMaxDelayMs) {
      arm_timer(static_cast<long>(kRepairDelayMs - quiet));
      return;
    }
  }
  e.repair_pending = false;
  if (e.published) unpublish(*e.published);
  e.published.reset();
  if (!publish_or_clean_up()) arm_timer(kRepairRetryMs);
}

// Reads what the directory watch reports; a change that touches the endpoint starts a repair.
void read_watch() {
  Endpoint& e = endpoint();
  if (!e.published || e.published->watch_fd < 0) return;
  alignas(inotify_event) char buffer[4096];
  bool touched = false;
  bool removed = false;  // any entry went
  for (;;) {
    const ssize_t got =
        retry_eintr([&] { return syscalls().read(e.published->watch_fd, buffer, sizeof buffer); });
    if (got <= 0) break;
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      const ssize_t size = static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (at + size > got) break;
      if ((event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_Q_OVERFLOW)) != 0) {
        touched = true;
      } else if (event->len > 0) {
        const std::string_view name(event->name, strnlen(event->name, event->len));
        if (name == e.published->socket_name || name == e.published->state_name) touched = true;
        removed = true;
      }
      at += size;
    }
  }
  // Every further removal while a repair waits puts it off again: the directory is being
  // emptied.
  if (touched || (removed && e.repair_pending)) schedule_repair();
}

void close_inbound(std::uint64_t id) {
  Endpoint& e = endpoint();
  auto found = e.inbound.find(id);
  if (found == e.inbound.end()) return;
  Inbound& conn = *found->second;
  syscalls().epoll_ctl(e.epoll_fd, EPOLL_CTL_DEL, conn.fd, nullptr);
  syscalls().close(conn.fd);
  if (conn.notify_fd >= 0) {
    syscalls().epoll_ctl(e.epoll_fd, EPOLL_CTL_DEL, conn.notify_fd, nullptr);
    syscalls().close(conn.notify_fd);
  }
  if (conn.ack != nullptr) syscalls().munmap(conn.ack, kAckPageSize);
  if (conn.wake_fd >= 0) syscalls().close(conn.wake_fd);
  conn.closed = true;
  e.inbound.erase(found);
}

// Makes room for one more connection by closing the one that has gone unused the longest.
void close_least_recently_used() {
  Endpoint& e = endpoint();
  auto oldest = e.inbound.begin();
  for (auto it = e.inbound.begin(); it != e.inbound.end(); ++it) {
    if (it->second->last_used < oldest->second->last_used) oldest = it;
  }
  if (oldest != e.inbound.end()) close_inbound(oldest->first);
}

void accept_pending() {
  Endpoint& e = endpoint();
  if (!e.published) return;
  for (int accepted = 0; accepted < kListenBacklog; ++accepted) {
    const int fd = retry_eintr([&] {
      return syscalls().accept4(e.published->listen_fd, nullptr, nullptr,
                                SOCK_NONBLOCK | SOCK_CLOEXEC);
    });
    if (fd < 0) {
      if (errno == ECONNABORTED) continue;
      return;
    }
    if (!peer_is_same_user(fd)) {
      syscalls().close(fd);
      continue;
    }
    if (e.inbound.size() >= kMaxInbound) close_least_recently_used();
    const std::uint64_t id = e.next_id++;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = id;
    if (syscalls().epoll_ctl(e.epoll_fd, EPOLL_CTL_ADD, fd, &ev) != 0) {
      syscalls().close(fd);
      continue;
    }
    auto conn = std::make_shared<Inbound>();
    conn->fd = fd;
    conn->last_used = ++e.use_clock;
    e.inbound.emplace(id, std::move(conn));
  }
}

// Takes the sender's acknowledgement page, wake-up descriptor and, from a sender with a ring,
// its notification descriptor from a hello, and watches the last (edge-triggered: the sender
// never resets it, each write is one edge). False (and all closed) when they are not what a
// sender of ours hands over.
bool take_hello(std::uint64_t id, Inbound& conn, const Frame& frame, const int* fds,
                std::size_t count) {
  const Syscalls& sys = syscalls();
  bool good = conn.ack == nullptr && (count == 2 || count == 3);
  struct stat st {};
  if (good) {
    const int seals = sys.fcntl(fds[0], F_GET_SEALS, 0);
    good = sys.fstat(fds[0], &st) == 0 && S_ISREG(st.st_mode) &&
           st.st_size == static_cast<off_t>(kAckPageSize) && seals >= 0 &&
           (seals & (F_SEAL_SHRINK | F_SEAL_SEAL)) == (F_SEAL_SHRINK | F_SEAL_SEAL);
    for (std::size_t i = 1; good && i < count; ++i) {
      const int flags = sys.fcntl(fds[i], F_GETFL, 0);
      // The wake-up is written; the notification descriptor only watched.
      good = flags >= 0 && (flags & O_NONBLOCK) != 0 && (i == 2 || (flags & O_ACCMODE) != O_RDONLY);
    }
  }
  void* page = MAP_FAILED;
  if (good) page = sys.mmap(nullptr, kAckPageSize, PROT_READ | PROT_WRITE, MAP_SHARED, fds[0], 0);
  if (good && page != MAP_FAILED && count == 3) {
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLET;
    ev.data.u64 = id | kRingMark;
    if (sys.epoll_ctl(endpoint().epoll_fd, EPOLL_CTL_ADD, fds[2], &ev) != 0) {
      sys.munmap(page, kAckPageSize);
      page = MAP_FAILED;
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (!(good && page != MAP_FAILED && i >= 1)) sys.close(fds[i]);
  }
  if (!good || page == MAP_FAILED) return false;
  conn.ack = static_cast<AckPage*>(page);
  conn.wake_fd = fds[1];
  conn.notify_fd = count == 3 ? fds[2] : -1;
  conn.read_seq = frame.seq;
  conn.slot = frame.index;
  return true;
}

// Hands one notification to every window through its current procedure, with the message id
// this process knows it by. Windows created while it runs do not get it, windows destroyed
// meanwhile are skipped.
void deliver(const Frame& frame) {
  const Endpoint& e = endpoint();
  const std::uint32_t msg = e.published ? message_id_in(frame.msg, *e.published->dir) : frame.msg;
  for (platform::Hwnd hwnd : window_list()) {
    platform::WndProc proc = window_proc(hwnd);
    if (proc == nullptr) continue;
    proc(hwnd, msg, static_cast<platform::WParam>(frame.wparam),
         static_cast<platform::LParam>(frame.lparam));
  }
}

// Whether the notification's text has been replaced since it was sent: a later send-lock hold
// broadcast the same message, or may be writing its area. Notifications sent without the lock
// are always current. When the send lock cannot be opened here, nothing is known to be stale.
bool is_stale(const Frame& frame) {
  const Endpoint& e = endpoint();
  return !send_lock_hold_current(e.published ? e.published->dir->epoch : 0, frame.msg, frame.hold);
}

// Delivers the notification unless it is stale, and answers it when the sender awaits it.
// Returns 1 if it was delivered to the windows.
int handle(std::uint64_t id, const std::shared_ptr<Inbound>& conn, const Frame& frame,
           bool awaited) {
  // Areas whose files were removed or cut short are followed to their current files first.
  const SessionPtr dir = current_session();
  int delivered = 0;
  if (!is_stale(frame)) {
    // A procedure that broadcasts may deliver nested notifications while it waits.
    const Delivery outer = delivery;
    delivery = {true,           frame.msg,       frame.hold, dir ? dir->epoch : 0,
                damage_count(), mappings_moved()};
    deliver(frame);
    delivery = outer;
    delivered = 1;
  }
  // A procedure may have closed the endpoint, or a nested dispatch this connection.
  if (conn->closed) return delivered;
  if (awaited && acknowledge(*conn->ack, conn->slot, frame.index, frame.seq)) {
    const std::uint64_t one = 1;
    if (retry_eintr([&] { return syscalls().write(conn->wake_fd, &one, sizeof one); }) < 0 &&
        errno != EAGAIN) {
      close_inbound(id);
    }
  }
  return delivered;
}

int serve_ring(std::uint64_t id);

// Reads and handles at most one frame of the connection; returns 1 if a notification was
// delivered to the windows.
int serve_one(std::uint64_t id) {
  Endpoint& e = endpoint();
  auto found = e.inbound.find(id);
  if (found == e.inbound.end()) return 0;
  std::shared_ptr<Inbound> conn = found->second;
  conn->last_used = ++e.use_clock;

  std::uint8_t buffer[kFrameSize];
  int fds[3] = {-1, -1, -1};
  std::size_t fd_count = 0;
  const ssize_t got = recv_record(conn->fd, buffer, sizeof buffer, fds, 3, &fd_count);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
  if (got == 0 && conn->notify_fd >= 0) {
    // The sender has gone or let go of this connection: what it published before is still
    // news, as frames queued before the end of a connection would be.
    const int delivered = serve_ring(id);
    close_inbound(id);
    return delivered;
  }
  std::optional<Frame> frame;
  if (got == static_cast<ssize_t>(kFrameSize)) frame = decode_frame(buffer);
  if (frame && frame->kind == FrameKind::kHello) {
    if (!take_hello(id, *conn, *frame, fds, fd_count)) close_inbound(id);
    return 0;
  }
  for (std::size_t i = 0; i < fd_count; ++i) syscalls().close(fds[i]);
  if (!frame || fd_count != 0 || conn->ack == nullptr) {
    close_inbound(id);
    return 0;
  }
  return handle(id, conn, *frame, (frame->flags & kAwaited) != 0);
}

// Reads the entries the connection's sender has published since the last read, and handles
// each. Returns how many were delivered to the windows.
int serve_ring(std::uint64_t id) {
  Endpoint& e = endpoint();
  auto found = e.inbound.find(id);
  if (found == e.inbound.end()) return 0;
  std::shared_ptr<Inbound> conn = found->second;
  if (conn->ack == nullptr) return 0;
  conn->last_used = ++e.use_clock;
  int delivered = 0;
  // Entries published while these are handled come with a write, and so another edge.
  const std::uint64_t newest = conn->ack->published.load(std::memory_order_acquire);
  if (newest > conn->read_seq + kRingEntries) conn->read_seq = newest - kRingEntries;
  while (conn->read_seq < newest && !conn->closed) {
    const std::uint64_t seq = ++conn->read_seq;
    const std::optional<Frame> frame = read_entry(*conn->ack, seq);
    if (!frame) continue;  // overwritten already: a later entry announces the current text
    const bool awaited = conn->ack->awaited[conn->slot].load(std::memory_order_acquire) == seq;
    delivered += handle(id, conn, *frame, awaited);
  }
  return delivered;
}

void drain(int fd) {
  std::uint64_t count = 0;
  while (syscalls().read(fd, &count, sizeof count) > 0) {
  }
}

}  // namespace

bool socket_address(const SessionDir& dir, const std::string& name, sockaddr_un& address,
                    socklen_t& length) {
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  std::string path = dir.file(name);
  if (path.size() >= sizeof address.sun_path) {
    path = "/proc/self/fd/" + std::to_string(dir.fd.get()) + "/" + name;
    if (path.size() >= sizeof address.sun_path) return false;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
  return true;
}

bool peer_is_same_user(int fd) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (syscalls().getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
      length != sizeof credentials) {
    return false;
  }
  return credentials.uid == own_euid();
}

ssize_t recv_record(int fd, void* buffer, std::size_t size, int* fds, std::size_t max_fds,
                    std::size_t* fd_count) {
  iovec part{buffer, size};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  if (fd_count != nullptr) *fd_count = 0;
  const ssize_t got = retry_eintr([&] {
    return syscalls().recvmsg(fd, &message, MSG_DONTWAIT | MSG_TRUNC | MSG_CMSG_CLOEXEC);
  });
  if (got < 0) return got;
  bool excess = (message.msg_flags & MSG_CTRUNC) != 0;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    const std::size_t n = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (std::size_t i = 0; i < n; ++i) {
      int received = -1;
      std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof received);
      if (fds != nullptr && fd_count != nullptr && *fd_count < max_fds) {
        fds[(*fd_count)++] = received;
      } else {
        syscalls().close(received);
        excess = true;
      }
    }
  }
  if (excess) {
    for (std::size_t i = 0; fd_count != nullptr && i < *fd_count; ++i) syscalls().close(fds[i]);
    if (fd_count != nullptr) *fd_count = 0;
    errno = EPROTO;
    return -1;
  }
  return got;
}

ssize_t send_record(int fd, const void* buffer, std::size_t size, const int* fds,
                    std::size_t fd_count) {
  iovec part{const_cast<void*>(buffer), size};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 3)] = {};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  if (fd_count > 0 && fd_count <= 3) {
    message.msg_control = control;
    message.msg_controllen = CMSG_SPACE(sizeof(int) * fd_count);
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int) * fd_count);
    std::memcpy(CMSG_DATA(c), fds, sizeof(int) * fd_count);
  }
  return retry_eintr([&] { return syscalls().sendmsg(fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL); });
}

// One wait of up to wait_ms for the endpoint's events, and the handling of those that came.
// Returns the number of events (0 when none came, -1 without an endpoint) and adds the
// notifications delivered to *handled.
int dispatch_round(int wait_ms, int* handled) {
  Endpoint& e = endpoint();
  if (e.epoll_fd < 0) return -1;
  const bool watched = e.session_watch.watch_in(e.epoll_fd, kSessionWatchId);
  epoll_event events[kEventsPerRound];
  const int n = syscalls().epoll_wait(e.epoll_fd, events, kEventsPerRound, wait_ms);
  if (n < 0) return errno == EINTR ? 0 : -1;
  bool changed = false;
  for (int i = 0; i < n; ++i) changed = changed || events[i].data.u64 == kSessionWatchId;
  // The wait just showed the directory unchanged: the notifications below need no look at it.
  std::optional<CheckedScope> checked;
  if (watched && !changed) checked.emplace(e.session_watch);
  // A state page cut short by another process is replaced by publishing anew.
  if (n > 0 && e.published && region_damaged(e.published->guard)) arm_timer(1);
  // Handling anything shows this process is not hung, whatever a sender marked.
  if (n > 0 && e.published && e.published->state->hung.load(std::memory_order_relaxed) != 0) {
    e.published->state->hung.store(0, std::memory_order_relaxed);
  }
  for (int i = 0; i < n; ++i) {
    if (endpoint().epoll_fd < 0) break;
    switch (events[i].data.u64) {
      case kListenerId:
        accept_pending();
        break;
      case kWatchId:
        read_watch();
        break;
      case kTimerId:
        drain(endpoint().timer_fd);
        repair();
        break;
      case kSessionWatchId:
        endpoint().session_watch.take_events();
        break;
      default: {
        const std::uint64_t id = events[i].data.u64;
        *handled += (id & kRingMark) != 0 ? serve_ring(id & ~kRingMark) : serve_one(id);
      }
    }
  }
  return n;
}

int dispatch_ready() {
  int handled = 0;
  for (int rounds = 0; rounds < kMaxFramesPerDispatch; ++rounds) {
    if (dispatch_round(0, &handled) <= 0) break;
  }
  return handled;
}

bool endpoint_is_open() { return endpoint().epoll_fd >= 0; }

std::uint64_t endpoint_opens() { return endpoint().opens; }

std::optional<EndpointId> own_endpoint_id() {
  const Endpoint& e = endpoint();
  if (!e.published) return std::nullopt;
  return e.published->id;
}

bool open_endpoint() {
  Endpoint& e = endpoint();
  if (e.epoll_fd >= 0) return true;
  raise_open_file_limit();
  const Syscalls& sys = syscalls();
  const bool watching = guarded(false, [&] {
    e.epoll_fd = check(sys.epoll_create1(EPOLL_CLOEXEC), "endpoint's epoll set");
    ++e.opens;
    e.timer_fd = check(sys.timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC),
                       "endpoint's repair timer");
    watch(e.timer_fd, kTimerId);
    return true;
  });
  if (!watching || !publish_or_clean_up()) {
    if (e.timer_fd >= 0) sys.close(e.timer_fd);
    if (e.epoll_fd >= 0) sys.close(e.epoll_fd);
    e.timer_fd = e.epoll_fd = -1;
    return false;
  }
  return true;
}

void close_endpoint() {
  Endpoint& e = endpoint();
  if (e.epoll_fd < 0) return;
  while (!e.inbound.empty()) close_inbound(e.inbound.begin()->first);
  if (e.published) unpublish(*e.published);
  e.published.reset();
  syscalls().close(e.timer_fd);
  syscalls().close(e.epoll_fd);
  e.timer_fd = e.epoll_fd = -1;
}

}  // namespace mmfcast::platform::os

namespace mmfcast::platform {

int event_fd() { return os::endpoint().epoll_fd; }

bool notification_current() {
  const os::Delivery& d = os::delivery;
  if (!d.active) return true;
  // The text was copied out before this looks at the count of holds.
  std::atomic_thread_fence(std::memory_order_acquire);
  if (os::damage_count() != d.damage || os::mappings_moved() != d.moved) return false;
  return os::send_lock_hold_current(d.epoch, d.msg, d.hold);
}

void dispatch_pending() { os::dispatch_ready(); }

int pump_messages(int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  if (os::endpoint().epoll_fd < 0) return -1;
  const Clock::time_point deadline =
      timeout_ms > 0 ? Clock::now() + std::chrono::milliseconds(timeout_ms) : Clock::time_point();
  int handled = 0;
  for (;;) {
    int wait_ms = timeout_ms < 0 ? -1 : 0;
    if (timeout_ms > 0) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait_ms = static_cast<int>(std::max<long long>(left, 0));
    }
    // The wait itself is the epoll descriptor's, so a quiet loop costs one call per message.
    const int events = os::dispatch_round(wait_ms, &handled);
    if (events < 0) return handled;
    if (handled > 0 || wait_ms == 0) {
      // A round that took in fewer events than it could left nothing ready behind it: what
      // comes later wakes the next wait, so only a full round looks again.
      if (events == os::kEventsPerRound) handled += os::dispatch_ready();
      return handled;
    }
  }
}

}  // namespace mmfcast::platform
