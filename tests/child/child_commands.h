// The helper program's commands. Each command file registers its commands with a static
// Registration; main() runs the one named by the first argument.
#pragma once

#include <functional>
#include <map>
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

}  // namespace child
