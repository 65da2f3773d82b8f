// DesktopTurn on Windows: a named mutex of the desktop, held by the thread that runs the test.
// A holder that was killed leaves it abandoned, which the next waiter takes as its turn.
#include <windows.h>

#include "tests/support/desktop_turn.h"

namespace testsupport {

struct DesktopTurn::Impl {
  HANDLE mutex = nullptr;
};

DesktopTurn::DesktopTurn() : impl_(std::make_unique<Impl>()) {
  impl_->mutex = ::CreateMutexA(nullptr, FALSE, "mmfcast-tests-desktop-turn");
  if (impl_->mutex != nullptr) ::WaitForSingleObject(impl_->mutex, INFINITE);
}

DesktopTurn::~DesktopTurn() {
  if (impl_->mutex == nullptr) return;
  ::ReleaseMutex(impl_->mutex);
  ::CloseHandle(impl_->mutex);
}

}  // namespace testsupport
