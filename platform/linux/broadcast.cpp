// BroadcastSystemMessage on Linux, over the session transport's broadcast
// (platform/linux/transport/broadcast.cpp): only the form the program uses, a sent message to
// every application but the calling one's windows, is supported.
#include <cerrno>

#include "platform/linux/transport/internal.h"
#include "platform/linux/transport/transport.h"
#include "platform/platform.h"

namespace mmfcast::platform {

long BroadcastSystemMessage(std::uint32_t flags, std::uint32_t* lpInfo, std::uint32_t msg,
                            WParam wParam, LParam lParam) {
  if (flags != kBsfIgnoreCurrentTask || lpInfo == nullptr || (*lpInfo & kBsmApplications) == 0) {
    os::forget_unreached();  // refused before it sends: reports no copy unreached
    os::set_last_error(EINVAL, "broadcast",
                       "only BSF_IGNORECURRENTTASK to BSM_APPLICATIONS is supported");
    return -1;
  }
  return os::broadcast(msg, wParam, lParam);
}

int broadcast_unreached() { return os::last_broadcast_unreached(); }

std::uint64_t refused_senders() { return os::refused_connections(); }

}  // namespace mmfcast::platform
