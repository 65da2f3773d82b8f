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
#include <string_view>

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
// kUnwatchedLookMs; it cannot tell other endpoints publishing themselves again from a removal
// going on, so it waits on no longer than kUnwatchedMaxDelayMs: a session repaired by hundreds
// of copies at once still hears again within a second.
constexpr long kRepairDelayMs = 250;
constexpr long kRepairRetryMs = 1000;
constexpr long kRepairMaxDelayMs = 2000;
constexpr long kUnwatchedLookMs = 200;
constexpr long kUnwatchedMaxDelayMs = 500;

// A connection accepted on the endpoint. What a hello handed over is owned here and goes with
// the object; `closed` tells a handler still holding it that the endpoint has let it go.
struct Inbound {
  UniqueFd fd;
  UniqueFd wake_fd;            // the sender's wake-up, written by the answer that completes a count
  UniqueFd notify_fd;          // the sender's ring descriptor, in the epoll set (edge-triggered)
  SharedMapping ack;           // the sender's acknowledgement page, once its hello has arrived
  std::uint64_t read_seq = 0;  // the last entry of the ring read
  // Entries up to this one were delivered through an earlier connection from the same sender:
  // they are answered on this one, not delivered again.
  std::uint64_t delivered_seq = 0;
  dev_t ack_dev = 0;  // which acknowledgement page: one per sending process
  ino_t ack_ino = 0;
  std::uint32_t slot = 0;
  std::uint64_t last_used = 0;
  bool closed = false;

  AckPage* page() const { return ack.as<AckPage>(); }
};

// The files that make the endpoint visible in one session directory. Destroying it removes the
// files (while they are still its own) before it lets go of the state file: the exclusive flock
// on that file is what proves the owner alive, so it goes last.
struct Publication {
  SessionPtr dir;
  EndpointId id{};
  UniqueFd state_fd;    // flocked for as long as the endpoint is published
  SharedMapping state;  // the state page, guarded against truncation
  UniqueFd listen_fd;
  UniqueFd watch_fd;  // inotify on the directory; invalid when the system has none to spare
  std::string socket_name, state_name, socket_path, state_path;
  struct stat socket_st {};
  struct stat state_st {};

  Publication() = default;
  Publication(const Publication&) = delete;
  Publication& operator=(const Publication&) = delete;
  ~Publication();

  PeerState& page() const { return *state.as<PeerState>(); }
};

}  // namespace

struct Endpoint {
  UniqueFd epoll_fd;
  UniqueFd timer_fd;
  std::unique_ptr<Publication> published;
  std::uint64_t next_id = kFirstInboundId;
  std::uint64_t use_clock = 0;
  std::map<std::uint64_t, std::shared_ptr<Inbound>> inbound;
  std::chrono::steady_clock::time_point repair_since{};  // first sign of the pending repair
  std::chrono::steady_clock::time_point last_removal{};  // the watch's latest removed entry
  bool repair_pending = false;
  std::uint64_t opens = 0;    // how many times the epoll descriptor was made
  WatchedBy session_watch;    // the session directory's watch, in the epoll set
  UniqueFd spare_fd;          // given up to accept a connection only to refuse it, at the limit
  std::uint64_t refused = 0;  // connections refused for want of descriptors or room
  pid_t owner = 0;            // the process that opened it; a forked child shares its descriptions
  std::uint64_t missed = 0;   // notifications not delivered, for the whole process
  const char* missed_why = "";  // why the last of them was missed
  std::string unpublished_why;  // why the endpoint could not be published again

  Endpoint() = default;
  ~Endpoint();  // closes the connections and removes the endpoint's files
  Endpoint(const Endpoint&) = delete;
  Endpoint& operator=(const Endpoint&) = delete;
};

namespace {
void close_endpoint(Endpoint& e);
}  // namespace

Endpoint::~Endpoint() { close_endpoint(*this); }

Part<Endpoint> make_endpoint() { return new_part<Endpoint>(); }

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
  // Copies beyond this process that a procedure says were not reached, and why.
  std::uint32_t unreached = 0;
  std::string reason;
};
thread_local Delivery delivery;

void let_go_of_inherited(Endpoint& e);

// The calling process's endpoint. One inherited through fork is let go of first, so that a
// child never reads, answers or changes what its parent's endpoint holds.
Endpoint& endpoint() {
  Endpoint& e = session().endpoint();
  if (e.owner != own_pid() && e.epoll_fd.valid()) let_go_of_inherited(e);
  return e;
}

constexpr char kFellBehind[] = "this copy fell behind";
constexpr char kEntryDamaged[] = "a sender's ring entry failed its check";
constexpr char kPageDamaged[] = "a sender's acknowledgement page was damaged";

// Counts notifications this process will never deliver. Saturates rather than wraps.
void count_missed(Endpoint& e, std::uint64_t count, const char* why) {
  e.missed = count > ~e.missed ? ~std::uint64_t{0} : e.missed + count;
  e.missed_why = why;
}

// Why the entry `seq`, which did not read back, is missing: overwritten by a later entry (the
// reader fell behind), or damaged.
const char* why_unreadable(const AckPage& page, std::uint64_t seq) {
  const std::uint64_t stamp = page.ring[seq % kRingEntries].stamp.load(std::memory_order_relaxed);
  return stamp > seq && stamp % kRingEntries == seq % kRingEntries ? kFellBehind : kEntryDamaged;
}

// Whether `newest`, read from the connection's page, can be believed: the sender only ever
// raises it by one entry at a time, so a value behind what was read, or far ahead, whose own
// entry does not read back is another process's scribble. Counted as one missed line.
bool newest_believable(Endpoint& e, const AckPage& page, std::uint64_t read_seq,
                       std::uint64_t newest) {
  if (newest >= read_seq && newest <= read_seq + kRingEntries) return true;
  if (newest > read_seq && read_entry(page, newest)) return true;
  count_missed(e, 1, kPageDamaged);
  return false;
}

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

// Adds fd to the endpoint's epoll set under id; throws OsError when it cannot.
void watch(Endpoint& e, int fd, std::uint64_t id, std::uint32_t events = EPOLLIN) {
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = id;
  check(syscalls().epoll_ctl(e.epoll_fd.get(), EPOLL_CTL_ADD, fd, &ev), "endpoint's epoll set");
}

// Takes fd out of the endpoint's epoll set. Needed before closing a descriptor whose file
// another process (or a forked child) may still hold open: closing ours alone would leave it
// registered. Failing means it was not there.
void unwatch(Endpoint& e, const UniqueFd& fd) {
  if (e.epoll_fd.valid() && fd.valid()) {
    syscalls().epoll_ctl(e.epoll_fd.get(), EPOLL_CTL_DEL, fd.get(), nullptr);
  }
}

// Arms the repair timer to fire once after ms, then every `every` ms (0: once). It fails only
// for arguments out of range, which these never are.
void arm_timer(Endpoint& e, long ms, long every = 0) {
  itimerspec when{};
  when.it_value.tv_sec = ms / 1000;
  when.it_value.tv_nsec = (ms % 1000) * 1000000L;
  when.it_interval.tv_sec = every / 1000;
  when.it_interval.tv_nsec = (every % 1000) * 1000000L;
  syscalls().timerfd_settime(e.timer_fd.get(), 0, &when, nullptr);
}

// Starts waiting to repair the endpoint, or waits longer while the directory keeps changing.
void schedule_repair(Endpoint& e) {
  const auto now = std::chrono::steady_clock::now();
  if (!e.repair_pending) {
    e.repair_pending = true;
    e.repair_since = now;
  }
  // Never past the bound, however often the directory changes.
  const long left = static_cast<long>(
      kRepairMaxDelayMs -
      std::chrono::duration_cast<std::chrono::milliseconds>(now - e.repair_since).count());
  arm_timer(e, std::clamp(left, 1L, kRepairDelayMs));
}

Publication::~Publication() {
  if (!socket_path.empty()) unlink_if_same(socket_path, socket_st.st_dev, socket_st.st_ino);
  if (!state_path.empty()) unlink_if_same(state_path, state_st.st_dev, state_st.st_ino);
  for (auto& file : exit_record.files) file.path[0] = '\0';
  // The members go now, the state file's lock last.
}

// Removes the endpoint's publication, files first, from its epoll set and its directory.
void unpublish(Endpoint& e) {
  if (!e.published) return;
  unwatch(e, e.published->listen_fd);
  unwatch(e, e.published->watch_fd);
  e.published.reset();
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

// Creates the state page, locked and filled in; it comes first, since its lock is what tells
// others this endpoint's owner is alive.
void make_state_page(Publication& p) {
  const std::string state_path = p.dir->file(p.state_name);
  const std::string what = "endpoint state page " + state_path;
  p.state_fd = open_session_file(state_path, Create::kExclusive, what, &p.state_st);
  p.state_path = state_path;
  check(syscalls().flock(p.state_fd.get(), LOCK_EX | LOCK_NB), what);
  reserve_blocks(p.state_fd.get(), kStatePageSize, what);
  p.state = SharedMapping::map_guarded(p.state_fd.get(), kStatePageSize, what);
  p.page().version.store(kStateVersion, std::memory_order_relaxed);
  p.page().magic.store(kStateMagic, std::memory_order_release);
}

// Binds the socket as "peer-<id>.new", listens and renames it to its published name, so that a
// name a sender can see always accepts connections. Removes the unpublished name on failure.
void make_socket(Publication& p) {
  const Syscalls& sys = syscalls();
  const std::string new_name = endpoint_file_name(p.id, EndpointFile::kUnpublished);
  const std::string new_path = p.dir->file(new_name);
  const std::string what = "endpoint socket " + new_path;
  sockaddr_un address{};
  socklen_t length = 0;
  if (!socket_address(*p.dir, new_name, address, length)) throw_os_error(ENAMETOOLONG, what);
  p.listen_fd =
      UniqueFd(check(sys.socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0), what));
  check(sys.bind(p.listen_fd.get(), reinterpret_cast<const sockaddr*>(&address), length), what);
  try {
    // Senders need write permission on the socket, which the umask may have taken away.
    check(sys.chmod(new_path.c_str(), 0600), what);
    check(sys.listen(p.listen_fd.get(), kListenBacklog), what);
    const std::string socket_path = p.dir->file(p.socket_name);
    const std::string published_what = "endpoint socket " + socket_path;
    check(sys.rename(new_path.c_str(), socket_path.c_str()), published_what);
    p.socket_path = socket_path;
    check(sys.lstat(socket_path.c_str(), &p.socket_st), published_what);
  } catch (const OsError&) {
    sys.unlink(new_path.c_str());
    throw;
  }
}

// Watches the directory for the removal of the endpoint's files, and its state file being cut
// short (a change of size inside its one page faults nowhere, so nothing else shows it). Without an
// inotify instance to spare, the repair timer looks every kUnwatchedLookMs instead.
void watch_directory(Publication& p) {
  const Syscalls& sys = syscalls();
  p.watch_fd = UniqueFd(sys.inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (p.watch_fd.valid() &&
      sys.inotify_add_watch(
          p.watch_fd.get(), p.dir->path.c_str(),
          IN_DELETE | IN_MOVED_FROM | IN_MODIFY | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR) < 0) {
    p.watch_fd.reset();
  }
}

// Creates the state page and the socket and makes them visible; throws OsError when it cannot
// (what was made goes with *p).
void publish(Endpoint& e, Publication& p) {
  p.dir = current_session();
  if (!p.dir) throw_last_error();
  p.id = random_id();
  p.socket_name = endpoint_file_name(p.id, EndpointFile::kSocket);
  p.state_name = endpoint_file_name(p.id, EndpointFile::kState);
  make_state_page(p);
  make_socket(p);
  watch_directory(p);
  watch(e, p.listen_fd.get(), kListenerId);
  if (p.watch_fd.valid()) watch(e, p.watch_fd.get(), kWatchId);
  const long retry = p.watch_fd.valid() ? 0 : kUnwatchedLookMs;
  arm_timer(e, retry, retry);
  remember_for_exit(p);
}

// Publishes a new endpoint; false, with the reason recorded and nothing left behind, when it
// cannot.
bool publish_or_clean_up(Endpoint& e) {
  auto p = std::make_unique<Publication>();
  const bool published = guarded(false, [&] {
    publish(e, *p);
    return true;
  });
  if (!published) {
    unwatch(e, p->listen_fd);
    unwatch(e, p->watch_fd);
    return false;
  }
  e.published = std::move(p);
  return true;
}

// True while the endpoint's files are still in place in the directory the path names.
bool files_in_place(const Publication& p) {
  SessionPtr now = current_session();
  if (!now || now->epoch != p.dir->epoch) return false;
  return is_same_file(p.socket_path, p.socket_st.st_dev, p.socket_st.st_ino) &&
         is_same_file(p.state_path, p.state_st.st_dev, p.state_st.st_ino);
}

// True while the endpoint's files are in place, and its state file whole.
bool still_published(const Publication& p) {
  struct stat st {};
  return files_in_place(p) && syscalls().fstat(p.state_fd.get(), &st) == 0 &&
         st.st_size == static_cast<off_t>(kStatePageSize);
}

// Milliseconds since the watch last reported an entry removed from the directory.
long long removal_quiet_ms(const Endpoint& e) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               e.last_removal)
      .count();
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

// Whether a repair that has begun should wait on, since the directory is still being emptied
// (rm -r): publishing in it would leave it not empty. Arms the timer for the rest of the wait.
// Waited for within a bound; an endpoint without a watch finds the start of it here, and judges
// by the directory's modification time. With a watch, only removals count: other endpoints
// publishing themselves again change the directory too, and must not put each other off.
bool repair_waits(Endpoint& e) {
  if (!e.repair_pending) {
    e.repair_pending = true;
    e.repair_since = std::chrono::steady_clock::now();
  }
  SessionPtr now = current_session();
  const bool watched = e.published->watch_fd.valid();
  long long quiet = kRepairDelayMs;
  if (now && now->epoch == e.published->dir->epoch) {
    quiet = watched ? removal_quiet_ms(e) : directory_quiet_ms(*now);
  }
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - e.repair_since)
                          .count();
  if (quiet >= 0 && quiet < kRepairDelayMs &&
      waited < (watched ? kRepairMaxDelayMs : kUnwatchedMaxDelayMs)) {
    arm_timer(e, static_cast<long>(kRepairDelayMs - quiet));
    return true;
  }
  return false;
}

// Publishes the endpoint anew while its damaged publication is still in place, and only then
// removes that one, so that a sender always finds one of them (the damaged one it counts as not
// reached). When no new one can be made, the damaged one stays, and it is tried again later.
void replace_publication(Endpoint& e) {
  std::unique_ptr<Publication> old = std::move(e.published);
  if (!publish_or_clean_up(e)) {
    e.published = std::move(old);
    arm_timer(e, kRepairRetryMs);
    return;
  }
  unwatch(e, old->listen_fd);
  unwatch(e, old->watch_fd);
  old.reset();
  remember_for_exit(*e.published);  // the old one's removal forgot the files to remove at exit
  e.unpublished_why.clear();
}

// Keeps why the endpoint could not be published again: until it is, no copy can reach this
// process, which it must be told (the attempts go on meanwhile).
void note_unpublished(Endpoint& e) {
  e.unpublished_why = platform::last_error_text();
  if (e.unpublished_why.empty()) e.unpublished_why = "the endpoint cannot be published";
}

// Publishes the endpoint anew when its files, its state page or its directory have gone.
void repair(Endpoint& e) {
  if (e.published && !e.published->state.damaged() && still_published(*e.published)) {
    e.repair_pending = false;
    if (!e.published->watch_fd.valid()) arm_timer(e, kUnwatchedLookMs, kUnwatchedLookMs);
    return;
  }
  // A state file cut short where it stands needs no wait: nothing is emptying the directory.
  const bool in_place = e.published && files_in_place(*e.published);
  if (e.published && !in_place && repair_waits(e)) return;
  e.repair_pending = false;
  if (in_place) {
    replace_publication(e);
    return;
  }
  unpublish(e);
  if (publish_or_clean_up(e)) {
    e.unpublished_why.clear();
  } else {
    note_unpublished(e);
    arm_timer(e, kRepairRetryMs);
  }
}

bool is_unpublished_name(std::string_view name) {
  const std::optional<EndpointName> parsed = parse_endpoint_name(name);
  return parsed && parsed->file == EndpointFile::kUnpublished;
}

// Reads what the directory watch reports; a change that touches the endpoint starts a repair.
void read_watch(Endpoint& e) {
  if (!e.published || !e.published->watch_fd.valid()) return;
  const Publication& p = *e.published;
  alignas(inotify_event) char buffer[4096];
  bool touched = false;
  bool removed = false;  // any entry went
  bool cut = false;      // the state file changed in place
  for (;;) {
    const ssize_t got =
        retry_eintr([&] { return syscalls().read(p.watch_fd.get(), buffer, sizeof buffer); });
    if (got <= 0) break;
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      const ssize_t size = static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (at + size > got) break;
      if ((event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_Q_OVERFLOW)) != 0) {
        touched = true;
        removed = true;  // or events were lost: as good as a removal
      } else if (event->len > 0) {
        const std::string_view name(event->name, strnlen(event->name, event->len));
        if ((event->mask & IN_MODIFY) != 0) {
          cut = cut || name == p.state_name;
        } else if (!is_unpublished_name(name) && !name.starts_with("holder-")) {
          // A socket renamed to its published name is an endpoint appearing, and a sender that
          // ends removes its holder token: neither is the directory being emptied.
          if (name == p.socket_name || name == p.state_name) touched = true;
          removed = true;
        }
      }
      at += size;
    }
  }
  if (removed) e.last_removal = std::chrono::steady_clock::now();
  // Every further removal while a repair waits puts it off again: the directory is being
  // emptied.
  if (touched || (removed && e.repair_pending)) {
    schedule_repair(e);
  } else if (cut && !e.repair_pending) {
    arm_timer(e, 1);  // the repair looks at its size at once
  }
}

// Forgets the connection: its descriptors and the sender's page go with the last holder of it.
// The sender sees the hang-up.
void close_inbound(Endpoint& e, std::uint64_t id) {
  auto found = e.inbound.find(id);
  if (found == e.inbound.end()) return;
  Inbound& conn = *found->second;
  unwatch(e, conn.fd);
  unwatch(e, conn.notify_fd);  // the sender holds it open too
  conn.closed = true;
  e.inbound.erase(found);
}

// Makes room for one more connection by closing the one that has gone unused the longest.
void close_least_recently_used(Endpoint& e) {
  auto oldest = e.inbound.begin();
  for (auto it = e.inbound.begin(); it != e.inbound.end(); ++it) {
    if (it->second->last_used < oldest->second->last_used) oldest = it;
  }
  if (oldest != e.inbound.end()) close_inbound(e, oldest->first);
}

// Tells the sender on the connection why this endpoint cannot take it; the caller closes it.
// Best effort: a sender that cannot be told still sees the connection end.
void refuse(Endpoint& e, int fd, RefuseReason reason) {
  Frame frame;
  frame.kind = FrameKind::kRefuse;
  frame.msg = static_cast<std::uint32_t>(reason);
  const FrameBytes bytes = encode_frame(frame);
  send_record(fd, bytes.data(), bytes.size(), nullptr, 0);
  ++e.refused;
}

RefuseReason refuse_reason(int error) {
  if (error == EMFILE || error == ENFILE) return RefuseReason::kNoDescriptor;
  if (error == EINVAL || error == ELOOP) return RefuseReason::kCannotWatch;
  return RefuseReason::kFailed;
}

// At the descriptor limit: accepts one waiting connection in the spare's place and refuses it,
// so its sender learns that this copy has no descriptor left instead of waiting in the backlog.
// False when there is no spare or no connection.
bool refuse_with_spare(Endpoint& e) {
  if (!e.spare_fd.valid() || !e.published) return false;
  e.spare_fd.reset();
  UniqueFd fd(retry_eintr([&] {
    return syscalls().accept4(e.published->listen_fd.get(), nullptr, nullptr,
                              SOCK_NONBLOCK | SOCK_CLOEXEC);
  }));
  if (fd.valid()) refuse(e, fd.get(), RefuseReason::kNoDescriptor);
  fd.reset();
  e.spare_fd = open_spare();
  return true;
}

// Accepts the connections waiting on the listener. One that cannot be watched is refused and
// closed at once.
void accept_pending(Endpoint& e) {
  if (!e.published) return;
  for (int accepted = 0; accepted < kListenBacklog; ++accepted) {
    UniqueFd fd(retry_eintr([&] {
      return syscalls().accept4(e.published->listen_fd.get(), nullptr, nullptr,
                                SOCK_NONBLOCK | SOCK_CLOEXEC);
    }));
    if (!fd.valid()) {
      if (errno == ECONNABORTED) continue;
      if ((errno == EMFILE || errno == ENFILE) && refuse_with_spare(e)) continue;
      return;
    }
    if (!peer_is_same_user(fd.get())) continue;
    if (e.inbound.size() >= kMaxInbound) close_least_recently_used(e);
    const std::uint64_t id = e.next_id++;
    const bool watched = guarded(false, [&] {
      watch(e, fd.get(), id);
      return true;
    });
    if (!watched) {
      refuse(e, fd.get(), refuse_reason(last_error()));
      continue;
    }
    auto conn = std::make_shared<Inbound>();
    conn->fd = std::move(fd);
    conn->last_used = ++e.use_clock;
    e.inbound.emplace(id, std::move(conn));
  }
}

// Whether the hello's descriptors are what a sender of ours hands over: a sealed memfd of the
// page's size, a wake-up it may write, and a notification descriptor, both non-blocking.
bool hello_descriptors_valid(const UniqueFd (&fds)[3]) {
  const Syscalls& sys = syscalls();
  struct stat st {};
  const int seals = sys.fcntl(fds[0].get(), F_GET_SEALS, 0);
  if (sys.fstat(fds[0].get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      st.st_size != static_cast<off_t>(kAckPageSize) || seals < 0 ||
      (seals & (F_SEAL_SHRINK | F_SEAL_SEAL)) != (F_SEAL_SHRINK | F_SEAL_SEAL)) {
    return false;
  }
  for (int i = 1; i < 3; ++i) {
    const int flags = sys.fcntl(fds[i].get(), F_GETFL, 0);
    if (flags < 0 || (flags & O_NONBLOCK) == 0) return false;
    if (i == 1 && (flags & O_ACCMODE) == O_RDONLY) return false;  // the wake-up is written
  }
  return true;
}

// A sender that kept its connection to this endpoint's earlier publication (its files were
// removed) connects again to the new one: the earlier connection is closed, and the new one goes
// on from where it stopped, answering without delivering again what it delivered.
void replace_earlier_connection(Endpoint& e, std::uint64_t id, Inbound& conn) {
  for (const auto& [other_id, other] : e.inbound) {
    if (other_id == id || !other->ack.valid() || other->ack_dev != conn.ack_dev ||
        other->ack_ino != conn.ack_ino) {
      continue;
    }
    conn.read_seq = std::min(conn.read_seq, other->read_seq);
    conn.delivered_seq = std::max(other->read_seq, other->delivered_seq);
    close_inbound(e, other_id);
    return;
  }
}

// Takes the sender's acknowledgement page, wake-up descriptor and notification descriptor from
// a hello, and watches the last (edge-triggered: the sender never resets it, each write is one
// edge). False when they are not what a sender of ours hands over, or cannot be taken (the
// sender is then told why).
bool take_hello(Endpoint& e, std::uint64_t id, Inbound& conn, const Frame& frame,
                UniqueFd (&fds)[3], std::size_t count) {
  if (conn.ack.valid() || count != 3 || !hello_descriptors_valid(fds)) return false;
  struct stat st {};
  if (syscalls().fstat(fds[0].get(), &st) != 0) {
    refuse(e, conn.fd.get(), refuse_reason(errno));
    return false;
  }
  const bool taken = guarded(false, [&] {
    SharedMapping page = SharedMapping::map(fds[0].get(), kAckPageSize, "acknowledgement page");
    watch(e, fds[2].get(), id | kRingMark, EPOLLIN | EPOLLET);
    conn.ack = std::move(page);
    conn.wake_fd = std::move(fds[1]);
    conn.notify_fd = std::move(fds[2]);
    conn.read_seq = frame.seq;
    conn.slot = frame.index;
    conn.ack_dev = st.st_dev;
    conn.ack_ino = st.st_ino;
    return true;
  });
  if (taken)
    replace_earlier_connection(e, id, conn);
  else
    refuse(e, conn.fd.get(), refuse_reason(last_error()));
  return taken;
}

// Hands one notification to every window through its current procedure, with the message id
// this process knows it by. Windows created while it runs do not get it, windows destroyed
// meanwhile are skipped.
void deliver(const Endpoint& e, const Frame& frame) {
  const std::uint32_t msg = e.published ? message_id_in(frame.msg, *e.published->dir) : frame.msg;
  const WindowList list = window_list();
  for (std::size_t i = 0; i < list.size; ++i) {
    const platform::Hwnd hwnd = list[i].first;
    platform::WndProc proc = window_proc(list, i);
    if (proc == nullptr) continue;
    proc(hwnd, msg, static_cast<platform::WParam>(frame.wparam),
         static_cast<platform::LParam>(frame.lparam));
  }
}

// Whether the notification's text has been replaced since it was sent: a later send-lock hold
// broadcast the same message, or may be writing its area. Notifications sent without the lock
// are always current. When the send lock cannot be opened here, nothing is known to be stale.
bool is_stale(const Endpoint& e, const Frame& frame) {
  return !send_lock_hold_current(e.published ? e.published->dir->epoch : 0, frame.msg, frame.hold);
}

// Delivers the notification unless it is stale, and answers it when the sender awaits it.
// Returns 1 if it was delivered to the windows.
int handle(Endpoint& e, std::uint64_t id, const std::shared_ptr<Inbound>& conn, const Frame& frame,
           bool awaited) {
  // Areas whose files were removed or cut short are followed to their current files first.
  const SessionPtr dir = current_session();
  int delivered = 0;
  Outcome outcome;
  outcome.seq = frame.seq;
  if (frame.seq <= conn->delivered_seq) {
    // Delivered already, on the connection this one replaced.
  } else if (is_stale(e, frame)) {
    count_missed(e, 1, kFellBehind);
  } else {
    // A procedure that broadcasts may deliver nested notifications while it waits.
    const Delivery outer = delivery;
    delivery = {true,           frame.msg,        frame.hold, dir ? dir->epoch : 0,
                damage_count(), mappings_moved(), 0,          {}};
    deliver(e, frame);
    outcome.unreached = delivery.unreached;
    outcome.reason = std::move(delivery.reason);
    delivery = outer;
    delivered = 1;
  }
  // A procedure may have closed the endpoint, or a nested dispatch this connection.
  if (conn->closed) return delivered;
  // Told before the answer, so the sender finds it queued once it sees the answer. A sender
  // that cannot take it (its connection is full) does not learn it: best effort.
  if (awaited && outcome.unreached > 0) {
    const std::string record = encode_outcome(outcome);
    send_record(conn->fd.get(), record.data(), record.size());
  }
  if (awaited && acknowledge(*conn->page(), conn->slot, frame.index, frame.seq)) {
    const std::uint64_t one = 1;
    if (retry_eintr([&] { return syscalls().write(conn->wake_fd.get(), &one, sizeof one); }) < 0 &&
        errno != EAGAIN) {
      // The sender cannot be woken through its descriptor; the hang-up of its connection wakes
      // it instead, and it finds the answer in its page.
      close_inbound(e, id);
    }
  }
  return delivered;
}

// Reads the entries the connection's sender has published since the last read, and handles
// each. Returns how many were delivered to the windows.
int serve_ring(Endpoint& e, std::uint64_t id) {
  auto found = e.inbound.find(id);
  if (found == e.inbound.end()) return 0;
  std::shared_ptr<Inbound> conn = found->second;
  if (!conn->ack.valid()) return 0;
  conn->last_used = ++e.use_clock;
  int delivered = 0;
  // Entries published while these are handled come with a write, and so another edge.
  const std::uint64_t newest = conn->page()->published.load(std::memory_order_acquire);
  if (!newest_believable(e, *conn->page(), conn->read_seq, newest)) return 0;
  if (newest > conn->read_seq + kRingEntries) {
    count_missed(e, newest - kRingEntries - conn->read_seq, kFellBehind);
    conn->read_seq = newest - kRingEntries;
  }
  while (conn->read_seq < newest && !conn->closed) {
    const std::uint64_t seq = ++conn->read_seq;
    const std::optional<Frame> frame = read_entry(*conn->page(), seq);
    if (!frame) {
      count_missed(e, 1, why_unreadable(*conn->page(), seq));
      continue;
    }
    const bool awaited = conn->page()->awaited[conn->slot].load(std::memory_order_acquire) == seq;
    delivered += handle(e, id, conn, *frame, awaited);
  }
  return delivered;
}

// Reads what the connection carries: its hello, or its end. Anything else (a notification,
// which travels in the ring, or a frame that does not decode) closes it. Returns how many
// notifications were delivered to the windows.
int serve_one(Endpoint& e, std::uint64_t id) {
  auto found = e.inbound.find(id);
  if (found == e.inbound.end()) return 0;
  std::shared_ptr<Inbound> conn = found->second;
  conn->last_used = ++e.use_clock;

  std::uint8_t buffer[kFrameSize];
  UniqueFd fds[3];
  std::size_t fd_count = 0;
  const ssize_t got = recv_record(conn->fd.get(), buffer, sizeof buffer, fds, 3, &fd_count);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
  // The hello's descriptors could not be taken in: this process is at its limit.
  if (got < 0 && (errno == EMFILE || errno == ENFILE)) {
    refuse(e, conn->fd.get(), RefuseReason::kNoDescriptor);
  }
  int delivered = 0;
  std::optional<Frame> frame;
  if (got == static_cast<ssize_t>(kFrameSize)) frame = decode_frame(buffer);
  if (frame && frame->kind == FrameKind::kHello &&
      take_hello(e, id, *conn, *frame, fds, fd_count)) {
    return 0;
  }
  // The sender has gone or let go of this connection: what it published before is still news,
  // as frames queued before the end of a connection would be.
  if (got == 0) delivered = serve_ring(e, id);
  close_inbound(e, id);
  return delivered;
}

void drain(int fd) {
  std::uint64_t count = 0;
  while (syscalls().read(fd, &count, sizeof count) > 0) {
  }
}

// Marks this process as handling notifications: whatever a sender marked in the state page, and
// replaces a state page another process cut short by publishing anew.
void show_alive(Endpoint& e) {
  if (!e.published) return;
  if (e.published->state.damaged()) arm_timer(e, 1);
  PeerState& state = e.published->page();
  if (state.hung.load(std::memory_order_relaxed) != 0) {
    state.hung.store(0, std::memory_order_relaxed);
  }
}

// Handles one event of the endpoint's epoll set; returns how many notifications it delivered.
int handle_event(Endpoint& e, std::uint64_t tag) {
  switch (tag) {
    case kListenerId:
      accept_pending(e);
      return 0;
    case kWatchId:
      read_watch(e);
      return 0;
    case kTimerId:
      drain(e.timer_fd.get());
      repair(e);
      return 0;
    case kSessionWatchId:
      e.session_watch.take_events();
      return 0;
    default:
      return (tag & kRingMark) != 0 ? serve_ring(e, tag & ~kRingMark) : serve_one(e, tag);
  }
}

// Closes a forked child's copies of its parent's endpoint and nothing else. The child shares
// the parent's open descriptions: the epoll set (a change made to it would change the
// parent's), the listening socket, the connections and the state file whose flock proves the
// parent alive. Closing a copy leaves each of them as the parent has it, so no descriptor is
// taken out of a set, no file is removed and no lock is let go of.
void let_go_of_inherited(Endpoint& e) {
  for (auto& [id, conn] : e.inbound) conn->closed = true;
  e.inbound.clear();
  if (e.published) {
    e.published->socket_path.clear();  // the parent's files: not removed
    e.published->state_path.clear();
    e.published.reset();
  }
  e.timer_fd.reset();
  e.spare_fd.reset();
  e.epoll_fd.reset();
  e.session_watch = WatchedBy{};
  e.repair_pending = false;
}

// Closes the endpoint and every connection accepted on it, and removes its files.
void close_endpoint(Endpoint& e) {
  if (!e.epoll_fd.valid()) return;
  if (e.owner != own_pid()) {
    let_go_of_inherited(e);
    return;
  }
  while (!e.inbound.empty()) close_inbound(e, e.inbound.begin()->first);
  unpublish(e);
  e.unpublished_why.clear();
  e.timer_fd.reset();
  e.spare_fd.reset();
  e.epoll_fd.reset();
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

ssize_t recv_record(int fd, void* buffer, std::size_t size, UniqueFd* fds, std::size_t max_fds,
                    std::size_t* fd_count) {
  iovec part{buffer, size};
  constexpr std::size_t kControlFds = 4;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kControlFds)];
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
  const bool truncated = (message.msg_flags & MSG_CTRUNC) != 0;
  bool excess = truncated;
  std::size_t installed = 0;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    const std::size_t n = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (std::size_t i = 0; i < n; ++i) {
      int raw = -1;
      std::memcpy(&raw, CMSG_DATA(c) + i * sizeof(int), sizeof raw);
      UniqueFd received(raw);
      ++installed;
      if (fds != nullptr && fd_count != nullptr && *fd_count < max_fds) {
        fds[(*fd_count)++] = std::move(received);
      } else {
        excess = true;
      }
    }
  }
  if (excess) {
    for (std::size_t i = 0; fd_count != nullptr && i < *fd_count; ++i) fds[i].reset();
    if (fd_count != nullptr) *fd_count = 0;
    // Cut short while the buffer had room: the descriptors could not be installed.
    errno = truncated && installed < kControlFds ? EMFILE : EPROTO;
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

int dispatch_round(int wait_ms, int* handled) {
  Endpoint& e = endpoint();
  if (!e.epoll_fd.valid()) return -1;
  const bool watched = e.session_watch.watch_in(e.epoll_fd.get(), kSessionWatchId);
  epoll_event events[kEventsPerRound];
  const int n = syscalls().epoll_wait(e.epoll_fd.get(), events, kEventsPerRound, wait_ms);
  if (n < 0) return errno == EINTR ? 0 : -1;
  bool changed = false;
  for (int i = 0; i < n; ++i) changed = changed || events[i].data.u64 == kSessionWatchId;
  // The wait just showed the directory unchanged: the notifications below need no look at it.
  std::optional<CheckedScope> checked;
  if (watched && !changed) checked.emplace(e.session_watch);
  // Handling anything shows this process is not hung, whatever a sender marked.
  if (n > 0) show_alive(e);
  // A procedure may close the endpoint while the events are handled.
  for (int i = 0; i < n && e.epoll_fd.valid(); ++i) *handled += handle_event(e, events[i].data.u64);
  return n;
}

int dispatch_ready() {
  int handled = 0;
  for (int rounds = 0; rounds < kMaxFramesPerDispatch; ++rounds) {
    if (dispatch_round(0, &handled) <= 0) break;
  }
  return handled;
}

int pump(int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  if (!endpoint_is_open()) return -1;
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
    const int events = dispatch_round(wait_ms, &handled);
    if (events < 0) return handled;
    if (handled > 0 || wait_ms == 0) {
      // A round that took in fewer events than it could left nothing ready behind it: what
      // comes later wakes the next wait, so only a full round looks again.
      if (events == kEventsPerRound) handled += dispatch_ready();
      return handled;
    }
  }
}

bool endpoint_is_open() { return endpoint().epoll_fd.valid(); }

int endpoint_event_fd() { return endpoint().epoll_fd.get(); }

std::uint64_t refused_connections() { return endpoint().refused; }

std::uint64_t endpoint_opens() { return endpoint().opens; }

std::uint64_t notifications_missed() { return endpoint().missed; }

const char* notifications_missed_reason() { return endpoint().missed_why; }

std::string endpoint_problem() { return endpoint().unpublished_why; }

std::optional<EndpointId> own_endpoint_id() {
  const Endpoint& e = endpoint();
  if (!e.published) return std::nullopt;
  return e.published->id;
}

bool open_endpoint() {
  Endpoint& e = endpoint();
  if (e.epoll_fd.valid()) return true;
  raise_open_file_limit();
  const Syscalls& sys = syscalls();
  const bool watching = guarded(false, [&] {
    e.epoll_fd = UniqueFd(check(sys.epoll_create1(EPOLL_CLOEXEC), "endpoint's epoll set"));
    e.owner = own_pid();
    ++e.opens;
    e.timer_fd = UniqueFd(check(sys.timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC),
                                "endpoint's repair timer"));
    watch(e, e.timer_fd.get(), kTimerId);
    return true;
  });
  e.spare_fd = open_spare();
  if (!watching || !publish_or_clean_up(e)) {
    e.timer_fd.reset();
    e.epoll_fd.reset();
    return false;
  }
  return true;
}

void close_endpoint() { close_endpoint(endpoint()); }

void set_delivery_outcome(std::uint32_t unreached, std::string_view reason) {
  if (!delivery.active || unreached == 0) return;
  delivery.unreached = std::min(delivery.unreached + std::min(unreached, kMaxOutcomeUnreached),
                                kMaxOutcomeUnreached);
  if (delivery.reason.empty()) delivery.reason = reason.substr(0, kMaxOutcomeReasonBytes);
}

bool delivery_current() {
  if (!delivery.active) return true;
  // The text was copied out before this looks at the count of holds.
  std::atomic_thread_fence(std::memory_order_acquire);
  if (damage_count() != delivery.damage || mappings_moved() != delivery.moved) return false;
  return send_lock_hold_current(delivery.epoch, delivery.msg, delivery.hold);
}

}  // namespace mmfcast::platform::os
