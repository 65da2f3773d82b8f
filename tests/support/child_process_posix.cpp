// Placeholder until the POSIX test support lands.
#include "tests/support/child_process.h"
