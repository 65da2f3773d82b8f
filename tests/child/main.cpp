// mmfcast_child: runs one command for a multi-process test and exits with its status.
#include <cstdio>
#include <iostream>
#include <mutex>
#include <queue>
#include <thread>

#include "tests/child/child_commands.h"

namespace child {

std::map<std::string, Command>& commands() {
  static std::map<std::string, Command> table;
  return table;
}

void say(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

bool hear(std::string& line) {
  if (!std::getline(std::cin, line)) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

struct BackgroundInput::State {
  std::mutex lock;
  std::queue<std::string> lines;
  bool ended = false;
};

BackgroundInput::BackgroundInput() : state_(std::make_shared<State>()) {
  std::thread([state = state_] {
    std::string line;
    while (hear(line)) {
      std::lock_guard<std::mutex> guard(state->lock);
      state->lines.push(line);
    }
    std::lock_guard<std::mutex> guard(state->lock);
    state->ended = true;
  }).detach();
}

BackgroundInput::Result BackgroundInput::poll(std::string& line) {
  std::lock_guard<std::mutex> guard(state_->lock);
  if (state_->lines.empty()) return state_->ended ? kEnded : kNothingYet;
  line = std::move(state_->lines.front());
  state_->lines.pop();
  return kLine;
}

bool told_to_stop(BackgroundInput& input, std::chrono::steady_clock::time_point until) {
  std::string line;
  if (input.poll(line) != BackgroundInput::kNothingYet) {
    say("stopped");
    return true;
  }
  if (std::chrono::steady_clock::now() >= until) {
    say("bound reached");
    return true;
  }
  return false;
}

}  // namespace child

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: mmfcast_child COMMAND [ARGS...]\n", stderr);
    return 2;
  }
  auto& table = child::commands();
  auto found = table.find(argv[1]);
  if (found == table.end()) {
    std::fprintf(stderr, "mmfcast_child: unknown command %s\n", argv[1]);
    return 2;
  }
  return found->second(std::vector<std::string>(argv + 2, argv + argc));
}
