// Starting and talking to the helper program (mmfcast_child) from multi-process tests.
// The child takes a command and its arguments, writes lines to its standard output and may
// read lines from its standard input; both ends are pipes held by ChildProcess.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// Whether this build runs under AddressSanitizer, whose processes start and run several times
// slower than a plain build's: heavy multi-process cases take fewer processes there.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
inline constexpr bool kSanitized = __has_feature(address_sanitizer);
#else
inline constexpr bool kSanitized = false;
#endif

// The path of mmfcast_child, found next to the running test binary.
std::string child_path();

class ChildProcess {
 public:
  // Starts mmfcast_child with these arguments; throws std::runtime_error when it cannot.
  explicit ChildProcess(const std::vector<std::string>& args);
  // Starts another program (a path); with merge_stderr its standard error joins its output.
  ChildProcess(const std::string& program, const std::vector<std::string>& args, bool merge_stderr);
  ~ChildProcess();  // kills the child if it still runs, and reaps it
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The next line the child wrote (without its newline), or nullopt on end of output or when
  // none arrives within the timeout.
  std::optional<std::string> read_line(
      std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // The lines it writes until one equals `last` (that one included), until it writes nothing
  // for 20 s, or until it ends.
  std::vector<std::string> lines_until(const std::string& last) {
    std::vector<std::string> lines;
    while (auto line = read_line()) {
      lines.push_back(*line);
      if (*line == last) break;
    }
    return lines;
  }
  void write_line(const std::string& line);
  void close_stdin();

  // The exit code once it ends; nullopt if it has not ended within the timeout.
  std::optional<int> wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  void kill();  // ends it at once (SIGKILL / TerminateProcess)
  int pid() const;
  // Whether it ended because a signal it did not catch killed it (never on Windows). wait()
  // gives 128 + the signal's number then, as a process that caught it and exited so does.
  bool killed_by_signal() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// A private session for one test: on Linux a fresh 0700 directory named in MMFCAST_SESSION_DIR
// (and removed afterwards); on Windows the session is the desktop's, so names() gives a prefix
// that keeps one test's mappings and messages apart from another's.
class ScopedSession {
 public:
  ScopedSession();
  ~ScopedSession();
  ScopedSession(const ScopedSession&) = delete;
  ScopedSession& operator=(const ScopedSession&) = delete;

  const std::string& dir() const { return dir_; }  // empty on Windows
  // A name unique to this session and run, built from base.
  std::string name(const std::string& base) const;

 private:
  std::string dir_;
  std::string prefix_;
  std::optional<std::string> saved_env_;  // Linux: MMFCAST_SESSION_DIR before this session
};

}  // namespace testsupport
