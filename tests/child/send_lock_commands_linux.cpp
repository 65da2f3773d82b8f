// Send-lock holders that only Linux has.
//   lock-fork   takes the lock and forks: the child says "child holds" or "child does not
//               hold", closes its standard output and lives until its standard input ends; the
//               parent says "held" and never answers again.
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/child/child_commands.h"

namespace {

int lock_fork(const std::vector<std::string>& args) {
  if (!args.empty()) return 2;
  if (mmfcast::platform::acquire_send_lock() != 1) return 3;
  const pid_t pid = ::fork();
  if (pid < 0) return 4;
  if (pid == 0) {
    child::say(mmfcast::platform::send_lock_still_held() ? "child holds" : "child does not hold");
    ::close(STDOUT_FILENO);
    char byte = 0;
    while (::read(STDIN_FILENO, &byte, 1) > 0) {
    }
    ::_exit(0);
  }
  child::say("held");
  for (;;) ::pause();
}

const child::Registration fork_registration("lock-fork", lock_fork);

}  // namespace
