// Internal interface of the Linux session transport: the window table opens the delivery
// endpoint with the first top-level window and closes it with the last; delivery hands each
// notification to the windows through the procedures they have at that moment; broadcast and
// delivery share the socket helpers and the send lock's view of holds. The design is described
// in docs/session-transport.md.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/linux/transport/frame.h"
#include "platform/linux/transport/internal.h"
#include "platform/platform.h"

namespace mmfcast::platform::os {

// The address of the socket `name` in the directory. Paths too long for sun_path are reached
// through /proc/self/fd, which the directory descriptor keeps valid.
bool socket_address(const SessionDir& dir, const std::string& name, sockaddr_un& address,
                    socklen_t& length);

// True when the process at the other end of the connected socket runs as our effective user.
bool peer_is_same_user(int fd);

// Creates and publishes this process's endpoint in the session directory; false when it cannot.
bool open_endpoint();
// Closes the endpoint and every connection accepted on it, and removes its files.
void close_endpoint();
bool endpoint_is_open();
// Counts the openings of the endpoint: event_fd() names another epoll set whenever it moved.
std::uint64_t endpoint_opens();
// How many notifications this process could not deliver (it read them too late, skipped them
// in a sender's ring, or found them damaged), and why the last one was missed ("" when none).
std::uint64_t notifications_missed();
const char* notifications_missed_reason();
// Why the endpoint, gone from the directory, could not be published again; "" while it is
// published. It keeps trying meanwhile.
std::string endpoint_problem();
// This process's endpoint id, when it has an endpoint.
std::optional<EndpointId> own_endpoint_id();
// The endpoint's epoll descriptor, readable while notifications wait; -1 without an endpoint.
int endpoint_event_fd();
// How many connections the endpoint has refused (see FrameKind::kRefuse).
std::uint64_t refused_connections();
// Handles every notification that can be read now; returns how many were handled.
int dispatch_ready();
// Waits up to timeout_ms (0: not at all, negative: without end) for notifications and handles
// them; returns how many were handled, -1 without an endpoint.
int pump(int timeout_ms);
// Whether the notification being delivered on this thread (none: true) still announces the text
// of its area, read before this call.
bool delivery_current();
// Records, for the sender of the notification being delivered on this thread, that `unreached`
// copies beyond this process were not reached, and why; the sender learns it with the answer.
// Does nothing outside a delivery, or for 0.
void set_delivery_outcome(std::uint32_t unreached, std::string_view reason);
// One wait of up to wait_ms (negative: without end) for the endpoint's events, and the handling
// of those that came. Returns the number of events (0 when none came, -1 without an endpoint)
// and adds the notifications delivered to the windows to *handled.
int dispatch_round(int wait_ms, int* handled);

// The top-level windows of this process, oldest first, with their procedures at the time of the
// list, and the count of changes to the table it was made at. A delivery makes one for every
// notification: a few windows are held in place, more go to the heap.
struct WindowList {
  using Entry = std::pair<platform::Hwnd, platform::WndProc>;
  static constexpr std::size_t kInPlace = 8;
  std::array<Entry, kInPlace> in_place{};
  std::vector<Entry> on_heap;
  std::size_t size = 0;
  std::uint64_t changes = 0;
  const Entry& operator[](std::size_t i) const {
    return size <= kInPlace ? in_place[i] : on_heap[i];
  }
};
WindowList window_list();
// The window's current procedure, or null when the window no longer exists. When the table is as
// it was at `list` (no window made, destroyed or given another procedure since), the procedure
// in the list is the current one and the table is not looked up.
platform::WndProc window_proc(const WindowList& list, std::size_t index);

// One datagram of a SOCK_SEQPACKET socket, without waiting and retried on EINTR. recv_record
// returns the record's full length even when it did not fit (so oversized records show), and
// any descriptors that came with it in fds (up to max_fds; the count in *fd_count); descriptors
// beyond that, or a truncated control message, make it fail with EPROTO after closing them;
// with EMFILE when the descriptors sent could not be installed (this process is at its limit).
// Each descriptor is owned from the moment it arrives.
ssize_t recv_record(int fd, void* buffer, std::size_t size, UniqueFd* fds = nullptr,
                    std::size_t max_fds = 0, std::size_t* fd_count = nullptr);
// Sends one datagram, with the descriptors in fds attached when fd_count is not 0.
ssize_t send_record(int fd, const void* buffer, std::size_t size, const int* fds = nullptr,
                    std::size_t fd_count = 0);

// A registered message id as this process knows it, turned into the id the current table of
// `dir` gives the same name (out) and back (in); the same id when the two tables agree, and
// for ids this process did not register.
std::uint32_t message_id_out(std::uint32_t msg, const SessionDir& dir);
std::uint32_t message_id_in(std::uint32_t msg, const SessionDir& dir);

// The send lock as the transport sees it. `hold` is the count of holds this process's current
// hold began (0: it holds none); `lost` says another process has taken it over since.
struct SendLockHold {
  std::uint64_t hold = 0;
  bool lost = false;
};
SendLockHold send_lock_hold();
// Whether a notification of message `msg` (its id in frames) sent under `hold` still announces
// the text in its area: true when no other hold has begun since, or when every later hold has
// recorded its broadcast and none broadcast `msg` (other messages announce other areas). A
// message the table does not show (not a table id, its slot taken by another) is current only
// while no other hold has begun. True for hold 0 (sent without the lock) and when the send lock
// cannot be opened. Checks the session directory only when the lock's state was opened in
// another one than `epoch`.
bool send_lock_hold_current(std::uint64_t epoch, std::uint32_t msg, std::uint64_t hold);
// Frees the send lock if this process holds it and removes its holder token file: for a
// process that ends now (at exit, or by a stop signal; safe in a signal handler).
void remove_send_lock_token();

// Publishes the notification (msg as this process registered it) to every other copy of the
// session and waits for their answers, as BroadcastSystemMessage to every application does.
// 1 when every copy was reached; -1, with the reason recorded, when the broadcast failed or
// some copies were not reached.
long broadcast(std::uint32_t msg, std::uint64_t wparam, std::int64_t lparam);
// How many copies the last finished broadcast did not reach; forget_unreached sets it to 0 for
// a broadcast refused before it sends.
int last_broadcast_unreached();
void forget_unreached();

// Records, under this process's current hold `hold`, that it broadcasts `msg`; called before the
// frames are sent. Does nothing when the hold is not this process's current one.
void record_broadcast(std::uint32_t msg, std::uint64_t hold);

}  // namespace mmfcast::platform::os
