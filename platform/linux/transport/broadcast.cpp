// BroadcastSystemMessage on Linux: publishes one notification in this process's ring, wakes the
// endpoint of every other process of the session with one write to the eventfd they all watch,
// and waits, against one deadline for all of them, until each awaited receiver has answered in
// this process's acknowledgement page; the last one to answer wakes it through another eventfd,
// so a broadcast costs one write and one wake-up whatever the number of receivers.
// A receiver still silent at the deadline is marked hung in its state page, where every other
// sender sees it and stops waiting for it until it handles notifications again. While waiting
// the sender keeps handling notifications for its own windows, as a Windows thread blocked in
// SendMessage handles incoming sent messages, so two processes that broadcast to each other
// both finish. Connections (which carry the introduction and tell of hang-ups) and the peer
// list are kept across broadcasts; the directory is listed again only when it has changed.
#include <dirent.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/transport/frame.h"
#include "platform/linux/transport/session.h"
#include "platform/linux/transport/syscalls.h"
#include "platform/linux/transport/transport.h"
#include "platform/platform.h"

namespace mmfcast::platform::os {
namespace {

using Clock = std::chrono::steady_clock;

// Broadcasts nested deeper than this (procedures broadcasting from within a delivery) stop
// handling incoming notifications while they wait, so the nesting cannot grow without bound;
// each level has a count word of its own in the acknowledgement page.
constexpr int kMaxDispatchDepth = static_cast<int>(kCountWords) - 1;
// Tags of the sender's wait set: the answers' wake-up, this process's own endpoint, and from
// kFirstPeerTag on, each peer's connection (for hang-ups).
constexpr std::uint64_t kAnswerTag = 0;
constexpr std::uint64_t kOwnTag = 1;
constexpr std::uint64_t kFirstPeerTag = 16;
// How long a connection to a receiver whose backlog is full may wait to be accepted.
constexpr int kConnectWaitMs = 500;

struct Peer {
  EndpointId id{};
  std::string socket_path;
  std::string state_path;
  struct stat socket_st {};
  struct stat state_st {};
  int fd = -1;
  PeerState* state = nullptr;
  int guard = -1;         // the state page's slot among the regions guarded against truncation
  std::uint64_t tag = 0;  // in the wait set
  std::uint32_t slot = 0;
  bool awaitable = false;  // has a slot in the acknowledgement page
  bool closed = false;
  bool resent = false;  // made again within a broadcast after the receiver closed the last one
};

// This process's acknowledgement page (with its ring), wake-up and notification descriptors,
// handed to every receiver, and the wait set a broadcast sleeps in.
struct Answers {
  UniqueFd page_fd;
  UniqueFd wake_fd;
  UniqueFd notify_fd;
  UniqueFd wait_fd;  // epoll: wake_fd (edge-triggered), the own endpoint, every connection
  AckPage* page = nullptr;
  std::vector<std::uint32_t> free_slots;
  std::uint32_t next_slot = 0;
  std::uint64_t next_tag = kFirstPeerTag;
  int own_fd = -1;  // the own endpoint's epoll set as registered in wait_fd
  std::uint64_t own_opens = 0;

  Answers() = default;
  ~Answers() {
    if (page != nullptr) syscalls().munmap(page, kAckPageSize);
  }
  Answers(const Answers&) = delete;
  Answers& operator=(const Answers&) = delete;
};

}  // namespace

struct BroadcastState {
  pid_t owner = 0;
  std::uint64_t epoch = 0;           // of the session directory the peers belong to
  std::uint64_t listed_changes = 0;  // session_changes() when the directory was listed
  bool settled = false;              // the listing is known to show the directory as it still is
  std::map<EndpointId, std::shared_ptr<Peer>> peers;
  std::unique_ptr<Answers> answers;
  SessionPtr dir;  // of the broadcast in progress
  std::uint64_t last_seq = 0;
  int depth = 0;
  // The copies the current broadcast could not reach, and why (the first reason met).
  int unreached = 0;
  int unreached_error = 0;
  std::string unreached_why;
  int last_unreached = 0;  // of the last broadcast that finished
};

namespace {

void reset(BroadcastState& s);

}  // namespace

Part<BroadcastState> make_broadcast_state() {
  return {new BroadcastState, [](BroadcastState* s) {
            reset(*s);
            delete s;
          }};
}

namespace {

BroadcastState& broadcast_state() { return session().broadcast(); }

// Counts a copy this broadcast cannot reach, or cannot wait for.
void note_unreached(int error, std::string why = {}) {
  BroadcastState& s = broadcast_state();
  if (s.unreached++ == 0) {
    s.unreached_error = error != 0 ? error : EIO;
    s.unreached_why = std::move(why);
  }
  s.settled = false;  // listed again next time, so the copy is tried again
}

// Whether a sender has marked the peer hung: it is skipped, not counted as unreached.
bool hung(const Peer& peer) {
  return peer.state != nullptr && peer.state->hung.load(std::memory_order_relaxed) != 0;
}

void close_peer(Peer& peer) {
  if (peer.closed) return;
  peer.closed = true;
  if (peer.fd >= 0) syscalls().close(peer.fd);
  unguard_region(std::exchange(peer.guard, -1));
  if (peer.state != nullptr) syscalls().munmap(peer.state, kStatePageSize);
  BroadcastState& s = broadcast_state();
  if (peer.awaitable && s.answers) s.answers->free_slots.push_back(peer.slot);
}

// Whether the owner of the endpoint whose state file is open on fd has gone: its lock is free.
bool owner_gone(int state_fd) {
  if (retry_eintr([&] { return syscalls().flock(state_fd, LOCK_SH | LOCK_NB); }) != 0) {
    return false;
  }
  syscalls().flock(state_fd, LOCK_UN);
  return true;
}

// Whether the owner of the endpoint whose state file is at path (still the file seen as st) has
// gone. A state file that is missing or another file now is not proof: false.
bool owner_gone(const std::string& path, const struct stat& st) {
  try {
    struct stat info {};
    UniqueFd fd = open_session_file(path, Create::kNever, path, &info);
    return fd.valid() && info.st_dev == st.st_dev && info.st_ino == st.st_ino &&
           owner_gone(fd.get());
  } catch (const OsError&) {
    return false;
  }
}

// Forgets the peer; with check_owner, removes its files when its owner has gone. True when the
// owner is known to be alive (so a new connection may reach it).
bool drop(const std::shared_ptr<Peer>& peer, bool check_owner) {
  bool alive = false;
  if (check_owner && !peer->closed) {
    if (owner_gone(peer->state_path, peer->state_st)) {
      unlink_if_same(peer->socket_path, peer->socket_st.st_dev, peer->socket_st.st_ino);
      unlink_if_same(peer->state_path, peer->state_st.st_dev, peer->state_st.st_ino);
    } else {
      alive = true;
    }
  }
  close_peer(*peer);
  auto& peers = broadcast_state().peers;
  auto found = peers.find(peer->id);
  if (found != peers.end() && found->second == peer) peers.erase(found);
  return alive;
}

void reset(BroadcastState& s) {
  for (auto& [id, peer] : s.peers) close_peer(*peer);
  s.peers.clear();
  s.answers.reset();
  s.settled = false;
}

Answers* answers() {
  BroadcastState& s = broadcast_state();
  if (s.answers) return s.answers.get();
  const Syscalls& sys = syscalls();
  auto a = std::make_unique<Answers>();
  const auto failed = [] {
    set_last_error(errno);
    return nullptr;
  };
  a->page_fd.reset(sys.memfd_create("mmfcast-answers", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!a->page_fd.valid()) return failed();
  a->wake_fd.reset(sys.eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!a->wake_fd.valid()) return failed();
  a->notify_fd.reset(sys.eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!a->notify_fd.valid()) return failed();
  a->wait_fd.reset(sys.epoll_create1(EPOLL_CLOEXEC));
  if (!a->wait_fd.valid()) return failed();
  // Never read: each answer's write is an edge of its own.
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLET;
  ev.data.u64 = kAnswerTag;
  if (sys.epoll_ctl(a->wait_fd.get(), EPOLL_CTL_ADD, a->wake_fd.get(), &ev) != 0) return failed();
  try {
    reserve_blocks(a->page_fd.get(), kAckPageSize, "acknowledgement page");
  } catch (const OsError& e) {
    errno = e.code;
    return failed();
  }
  if (sys.fcntl(a->page_fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
    return failed();
  }
  void* page =
      sys.mmap(nullptr, kAckPageSize, PROT_READ | PROT_WRITE, MAP_SHARED, a->page_fd.get(), 0);
  if (page == MAP_FAILED) return failed();
  a->page = static_cast<AckPage*>(page);
  s.answers = std::move(a);
  return s.answers.get();
}

// Opens the state page at path; -1 when it is missing or not a page of ours. Another
// endpoint's page is not this process's to fail on, so nothing is recorded.
int open_state_file(const std::string& path, struct stat& info) {
  try {
    UniqueFd fd = open_session_file(path, Create::kNever, path, &info);
    if (!fd.valid() || info.st_size != static_cast<off_t>(kStatePageSize)) return -1;
    return fd.release();
  } catch (const OsError& e) {
    // Out of descriptors or memory: a live copy may be behind it.
    if (e.code == EMFILE || e.code == ENFILE || e.code == ENOMEM) note_unreached(e.code);
    return -1;
  }
}

// Removes what an endpoint whose owner died before publishing it left behind.
void remove_if_abandoned(const SessionDir& dir, const EndpointId& id) {
  struct stat info {};
  const std::string state_path = dir.file(endpoint_file_name(id, EndpointFile::kState));
  const int fd = open_state_file(state_path, info);
  if (fd < 0) return;
  if (owner_gone(fd)) {
    syscalls().unlink(dir.file(endpoint_file_name(id, EndpointFile::kUnpublished)).c_str());
    unlink_if_same(state_path, info.st_dev, info.st_ino);
  }
  syscalls().close(fd);
}

// A connection to the endpoint, introduced with this process's acknowledgement page, its ring
// to be read after entry `read_after` (by default, the newest); null when it is not a live
// endpoint of ours (a dead one's files are removed) or cannot take a connection now.
std::shared_ptr<Peer> connect_peer(const SessionDir& dir, const EndpointId& id,
                                   std::optional<std::uint64_t> read_after = std::nullopt) {
  const Syscalls& sys = syscalls();
  auto peer = std::make_shared<Peer>();
  peer->id = id;
  const std::string name = endpoint_file_name(id, EndpointFile::kSocket);
  peer->socket_path = dir.file(name);
  if (sys.lstat(peer->socket_path.c_str(), &peer->socket_st) != 0 ||
      !S_ISSOCK(peer->socket_st.st_mode) || peer->socket_st.st_uid != own_euid()) {
    return nullptr;
  }
  peer->state_path = dir.file(endpoint_file_name(id, EndpointFile::kState));
  {
    // The mapping keeps the page; its descriptor is not kept, so a peer costs one descriptor.
    const UniqueFd state_fd(open_state_file(peer->state_path, peer->state_st));
    if (!state_fd.valid()) return nullptr;
    void* page =
        sys.mmap(nullptr, kStatePageSize, PROT_READ | PROT_WRITE, MAP_SHARED, state_fd.get(), 0);
    if (page == MAP_FAILED) {
      note_unreached(errno);
      return nullptr;
    }
    peer->state = static_cast<PeerState*>(page);
  }
  peer->guard = guard_region(peer->state, kStatePageSize);  // before the first read of it
  if (!state_is_valid(*peer->state)) {
    close_peer(*peer);
    return nullptr;
  }

  sockaddr_un address{};
  socklen_t length = 0;
  if (!socket_address(dir, name, address, length)) {
    close_peer(*peer);
    return nullptr;
  }
  // Connected blocking, so that a receiver whose backlog is full (many copies connecting at
  // once) is waited for, up to kConnectWaitMs, instead of being skipped.
  peer->fd = sys.socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (peer->fd < 0) {
    note_unreached(errno);
    close_peer(*peer);
    return nullptr;
  }
  const timeval wait{kConnectWaitMs / 1000, static_cast<suseconds_t>(kConnectWaitMs % 1000) * 1000};
  // Without the timeout a full backlog would make the connect wait without end.
  if (sys.setsockopt(peer->fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait) != 0) {
    note_unreached(errno);
    close_peer(*peer);
    return nullptr;
  }
  const int rc = retry_eintr(
      [&] { return sys.connect(peer->fd, reinterpret_cast<const sockaddr*>(&address), length); });
  if (rc != 0) {
    // Refused: nobody listens any more. Still full after the wait: it is not accepting.
    const int error = errno;
    if (error == ECONNREFUSED || error == ENOENT) {
      drop(peer, true);
    } else {
      if (!hung(*peer)) note_unreached(error);
      close_peer(*peer);
    }
    return nullptr;
  }
  sys.fcntl(peer->fd, F_SETFL, O_NONBLOCK);
  if (!peer_is_same_user(peer->fd)) {
    close_peer(*peer);
    return nullptr;
  }
  Answers* a = answers();
  if (a != nullptr) {
    if (!a->free_slots.empty()) {
      peer->slot = a->free_slots.back();
      a->free_slots.pop_back();
      peer->awaitable = true;
    } else if (a->next_slot < kAckSlots) {
      peer->slot = a->next_slot++;
      peer->awaitable = true;
    }  // else counted as not reached by every broadcast
  }
  if (peer->awaitable) {
    Frame hello;
    hello.kind = FrameKind::kHello;
    hello.index = peer->slot;
    hello.seq = read_after.value_or(a->page->published.load(std::memory_order_relaxed));
    const FrameBytes bytes = encode_frame(hello);
    const int fds[3] = {a->page_fd.get(), a->wake_fd.get(), a->notify_fd.get()};
    epoll_event ev{};
    ev.events = EPOLLRDHUP;  // hang-ups and errors only
    ev.data.u64 = peer->tag = a->next_tag++;
    if (send_record(peer->fd, bytes.data(), bytes.size(), fds, 3) !=
            static_cast<ssize_t>(bytes.size()) ||
        sys.epoll_ctl(a->wait_fd.get(), EPOLL_CTL_ADD, peer->fd, &ev) != 0) {
      note_unreached(errno);
      close_peer(*peer);
      return nullptr;
    }
  }
  return peer;
}

// Brings the peer list in line with the directory when it may have changed since the last
// listing: connects to new endpoints, drops those that went away, clears up abandoned ones.
// False, with the reason recorded, when the directory cannot be listed.
bool refresh_peers(const SessionDir& dir) {
  BroadcastState& s = broadcast_state();
  const std::uint64_t changes = session_changes();
  if (s.epoch == dir.epoch && s.settled && changes == s.listed_changes) return true;
  if (s.epoch != dir.epoch) reset(s);
  s.epoch = dir.epoch;
  DIR* stream = syscalls().opendir(dir.path.c_str());
  if (stream == nullptr) {
    // Nobody can be counted: the broadcast fails, and the listing is tried again next time.
    set_last_error(errno, "session directory " + dir.path);
    return false;
  }
  s.listed_changes = changes;
  s.settled = true;

  const std::optional<EndpointId> self = own_endpoint_id();
  std::map<EndpointId, EndpointFile> listed;  // the socket when there is one, else what is there
  while (const dirent* entry = syscalls().readdir(stream)) {
    const std::optional<EndpointName> name = parse_endpoint_name(entry->d_name);
    if (!name || (self && name->id == *self)) continue;
    auto [at, added] = listed.emplace(name->id, name->file);
    if (!added && name->file == EndpointFile::kSocket) at->second = EndpointFile::kSocket;
  }
  syscalls().closedir(stream);

  for (auto it = s.peers.begin(); it != s.peers.end();) {
    auto found = listed.find(it->first);
    if (found == listed.end() || found->second != EndpointFile::kSocket || it->second->closed) {
      close_peer(*it->second);
      it = s.peers.erase(it);
    } else {
      ++it;
    }
  }
  for (const auto& [id, file] : listed) {
    if (file != EndpointFile::kSocket) {
      remove_if_abandoned(dir, id);
    } else if (!s.peers.contains(id)) {
      if (std::shared_ptr<Peer> peer = connect_peer(dir, id)) s.peers.emplace(id, std::move(peer));
    }
  }
  return true;
}

class DepthGuard {
 public:
  DepthGuard() { ++broadcast_state().depth; }
  ~DepthGuard() { --broadcast_state().depth; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;
};

bool answered(const Answers& a, const Peer& peer, std::uint64_t seq) {
  return peer.closed || a.page->acked[peer.slot].load(std::memory_order_acquire) >= seq;
}

// Registers this process's own endpoint (-1: none) in the wait set, in place of the one there.
// An endpoint closed since took its registration with it.
void watch_own(Answers& a, int own) {
  const std::uint64_t opens = endpoint_opens();
  if (own == a.own_fd && opens == a.own_opens) return;
  if (a.own_fd >= 0 && opens == a.own_opens) {
    syscalls().epoll_ctl(a.wait_fd.get(), EPOLL_CTL_DEL, a.own_fd, nullptr);
  }
  a.own_fd = -1;
  a.own_opens = opens;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kOwnTag;
  if (own >= 0 && syscalls().epoll_ctl(a.wait_fd.get(), EPOLL_CTL_ADD, own, &ev) == 0) {
    a.own_fd = own;
  }
}

// Marks the peer awaited for `seq`: it answers it, and its answer counts.
void await(const Answers& a, const Peer& peer, std::uint64_t seq) {
  a.page->awaited[peer.slot].store(seq, std::memory_order_relaxed);
}

// The peer whose connection has the tag, in `waiting` first and then among all peers.
std::shared_ptr<Peer> find_tag(const std::vector<std::shared_ptr<Peer>>& waiting,
                               std::uint64_t tag) {
  for (const auto& peer : waiting) {
    if (peer->tag == tag) return peer;
  }
  for (const auto& [id, peer] : broadcast_state().peers) {
    if (peer->tag == tag) return peer;
  }
  return nullptr;
}

// A connection hung up: the owner died, or closed it to make room for another. One awaited
// before its answer is made again, when the owner lives, and reads `frame` from the ring on the
// new one, once; its count stays in the word. Returns the new peer to wait for, if any.
std::shared_ptr<Peer> hung_up(Answers& a, const std::shared_ptr<Peer>& peer, bool awaited,
                              const Frame& frame) {
  const bool retried = peer->resent;
  if (!drop(peer, true) || !awaited || retried) {
    if (awaited) count_down(*a.page, frame.index, frame.seq);
    return nullptr;
  }
  BroadcastState& s = broadcast_state();
  std::shared_ptr<Peer> next = s.dir ? connect_peer(*s.dir, peer->id, frame.seq - 1) : nullptr;
  if (!next || !next->awaitable) {
    count_down(*a.page, frame.index, frame.seq);
    if (next) s.peers[next->id] = next;
    return nullptr;
  }
  s.peers[next->id] = next;
  next->resent = true;
  await(a, *next, frame.seq);
  return next;
}

// Waits until every peer in `waiting` has answered `seq`, has closed its connection, or the
// deadline passes, handling this process's own incoming notifications meanwhile. Peers still
// silent then are marked hung for the whole session.
void collect_answers(Answers& a, std::vector<std::shared_ptr<Peer>> waiting, const Frame& frame) {
  const std::uint64_t seq = frame.seq;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kBroadcastDeadlineMs);
  const bool dispatch = broadcast_state().depth <= kMaxDispatchDepth;
  watch_own(a, dispatch ? event_fd() : -1);
  epoll_event events[16];
  for (;;) {
    std::erase_if(waiting, [&](const std::shared_ptr<Peer>& p) { return answered(a, *p, seq); });
    if (waiting.empty()) return;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    const int ready =
        syscalls().epoll_wait(a.wait_fd.get(), events, 16, static_cast<int>(left.count()));
    if (ready <= 0) continue;  // EINTR or timeout: the loop re-checks the deadline

    bool own_ready = false;
    for (int i = 0; i < ready; ++i) {
      const std::uint64_t tag = events[i].data.u64;
      if (tag == kOwnTag) own_ready = true;
      if (tag < kFirstPeerTag) continue;
      const std::shared_ptr<Peer> peer = find_tag(waiting, tag);
      if (!peer || peer->closed) continue;
      const bool awaited = std::find(waiting.begin(), waiting.end(), peer) != waiting.end() &&
                           !answered(a, *peer, seq);
      if (std::shared_ptr<Peer> next = hung_up(a, peer, awaited, frame)) waiting.push_back(next);
    }
    if (own_ready) dispatch_ready();
  }
  for (const auto& peer : waiting) {
    if (!peer->closed) peer->state->hung.store(1, std::memory_order_relaxed);
  }
}

}  // namespace
}  // namespace mmfcast::platform::os

namespace mmfcast::platform {

long BroadcastSystemMessage(std::uint32_t flags, std::uint32_t* lpInfo, std::uint32_t msg,
                            WParam wParam, LParam lParam) {
  os::BroadcastState& s = os::broadcast_state();
  s.last_unreached = 0;  // a broadcast that fails before it sends reports none
  if (flags != kBsfIgnoreCurrentTask || lpInfo == nullptr || (*lpInfo & kBsmApplications) == 0) {
    os::set_last_error(EINVAL, "broadcast",
                       "only BSF_IGNORECURRENTTASK to BSM_APPLICATIONS is supported");
    return -1;
  }
  if (s.owner != os::own_pid()) {
    // A forked child starts afresh rather than share its parent's connections.
    os::reset(s);
    s.owner = os::own_pid();
  }
  // One look at the directory serves the whole broadcast.
  const os::CheckedScope scope;
  bool reattached = false;
  const os::SessionPtr dir = os::current_session(&reattached);
  if (!dir) return -1;
  // The text this broadcast announces went into an area that has just been found orphaned.
  if (reattached) {
    os::set_last_error(ESTALE, "session directory " + dir->path + " was replaced");
    return -1;
  }
  const os::SendLockHold hold = os::send_lock_hold();
  if (hold.lost) {
    os::set_last_error(ESTALE, "send lock taken over by another copy");
    return -1;
  }

  os::DepthGuard depth;
  os::raise_open_file_limit();
  const int outer_unreached = s.unreached;  // a broadcast nested in this one counts its own
  s.unreached = 0;
  s.dir = dir;
  if (!os::refresh_peers(*dir)) {
    s.unreached = outer_unreached;
    return -1;
  }
  const std::uint64_t seq = ++s.last_seq;
  // Broadcasts nested deeper than the page has count words are published but not waited for.
  const auto word = static_cast<std::uint32_t>(s.depth - 1);
  const bool awaiting = word < os::kCountWords;
  os::Answers* answers = s.peers.empty() ? nullptr : os::answers();
  os::Frame frame;
  frame.kind = os::FrameKind::kNotify;
  frame.seq = seq;
  frame.msg = os::message_id_out(msg, *dir);
  frame.wparam = wParam;
  frame.lparam = lParam;
  frame.hold = hold.hold;
  frame.index = awaiting ? word : 0;
  // Receivers that read this notification late judge it against the last hold that broadcast
  // the same message, so it is written before any of them can see the frame.
  os::record_broadcast(frame.msg, hold.hold);

  std::vector<std::shared_ptr<os::Peer>> waiting;
  int without_slot = 0;
  for (const auto& [id, peer] : s.peers) {
    if (peer->closed) continue;
    peer->resent = false;
    if (!peer->awaitable || answers == nullptr) {
      // Introduced without a ring: it cannot hear this process.
      ++without_slot;
      os::note_unreached(answers == nullptr ? os::last_error() : EMLINK,
                         answers == nullptr ? "no acknowledgement page"
                                            : "more peers than acknowledgement slots (" +
                                                  std::to_string(os::kAckSlots) + ")");
    } else if (awaiting && !os::hung(*peer)) {
      os::await(*answers, *peer, seq);
      waiting.push_back(peer);
    }
  }
  if (answers != nullptr && !waiting.empty()) {
    answers->page->pending[word].store(((seq & 0xFFFFFFFFu) << 32) | waiting.size(),
                                       std::memory_order_release);
  }
  if (answers != nullptr && static_cast<int>(s.peers.size()) > without_slot) {
    os::publish_entry(*answers->page, frame);
    const std::uint64_t one = 1;
    if (os::retry_eintr([&] {
          return os::syscalls().write(answers->notify_fd.get(), &one, sizeof one);
        }) != sizeof one) {
      for (std::size_t i = 0; i < waiting.size(); ++i) os::note_unreached(errno);
      waiting.clear();
    }
    os::collect_answers(*answers, std::move(waiting), frame);
  }
  const int unreached = s.unreached;
  // Peers without a slot are among both.
  const int total = static_cast<int>(s.peers.size()) + unreached - without_slot;
  s.unreached = outer_unreached;
  s.last_unreached = unreached;
  if (unreached > 0) {
    const std::string why =
        s.unreached_why.empty() ? std::strerror(s.unreached_error) : s.unreached_why;
    os::set_last_error(s.unreached_error, "",
                       std::to_string(unreached) + " of " + std::to_string(total) +
                           (total == 1 ? " copy" : " copies") + " not reached: " + why);
    return -1;
  }
  return 1;
}

int broadcast_unreached() { return os::broadcast_state().last_unreached; }

}  // namespace mmfcast::platform
