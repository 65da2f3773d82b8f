// DesktopTurn on Linux: each test's session directory is its own, so there is nothing to share.
#include "tests/support/desktop_turn.h"

namespace testsupport {

struct DesktopTurn::Impl {};

DesktopTurn::DesktopTurn() = default;
DesktopTurn::~DesktopTurn() = default;

}  // namespace testsupport
