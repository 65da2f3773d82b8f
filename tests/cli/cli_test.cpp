// mmfcast-cli end to end: texts pass between command lines and windows in one session, listen's
// three output framings, and every kind of failure gives its own exit code and a one-line
// message.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/endpoints_linux.h"

namespace {

using testsupport::ChildProcess;
using namespace std::chrono_literals;

std::unique_ptr<ChildProcess> cli(const std::vector<std::string>& args) {
  return std::make_unique<ChildProcess>(MMFCAST_CLI_PATH, args, true);
}

// mmfcast-cli run by the shell with `redirect` applied to it, e.g. ">&-" or ">/dev/full"; its
// standard error still comes back through the pipe.
std::unique_ptr<ChildProcess> cli_redirected(const std::string& args, const std::string& redirect) {
  return std::make_unique<ChildProcess>(
      "/bin/sh",
      std::vector<std::string>{"-c", "exec \"$0\" " + args + " " + redirect, MMFCAST_CLI_PATH},
      true);
}

std::string file_contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

// CPU time (user + system) the process has used so far, from /proc.
std::chrono::milliseconds cpu_time(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string field;
  long user = 0, system = 0;
  for (int i = 3; fields >> field; ++i) {
    if (i == 14) user = std::stol(field);
    if (i == 15) {
      system = std::stol(field);
      break;
    }
  }
  return std::chrono::milliseconds((user + system) * 1000 / ::sysconf(_SC_CLK_TCK));
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
                                                                {"send", ""},
                                                                {"listen", "--count", "0"},
                                                                {"listen", "--size", "1"},
                                                                {"send", "--size", "8192", "x"},
                                                                {"send", "--channel", "", "x"},
                                                                {"listen", "--timeout", "soon"}}) {
    const auto [code, message] = run(args);
    EXPECT_EQ(code, 2) << message;
    EXPECT_EQ(message.rfind("mmfcast-cli: ", 0), 0u) << message;
  }
  const auto [code, message] = run({"shout", "x"});
  EXPECT_EQ(code, 2);
  EXPECT_NE(message.find("unknown command 'shout'"), std::string::npos) << message;
  EXPECT_EQ(run({"--help"}).first, 0);
  EXPECT_EQ(run({"--version"}), std::make_pair(0, std::string("mmfcast-cli 0.1.0")));
}

TEST_F(Cli, EmptyTextSendsNothing) {
  auto listening = listener({"--count", "1"});
  const auto [code, message] = run({"send", ""});
  EXPECT_EQ(code, 2);
  EXPECT_NE(message.find("empty"), std::string::npos) << message;
  EXPECT_EQ(run({"send", "after"}).first, 0);
  EXPECT_EQ(listening->read_line(), "after");
}

TEST_F(Cli, UnusableSessionDirectoryIsNamedWithTheReason) {
  const std::string& dir = session_.dir();
  ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
  for (const auto& args : std::vector<std::vector<std::string>>{{"send", "hi"}, {"listen"}}) {
    const auto [code, message] = run(args);
    EXPECT_EQ(code, 3);
    EXPECT_NE(message.find("session directory " + dir), std::string::npos) << message;
    EXPECT_NE(message.find("mode 0700"), std::string::npos) << message;
  }
  ASSERT_EQ(::chmod(dir.c_str(), 0700), 0);
  // Owned by another user (only root can give it away).
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(dir.c_str(), 65534, 65534), 0);
    const auto [code, message] = run({"send", "hi"});
    EXPECT_EQ(code, 3);
    EXPECT_NE(message.find("of this user"), std::string::npos) << message;
    ASSERT_EQ(::chown(dir.c_str(), 0, 0), 0);
  }
  // Missing, and cannot be made.
  const std::string missing = dir + "/no/such";
  const auto [code, message] = run({"listen", "--session-dir", missing});
  EXPECT_EQ(code, 3);
  EXPECT_NE(message.find("session directory " + missing + ": No such file or directory"),
            std::string::npos)
      << message;
}

// Both commands meet in another directory, and there on a channel of their own whose area
// holds more than the windows' channel's; a listener on the windows' channel hears only what is
// sent on that one. A sender that joins the existing area uses its size without --size, and
// says so when its --size differs.
TEST_F(Cli, ChannelAndSessionDirOptionsChooseWhereTextsGo) {
  const std::string other = session_.dir() + "/other";
  ASSERT_EQ(::mkdir(other.c_str(), 0700), 0);
  const std::vector<std::string> own = {"--session-dir", other,    "--channel",
                                        "Own",           "--size", "8192"};
  std::vector<std::string> args = {"listen", "--count", "2", "--timeout", "30"};
  args.insert(args.end(), own.begin(), own.end());
  auto on_own = cli(args);
  auto on_windows = cli({"listen", "--count", "1", "--timeout", "30", "--session-dir", other});
  ASSERT_TRUE(testsupport::wait_for_endpoints(other, 2));
  EXPECT_TRUE(testsupport::endpoint_sockets(session_.dir()).empty());
  const std::string big(6000, 'o');
  EXPECT_EQ(run({"send", "--session-dir", other, "--channel", "Own", big}).first, 0);
  const auto [code, note] =
      run({"send", "--session-dir", other, "--channel", "Own", "--size", "1000", "small"});
  EXPECT_EQ(code, 0);
  EXPECT_NE(note.find("area exists already with 8192 bytes"), std::string::npos) << note;
  EXPECT_EQ(run({"send", "--session-dir", other, "windows"}).first, 0);
  EXPECT_EQ(on_own->read_line(), big);
  EXPECT_EQ(on_own->read_line(), "small");
  EXPECT_EQ(on_own->wait(), 0);
  EXPECT_EQ(on_windows->read_line(), "windows");
  EXPECT_EQ(on_windows->wait(), 0);
}

TEST_F(Cli, ListenFramesTextsAsJsonOrNulEnded) {
  auto json = listener({"--json", "--count", "2"});
  const std::string tricky =
      "say \"hi\"\\ \t\x01 Gr\xc3\xbc\xc3\x9f"
      "e \xf0\x9f\x98\x80";
  EXPECT_EQ(run({"send", tricky}).first, 0);
  EXPECT_EQ(run({"send", "two\nlines"}).first, 0);
  const auto first = json->read_line().value_or("");
  const std::string expected_start =
      "{\"text\":\"say \\\"hi\\\"\\\\ \\t\\u0001 Gr\xc3\xbc\xc3\x9f"
      "e \xf0\x9f\x98\x80\",\"time\":\"";
  EXPECT_EQ(first.rfind(expected_start, 0), 0u) << first;
  EXPECT_EQ(first.back(), '}');
  EXPECT_EQ(first.find("\"pid\""), std::string::npos) << "this platform does not know the sender";
  const auto second = json->read_line().value_or("");
  EXPECT_EQ(second.rfind(R"({"text":"two\nlines","time":")", 0), 0u) << second;
  // "time" is RFC 3339 UTC with milliseconds: 2024-05-01T12:34:56.789Z.
  const std::string time = second.substr(second.find("\"time\":\"") + 8, 24);
  EXPECT_EQ(time.size(), 24u);
  EXPECT_EQ(time[10], 'T');
  EXPECT_EQ(time[19], '.');
  EXPECT_EQ(time[23], 'Z');
  EXPECT_EQ(json->wait(), 0);

  const std::string out = session_.dir() + "/nul.out";
  const std::size_t before = testsupport::endpoint_sockets(session_.dir()).size();
  auto nul = cli_redirected("listen -0 --count 2 --timeout 30", ">" + out);
  ASSERT_TRUE(testsupport::wait_for_endpoints(session_.dir(), before + 1));
  EXPECT_EQ(run({"send", "a\nb"}).first, 0);
  EXPECT_EQ(run({"send", "c"}).first, 0);
  EXPECT_EQ(nul->wait(), 0);
  EXPECT_EQ(file_contents(out), std::string("a\nb\0c\0", 6));

  EXPECT_EQ(run({"listen", "--json", "-0"}).first, 2);
}

TEST_F(Cli, StdinLineTooLongIsSkippedAndTheRestSent) {
  auto listening = listener({"--count", "2"});
  auto sending = cli({"send", "-"});
  sending->write_line("before");
  sending->write_line(std::string(5000, 'x'));
  sending->write_line("");  // an empty line sends nothing, as in a window
  sending->write_line("after");
  sending->close_stdin();
  const auto message = sending->read_line().value_or("");
  EXPECT_NE(message.find("line 2 of standard input"), std::string::npos) << message;
  EXPECT_NE(message.find("skipped"), std::string::npos) << message;
  EXPECT_EQ(sending->wait(), 8);
  EXPECT_EQ(listening->read_line(), "before");
  EXPECT_EQ(listening->read_line(), "after");
  EXPECT_EQ(listening->wait(), 0) << "exactly two texts arrived";
}

// A text that would arrive changed is not sent, and the message says what and where: a zero
// byte (the receivers would see the text cut there) and bytes that are not UTF-8 (they would
// see U+FFFD). Lines of standard input that are refused are skipped and the rest go.
TEST_F(Cli, TextThatCannotArriveExactlyIsRefused) {
  auto listening = listener({"--count", "1"});
  auto [code, message] = run({"send", "name-\xff\xfe.txt"});
  EXPECT_EQ(code, 9);
  EXPECT_EQ(message, "mmfcast-cli: not sent: byte 0xFF at offset 5 is not UTF-8");

  auto sending = cli({"send", "-"});
  sending->write_line(std::string("before\0after the zero byte", 27));
  sending->write_line("caf\xe9");
  sending->write_line("caf\xc3\xa9");
  sending->close_stdin();
  EXPECT_EQ(sending->read_line(),
            "mmfcast-cli: line 1 of standard input: not sent: a byte 0 at offset 6 would end the "
            "text there; skipped");
  EXPECT_EQ(sending->read_line(),
            "mmfcast-cli: line 2 of standard input: not sent: byte 0xE9 at offset 3 is not UTF-8; "
            "skipped");
  EXPECT_EQ(sending->wait(), 9);
  EXPECT_EQ(listening->read_line(), "caf\xc3\xa9");
  EXPECT_EQ(listening->wait(), 0) << "only the exact line arrived";
}

// Names are names: one that is not UTF-8 would be taken for another, and one too long for the
// session would fail at some later step; both are usage errors that say why.
TEST_F(Cli, ChannelNameThatCannotBeUsedExactlyIsAUsageError) {
  auto [code, message] = run({"listen", "--channel", "caf\xe9"});
  EXPECT_EQ(code, 2);
  EXPECT_EQ(message, "mmfcast-cli: --channel: byte 0xE9 at offset 3 is not UTF-8");
  for (const std::size_t length : {248u, 300u}) {
    std::tie(code, message) = run({"send", "--channel", std::string(length, 'c'), "x"});
    EXPECT_EQ(code, 2) << message;
    EXPECT_NE(message.find("255 at most"), std::string::npos) << message;
  }
  EXPECT_EQ(run({"send", "--channel", std::string(245, 'c'), "x"}).first, 0)
      << "the longest plain name the session holds";
}

TEST_F(Cli, ReadErrorOnStandardInputEndsTheSend) {
  auto reading = cli_redirected("send -", "<" + session_.dir());
  EXPECT_EQ(reading->read_line(), "mmfcast-cli: cannot read standard input: Is a directory");
  EXPECT_EQ(reading->wait(), 10);
}

TEST_F(Cli, ListenWithItsOutputClosedOrFailingSaysSo) {
  // Closed before it starts: it says so at once instead of waiting, or spinning, for a text.
  auto closed = cli_redirected("listen --timeout 30", ">&-");
  EXPECT_EQ(closed->read_line(), "mmfcast-cli: cannot write to standard output: it is closed");
  EXPECT_EQ(closed->wait(), 7);

  const std::size_t before = testsupport::endpoint_sockets(session_.dir()).size();
  auto full = cli_redirected("listen --timeout 30", ">/dev/full");
  ASSERT_TRUE(testsupport::wait_for_endpoints(session_.dir(), before + 1));
  EXPECT_EQ(run({"send", "nowhere to go"}).first, 0);
  const auto message = full->read_line().value_or("");
  EXPECT_NE(message.find("cannot write to standard output: No space left on device"),
            std::string::npos)
      << message;
  EXPECT_EQ(full->wait(), 7);
}

TEST_F(Cli, ListenerOutOfDescriptorsSaysSoAndTheSendersItRefusedReportIt) {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizers' runtime checks memory through a pipe of its own, which a process at its
  // descriptor limit cannot make: every such check then reports a fault that is not there.
  GTEST_SKIP() << "a sanitized listener cannot run at its descriptor limit";
#endif
  // Twenty descriptors leave the listener room for a sender or two, not four.
  const std::size_t before = testsupport::endpoint_sockets(session_.dir()).size();
  auto limited = std::make_unique<ChildProcess>(
      "/bin/sh",
      std::vector<std::string>{"-c", "ulimit -n 20 && exec \"$0\" listen --timeout 30",
                               MMFCAST_CLI_PATH},
      true);
  ASSERT_TRUE(testsupport::wait_for_endpoints(session_.dir(), before + 1));
  std::vector<std::unique_ptr<ChildProcess>> senders;
  int refused = 0;
  for (int i = 0; i < 4; ++i) {
    senders.push_back(cli({"send", "-"}));
    const std::string text = "sender " + std::to_string(i);
    senders.back()->write_line(text);
    // The listener shows the text, or says that it could not take its sender.
    const std::string shown = limited->read_line().value_or("");
    if (shown == text) continue;
    ++refused;
    EXPECT_EQ(shown,
              "mmfcast-cli: could not take the connection of 1 sender (no descriptor left, or no "
              "room to watch it): its texts are not heard here");
    EXPECT_EQ(senders.back()->read_line(),
              "mmfcast-cli: line 1 of standard input: 1 of 1 copy not reached: the copy has no "
              "descriptor left");
  }
  EXPECT_GE(refused, 1);
  for (auto& sender : senders) sender->close_stdin();
  int failed = 0;
  for (auto& sender : senders) failed += sender->wait() == 5 ? 1 : 0;
  EXPECT_EQ(failed, refused);
}

// A send waits as long as $MMFCAST_SEND_DEADLINE_MS says: a listener stopped for longer than
// the usual second, but resumed within that deadline, is reached.
TEST_F(Cli, SendWaitsTheDeadlineTheEnvironmentSets) {
  auto listening = listener();
  ASSERT_EQ(::kill(listening->pid(), SIGSTOP), 0);
  ::setenv("MMFCAST_SEND_DEADLINE_MS", "15000", 1);
  auto sender = cli({"send", "late"});
  ::unsetenv("MMFCAST_SEND_DEADLINE_MS");
  std::this_thread::sleep_for(1500ms);
  ASSERT_EQ(::kill(listening->pid(), SIGCONT), 0);
  EXPECT_EQ(sender->wait(), 0) << sender->read_line().value_or("");
  EXPECT_EQ(listening->read_line(), "late");
}

// A stopped listener: every send says it was not reached (only the first waits for it), and
// once resumed it shows the current text and says how many it slept through.
TEST_F(Cli, StoppedListenerIsReportedBySendersAndSaysWhatItMissed) {
  auto listening = listener();
  ASSERT_EQ(::kill(listening->pid(), SIGSTOP), 0);
  const std::vector<std::string> texts = {"one", "two", "three", "four", "five"};
  for (const std::string& text : texts) {
    EXPECT_EQ(
        run({"send", text}),
        std::make_pair(5, std::string("mmfcast-cli: 1 of 1 copy not reached: not answering")));
  }
  ASSERT_EQ(::kill(listening->pid(), SIGCONT), 0);
  bool shown = false;
  long missed = 0;
  while (!shown || missed < 4) {
    const std::optional<std::string> line = listening->read_line();
    ASSERT_TRUE(line) << "shown " << shown << ", missed " << missed;
    const std::string suffix = " missed: this copy fell behind";
    if (*line == "five") {
      shown = true;
    } else if (line->rfind("mmfcast-cli: ", 0) == 0 && line->size() > suffix.size() &&
               line->compare(line->size() - suffix.size(), suffix.size(), suffix) == 0) {
      missed += std::stol(line->substr(13));
    } else {
      ADD_FAILURE() << "unexpected: " << *line;
    }
  }
  EXPECT_EQ(missed, 4);
  ::kill(listening->pid(), SIGTERM);
  EXPECT_EQ(listening->wait(), 143);
}

// A listener whose session path comes to name a symlink can no longer be reached: it says so
// and ends instead of staying deaf.
TEST_F(Cli, ListenerWhoseSessionDirectoryBecomesASymlinkSaysSoAndEnds) {
  auto listening = listener();
  const std::string moved = session_.dir() + ".moved";
  ASSERT_EQ(::rename(session_.dir().c_str(), moved.c_str()), 0);
  ASSERT_EQ(::symlink(moved.c_str(), session_.dir().c_str()), 0);
  const std::string message = listening->read_line().value_or("");
  const auto code = listening->wait();
  ::unlink(session_.dir().c_str());
  ::rename(moved.c_str(), session_.dir().c_str());
  EXPECT_EQ(code, 3);
  EXPECT_EQ(
      message.rfind(
          "mmfcast-cli: no other copy can reach this one: session directory " + session_.dir(), 0),
      0u)
      << message;
}

TEST_F(Cli, IdleListenerUsesNoCpu) {
  auto listening = listener();
  const auto start = cpu_time(listening->pid());
  std::this_thread::sleep_for(1s);
  EXPECT_LT(cpu_time(listening->pid()) - start, 200ms);
}

TEST_F(Cli, ListenerEndsOnTimeoutAndOnSignals) {
  EXPECT_EQ(run({"listen", "--timeout", "0.3"}).first, 1);
  auto listening = listener();
  ::kill(listening->pid(), SIGTERM);
  EXPECT_EQ(listening->wait(), 143);
  auto interrupted = listener();
  ::kill(interrupted->pid(), SIGINT);
  EXPECT_EQ(interrupted->wait(), 130);
  EXPECT_FALSE(listening->killed_by_signal() || interrupted->killed_by_signal());
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
