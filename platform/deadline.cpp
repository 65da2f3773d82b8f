// The send's deadline, which a machine too slow or too loaded for one second may lengthen
// through the environment; read once per process.
#include <algorithm>
#include <cstdlib>

#include "platform/platform.h"

namespace mmfcast::platform {

int broadcast_deadline_ms() {
  static const int deadline = [] {
    const char* value = std::getenv("MMFCAST_SEND_DEADLINE_MS");
    if (value == nullptr) return kBroadcastDeadlineMs;
    char* end = nullptr;
    const long ms = std::strtol(value, &end, 10);
    if (end == value || *end != '\0' || ms < 100 || ms > 60000) return kBroadcastDeadlineMs;
    return static_cast<int>(ms);
  }();
  return deadline;
}

int send_lock_takeover_ms() { return std::max(kSendLockTakeoverMs, 2 * broadcast_deadline_ms()); }

}  // namespace mmfcast::platform
