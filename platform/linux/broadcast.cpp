// BroadcastSystemMessage on Linux: sends one notification frame to the endpoint of every other
// process of the session and waits, against one deadline for all of them, until each awaited
// receiver has answered in this process's acknowledgement page; the last one to answer wakes
// it through an eventfd, so a broadcast costs one wake-up whatever the number of receivers.
// A receiver still silent at the deadline is marked hung in its state page, where every other
// sender sees it and stops waiting for it until it handles notifications again. While waiting
// the sender keeps handling notifications for its own windows, as a Windows thread blocked in
// SendMessage handles incoming sent messages, so two processes that broadcast to each other
// both finish. Connections and the peer list are kept across broadcasts; the directory is
// listed again only when it has changed.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/frame.h"
#include "platform/linux/syscalls.h"
#include "platform/linux/transport.h"
#include "platform/platform.h"

namespace mmfcast::platform::os {
namespace {

using Clock = std::chrono::steady_clock;

// Broadcasts nested deeper than this (procedures broadcasting from within a delivery) stop
// handling incoming notifications while they wait, so the nesting cannot grow without bound;
// each level has a count word of its own in the acknowledgement page.
constexpr int kMaxDispatchDepth = static_cast<int>(kCountWords) - 1;
// A listing made this soon after the directory's last change is repeated on the next
// broadcast: an entry added within the same tick of the file system's clock leaves the
// modification time as it was.
constexpr long kSettleNs = 50'000'000;

struct Peer {
  EndpointId id{};
  std::string socket_path;
  std::string state_path;
  struct stat socket_st {};
  struct stat state_st {};
  int fd = -1;
  int state_fd = -1;
  PeerState* state = nullptr;
  int guard = -1;  // the state page's slot among the regions guarded against truncation
  std::uint32_t slot = 0;
  bool awaitable = false;  // has a slot in the acknowledgement page
  bool closed = false;
};

// This process's acknowledgement page and wake-up descriptor, handed to every receiver.
struct Answers {
  UniqueFd page_fd;
  UniqueFd wake_fd;
  AckPage* page = nullptr;
  std::vector<std::uint32_t> free_slots;
  std::uint32_t next_slot = 0;
};

struct BroadcastState {
  pid_t owner = 0;
  std::uint64_t epoch = 0;  // of the session directory the peers belong to
  struct timespec listed_mtime {};
  bool settled = false;  // the listing is known to show the directory as it still is
  std::map<EndpointId, std::shared_ptr<Peer>> peers;
  std::unique_ptr<Answers> answers;
  std::uint64_t last_seq = 0;
  int depth = 0;
};

BroadcastState& broadcast_state() { return process_wide<BroadcastState>(); }

void close_peer(Peer& peer) {
  if (peer.closed) return;
  peer.closed = true;
  if (peer.fd >= 0) syscalls().close(peer.fd);
  unguard_region(std::exchange(peer.guard, -1));
  if (peer.state != nullptr) syscalls().munmap(peer.state, kStatePageSize);
  if (peer.state_fd >= 0) syscalls().close(peer.state_fd);
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

void drop(const std::shared_ptr<Peer>& peer, bool check_owner) {
  if (check_owner && !peer->closed && owner_gone(peer->state_fd)) {
    unlink_if_same(peer->socket_path, peer->socket_st.st_dev, peer->socket_st.st_ino);
    unlink_if_same(peer->state_path, peer->state_st.st_dev, peer->state_st.st_ino);
  }
  close_peer(*peer);
  auto& peers = broadcast_state().peers;
  auto found = peers.find(peer->id);
  if (found != peers.end() && found->second == peer) peers.erase(found);
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
  a->page_fd.reset(sys.memfd_create("mmfcast-answers", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  a->wake_fd.reset(sys.eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!a->page_fd.valid() || !a->wake_fd.valid()) return nullptr;
  try {
    reserve_blocks(a->page_fd.get(), kAckPageSize, "acknowledgement page");
  } catch (const OsError&) {
    return nullptr;
  }
  if (sys.fcntl(a->page_fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
    return nullptr;
  }
  void* page =
      sys.mmap(nullptr, kAckPageSize, PROT_READ | PROT_WRITE, MAP_SHARED, a->page_fd.get(), 0);
  if (page == MAP_FAILED) return nullptr;
  a->page = static_cast<AckPage*>(page);  // stays mapped for the life of the process
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
  } catch (const OsError&) {
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

// A connection to the endpoint, introduced with this process's acknowledgement page; null when
// it is not a live endpoint of ours (a dead one's files are removed) or cannot take a
// connection now.
std::shared_ptr<Peer> connect_peer(const SessionDir& dir, const EndpointId& id) {
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
  peer->state_fd = open_state_file(peer->state_path, peer->state_st);
  if (peer->state_fd < 0) return nullptr;
  void* page =
      sys.mmap(nullptr, kStatePageSize, PROT_READ | PROT_WRITE, MAP_SHARED, peer->state_fd, 0);
  if (page == MAP_FAILED) {
    sys.close(peer->state_fd);
    return nullptr;
  }
  peer->state = static_cast<PeerState*>(page);
  peer->guard = guard_region(page, kStatePageSize);  // before the first read of it
  if (!state_is_valid(*peer->state)) {
    close_peer(*peer);
    return nullptr;
  }

  sockaddr_un address{};
  socklen_t length = 0;
  peer->fd = socket_address(dir, name, address, length)
                 ? sys.socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)
                 : -1;
  if (peer->fd < 0) {
    close_peer(*peer);
    return nullptr;
  }
  const int rc = retry_eintr(
      [&] { return sys.connect(peer->fd, reinterpret_cast<const sockaddr*>(&address), length); });
  if (rc != 0) {
    // Refused: nobody listens any more. Full backlog (EAGAIN): it is not accepting now.
    if (errno == ECONNREFUSED) {
      drop(peer, true);
    } else {
      close_peer(*peer);
    }
    return nullptr;
  }
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
    }
  }
  if (peer->awaitable) {
    Frame hello;
    hello.kind = FrameKind::kHello;
    hello.index = peer->slot;
    const FrameBytes bytes = encode_frame(hello);
    const int fds[2] = {a->page_fd.get(), a->wake_fd.get()};
    if (send_record(peer->fd, bytes.data(), bytes.size(), fds, 2) !=
        static_cast<ssize_t>(bytes.size())) {
      close_peer(*peer);
      return nullptr;
    }
  }
  return peer;
}

// Brings the peer list in line with the directory when it may have changed since the last
// listing: connects to new endpoints, drops those that went away, clears up abandoned ones.
void refresh_peers(const SessionDir& dir, const struct timespec& mtime) {
  BroadcastState& s = broadcast_state();
  if (s.epoch == dir.epoch && s.settled && mtime.tv_sec == s.listed_mtime.tv_sec &&
      mtime.tv_nsec == s.listed_mtime.tv_nsec) {
    return;
  }
  if (s.epoch != dir.epoch) reset(s);
  s.epoch = dir.epoch;
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  const long long age_ns = (static_cast<long long>(now.tv_sec) - mtime.tv_sec) * 1'000'000'000LL +
                           (now.tv_nsec - mtime.tv_nsec);
  DIR* stream = syscalls().opendir(dir.path.c_str());
  if (stream == nullptr) return;  // tried again next time
  s.listed_mtime = mtime;
  s.settled = age_ns > kSettleNs;

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

// Waits until every peer in `waiting` has answered `seq`, has closed its connection, or the
// deadline passes, handling this process's own incoming notifications meanwhile. Peers still
// silent then are marked hung for the whole session.
void collect_answers(Answers& a, std::vector<std::shared_ptr<Peer>> waiting, std::uint64_t seq) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kBroadcastDeadlineMs);
  const bool dispatch = broadcast_state().depth <= kMaxDispatchDepth;
  std::vector<pollfd> watch;
  for (;;) {
    std::erase_if(waiting, [&](const std::shared_ptr<Peer>& p) { return answered(a, *p, seq); });
    if (waiting.empty()) return;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;

    // The wake-up first, then each peer for hang-ups only (they never write), then our own.
    watch.clear();
    watch.push_back({a.wake_fd.get(), POLLIN, 0});
    for (const auto& peer : waiting) watch.push_back({peer->fd, 0, 0});
    const int own = dispatch ? event_fd() : -1;
    if (own >= 0) watch.push_back({own, POLLIN, 0});
    const int ready = syscalls().poll(watch.data(), watch.size(), static_cast<int>(left.count()));
    if (ready <= 0) continue;  // EINTR or timeout: the loop re-checks the deadline

    if (watch[0].revents != 0) {
      std::uint64_t count = 0;
      syscalls().read(a.wake_fd.get(), &count, sizeof count);
    }
    for (std::size_t i = 0; i < waiting.size(); ++i) {
      if (watch[i + 1].revents != 0 && !answered(a, *waiting[i], seq)) drop(waiting[i], true);
    }
    if (own >= 0 && watch.back().revents != 0) dispatch_ready();
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
  if (flags != kBsfIgnoreCurrentTask || lpInfo == nullptr || (*lpInfo & kBsmApplications) == 0) {
    os::set_last_error(EINVAL, "broadcast",
                       "only BSF_IGNORECURRENTTASK to BSM_APPLICATIONS is supported");
    return -1;
  }
  os::BroadcastState& s = os::broadcast_state();
  if (s.owner != os::own_pid()) {
    // A forked child starts afresh rather than share its parent's connections.
    os::reset(s);
    s.owner = os::own_pid();
  }
  struct timespec mtime {};
  bool reattached = false;
  const os::SessionPtr dir = os::current_session(&mtime, &reattached);
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
  os::refresh_peers(*dir, mtime);
  const std::uint64_t seq = ++s.last_seq;
  const auto word = static_cast<std::uint32_t>(s.depth - 1);
  os::Answers* answers = word < os::kCountWords ? os::answers() : nullptr;
  if (answers != nullptr) {
    answers->page->pending[word].store(((seq & 0xFFFFFFFFu) << 32) | os::kPendingUnsent,
                                       std::memory_order_release);
  }
  os::Frame frame;
  frame.kind = os::FrameKind::kNotify;
  frame.seq = seq;
  frame.msg = os::message_id_out(msg, *dir);
  frame.wparam = wParam;
  frame.lparam = lParam;
  frame.hold = hold.hold;
  frame.index = answers != nullptr ? word : 0;

  std::vector<std::shared_ptr<os::Peer>> waiting;
  std::vector<std::shared_ptr<os::Peer>> peers;
  peers.reserve(s.peers.size());
  for (const auto& entry : s.peers) peers.push_back(entry.second);
  for (const auto& peer : peers) {
    if (peer->closed) continue;
    const bool awaited = answers != nullptr && peer->awaitable &&
                         peer->state->hung.load(std::memory_order_relaxed) == 0;
    frame.flags = awaited ? os::kAwaited : 0;
    const os::FrameBytes bytes = os::encode_frame(frame);
    const ssize_t sent = os::send_record(peer->fd, bytes.data(), bytes.size());
    if (sent != static_cast<ssize_t>(bytes.size())) {
      // A full queue belongs to a receiver that is not reading: it is simply not sent to.
      if (errno != EAGAIN && errno != EWOULDBLOCK) os::drop(peer, true);
      continue;
    }
    if (awaited) waiting.push_back(peer);
  }
  if (answers != nullptr) {
    answers->page->pending[word].fetch_sub(os::kPendingUnsent - waiting.size(),
                                           std::memory_order_acq_rel);
    os::collect_answers(*answers, std::move(waiting), seq);
  }
  return 1;
}

}  // namespace mmfcast::platform
