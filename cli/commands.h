// The command-line companion's two commands and their exit codes. Each command joins the same
// channel a window joins: the message "MyPubMessage" and the 4096-byte area "MyPubMemory".
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace cli {

enum ExitCode : int {
  kOk = 0,
  kTimedOut = 1,  // listen: nothing arrived in time
  kBadArguments = 2,
  kNoSession = 3,     // no usable session (directory missing, unsafe or unwritable)
  kAreaUnusable = 4,  // the shared area could not be opened
  kBroadcastFailed = 5,
  kTooLong = 6,  // send: the text does not fit the area and --truncate was not given
};

struct SendOptions {
  std::vector<std::string> words;  // joined by one space; a single "-" reads standard input
  bool truncate = false;
};

struct ListenOptions {
  std::optional<long> count;      // exit after this many texts
  std::optional<double> timeout;  // seconds to wait for each next text
};

int run_send(const SendOptions& options);
int run_listen(const ListenOptions& options);

}  // namespace cli
