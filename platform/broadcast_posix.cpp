// BroadcastSystemMessage on POSIX: sends one notification frame to the endpoint of every other
// process of the session, then collects the replies against one deadline for all of them. While
// waiting it keeps handling notifications for this process's own windows, as a Windows thread
// blocked in SendMessage handles incoming sent messages, so two processes that broadcast to each
// other both finish. Connections to peers are cached by endpoint path across broadcasts.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/frame_posix.h"
#include "platform/platform.h"
#include "platform/session_posix.h"
#include "platform/syscalls_posix.h"

namespace platform::posix {
namespace {

using Clock = std::chrono::steady_clock;

// How long one broadcast waits for all replies together.
constexpr std::chrono::milliseconds kReplyDeadline{1000};
// Notifications a peer may owe replies for; past that it is sent nothing until it catches up.
constexpr std::size_t kMaxOutstanding = 16;
// Broadcasts nested deeper than this (procedures broadcasting from within a delivery) stop
// handling incoming notifications while they wait, so the nesting cannot grow without bound.
constexpr int kMaxDispatchDepth = 8;

struct Peer {
  std::string path;
  ino_t ino = 0;
  int fd = -1;
  std::set<std::uint64_t> outstanding;  // notifications sent and not yet answered
  bool hung = false;                    // missed a deadline and has not answered since
  bool closed = false;
};

struct BroadcastState {
  std::map<std::string, std::shared_ptr<Peer>> peers;  // keyed by endpoint path
  std::uint64_t last_seq = 0;
  int depth = 0;
};

BroadcastState& state() {
  static BroadcastState* instance = new BroadcastState;  // outlives exit-time callers
  return *instance;
}

void drop(const std::shared_ptr<Peer>& peer) {
  if (!peer->closed) {
    syscalls().close(peer->fd);
    peer->closed = true;
  }
  auto& peers = state().peers;
  auto found = peers.find(peer->path);
  if (found != peers.end() && found->second == peer) peers.erase(found);
}

// The pid encoded in an endpoint name "peer-<pid>.sock", or 0 when the name is not one.
pid_t endpoint_pid(const char* name) {
  const std::string_view text(name);
  constexpr std::string_view kPrefix = "peer-", kSuffix = ".sock";
  if (text.size() <= kPrefix.size() + kSuffix.size() || !text.starts_with(kPrefix) ||
      !text.ends_with(kSuffix)) {
    return 0;
  }
  const std::string_view digits =
      text.substr(kPrefix.size(), text.size() - kPrefix.size() - kSuffix.size());
  pid_t pid = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
  if (error != std::errc() || end != digits.data() + digits.size() || pid <= 0) return 0;
  return pid;
}

struct Listed {
  std::string name;
  ino_t ino;
};

// The other processes' endpoints in the session directory.
std::vector<Listed> list_endpoints(const SessionDir& dir) {
  std::vector<Listed> out;
  DIR* stream = opendir(dir.path.c_str());
  if (stream == nullptr) return out;
  const pid_t self = getpid();
  while (const dirent* entry = readdir(stream)) {
    const pid_t pid = endpoint_pid(entry->d_name);
    if (pid == 0 || pid == self) continue;
    out.push_back({entry->d_name, entry->d_ino});
  }
  closedir(stream);
  return out;
}

// Removes an endpoint nobody listens on any more, if it is still the file that refused us.
void remove_dead_endpoint(const SessionDir& dir, const std::string& name, const struct stat& seen) {
  struct stat now {};
  const std::string path = dir.file(name);
  if (syscalls().lstat(path.c_str(), &now) != 0) return;
  if (now.st_dev != seen.st_dev || now.st_ino != seen.st_ino || now.st_uid != geteuid()) return;
  syscalls().unlink(path.c_str());
}

// A connection to the endpoint, or null when it is not ours, is dead (then its file goes) or
// cannot take a connection now.
std::shared_ptr<Peer> connect_peer(const SessionDir& dir, const Listed& listed) {
  const std::string& name = listed.name;
  struct stat st {};
  if (syscalls().lstat(dir.file(name).c_str(), &st) != 0) return nullptr;
  if (!S_ISSOCK(st.st_mode) || st.st_uid != geteuid()) return nullptr;
  sockaddr_un address{};
  socklen_t length = 0;
  if (!socket_address(dir, name, address, length)) return nullptr;

  const int fd = syscalls().socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  int rc = 0;
  do {
    rc = syscalls().connect(fd, reinterpret_cast<const sockaddr*>(&address), length);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int error = errno;
    syscalls().close(fd);
    if (error == ECONNREFUSED) remove_dead_endpoint(dir, name, st);
    return nullptr;  // EAGAIN: its backlog is full, so it is not accepting; try next time
  }
  if (!peer_is_same_user(fd)) {
    syscalls().close(fd);
    return nullptr;
  }
  auto peer = std::make_shared<Peer>();
  peer->path = dir.file(name);
  peer->ino = listed.ino;  // as readdir reports it, which the next scan compares with
  peer->fd = fd;
  return peer;
}

// Reads every reply waiting on the connection. A reply to nothing we sent, or a bad frame,
// ends the connection.
void read_replies(const std::shared_ptr<Peer>& peer) {
  while (!peer->closed) {
    std::uint8_t buffer[kFrameSize];
    const ssize_t got = recv_record(peer->fd, buffer, sizeof buffer);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    std::optional<Frame> frame;
    if (got == static_cast<ssize_t>(kFrameSize)) frame = decode_frame(buffer);
    if (!frame || frame->kind != FrameKind::kReply || peer->outstanding.erase(frame->seq) == 0) {
      drop(peer);
      return;
    }
    peer->hung = false;  // any answer shows it is handling notifications again
  }
}

// Brings the cache in line with the directory: drops peers whose endpoint went away or was
// replaced, connects to new ones. Returns the peers to send to.
std::vector<std::shared_ptr<Peer>> refresh_peers(const SessionDir& dir) {
  BroadcastState& s = state();
  std::map<std::string, std::shared_ptr<Peer>> kept;
  std::vector<std::shared_ptr<Peer>> out;
  for (const Listed& listed : list_endpoints(dir)) {
    const std::string path = dir.file(listed.name);
    std::shared_ptr<Peer> peer;
    if (auto found = s.peers.find(path); found != s.peers.end()) {
      peer = found->second;
      // Late answers let a hung peer rejoin; an end of stream shows a peer that has gone.
      if (peer->ino == listed.ino) read_replies(peer);
      if (peer->ino != listed.ino || peer->closed) {
        drop(peer);
        peer = nullptr;
      }
    }
    if (!peer) peer = connect_peer(dir, listed);
    if (peer) {
      kept.emplace(path, peer);
      out.push_back(peer);
    }
  }
  for (auto& [path, peer] : s.peers) {
    if (!kept.contains(path) && !peer->closed) {
      syscalls().close(peer->fd);
      peer->closed = true;
    }
  }
  s.peers = std::move(kept);
  return out;
}

bool awaits(const Peer& peer, std::uint64_t seq) {
  return !peer.closed && peer.outstanding.contains(seq);
}

class DepthGuard {
 public:
  DepthGuard() { ++state().depth; }
  ~DepthGuard() { --state().depth; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;
};

// Waits until every peer in `waiting` has answered `seq` or the deadline passes, handling this
// process's own incoming notifications meanwhile. Peers still silent then are marked hung.
void collect_replies(std::vector<std::shared_ptr<Peer>> waiting, std::uint64_t seq) {
  const Clock::time_point deadline = Clock::now() + kReplyDeadline;
  const bool dispatch = state().depth <= kMaxDispatchDepth;
  std::vector<pollfd> watch;
  for (;;) {
    std::erase_if(waiting, [seq](const std::shared_ptr<Peer>& p) { return !awaits(*p, seq); });
    if (waiting.empty()) return;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;

    watch.clear();
    for (const auto& peer : waiting) watch.push_back({peer->fd, POLLIN, 0});
    const int own = dispatch ? event_fd() : -1;
    if (own >= 0) watch.push_back({own, POLLIN, 0});
    const int ready = syscalls().poll(watch.data(), watch.size(), static_cast<int>(left.count()));
    if (ready <= 0) continue;  // EINTR or timeout: the loop re-checks the deadline

    // Read replies before dispatching: a procedure may broadcast and change the cache.
    for (std::size_t i = 0; i < waiting.size(); ++i) {
      if (watch[i].revents != 0) read_replies(waiting[i]);
    }
    if (own >= 0 && watch.back().revents != 0) dispatch_ready();
  }
  for (const auto& peer : waiting) peer->hung = true;
}

}  // namespace
}  // namespace platform::posix

namespace platform {

long BroadcastSystemMessage(std::uint32_t flags, std::uint32_t* lpInfo, std::uint32_t msg,
                            WParam wParam, LParam lParam) {
  namespace px = platform::posix;
  if (flags != kBsfIgnoreCurrentTask) return -1;
  if (lpInfo == nullptr || (*lpInfo & kBsmApplications) == 0) return -1;
  std::optional<px::SessionDir> dir = px::open_session_dir();
  if (!dir) return -1;

  px::BroadcastState& s = px::state();
  px::DepthGuard depth;
  const std::uint64_t seq = ++s.last_seq;
  px::Frame frame;
  frame.kind = px::FrameKind::kNotify;
  frame.seq = seq;
  frame.msg = msg;
  frame.wparam = wParam;
  frame.value = lParam;
  const px::FrameBytes bytes = px::encode_frame(frame);

  std::vector<std::shared_ptr<px::Peer>> waiting;
  for (const auto& peer : px::refresh_peers(*dir)) {
    if (peer->outstanding.size() >= px::kMaxOutstanding) continue;
    const ssize_t sent = px::send_record(peer->fd, bytes.data(), bytes.size());
    if (sent != static_cast<ssize_t>(bytes.size())) {
      if (errno != EAGAIN && errno != EWOULDBLOCK) px::drop(peer);
      continue;
    }
    peer->outstanding.insert(seq);
    if (!peer->hung) waiting.push_back(peer);
  }
  px::collect_replies(std::move(waiting), seq);
  return 1;
}

}  // namespace platform
