// On Windows a test's session is only a suffix for the names it makes up, so the tests that use
// the channel's own names ("MyPubMemory", "MyPubMessage": every Channel, every hooked window)
// share one area and one notification with each other across the desktop. Each of them holds a
// DesktopTurn while it runs, so that they take turns. On Linux every test has a session of its
// own and a DesktopTurn holds nothing.
#pragma once

#include <memory>

namespace testsupport {

class DesktopTurn {
 public:
  DesktopTurn();  // waits until no other test of the desktop holds one
  ~DesktopTurn();
  DesktopTurn(const DesktopTurn&) = delete;
  DesktopTurn& operator=(const DesktopTurn&) = delete;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace testsupport
