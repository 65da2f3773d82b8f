// mmfcast-cli end to end: texts pass between command lines and windows in one session, and
// every kind of failure gives its own exit code and a one-line message.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/support/child_process.h"
#include "tests/support/endpoints_posix.h"

namespace {

using testsupport::ChildProcess;
using namespace std::chrono_literals;

std::unique_ptr<ChildProcess> cli(const std::vector<std::string>& args) {
  return std::make_unique<ChildProcess>(MMFCAST_CLI_PATH, args, true);
}

class Cli : public ::testing::Test {
 protected:
  // Starts a listener and waits until it can receive: its endpoint is published.
  std::unique_ptr<ChildProcess> listener(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"listen", "--timeout", "30"};
    args.insert(args.end(), extra.begin(), extra.end());
    const std::size_t before = testsupport::endpoint_sockets(session_.dir()).size();
    auto process = cli(args);
    EXPECT_TRUE(testsupport::wait_for_endpoints(session_.dir(), before + 1))
        << "the listener never started listening";
    return process;
  }
  // Runs a command to its end; its exit code and its first line of output.
  std::pair<int, std::string> run(const std::vector<std::string>& args) {
    auto process = cli(args);
    const std::string first = process->read_line().value_or("");
    return {process->wait().value_or(-1), first};
  }

  testsupport::ScopedSession session_;
};

TEST_F(Cli, SendReachesAListeningCommandLine) {
  auto listening = listener({"--count", "3"});
  EXPECT_EQ(run({"send", "hello", "world"}).first, 0);
  auto from_stdin = cli({"send", "-"});
  from_stdin->write_line(
      "Gr\xc3\xbc\xc3\x9f"
      "e");
  from_stdin->write_line("\xe4\xbd\xa0\xe5\xa5\xbd");
  from_stdin->close_stdin();
  EXPECT_EQ(from_stdin->wait(), 0);
  EXPECT_EQ(listening->read_line(), "hello world");
  EXPECT_EQ(listening->read_line(),
            "Gr\xc3\xbc\xc3\x9f"
            "e");
  EXPECT_EQ(listening->read_line(), "\xe4\xbd\xa0\xe5\xa5\xbd");
  EXPECT_EQ(listening->wait(), 0) << "--count 3 ends it after the third text";
}

TEST_F(Cli, ShorterTextAfterALongerOneShowsOnlyItself) {
  auto listening = listener({"--count", "2"});
  EXPECT_EQ(run({"send", "a much longer line"}).first, 0);
  EXPECT_EQ(run({"send", "short"}).first, 0);
  EXPECT_EQ(listening->read_line(), "a much longer line");
  EXPECT_EQ(listening->read_line(), "short");
}

TEST_F(Cli, TooLongTextIsRefusedUnlessTruncated) {
  auto listening = listener({"--count", "1"});
  const std::string big(5000, 'x');
  const auto [code, message] = run({"send", big});
  EXPECT_EQ(code, 6);
  EXPECT_NE(message.find("too long"), std::string::npos) << message;
  EXPECT_EQ(run({"send", "--truncate", big}).first, 0);
  EXPECT_EQ(listening->read_line(), std::string(4095, 'x'));
}

TEST_F(Cli, BadArgumentsExitWithTwo) {
  for (const auto& args : std::vector<std::vector<std::string>>{{},
                                                                {"send"},
                                                                {"shout", "x"},
                                                                {"listen", "--count", "0"},
                                                                {"listen", "--timeout", "soon"}}) {
    const auto [code, message] = run(args);
    EXPECT_EQ(code, 2) << message;
    EXPECT_EQ(message.rfind("mmfcast-cli: ", 0), 0u) << message;
  }
  EXPECT_EQ(run({"--help"}).first, 0);
  EXPECT_EQ(run({"--version"}), std::make_pair(0, std::string("mmfcast-cli 0.1.0")));
}

TEST_F(Cli, UnusableSessionDirectoryExitsWithThree) {
  ASSERT_EQ(::chmod(session_.dir().c_str(), 0755), 0);
  for (const auto& args : std::vector<std::vector<std::string>>{{"send", "hi"}, {"listen"}}) {
    const auto [code, message] = run(args);
    EXPECT_EQ(code, 3);
    EXPECT_NE(message.find("session directory"), std::string::npos) << message;
  }
  ::chmod(session_.dir().c_str(), 0700);
}

TEST_F(Cli, ListenerEndsOnTimeoutAndOnSignals) {
  EXPECT_EQ(run({"listen", "--timeout", "0.3"}).first, 1);
  auto listening = listener();
  ::kill(listening->pid(), SIGTERM);
  EXPECT_EQ(listening->wait(), 0);
  auto interrupted = listener();
  ::kill(interrupted->pid(), SIGINT);
  EXPECT_EQ(interrupted->wait(), 0);
}

#if defined(MMFCAST_FORM_HOST_PATH)
class CliAndWindow : public Cli {
 protected:
  void SetUp() override {
    window_ =
        std::make_unique<ChildProcess>(MMFCAST_FORM_HOST_PATH, std::vector<std::string>{}, false);
    ASSERT_EQ(window_->read_line(), "ready");
  }
  std::optional<std::string> next_line_of_window() {
    for (;;) {
      auto line = window_->read_line();
      if (!line || line->rfind("line ", 0) == 0) return line;
    }
  }
  std::unique_ptr<ChildProcess> window_;
};

TEST_F(CliAndWindow, SendReachesAWindowAndAListenerAlike) {
  auto listening = listener({"--count", "1"});
  EXPECT_EQ(run({"send", "to", "everyone"}).first, 0);
  EXPECT_EQ(next_line_of_window(), "line to everyone");
  EXPECT_EQ(listening->read_line(), "to everyone");
}

TEST_F(CliAndWindow, WindowSendReachesAListener) {
  auto listening = listener({"--count", "1"});
  window_->write_line("type from the window");
  EXPECT_EQ(window_->read_line(), "ok");
  window_->write_line("enter");
  EXPECT_EQ(listening->read_line(), "from the window");
  EXPECT_EQ(listening->wait(), 0);
}
#endif

}  // namespace
