// The broadcast on Linux: publishes one notification in this process's ring, wakes the
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
#include <poll.h>
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
#include <deque>
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
// Receivers that share one notification descriptor. The kernel bounds the wake-up paths from
// one file to the epoll sets that watch it: 500 when a receiver's endpoint is nested in one
// more set (a Channel's wait set), 100, 50 and 10 deeper. 50 leaves a receiver room for two
// levels of its program's own epoll sets above the endpoint, or ten sets at the first.
constexpr std::uint32_t kPeersPerNotifyFd = 50;

struct Peer {
  EndpointId id{};
  std::string socket_path;
  std::string state_path;
  struct stat socket_st {};
  struct stat state_st {};
  UniqueFd fd;
  SharedMapping state;    // the receiver's state page, guarded against truncation
  std::uint64_t tag = 0;  // in the wait set
  std::uint32_t slot = 0;
  std::size_t group = 0;   // its notification descriptor in Answers::notify_fds
  bool grouped = false;    // counted among that descriptor's receivers
  bool awaitable = false;  // has a slot in the acknowledgement page
  bool closed = false;
  bool resent = false;  // made again within a broadcast after the receiver closed the last one

  PeerState* page() const { return state.as<PeerState>(); }
};

// A notification descriptor and how many receivers were handed it.
struct NotifyGroup {
  UniqueFd fd;
  std::uint32_t members = 0;
};

// This process's acknowledgement page (with its ring) and wake-up descriptor, handed to every
// receiver, its notification descriptors, each handed to at most kPeersPerNotifyFd of them, and
// the wait set a broadcast sleeps in.
struct Answers {
  UniqueFd page_fd;
  UniqueFd wake_fd;
  std::vector<NotifyGroup> notify_fds;
  UniqueFd wait_fd;  // epoll: wake_fd (edge-triggered), the own endpoint, every connection
  SharedMapping page_map;
  std::vector<std::uint32_t> free_slots;
  std::uint32_t next_slot = 0;
  std::uint64_t next_tag = kFirstPeerTag;
  int own_fd = -1;  // the own endpoint's epoll set as registered in wait_fd
  std::uint64_t own_opens = 0;

  AckPage* page() const { return page_map.as<AckPage>(); }
};

}  // namespace

struct BroadcastState {
  pid_t owner = 0;
  std::uint64_t epoch = 0;           // of the session directory the peers belong to
  std::uint64_t listed_changes = 0;  // session_changes() when the directory was listed
  bool settled = false;              // the listing is known to show the directory as it still is
  std::map<EndpointId, std::shared_ptr<Peer>> peers;
  std::unique_ptr<Answers> answers;
  UniqueFd spare_fd;  // given up to list the directory at the descriptor limit
  SessionPtr dir;     // of the broadcast in progress
  std::uint64_t last_seq = 0;
  int depth = 0;
  // The copies the current broadcast could not reach, and why (the first reason met).
  int unreached = 0;
  int unreached_error = 0;
  std::string unreached_why;
  int unreached_listed = 0;  // of them, the peers still in the list (not answering)
  int last_unreached = 0;    // of the last broadcast that finished
  // Outcomes receivers sent with their answers (copies beyond them not reached), until the
  // broadcast they belong to counts them; a nested broadcast may read its outer one's.
  std::deque<Outcome> outcomes;

  BroadcastState() = default;
  ~BroadcastState();  // closes the connections and the acknowledgement page
  BroadcastState(const BroadcastState&) = delete;
  BroadcastState& operator=(const BroadcastState&) = delete;
};

namespace {

// Lets go of every peer and of the acknowledgement page.
void reset(BroadcastState& s) {
  for (auto& [id, peer] : s.peers) peer->closed = true;
  s.peers.clear();
  s.answers.reset();
  s.settled = false;
}

}  // namespace

BroadcastState::~BroadcastState() { reset(*this); }

Part<BroadcastState> make_broadcast_state() { return new_part<BroadcastState>(); }

namespace {

BroadcastState& broadcast_state() { return session().broadcast(); }

// Counts a copy this broadcast cannot reach, or cannot wait for, with the first reason met.
void count_unreached(BroadcastState& s, int error, std::string why) {
  if (s.unreached++ == 0) {
    s.unreached_error = error != 0 ? error : EIO;
    s.unreached_why = std::move(why);
  }
}

// ... and lists the directory again next time, so that the copy is tried again.
void note_unreached(BroadcastState& s, int error, std::string why = {}) {
  count_unreached(s, error, std::move(why));
  s.settled = false;
}

// Whether a sender has marked the peer hung: it is not waited for, and counts as not reached
// while the mark stays.
bool hung(const Peer& peer) {
  return peer.state.valid() && peer.page()->hung.load(std::memory_order_relaxed) != 0;
}

// The reason given for copies that did not answer within the deadline, or are marked hung.
constexpr char kNotAnswering[] = "not answering";

// Counts a listed peer that did not answer. It stays listed: the directory need not be read
// again for it.
void note_not_answering(BroadcastState& s) {
  count_unreached(s, ETIMEDOUT, kNotAnswering);
  ++s.unreached_listed;
}

// Counts a peer that was not waited for because it is marked hung, unless it has cleared the
// mark since: it handles notifications again and reads this one from the ring.
void note_if_still_hung(BroadcastState& s, const Peer& peer) {
  if (!peer.closed && hung(peer)) note_not_answering(s);
}

// Lets go of the peer at once: its connection closes (the receiver sees the hang-up), its page
// is unmapped, and its answer slot serves the next peer.
void close_peer(BroadcastState& s, Peer& peer) {
  if (peer.closed) return;
  peer.closed = true;
  peer.fd.reset();
  peer.state.reset();
  if (peer.awaitable && s.answers) s.answers->free_slots.push_back(peer.slot);
  if (peer.grouped && s.answers && peer.group < s.answers->notify_fds.size()) {
    --s.answers->notify_fds[peer.group].members;
  }
  peer.grouped = false;
}

// Whether the owner of the endpoint whose state file is open on fd has gone: its lock is free.
bool owner_gone(int state_fd) {
  if (retry_eintr([&] { return syscalls().flock(state_fd, LOCK_SH | LOCK_NB); }) != 0) {
    return false;
  }
  syscalls().flock(state_fd, LOCK_UN);  // closing the descriptor drops it anyway
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
    return false;  // not proof either: the peer is kept for now
  }
}

// Forgets the peer; with check_owner, removes its files when its owner has gone. True when the
// owner is known to be alive (so a new connection may reach it).
bool drop(BroadcastState& s, const std::shared_ptr<Peer>& peer, bool check_owner) {
  bool alive = false;
  if (check_owner && !peer->closed) {
    if (owner_gone(peer->state_path, peer->state_st)) {
      unlink_if_same(peer->socket_path, peer->socket_st.st_dev, peer->socket_st.st_ino);
      unlink_if_same(peer->state_path, peer->state_st.st_dev, peer->state_st.st_ino);
    } else {
      alive = true;
    }
  }
  close_peer(s, *peer);
  auto found = s.peers.find(peer->id);
  if (found != s.peers.end() && found->second == peer) s.peers.erase(found);
  return alive;
}

// Makes the acknowledgement page, the two eventfds and the wait set; throws OsError.
std::unique_ptr<Answers> make_answers() {
  const Syscalls& sys = syscalls();
  auto a = std::make_unique<Answers>();
  a->page_fd = UniqueFd(check(sys.memfd_create("mmfcast-answers", MFD_CLOEXEC | MFD_ALLOW_SEALING),
                              "acknowledgement page"));
  a->wake_fd = UniqueFd(check(sys.eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC), "answers' wake-up"));
  a->wait_fd = UniqueFd(check(sys.epoll_create1(EPOLL_CLOEXEC), "broadcast's wait set"));
  // Never read: each answer's write is an edge of its own.
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLET;
  ev.data.u64 = kAnswerTag;
  check(sys.epoll_ctl(a->wait_fd.get(), EPOLL_CTL_ADD, a->wake_fd.get(), &ev),
        "broadcast's wait set");
  reserve_blocks(a->page_fd.get(), kAckPageSize, "acknowledgement page");
  check(sys.fcntl(a->page_fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL),
        "acknowledgement page");
  a->page_map = SharedMapping::map(a->page_fd.get(), kAckPageSize, "acknowledgement page");
  return a;
}

// The acknowledgement page, made on first use; null, with the reason recorded, when it cannot be.
Answers* answers(BroadcastState& s) {
  if (!s.answers) s.answers = guarded(std::unique_ptr<Answers>(), make_answers);
  return s.answers.get();
}

// Opens the state file at path, whatever its size; invalid when it is missing. Another
// endpoint's page is not this process's to fail on, so nothing is recorded.
UniqueFd open_state_file(BroadcastState& s, const std::string& path, struct stat& info) {
  try {
    return open_session_file(path, Create::kNever, path, &info);
  } catch (const OsError& e) {
    // Out of descriptors or memory: a live copy may be behind it.
    if (e.code == EMFILE || e.code == ENFILE || e.code == ENOMEM) note_unreached(s, e.code);
    return {};
  }
}

// Removes what an endpoint whose owner died before publishing it left behind.
void remove_if_abandoned(BroadcastState& s, const SessionDir& dir, const EndpointId& id) {
  struct stat info {};
  const std::string state_path = dir.file(endpoint_file_name(id, EndpointFile::kState));
  const UniqueFd fd = open_state_file(s, state_path, info);
  // A file still being made has no lock yet, but not its full size either.
  if (fd.valid() && info.st_size == static_cast<off_t>(kStatePageSize) && owner_gone(fd.get())) {
    syscalls().unlink(dir.file(endpoint_file_name(id, EndpointFile::kUnpublished)).c_str());
    unlink_if_same(state_path, info.st_dev, info.st_ino);
  }
}

// A published endpoint whose state page is cut short or overwritten: while its owner lives (it
// publishes itself anew shortly), it is a copy this broadcast cannot reach; a dead owner's files
// are removed.
void note_damaged_state(BroadcastState& s, const Peer& peer, int state_fd) {
  if (owner_gone(state_fd)) {
    unlink_if_same(peer.socket_path, peer.socket_st.st_dev, peer.socket_st.st_ino);
    unlink_if_same(peer.state_path, peer.state_st.st_dev, peer.state_st.st_ino);
    return;
  }
  note_unreached(s, EBADMSG, "state page " + peer.state_path + " damaged");
}

// The peer `id` with its state page mapped and checked, or null when the endpoint is not one of
// ours. The page's descriptor is not kept, so a peer costs one descriptor (its connection).
std::shared_ptr<Peer> map_peer(BroadcastState& s, const SessionDir& dir, const EndpointId& id) {
  auto peer = std::make_shared<Peer>();
  peer->id = id;
  peer->socket_path = dir.file(endpoint_file_name(id, EndpointFile::kSocket));
  if (syscalls().lstat(peer->socket_path.c_str(), &peer->socket_st) != 0 ||
      !S_ISSOCK(peer->socket_st.st_mode) || peer->socket_st.st_uid != own_euid()) {
    return nullptr;
  }
  peer->state_path = dir.file(endpoint_file_name(id, EndpointFile::kState));
  const UniqueFd state_fd = open_state_file(s, peer->state_path, peer->state_st);
  if (!state_fd.valid()) return nullptr;
  if (peer->state_st.st_size != static_cast<off_t>(kStatePageSize)) {
    note_damaged_state(s, *peer, state_fd.get());
    return nullptr;
  }
  try {
    peer->state = SharedMapping::map_guarded(state_fd.get(), kStatePageSize, peer->state_path);
  } catch (const OsError& e) {
    note_unreached(s, e.code, "state page " + peer->state_path + " cannot be mapped");
    return nullptr;
  }
  if (!state_is_valid(*peer->page())) {
    note_damaged_state(s, *peer, state_fd.get());
    return nullptr;
  }
  return peer;
}

// Connects the peer's socket, blocking, so that a receiver whose backlog is full (many copies
// connecting at once) is waited for, up to kConnectWaitMs, instead of being skipped; then makes
// it non-blocking. False when no connection was made; a refusal shows the endpoint dead and
// removes its files.
bool connect_socket(BroadcastState& s, const SessionDir& dir, const std::shared_ptr<Peer>& peer) {
  const Syscalls& sys = syscalls();
  sockaddr_un address{};
  socklen_t length = 0;
  if (!socket_address(dir, endpoint_file_name(peer->id, EndpointFile::kSocket), address, length)) {
    return false;
  }
  peer->fd = UniqueFd(sys.socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  const timeval wait{kConnectWaitMs / 1000, static_cast<suseconds_t>(kConnectWaitMs % 1000) * 1000};
  // Without the timeout a full backlog would make the connect wait without end.
  if (!peer->fd.valid() ||
      sys.setsockopt(peer->fd.get(), SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait) != 0) {
    note_unreached(s, errno);
    return false;
  }
  const int rc = retry_eintr([&] {
    return sys.connect(peer->fd.get(), reinterpret_cast<const sockaddr*>(&address), length);
  });
  if (rc != 0) {
    // Refused: nobody listens any more. Still full after the wait: it is not accepting.
    const int error = errno;
    if (error == ECONNREFUSED || error == ENOENT) {
      drop(s, peer, true);
    } else {
      note_unreached(s, error, hung(*peer) ? kNotAnswering : "");
    }
    return false;
  }
  if (sys.fcntl(peer->fd.get(), F_SETFL, O_NONBLOCK) != 0) {
    note_unreached(s, errno, "connection cannot be made non-blocking");
    return false;
  }
  return peer_is_same_user(peer->fd.get());
}

// Gives the peer a slot of the acknowledgement page; false when every slot is taken.
bool take_slot(Answers& a, Peer& peer) {
  if (!a.free_slots.empty()) {
    peer.slot = a.free_slots.back();
    a.free_slots.pop_back();
  } else if (a.next_slot < kAckSlots) {
    peer.slot = a.next_slot++;
  } else {
    return false;
  }
  peer.awaitable = true;
  return true;
}

// The reason the receiver gave for refusing the connection, when what it sent before closing
// it is a refusal.
std::optional<RefuseReason> refusal(const Peer& peer) {
  if (peer.closed) return std::nullopt;
  std::uint8_t buffer[kFrameSize];
  ssize_t got = recv_record(peer.fd.get(), buffer, sizeof buffer);
  // A receiver that closed without reading the hello reports a reset first, then what it sent.
  if (got < 0 && errno == ECONNRESET) got = recv_record(peer.fd.get(), buffer, sizeof buffer);
  if (got != static_cast<ssize_t>(kFrameSize)) return std::nullopt;
  const std::optional<Frame> frame = decode_frame(buffer);
  if (!frame || frame->kind != FrameKind::kRefuse) return std::nullopt;
  return static_cast<RefuseReason>(frame->msg);
}

// Counts a copy that refused its connection as not reached, with its reason.
void note_refused(BroadcastState& s, RefuseReason reason) {
  switch (reason) {
    case RefuseReason::kNoDescriptor:
      note_unreached(s, EMFILE, "the copy has no descriptor left");
      return;
    case RefuseReason::kCannotWatch:
      note_unreached(s, EINVAL, "the copy cannot watch one more notification descriptor");
      return;
    case RefuseReason::kFailed:
      break;
  }
  note_unreached(s, EIO, "the copy cannot take the connection");
}

// Counts the peer among the receivers of a notification descriptor with room, made when every
// one is full; false, the reason counted, when none can be made.
bool join_group(BroadcastState& s, Answers& a, Peer& peer) {
  auto room = std::find_if(a.notify_fds.begin(), a.notify_fds.end(),
                           [](const NotifyGroup& g) { return g.members < kPeersPerNotifyFd; });
  if (room == a.notify_fds.end()) {
    UniqueFd fd(syscalls().eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!fd.valid()) {
      note_unreached(s, errno, "notification descriptor cannot be made");
      return false;
    }
    a.notify_fds.push_back(NotifyGroup{std::move(fd), 0});
    room = a.notify_fds.end() - 1;
  }
  ++room->members;
  peer.group = static_cast<std::size_t>(room - a.notify_fds.begin());
  peer.grouped = true;
  return true;
}

// Sends the hello with the page and both eventfds, its ring to be read after `read_after`, and
// watches the connection for hang-ups. False, the reason counted, when either fails.
bool introduce(BroadcastState& s, Answers& a, Peer& peer, std::uint64_t read_after) {
  if (!join_group(s, a, peer)) return false;
  Frame hello;
  hello.kind = FrameKind::kHello;
  hello.index = peer.slot;
  hello.seq = read_after;
  const FrameBytes bytes = encode_frame(hello);
  const int fds[3] = {a.page_fd.get(), a.wake_fd.get(), a.notify_fds[peer.group].fd.get()};
  if (send_record(peer.fd.get(), bytes.data(), bytes.size(), fds, 3) !=
      static_cast<ssize_t>(bytes.size())) {
    const int error = errno;
    // A receiver that refused the connection at once may have closed it already.
    if (const std::optional<RefuseReason> reason = refusal(peer)) {
      note_refused(s, *reason);
    } else {
      note_unreached(s, error, "introduction not sent");
    }
    return false;
  }
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP;  // outcomes, hang-ups and errors
  ev.data.u64 = peer.tag = a.next_tag++;
  if (syscalls().epoll_ctl(a.wait_fd.get(), EPOLL_CTL_ADD, peer.fd.get(), &ev) != 0) {
    note_unreached(s, errno, "connection cannot be watched");
    return false;
  }
  return true;
}

// A connection to the endpoint, introduced with this process's acknowledgement page, its ring
// to be read after entry `read_after` (by default, the newest); null when it is not a live
// endpoint of ours (a dead one's files are removed) or cannot take a connection now. A peer
// without an answer slot (all taken, or no page) is kept, and counted unreached by every
// broadcast.
std::shared_ptr<Peer> connect_peer(BroadcastState& s, const SessionDir& dir, const EndpointId& id,
                                   std::optional<std::uint64_t> read_after = std::nullopt) {
  std::shared_ptr<Peer> peer = map_peer(s, dir, id);
  if (!peer) return nullptr;
  if (!connect_socket(s, dir, peer)) {
    close_peer(s, *peer);
    return nullptr;
  }
  Answers* a = answers(s);
  if (a == nullptr || !take_slot(*a, *peer)) return peer;
  const std::uint64_t after =
      read_after.value_or(a->page()->published.load(std::memory_order_relaxed));
  if (!introduce(s, *a, *peer, after)) {
    close_peer(s, *peer);
    return nullptr;
  }
  return peer;
}

// The endpoints listed in the directory other than this process's own: the socket when there
// is one, else the file that is there. nullopt, with the reason recorded, when it cannot be read.
std::optional<std::map<EndpointId, EndpointFile>> list_endpoints(const SessionDir& dir) {
  DIR* stream = syscalls().opendir(dir.path.c_str());
  if (stream == nullptr) {
    set_last_error(errno, "session directory " + dir.path);
    return std::nullopt;
  }
  const std::optional<EndpointId> self = own_endpoint_id();
  std::map<EndpointId, EndpointFile> listed;
  while (const dirent* entry = syscalls().readdir(stream)) {
    const std::optional<EndpointName> name = parse_endpoint_name(entry->d_name);
    if (!name || (self && name->id == *self)) continue;
    auto [at, added] = listed.emplace(name->id, name->file);
    if (!added && name->file == EndpointFile::kSocket) at->second = EndpointFile::kSocket;
  }
  syscalls().closedir(stream);
  return listed;
}

// Whether the peer's connection is still open at the receiver's end. A receiver whose files were
// removed keeps handling its connections until it has published itself again, so a peer that
// vanished from the directory is kept, and reached, while its connection lives.
bool still_connected(const Peer& peer) {
  if (!peer.fd.valid()) return false;
  pollfd p{peer.fd.get(), POLLRDHUP, 0};
  return syscalls().poll(&p, 1, 0) == 0;
}

// The endpoints listed, as list_endpoints; a process at its descriptor limit gives up its spare
// descriptor for the listing, so that the copies it cannot connect to are counted, and the ones
// it is connected to still hear it.
std::optional<std::map<EndpointId, EndpointFile>> list_endpoints_at_limit(BroadcastState& s,
                                                                          const SessionDir& dir) {
  if (!s.spare_fd.valid()) s.spare_fd = open_spare();
  auto listed = list_endpoints(dir);
  if (!listed && (last_error() == EMFILE || last_error() == ENFILE) && s.spare_fd.valid()) {
    s.spare_fd.reset();
    listed = list_endpoints(dir);
    s.spare_fd = open_spare();
  }
  return listed;
}

// Brings the peer list in line with the directory when it may have changed since the last
// listing: connects to new endpoints, drops those that went away (kept while connected: see
// still_connected), clears up abandoned ones.
// False, with the reason recorded, when the directory cannot be listed.
bool refresh_peers(BroadcastState& s, const SessionDir& dir) {
  const std::uint64_t changes = session_changes();
  if (s.epoch == dir.epoch && s.settled && changes == s.listed_changes) return true;
  if (s.epoch != dir.epoch) reset(s);
  s.epoch = dir.epoch;
  // Nobody can be counted without a listing: the broadcast fails, and it is tried next time.
  const auto listed = list_endpoints_at_limit(s, dir);
  if (!listed) return false;
  s.listed_changes = changes;
  s.settled = true;
  for (auto it = s.peers.begin(); it != s.peers.end();) {
    auto found = listed->find(it->first);
    const bool listed_socket = found != listed->end() && found->second == EndpointFile::kSocket;
    if (it->second->closed || (!listed_socket && !still_connected(*it->second))) {
      close_peer(s, *it->second);
      it = s.peers.erase(it);
    } else {
      ++it;
    }
  }
  for (const auto& [id, file] : *listed) {
    if (file != EndpointFile::kSocket) {
      remove_if_abandoned(s, dir, id);
    } else if (!s.peers.contains(id)) {
      if (std::shared_ptr<Peer> peer = connect_peer(s, dir, id))
        s.peers.emplace(id, std::move(peer));
    }
  }
  return true;
}

class DepthGuard {
 public:
  explicit DepthGuard(BroadcastState& s) : s_(s) { ++s_.depth; }
  ~DepthGuard() { --s_.depth; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;

 private:
  BroadcastState& s_;
};

bool answered(const Answers& a, const Peer& peer, std::uint64_t seq) {
  return peer.closed || a.page()->acked[peer.slot].load(std::memory_order_acquire) >= seq;
}

// Registers this process's own endpoint (-1: none) in the wait set, in place of the one there.
// An endpoint closed since took its registration with it. False when `own` could not be added.
bool watch_own(Answers& a, int own) {
  const std::uint64_t opens = endpoint_opens();
  if (own == a.own_fd && opens == a.own_opens) return true;
  if (a.own_fd >= 0 && opens == a.own_opens) {
    syscalls().epoll_ctl(a.wait_fd.get(), EPOLL_CTL_DEL, a.own_fd, nullptr);
  }
  a.own_fd = -1;
  a.own_opens = opens;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kOwnTag;
  if (own < 0) return true;
  if (syscalls().epoll_ctl(a.wait_fd.get(), EPOLL_CTL_ADD, own, &ev) != 0) return false;
  a.own_fd = own;
  return true;
}

// Marks the peer awaited for `seq`: it answers it, and its answer counts.
void await(const Answers& a, const Peer& peer, std::uint64_t seq) {
  a.page()->awaited[peer.slot].store(seq, std::memory_order_relaxed);
}

// The peer whose connection has the tag, in `waiting` first and then among all peers.
std::shared_ptr<Peer> find_tag(const BroadcastState& s,
                               const std::vector<std::shared_ptr<Peer>>& waiting,
                               std::uint64_t tag) {
  for (const auto& peer : waiting) {
    if (peer->tag == tag) return peer;
  }
  for (const auto& [id, peer] : s.peers) {
    if (peer->tag == tag) return peer;
  }
  return nullptr;
}

// A connection hung up: the owner died, or closed it to make room for another, or refused it.
// One awaited before its answer is made again, when the owner lives and did not refuse it, and
// reads `frame` from the ring on the new one, once; its count stays in the word. A refused one
// is counted as not reached. Returns the new peer to wait for, if any.
std::shared_ptr<Peer> hung_up(BroadcastState& s, Answers& a, const std::shared_ptr<Peer>& peer,
                              bool awaited, const Frame& frame) {
  const bool retried = peer->resent;
  if (const std::optional<RefuseReason> reason = refusal(*peer)) {
    drop(s, peer, false);
    if (awaited) count_down(*a.page(), frame.index, frame.seq);
    note_refused(s, *reason);
    return nullptr;
  }
  if (!drop(s, peer, true) || !awaited || retried) {
    if (awaited) count_down(*a.page(), frame.index, frame.seq);
    return nullptr;
  }
  std::shared_ptr<Peer> next = s.dir ? connect_peer(s, *s.dir, peer->id, frame.seq - 1) : nullptr;
  if (!next || !next->awaitable) {
    count_down(*a.page(), frame.index, frame.seq);
    if (next) s.peers[next->id] = next;
    return nullptr;
  }
  s.peers[next->id] = next;
  next->resent = true;
  await(a, *next, frame.seq);
  return next;
}

// Receivers' outcomes kept at most, across nested broadcasts.
constexpr std::size_t kMaxKeptOutcomes = 16;

// Takes the outcomes queued on the peer's connection. A record that is not one is left for
// refusal() when it is a refusal (the hang-up follows it), else read and dropped: the receiver
// is untrusted.
void read_outcomes(BroadcastState& s, const Peer& peer) {
  for (int records = 0; records < 64 && !peer.closed; ++records) {
    std::uint8_t buffer[kFrameSize + kMaxOutcomeReasonBytes + 1];
    iovec part{buffer, sizeof buffer};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    const ssize_t got = retry_eintr(
        [&] { return syscalls().recvmsg(peer.fd.get(), &message, MSG_DONTWAIT | MSG_PEEK); });
    if (got <= 0) return;
    const std::span<const std::uint8_t> record(buffer, static_cast<std::size_t>(got));
    std::optional<Outcome> outcome;
    if ((message.msg_flags & MSG_TRUNC) == 0) outcome = decode_outcome(record);
    if (!outcome && static_cast<std::size_t>(got) == kFrameSize) {
      const std::optional<Frame> frame = decode_frame(record);
      if (frame && frame->kind == FrameKind::kRefuse) return;
    }
    recv_record(peer.fd.get(), buffer, sizeof buffer);
    if (!outcome) continue;
    if (s.outcomes.size() == kMaxKeptOutcomes) s.outcomes.pop_front();
    s.outcomes.push_back(std::move(*outcome));
  }
}

// Reads the outcomes queued on every connection that shows one. A receiver writes its outcome
// before it answers, so once the answers are in, their outcomes are too.
void read_queued_outcomes(BroadcastState& s, const Answers& a,
                          const std::vector<std::shared_ptr<Peer>>& waited) {
  epoll_event events[64];
  const int ready = syscalls().epoll_wait(a.wait_fd.get(), events, 64, 0);
  for (int i = 0; i < ready; ++i) {
    if (events[i].data.u64 < kFirstPeerTag || (events[i].events & EPOLLIN) == 0) continue;
    if (const std::shared_ptr<Peer> peer = find_tag(s, waited, events[i].data.u64)) {
      read_outcomes(s, *peer);
    }
  }
}

// Counts the copies beyond the receivers that the outcomes of `seq` name, with the first
// reason met when no other was.
void count_outcomes(BroadcastState& s, std::uint64_t seq) {
  std::erase_if(s.outcomes, [&](const Outcome& outcome) {
    if (outcome.seq != seq) return false;
    if (s.unreached == 0) {
      s.unreached_error = EHOSTUNREACH;
      s.unreached_why = outcome.reason;
    }
    s.unreached += static_cast<int>(outcome.unreached);
    return true;
  });
  if (s.depth == 1) s.outcomes.clear();
}

// How long one wait for answers may last when the own endpoint could not join the wait set:
// its notifications are then looked for between waits.
constexpr int kOwnPollMs = 10;

// Handles the events of one wait for answers: hang-ups of connections, and this process's own
// incoming notifications. Peers made again to be waited for join `waiting`.
void handle_wait_events(BroadcastState& s, Answers& a, std::vector<std::shared_ptr<Peer>>& waiting,
                        const Frame& frame, const epoll_event* events, int ready) {
  bool own_ready = false;
  for (int i = 0; i < ready; ++i) {
    const std::uint64_t tag = events[i].data.u64;
    if (tag == kOwnTag) own_ready = true;
    if (tag < kFirstPeerTag) continue;
    const std::shared_ptr<Peer> peer = find_tag(s, waiting, tag);
    if (!peer || peer->closed) continue;
    if ((events[i].events & EPOLLIN) != 0) read_outcomes(s, *peer);
    if ((events[i].events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) == 0) continue;
    const bool awaited = std::find(waiting.begin(), waiting.end(), peer) != waiting.end() &&
                         !answered(a, *peer, frame.seq);
    if (std::shared_ptr<Peer> next = hung_up(s, a, peer, awaited, frame)) waiting.push_back(next);
  }
  if (own_ready) dispatch_ready();
}

// Waits until every peer in `waiting` has answered `frame`, has closed its connection, or the
// deadline passes, handling this process's own incoming notifications meanwhile. Peers still
// silent then are marked hung for the whole session.
void collect_answers(BroadcastState& s, Answers& a, std::vector<std::shared_ptr<Peer>> waiting,
                     const Frame& frame) {
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(broadcast_deadline_ms());
  const bool dispatch = s.depth <= kMaxDispatchDepth;
  const bool own_watched = watch_own(a, dispatch ? endpoint_event_fd() : -1);
  epoll_event events[16];
  for (;;) {
    std::erase_if(waiting,
                  [&](const std::shared_ptr<Peer>& p) { return answered(a, *p, frame.seq); });
    if (waiting.empty()) return;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    if (!own_watched) left = std::min<long long>(left, kOwnPollMs);
    const int ready = syscalls().epoll_wait(a.wait_fd.get(), events, 16, static_cast<int>(left));
    if (!own_watched) dispatch_ready();
    // EINTR or timeout: the loop re-checks the deadline.
    if (ready > 0) handle_wait_events(s, a, waiting, frame, events, ready);
  }
  for (const auto& peer : waiting) {
    if (peer->closed) continue;
    peer->page()->hung.store(1, std::memory_order_relaxed);
    note_not_answering(s);
  }
}

// Whether a broadcast may start now; false, with the reason recorded, when it may not. One look
// at the directory (under the caller's CheckedScope) serves the whole broadcast.
bool may_broadcast(BroadcastState& s, SessionPtr& dir, SendLockHold& hold) {
  if (s.owner != own_pid()) {
    // A forked child starts afresh rather than share its parent's connections.
    reset(s);
    s.owner = own_pid();
  }
  bool reattached = false;
  dir = current_session(&reattached);
  if (!dir) return false;
  // The text this broadcast announces went into an area that has just been found orphaned.
  if (reattached) {
    set_last_error(ESTALE, "session directory " + dir->path + " was replaced");
    return false;
  }
  hold = send_lock_hold();
  if (hold.lost) {
    set_last_error(ESTALE, "send lock taken over by another copy");
    return false;
  }
  return true;
}

// The peers to wait for: every one with an answer slot that is not marked hung, each marked
// awaited for `seq`; the hung ones go to *skipped. Those without a slot cannot hear this process
// and are counted unreached; *without_slot says how many.
std::vector<std::shared_ptr<Peer>> choose_awaited(BroadcastState& s, Answers* answers,
                                                  std::uint64_t seq, bool awaiting,
                                                  int* without_slot,
                                                  std::vector<std::shared_ptr<Peer>>* skipped) {
  std::vector<std::shared_ptr<Peer>> waiting;
  for (const auto& [id, peer] : s.peers) {
    if (peer->closed) continue;
    peer->resent = false;
    if (!peer->awaitable || answers == nullptr) {
      ++*without_slot;
      note_unreached(s, answers == nullptr ? last_error() : EMLINK,
                     answers == nullptr ? "no acknowledgement page"
                                        : "more peers than acknowledgement slots (" +
                                              std::to_string(kAckSlots) + ")");
    } else if (hung(*peer)) {
      skipped->push_back(peer);
    } else if (awaiting) {
      await(*answers, *peer, seq);
      waiting.push_back(peer);
    }
  }
  return waiting;
}

// Writes every notification descriptor that has receivers once. The receivers of one that
// cannot be written are counted as not reached and leave `waiting`, their count taken off.
void wake_receivers(BroadcastState& s, Answers& a, std::vector<std::shared_ptr<Peer>>& waiting,
                    const Frame& frame) {
  const std::uint64_t one = 1;
  for (std::size_t group = 0; group < a.notify_fds.size(); ++group) {
    const NotifyGroup& g = a.notify_fds[group];
    if (g.members == 0 ||
        retry_eintr([&] { return syscalls().write(g.fd.get(), &one, sizeof one); }) == sizeof one) {
      continue;
    }
    const int error = errno;
    std::erase_if(waiting, [&](const std::shared_ptr<Peer>& p) {
      if (!p->grouped || p->group != group) return false;
      note_unreached(s, error, "notification descriptor not written");
      count_down(*a.page(), frame.index, frame.seq);
      return true;
    });
  }
}

// Publishes the frame in the ring, wakes every receiver with one write per kPeersPerNotifyFd
// of them and waits for the answers of `waiting`, counted in the frame's count word.
void notify_and_wait(BroadcastState& s, Answers& a, std::vector<std::shared_ptr<Peer>> waiting,
                     const Frame& frame) {
  if (!waiting.empty()) {
    a.page()->pending[frame.index].store(((frame.seq & 0xFFFFFFFFu) << 32) | waiting.size(),
                                         std::memory_order_release);
  }
  publish_entry(*a.page(), frame);
  wake_receivers(s, a, waiting, frame);
  const std::vector<std::shared_ptr<Peer>> waited = waiting;
  collect_answers(s, a, std::move(waiting), frame);
  read_queued_outcomes(s, a, waited);
}

// Ends the broadcast: 1 when every copy was reached; else -1, with how many were not and why.
// `listed` of the unreached copies are in the peer list too (no slot, not answering).
long finish(BroadcastState& s, int outer_unreached, int listed) {
  const int unreached = s.unreached;
  const int total = static_cast<int>(s.peers.size()) + unreached - listed;
  s.unreached = outer_unreached;
  s.last_unreached = unreached;
  if (unreached == 0) return 1;
  const std::string why =
      s.unreached_why.empty() ? std::strerror(s.unreached_error) : s.unreached_why;
  set_last_error(s.unreached_error, "",
                 std::to_string(unreached) + " of " + std::to_string(total) +
                     (total == 1 ? " copy" : " copies") + " not reached: " + why);
  return -1;
}

}  // namespace

long broadcast(std::uint32_t msg, std::uint64_t wparam, std::int64_t lparam) {
  BroadcastState& s = broadcast_state();
  s.last_unreached = 0;  // a broadcast that fails before it sends reports none
  const CheckedScope scope;
  SessionPtr dir;
  SendLockHold hold;
  if (!may_broadcast(s, dir, hold)) return -1;
  const DepthGuard depth(s);
  raise_open_file_limit();
  const int outer_unreached = s.unreached;  // a broadcast nested in this one counts its own
  const int outer_listed = std::exchange(s.unreached_listed, 0);
  s.unreached = 0;
  s.dir = dir;
  if (!refresh_peers(s, *dir)) {
    s.unreached = outer_unreached;
    s.unreached_listed = outer_listed;
    return -1;
  }
  // Broadcasts nested deeper than the page has count words are published but not waited for.
  const auto word = static_cast<std::uint32_t>(s.depth - 1);
  const bool awaiting = word < kCountWords;
  Frame frame;
  frame.kind = FrameKind::kNotify;
  frame.seq = ++s.last_seq;
  frame.msg = message_id_out(msg, *dir);
  frame.wparam = wparam;
  frame.lparam = lparam;
  frame.hold = hold.hold;
  frame.index = awaiting ? word : 0;
  // Receivers that read this notification late judge it against the last hold that broadcast
  // the same message, so it is written before any of them can see the frame.
  record_broadcast(frame.msg, hold.hold);
  Answers* a = s.peers.empty() ? nullptr : answers(s);
  int without_slot = 0;
  std::vector<std::shared_ptr<Peer>> skipped;
  std::vector<std::shared_ptr<Peer>> waiting =
      choose_awaited(s, a, frame.seq, awaiting, &without_slot, &skipped);
  if (a != nullptr && static_cast<int>(s.peers.size()) > without_slot) {
    notify_and_wait(s, *a, std::move(waiting), frame);
  }
  // Looked at last, so that one which woke meanwhile counts as reached.
  for (const auto& peer : skipped) note_if_still_hung(s, *peer);
  count_outcomes(s, frame.seq);
  const int listed = std::exchange(s.unreached_listed, outer_listed);
  return finish(s, outer_unreached, without_slot + listed);
}

int last_broadcast_unreached() { return broadcast_state().last_unreached; }

void forget_unreached() { broadcast_state().last_unreached = 0; }

}  // namespace mmfcast::platform::os
