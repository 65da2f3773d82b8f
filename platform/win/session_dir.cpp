// The session on Windows is the desktop's: there is nothing to check.
#include "platform/platform.h"

namespace mmfcast::platform {

bool session_usable() { return true; }

}  // namespace mmfcast::platform
