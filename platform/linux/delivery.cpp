// Delivery of the notifications that reach this process's windows on Linux, over the session
// transport's endpoint (platform/linux/transport/endpoint.cpp): the descriptor an event loop
// watches, the handling of what came, and the check a reader makes after copying a text out.
#include "platform/linux/transport/transport.h"
#include "platform/platform.h"

namespace mmfcast::platform {

int event_fd() { return os::endpoint_event_fd(); }

void dispatch_pending() { os::dispatch_ready(); }

int pump_messages(int timeout_ms) { return os::pump(timeout_ms); }

bool notification_current() { return os::delivery_current(); }

LResult answer_beyond(std::uint32_t unreached, std::string_view reason) {
  os::set_delivery_outcome(unreached, reason);
  return 0;
}

std::uint64_t notifications_missed() { return os::notifications_missed(); }

std::string notifications_missed_reason() { return os::notifications_missed_reason(); }

std::string receive_problem() { return os::endpoint_problem(); }

}  // namespace mmfcast::platform
