// The receiving side of broadcasts on POSIX. A process with at least one top-level window listens
// on a Unix-domain SOCK_SEQPACKET socket "peer-<pid>.sock" in the session directory; one epoll
// descriptor covers the listener and every accepted connection, so any event loop can watch it.
// Each notification frame is handed to every window on the calling thread and answered with a
// reply frame. Connections from another user are closed unread; a bad frame closes its connection.
// Delivery state belongs to the thread that handles messages and is not locked.
#include "platform/session_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "platform/frame_posix.h"
#include "platform/syscalls_posix.h"

namespace platform::posix {
namespace {

constexpr int kListenBacklog = 64;
constexpr std::size_t kMaxInbound = 256;     // accepted connections kept at once
constexpr int kMaxFramesPerDispatch = 4096;  // bounds one dispatch_pending call
constexpr std::uint64_t kListenerId = 0;

struct Inbound {
  int fd = -1;
  bool closed = false;
};

struct Endpoint {
  int listen_fd = -1;
  int epoll_fd = -1;
  std::string path;
  dev_t dev = 0;
  ino_t ino = 0;
  std::uint64_t next_id = 1;
  std::map<std::uint64_t, std::shared_ptr<Inbound>> inbound;
};

Endpoint& endpoint() {
  static Endpoint* instance = new Endpoint;  // outlives exit-time callers
  return *instance;
}

// What the exit handler needs, kept in plain storage that exit-time destruction cannot touch.
struct ExitRecord {
  pid_t pid = 0;
  dev_t dev = 0;
  ino_t ino = 0;
  char path[4096] = {};
};
ExitRecord exit_record;

// Removes the endpoint file only if it is still the socket this process bound.
void unlink_if_ours(const char* path, dev_t dev, ino_t ino) {
  struct stat st {};
  if (syscalls().lstat(path, &st) == 0 && st.st_dev == dev && st.st_ino == ino)
    syscalls().unlink(path);
}

void remove_endpoint_at_exit() {
  if (exit_record.pid != getpid() || exit_record.path[0] == '\0') return;
  unlink_if_ours(exit_record.path, exit_record.dev, exit_record.ino);
}

void close_inbound(std::uint64_t id) {
  Endpoint& e = endpoint();
  auto found = e.inbound.find(id);
  if (found == e.inbound.end()) return;
  syscalls().epoll_ctl(e.epoll_fd, EPOLL_CTL_DEL, found->second->fd, nullptr);
  syscalls().close(found->second->fd);
  found->second->closed = true;
  e.inbound.erase(found);
}

void accept_pending() {
  Endpoint& e = endpoint();
  for (int accepted = 0; accepted < kListenBacklog; ++accepted) {
    const int fd = syscalls().accept4(e.listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;
    }
    if (!peer_is_same_user(fd) || e.inbound.size() >= kMaxInbound) {
      syscalls().close(fd);
      continue;
    }
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
    e.inbound.emplace(id, std::move(conn));
  }
}

// Hands one notification to every window through its current procedure; the result is the last
// window's. Windows created while it runs do not get it, windows destroyed meanwhile are skipped.
platform::LResult deliver(const Frame& frame) {
  platform::LResult result = 0;
  for (platform::Hwnd hwnd : window_list()) {
    platform::WndProc proc = window_proc(hwnd);
    if (proc == nullptr) continue;
    result = proc(hwnd, frame.msg, static_cast<platform::WParam>(frame.wparam),
                  static_cast<platform::LParam>(frame.value));
  }
  return result;
}

// Reads and handles at most one frame of the connection; returns 1 if a notification was handled.
int serve_one(std::uint64_t id) {
  Endpoint& e = endpoint();
  auto found = e.inbound.find(id);
  if (found == e.inbound.end()) return 0;
  std::shared_ptr<Inbound> conn = found->second;

  std::uint8_t buffer[kFrameSize];
  const ssize_t got = recv_record(conn->fd, buffer, sizeof buffer);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
  std::optional<Frame> frame;
  if (got == static_cast<ssize_t>(kFrameSize)) frame = decode_frame(buffer);
  if (!frame || frame->kind != FrameKind::kNotify) {
    close_inbound(id);
    return 0;
  }

  const platform::LResult result = deliver(*frame);
  // The procedure may have closed the endpoint, or a nested dispatch this connection.
  if (conn->closed) return 1;
  Frame reply = *frame;
  reply.kind = FrameKind::kReply;
  reply.wparam = 0;
  reply.value = result;
  const FrameBytes bytes = encode_frame(reply);
  const ssize_t sent = send_record(conn->fd, bytes.data(), bytes.size());
  if (sent != static_cast<ssize_t>(bytes.size())) close_inbound(id);
  return 1;
}

}  // namespace

std::optional<SessionDir> open_session_dir() {
  std::optional<std::string> path = session_dir();
  if (!path) return std::nullopt;
  UniqueFd fd(syscalls().open(path->c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0));
  if (!fd.valid()) return std::nullopt;
  return SessionDir{std::move(fd), std::move(*path)};
}

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
  return credentials.uid == geteuid();
}

ssize_t recv_record(int fd, void* buffer, std::size_t size) {
  iovec part{buffer, size};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  ssize_t got = 0;
  do {
    got = syscalls().recvmsg(fd, &message, MSG_DONTWAIT | MSG_TRUNC);
  } while (got < 0 && errno == EINTR);
  return got;
}

ssize_t send_record(int fd, const void* buffer, std::size_t size) {
  iovec part{const_cast<void*>(buffer), size};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  ssize_t sent = 0;
  do {
    sent = syscalls().sendmsg(fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent;
}

int dispatch_ready() {
  int handled = 0;
  for (int rounds = 0; rounds < kMaxFramesPerDispatch; ++rounds) {
    Endpoint& e = endpoint();
    if (e.epoll_fd < 0) break;
    epoll_event events[16];
    const int n = syscalls().epoll_wait(e.epoll_fd, events, 16, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (int i = 0; i < n; ++i) {
      if (endpoint().epoll_fd < 0) break;
      if (events[i].data.u64 == kListenerId) {
        accept_pending();
      } else {
        handled += serve_one(events[i].data.u64);
      }
    }
  }
  return handled;
}

bool endpoint_is_open() { return endpoint().listen_fd >= 0; }

bool open_endpoint() {
  Endpoint& e = endpoint();
  if (e.listen_fd >= 0) return true;
  std::optional<SessionDir> dir = open_session_dir();
  if (!dir) return false;

  const std::string name = "peer-" + std::to_string(getpid()) + ".sock";
  const std::string path = dir->file(name);
  sockaddr_un address{};
  socklen_t address_length = 0;
  if (!socket_address(*dir, name, address, address_length)) return false;

  const int fd = syscalls().socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  // A file of this name can only be left over by an earlier process that had this pid.
  syscalls().unlink(path.c_str());
  struct stat st {};
  if (syscalls().bind(fd, reinterpret_cast<const sockaddr*>(&address), address_length) != 0 ||
      syscalls().listen(fd, kListenBacklog) != 0 || syscalls().lstat(path.c_str(), &st) != 0) {
    syscalls().close(fd);
    return false;
  }
  const int epoll_fd = syscalls().epoll_create1(EPOLL_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kListenerId;
  if (epoll_fd < 0 || syscalls().epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &ev) != 0) {
    if (epoll_fd >= 0) syscalls().close(epoll_fd);
    unlink_if_ours(path.c_str(), st.st_dev, st.st_ino);
    syscalls().close(fd);
    return false;
  }

  e.listen_fd = fd;
  e.epoll_fd = epoll_fd;
  e.path = path;
  e.dev = st.st_dev;
  e.ino = st.st_ino;
  if (path.size() < sizeof exit_record.path) {
    static const bool registered = std::atexit(remove_endpoint_at_exit) == 0;
    (void)registered;
    exit_record.pid = getpid();
    exit_record.dev = st.st_dev;
    exit_record.ino = st.st_ino;
    std::memcpy(exit_record.path, path.c_str(), path.size() + 1);
  }
  return true;
}

void close_endpoint() {
  Endpoint& e = endpoint();
  if (e.listen_fd < 0) return;
  while (!e.inbound.empty()) close_inbound(e.inbound.begin()->first);
  unlink_if_ours(e.path.c_str(), e.dev, e.ino);
  syscalls().close(e.listen_fd);
  syscalls().close(e.epoll_fd);
  e.listen_fd = -1;
  e.epoll_fd = -1;
  e.path.clear();
  exit_record.path[0] = '\0';
}

}  // namespace platform::posix

namespace platform {

int event_fd() { return posix::endpoint().epoll_fd; }

void dispatch_pending() { posix::dispatch_ready(); }

int pump_messages(int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  if (posix::endpoint().epoll_fd < 0) return -1;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  int handled = 0;
  for (;;) {
    handled += posix::dispatch_ready();
    if (handled > 0 || timeout_ms == 0) return handled;
    int wait_ms = -1;
    if (timeout_ms > 0) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return handled;
      wait_ms = static_cast<int>(left);
    }
    const int fd = posix::endpoint().epoll_fd;
    if (fd < 0) return handled;
    pollfd watch{fd, POLLIN, 0};
    posix::syscalls().poll(&watch, 1, wait_ms);
  }
}

}  // namespace platform
