// On Windows the session is the desktop's: there is nothing to check.
#include "platform/platform.h"

namespace platform {

bool session_usable() { return true; }

}  // namespace platform
