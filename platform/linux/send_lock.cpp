// The session-wide send lock's Win32-shaped operations on Linux, over the transport's lock
// (transport/send_lock.cpp): a lock nobody holds is taken without a system call, a held one is
// waited for.
#include "platform/linux/transport/send_lock.h"

#include "platform/platform.h"

namespace mmfcast::platform {

int acquire_send_lock(int takeover_ms) {
  if (os::send_lock_held()) return 1;
  if (!os::send_lock_ready()) return 0;
  if (os::take_free_send_lock()) return 1;
  // Held by another, offered by this process to the others, or the page was damaged.
  return os::wait_for_send_lock(os::lock_state(), takeover_ms) ? 1 : 0;
}

void release_send_lock() { os::release_send_lock_hold(); }

bool send_lock_still_held() { return os::send_lock_hold_stands(); }

}  // namespace mmfcast::platform
