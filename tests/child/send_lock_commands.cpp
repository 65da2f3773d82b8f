// Holders and contenders of the session-wide send lock.
//   lock-hold TAKEOVER_MS   says "waiting", takes the lock, says "held", releases it when a
//                           line arrives on standard input, says "released" and ends.
//   lock-hang               takes the lock, says "held" and never answers again.
//   lock-count FILE N HOLD_MS TAKEOVER_MS
//                           N times: takes the lock, reads the number in FILE, waits HOLD_MS,
//                           writes the number + 1 back, releases; says "done" at the end.
//   lock-tags MSG...        for each message id in turn: takes the lock and tags a notification
//                           of it, as a sender does; says "tags TAG..." and ends.
//   lock-busy-send WINDOW BOUND_MS   (Windows)
//                           says "busy", then takes the lock again right after each release
//                           and, holding it, sends a message to WINDOW (a handle in decimal) as
//                           a broadcast does; stops when a line arrives on standard input
//                           ("stopped") or after BOUND_MS ("bound reached").
#if defined(_WIN32)
#include <windows.h>
#endif

#include <chrono>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "tests/child/child_commands.h"

namespace {

int lock_hold(const std::vector<std::string>& args) {
  if (args.size() != 1) return 2;
  child::say("waiting");
  if (mmfcast::platform::acquire_send_lock(std::stoi(args[0])) != 1) return 3;
  child::say("held");
  std::string line;
  child::hear(line);
  mmfcast::platform::release_send_lock();
  child::say("released");
  return 0;
}

int lock_hang(const std::vector<std::string>& args) {
  if (!args.empty()) return 2;
  if (mmfcast::platform::acquire_send_lock() != 1) return 3;
  child::say("held");
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

int lock_count(const std::vector<std::string>& args) {
  if (args.size() != 4) return 2;
  const int times = std::stoi(args[1]);
  const auto hold = std::chrono::milliseconds(std::stoi(args[2]));
  const int takeover_ms = std::stoi(args[3]);
  for (int i = 0; i < times; ++i) {
    if (mmfcast::platform::acquire_send_lock(takeover_ms) != 1) {
      std::cerr << "no send lock: " << mmfcast::platform::last_error_text() << '\n';
      return 3;
    }
    long value = 0;
    {
      std::ifstream in(args[0]);
      in >> value;
    }
    if (hold.count() > 0) std::this_thread::sleep_for(hold);
    std::this_thread::yield();
    {
      std::ofstream out(args[0], std::ios::trunc);
      out << value + 1 << '\n';
    }
    mmfcast::platform::release_send_lock();
  }
  child::say("done");
  return 0;
}

int lock_tags(const std::vector<std::string>& args) {
  std::string said = "tags";
  for (const std::string& msg : args) {
    const mmfcast::platform::SendLock lock;
    if (!lock.held()) return 3;
    said += " " + std::to_string(mmfcast::platform::notification_tag(
                      static_cast<std::uint32_t>(std::stoul(msg))));
  }
  child::say(said);
  return 0;
}

#if defined(_WIN32)
int lock_busy_send(const std::vector<std::string>& args) {
  using Clock = std::chrono::steady_clock;
  if (args.size() != 2) return 2;
  const auto window = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(std::stoull(args[0])));
  const Clock::time_point until = Clock::now() + std::chrono::milliseconds(std::stoi(args[1]));
  child::BackgroundInput input;
  child::say("busy");
  for (;;) {
    if (mmfcast::platform::acquire_send_lock(60000) != 1) return 3;
    DWORD_PTR answer = 0;
    ::SendMessageTimeoutA(window, WM_USER, 0, 0, SMTO_NORMAL, 1000, &answer);
    mmfcast::platform::release_send_lock();
    if (child::told_to_stop(input, until)) return 0;
  }
}
const child::Registration busy_send_registration("lock-busy-send", lock_busy_send);
#endif

const child::Registration hold_registration("lock-hold", lock_hold);
const child::Registration hang_registration("lock-hang", lock_hang);
const child::Registration count_registration("lock-count", lock_count);
const child::Registration tags_registration("lock-tags", lock_tags);

}  // namespace
