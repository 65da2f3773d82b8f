// Send-lock holders that only Linux has.
//   lock-fork   takes the lock and forks: the child says "child holds" or "child does not
//               hold", closes its standard output and lives until its standard input ends; the
//               parent says "held" and never answers again.
//   lock-busy FILE BOUND_MS
//               takes the lock again right after each release, each hold working for a
//               millisecond and counting itself in the 8-byte word FILE holds (mapped shared),
//               and says "busy" after the first; stops when a line arrives on standard input
//               ("stopped") or after BOUND_MS ("bound reached").
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
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

int lock_busy(const std::vector<std::string>& args) {
  using Clock = std::chrono::steady_clock;
  if (args.size() != 2) return 2;
  const int fd = ::open(args[0].c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return 4;
  void* word = ::mmap(nullptr, sizeof(std::uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  if (word == MAP_FAILED) return 4;
  auto& holds = *static_cast<std::atomic<std::uint64_t>*>(word);
  const Clock::time_point until = Clock::now() + std::chrono::milliseconds(std::stoi(args[1]));
  child::BackgroundInput input;
  for (bool first = true;; first = false) {
    if (mmfcast::platform::acquire_send_lock(60000) != 1) return 3;
    holds.fetch_add(1);
    if (first) child::say("busy");
    // Working, as a sender writes and broadcasts: its waiters sleep meanwhile.
    const Clock::time_point done = Clock::now() + std::chrono::milliseconds(1);
    while (Clock::now() < done) {
    }
    mmfcast::platform::release_send_lock();
    if (child::told_to_stop(input, until)) return 0;
  }
}

const child::Registration fork_registration("lock-fork", lock_fork);
const child::Registration busy_registration("lock-busy", lock_busy);

}  // namespace
