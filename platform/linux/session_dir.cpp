// Whether the session can be used on Linux: its directory (transport/session_dir.cpp) exists or
// can be made, and passes its checks; and which process is asking.
#include "platform/linux/transport/internal.h"
#include "platform/platform.h"

namespace mmfcast::platform {

bool session_usable() { return os::current_session() != nullptr; }

int process_id() { return os::own_pid(); }

}  // namespace mmfcast::platform
