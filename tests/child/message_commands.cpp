// Helper-program commands for registered messages, windows and broadcast.
//   register NAME...     says "id ID" for each name, in order.
//   register-many PREFIX registers PREFIX0, PREFIX1, ... saying "id I ID" after each, until the
//                        table refuses (then "full") or the process is killed.
//   listen VALUE [quiet] [echo] [delay=MS]
//       creates a top-level window whose procedure answers VALUE and says "got MSG WPARAM LPARAM"
//       for each message (not with quiet), waiting MS milliseconds first; with echo, a message
//       with wParam W > 0 is broadcast on from inside the procedure with wParam W - 1. Says
//       "ready", then handles messages and these lines from standard input until "quit":
//         broadcast MSG WPARAM LPARAM   broadcasts once, says "sent RESULT"
//         spam MSG COUNT                broadcasts COUNT times, says "spammed SUCCESSES"
//         count                         says "count N", the messages the window received
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "tests/child/child_commands.h"

namespace {

bool quiet = false;
bool echo = false;
int delay_ms = 0;
mmfcast::platform::LResult answer = 0;
std::uint64_t received = 0;

long broadcast(std::uint32_t msg, mmfcast::platform::WParam w, mmfcast::platform::LParam l) {
  std::uint32_t recipients = mmfcast::platform::kBsmApplications;
  return mmfcast::platform::BroadcastSystemMessage(mmfcast::platform::kBsfIgnoreCurrentTask,
                                                   &recipients, msg, w, l);
}

mmfcast::platform::LResult MMFCAST_CALLBACK listening_procedure(mmfcast::platform::Hwnd,
                                                                std::uint32_t msg,
                                                                mmfcast::platform::WParam w,
                                                                mmfcast::platform::LParam l) {
  // Only registered messages: a real window also gets the system's own.
  if (msg < 0xC000 || msg > 0xFFFF) return 0;
  ++received;
  if (delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
  if (!quiet) {
    child::say("got " + std::to_string(msg) + " " + std::to_string(w) + " " + std::to_string(l));
  }
  if (echo && w > 0) broadcast(msg, w - 1, l);
  return answer;
}

int register_names(const std::vector<std::string>& args) {
  for (const std::string& name : args) {
    child::say("id " + std::to_string(mmfcast::platform::RegisterWindowMessageA(name.c_str())));
  }
  return 0;
}

int register_many(const std::vector<std::string>& args) {
  if (args.size() != 1) return 2;
  for (std::uint64_t i = 0;; ++i) {
    const std::uint32_t id =
        mmfcast::platform::RegisterWindowMessageA((args[0] + std::to_string(i)).c_str());
    if (id == 0) break;
    child::say("id " + std::to_string(i) + " " + std::to_string(id));
  }
  child::say("full");
  return 0;
}

int listen(const std::vector<std::string>& args) {
  if (args.empty()) return 2;
  answer = std::stol(args[0]);
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "quiet") {
      quiet = true;
    } else if (args[i] == "echo") {
      echo = true;
    } else if (args[i].rfind("delay=", 0) == 0) {
      delay_ms = std::stoi(args[i].substr(6));
    } else {
      return 2;
    }
  }
  const mmfcast::platform::Hwnd window = mmfcast::platform::create_window(&listening_procedure);
  if (window == 0) return 4;

  child::BackgroundInput input;

  child::say("ready");
  for (;;) {
    mmfcast::platform::pump_messages(10);
    std::string line;
    const auto got = input.poll(line);
    if (got == child::BackgroundInput::kEnded) break;
    if (got == child::BackgroundInput::kNothingYet) continue;
    const auto space = line.find(' ');
    const std::string verb = line.substr(0, space);
    const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
    if (verb == "quit") break;
    if (verb == "broadcast") {
      std::uint32_t msg = 0;
      unsigned long long w = 0;
      long long l = 0;
      if (std::sscanf(rest.c_str(), "%u %llu %lld", &msg, &w, &l) != 3) return 2;
      const long result = broadcast(msg, static_cast<mmfcast::platform::WParam>(w),
                                    static_cast<mmfcast::platform::LParam>(l));
      child::say("sent " + std::to_string(result));
    } else if (verb == "spam") {
      std::uint32_t msg = 0;
      unsigned count = 0;
      if (std::sscanf(rest.c_str(), "%u %u", &msg, &count) != 2) return 2;
      unsigned successes = 0;
      for (unsigned i = 0; i < count; ++i) {
        if (broadcast(msg, i, 0) == 1) ++successes;
      }
      child::say("spammed " + std::to_string(successes));
    } else if (verb == "count") {
      child::say("count " + std::to_string(received));
    }
  }
  mmfcast::platform::destroy_window(window);
  return 0;
}

const child::Registration registered_register("register", register_names);
const child::Registration registered_register_many("register-many", register_many);
const child::Registration registered_listen("listen", listen);

}  // namespace
