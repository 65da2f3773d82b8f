// Internal interface of the POSIX session layer: the window table opens the delivery endpoint
// with the first top-level window and closes it with the last; delivery hands each notification
// to the windows through the procedures they have at that moment; broadcast and delivery share
// the session-directory and peer-credential helpers.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix_internal.h"

namespace platform::posix {

// The checked session directory, held open for one operation so that sockets whose paths are
// too long for sun_path can be reached through /proc/self/fd.
struct SessionDir {
  UniqueFd fd;
  std::string path;

  std::string file(const std::string& name) const { return path + "/" + name; }
};

// The session directory if it passes the ownership and mode checks, opened; nullopt otherwise.
std::optional<SessionDir> open_session_dir();

// The address of the socket `name` in the directory. Paths too long for sun_path are reached
// through /proc/self/fd, which the directory descriptor keeps valid.
bool socket_address(const SessionDir& dir, const std::string& name, sockaddr_un& address,
                    socklen_t& length);

// True when the process at the other end of the connected socket runs as our effective user.
bool peer_is_same_user(int fd);

// Creates this process's endpoint in the session directory; false when it cannot.
bool open_endpoint();
// Closes the endpoint and every connection accepted on it, and removes its file.
void close_endpoint();
bool endpoint_is_open();
// Handles every notification that can be read now; returns how many were handled.
int dispatch_ready();

// The top-level windows of this process, oldest first.
std::vector<platform::Hwnd> window_list();
// The window's current procedure, or null when the window no longer exists.
platform::WndProc window_proc(platform::Hwnd hwnd);

// One datagram of a SOCK_SEQPACKET socket, without waiting and retried on EINTR. recv_record
// returns the record's full length even when it did not fit (so oversized records show).
ssize_t recv_record(int fd, void* buffer, std::size_t size);
ssize_t send_record(int fd, const void* buffer, std::size_t size);

}  // namespace platform::posix
