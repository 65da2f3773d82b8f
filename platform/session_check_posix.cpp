// Whether the session directory is usable, for callers that want to say so before they start.
#include "platform/platform.h"
#include "platform/posix_internal.h"

namespace platform {

bool session_usable() { return posix::session_dir().has_value(); }

}  // namespace platform
