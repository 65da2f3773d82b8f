// Placeholder until the Windows test support lands.
#include "tests/support/child_process.h"
