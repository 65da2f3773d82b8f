// The helper program's commands. Each command file registers its commands with a static
// Registration; main() runs the one named by the first argument.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace child {

using Command = std::function<int(const std::vector<std::string>& args)>;

std::map<std::string, Command>& commands();

struct Registration {
  Registration(const std::string& name, Command command) { commands()[name] = std::move(command); }
};

// Writes one line to standard output and flushes it, so the test sees it at once.
void say(const std::string& line);
// Reads one line from standard input; false at end of input.
bool hear(std::string& line);

// Standard input read on a thread of its own, so that the command's thread can keep handling
// messages while it waits for the test's next line.
class BackgroundInput {
 public:
  enum Result { kLine, kNothingYet, kEnded };
  BackgroundInput();
  // Takes the next line that has arrived, if any, without waiting.
  Result poll(std::string& line);

  struct State;

 private:
  std::shared_ptr<State> state_;  // shared with the reader thread, which may outlive this
};

// The end of a command that keeps busy until told to stop: true, having said "stopped", when a
// line (or the end) has come on `input`; true, having said "bound reached", once `until` has
// passed; false otherwise.
bool told_to_stop(BackgroundInput& input, std::chrono::steady_clock::time_point until);

}  // namespace child
