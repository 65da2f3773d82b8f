// mmfcast-cli bridge: the frames its agent speaks, checked piece by piece, and the bridge end to
// end between two sessions. Natively the "prefix" is a second session directory that a stand-in
// for Wine's loader (a shell script) gives the agent, a Linux mmfcast-cli; under Wine, where
// the Windows build is at hand, the agent is mmfcast-cli.exe in a private prefix.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "cli/bridge_frame.h"
#include "mmf/channel.h"
#include "tests/support/child_process.h"
#include "tests/support/endpoints_linux.h"

namespace {

using namespace cli::bridge;
using testsupport::ChildProcess;
namespace fs = std::filesystem;

TEST(BridgeFrame, FramesCutFromAStreamSplitAnywhereComeOutWhole) {
  constexpr char kText[] = "a line\n\0with a zero and a newline";
  const std::string text(kText, sizeof kText - 1);
  const std::string stream = hello_frame(4095, "code page 1252") + encode(FrameKind::kText, text) +
                             result_frame(RelayStatus::kRefused, "U+4E2D has no form") +
                             result_frame(RelayStatus::kNotAllReached, "not answering", 2) +
                             encode(FrameKind::kText, "");
  FrameReader reader;
  std::vector<Frame> frames;
  Frame frame;
  std::string why;
  for (char byte : stream) {
    reader.feed(std::string_view(&byte, 1));
    while (reader.next(frame, why) == FrameReader::Next::kFrame) frames.push_back(frame);
  }
  ASSERT_EQ(frames.size(), 5u) << why;
  std::uint32_t max_text = 0;
  std::string code_page;
  ASSERT_TRUE(parse_hello(frames[0].payload, max_text, code_page));
  EXPECT_EQ(max_text, 4095u);
  EXPECT_EQ(code_page, "code page 1252");
  EXPECT_EQ(frames[1].kind, FrameKind::kText);
  EXPECT_EQ(frames[1].payload, text);
  RelayStatus status{};
  std::string reason;
  std::uint32_t unreached = 9;
  ASSERT_TRUE(parse_result(frames[2].payload, status, reason, unreached));
  EXPECT_EQ(status, RelayStatus::kRefused);
  EXPECT_EQ(reason, "U+4E2D has no form");
  EXPECT_EQ(unreached, 0u);
  ASSERT_TRUE(parse_result(frames[3].payload, status, reason, unreached));
  EXPECT_EQ(status, RelayStatus::kNotAllReached);
  EXPECT_EQ(reason, "not answering");
  EXPECT_EQ(unreached, 2u);
  EXPECT_EQ(frames[4].payload, "");
}

TEST(BridgeFrame, UntrustedInputIsRefusedAndStaysRefused) {
  Frame frame;
  std::string why;
  FrameReader unknown;
  unknown.feed(std::string("X\0\0\0\0", 5));
  EXPECT_EQ(unknown.next(frame, why), FrameReader::Next::kBad);
  EXPECT_NE(why.find("unknown frame kind"), std::string::npos);
  unknown.feed(encode(FrameKind::kText, "fine"));
  EXPECT_EQ(unknown.next(frame, why), FrameReader::Next::kBad) << "the stream is out of step";

  // A length past the bound is refused before any of it is waited for or kept.
  FrameReader huge;
  const auto length = static_cast<std::uint32_t>(kMaxPayloadBytes + 1);
  std::string header = "T";
  for (int shift = 0; shift < 32; shift += 8) header += static_cast<char>(length >> shift);
  huge.feed(header);
  EXPECT_EQ(huge.next(frame, why), FrameReader::Next::kBad);
  FrameReader largest;
  largest.feed(header.substr(0, 1) + std::string(1, static_cast<char>(kMaxPayloadBytes & 0xFF)) +
               header.substr(2));
  EXPECT_EQ(largest.next(frame, why), FrameReader::Next::kNeedMore) << "the bound itself is fine";

  RelayStatus status{};
  std::string reason;
  std::uint32_t unreached = 0;
  EXPECT_FALSE(parse_result("", status, reason, unreached));
  EXPECT_FALSE(parse_result(std::string(1, static_cast<char>(RelayStatus::kSent)), status, reason,
                            unreached))
      << "no count";
  EXPECT_FALSE(
      parse_result(std::string(1, static_cast<char>(kLastRelayStatus + 1)) + std::string(4, '\0'),
                   status, reason, unreached));
  // A count of copies not reached belongs to kNotAllReached, which always has one.
  EXPECT_FALSE(parse_result(std::string("\0\1\0\0\0", 5), status, reason, unreached));
  EXPECT_FALSE(parse_result(std::string("\3\0\0\0\0", 5), status, reason, unreached));
  std::uint32_t max_text = 0;
  EXPECT_FALSE(parse_hello("abc", max_text, reason));
}

// A bridge between this test's session and a second session directory standing for the prefix.
class Bridge : public ::testing::Test {
 protected:
  void SetUp() override {
    prefix_ = fs::path(session_.dir()).parent_path() /
              ("prefix-" + std::to_string(::getpid()) + "-" + std::to_string(++runs_));
    fs::create_directories(prefix_);
    std::ofstream(prefix_ / "system.reg") << "";
    ::mkdir((prefix_ / "session").c_str(), 0700);
    loader_ = (prefix_ / "loader.sh").string();
    write_loader("MMFCAST_SESSION_DIR=\"$WINEPREFIX/session\" exec \"$@\"");
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(prefix_, ignored);
  }

  void write_loader(const std::string& body) {
    std::ofstream(loader_) << "#!/bin/sh\n" << body << "\n";
    fs::permissions(loader_, fs::perms::owner_all);
  }
  std::string there() const { return (prefix_ / "session").string(); }

  std::unique_ptr<ChildProcess> cli(const std::vector<std::string>& args) {
    return std::make_unique<ChildProcess>(MMFCAST_CLI_PATH, args, true);
  }
  std::unique_ptr<ChildProcess> start_bridge(const std::vector<std::string>& extra = {}) {
    ::setenv("MMFCAST_WINE", loader_.c_str(), 1);
    std::vector<std::string> args = {"bridge", "--wine", prefix_.string(), "--agent",
                                     MMFCAST_CLI_PATH};
    args.insert(args.end(), extra.begin(), extra.end());
    return cli(args);
  }
  // Reads the bridge's standard error until it says it relays; the agent's process id.
  static int wait_ready(ChildProcess& bridge) {
    for (;;) {
      const auto line = bridge.read_line();
      if (!line) return -1;
      const std::size_t at = line->find("agent process ");
      if (line->find("relaying") != std::string::npos && at != std::string::npos) {
        return std::stoi(line->substr(at + 14));
      }
    }
  }
  // A listener in `dir`, started once it can receive.
  std::unique_ptr<ChildProcess> listener(const std::string& dir,
                                         const std::vector<std::string>& extra = {}) {
    const std::size_t before = testsupport::endpoint_sockets(dir).size();
    std::vector<std::string> args = {"listen", "--timeout", "30", "--session-dir", dir};
    args.insert(args.end(), extra.begin(), extra.end());
    auto process = cli(args);
    EXPECT_TRUE(testsupport::wait_for_endpoints(dir, before + 1));
    return process;
  }
  int send(const std::string& dir, const std::vector<std::string>& words) {
    std::vector<std::string> args = {"send", "--session-dir", dir};
    args.insert(args.end(), words.begin(), words.end());
    return cli(args)->wait().value_or(-1);
  }

  testsupport::ScopedSession session_;
  fs::path prefix_;
  std::string loader_;
  static inline int runs_ = 0;
};

TEST_F(Bridge, EachLineCrossesOnceInOrderAndNeverComesBack) {
  auto bridge = start_bridge();
  ASSERT_GT(wait_ready(*bridge), 0);
  auto here = listener(session_.dir());
  auto far = listener(there());
  EXPECT_EQ(send(there(), {"from there"}), 0);
  auto lines = cli({"send", "--session-dir", session_.dir(), "-"});
  for (int i = 1; i <= 20; ++i) lines->write_line("line " + std::to_string(i));
  lines->close_stdin();
  EXPECT_EQ(lines->wait(), 0);
  // Each side has heard the other's lines before the last two are sent, so an echo of any of
  // them would come back before the last two have crossed.
  std::vector<std::string> heard_here = here->lines_until("from there");
  std::vector<std::string> heard_there = far->lines_until("line 20");
  EXPECT_EQ(send(session_.dir(), {"end here"}), 0);
  EXPECT_EQ(send(there(), {"end there"}), 0);
  for (auto* heard : {&heard_here, &heard_there}) {
    ChildProcess& listening = heard == &heard_here ? *here : *far;
    while (std::count(heard->begin(), heard->end(), "end here") +
               std::count(heard->begin(), heard->end(), "end there") <
           2) {
      const auto line = listening.read_line();
      if (!line) break;
      heard->push_back(*line);
    }
  }

  std::vector<std::string> all = {"from there", "end here", "end there"};
  for (int i = 1; i <= 20; ++i) all.push_back("line " + std::to_string(i));
  std::sort(all.begin(), all.end());
  for (const auto& heard : {heard_here, heard_there}) {
    std::vector<std::string> sorted = heard;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, all) << "each line once on each side";
    std::vector<std::string> from_here;
    for (const auto& line : heard) {
      if (line.rfind("line ", 0) == 0) from_here.push_back(line);
    }
    for (std::size_t i = 0; i < from_here.size(); ++i) {
      EXPECT_EQ(from_here[i], "line " + std::to_string(i + 1)) << "in the sender's order";
    }
  }
}

TEST_F(Bridge, NamedChannelsAreBridgedApart) {
  auto bridge = start_bridge({"--channel", "Notes"});
  ASSERT_GT(wait_ready(*bridge), 0);
  // A second bridge for the same prefix and channel would relay the first one's lines back.
  auto second = start_bridge({"--channel", "Notes"});
  EXPECT_NE(second->read_line().value_or("").find("another bridge relays channel Notes"),
            std::string::npos);
  EXPECT_EQ(second->wait(), 11);
  auto far_notes = listener(there(), {"--channel", "Notes"});
  auto far_windows = listener(there(), {"--count", "1"});
  EXPECT_EQ(send(session_.dir(), {"--channel", "Notes", "note"}), 0);
  EXPECT_EQ(send(session_.dir(), {"window line"}), 0);
  EXPECT_EQ(send(there(), {"local"}), 0);
  EXPECT_EQ(far_notes->read_line(), "note");
  EXPECT_EQ(far_windows->read_line(), "local") << "the windows' channel is not bridged";
}

// A send returns once the copies beyond the bridge have the line, and counts those it did not
// reach. The stand-in's area there holds 7 bytes, so a longer line cannot be carried there.
TEST_F(Bridge, TheSenderLearnsWhatBecameOfItsLineBeyondTheBridge) {
  write_loader("MMFCAST_SESSION_DIR=\"$WINEPREFIX/session\" exec \"$@\" --size 8");
  auto bridge = start_bridge({"--channel", "Notes"});
  ASSERT_GT(wait_ready(*bridge), 0);
  auto far = listener(there(), {"--channel", "Notes"});
  auto stopped = listener(there(), {"--channel", "Notes"});
  auto here = listener(session_.dir(), {"--channel", "Notes"});
  const auto send_in = [&](const std::string& dir, const std::string& text) {
    auto sender = cli({"send", "--session-dir", dir, "--channel", "Notes", text});
    const std::string said = sender->read_line().value_or("");
    return std::pair(sender->wait().value_or(-1), said);
  };
  const auto send_here = [&](const std::string& text) { return send_in(session_.dir(), text); };
  EXPECT_EQ(send_here("short"), std::pair(0, std::string()));
  EXPECT_EQ(far->read_line(), "short");

  const std::string bridge_to = "the bridge to Wine prefix " + prefix_.string();
  auto [code, said] = send_here("too long for there");
  EXPECT_EQ(code, 5);
  EXPECT_NE(said.find("1 of 3 copies not reached: " + bridge_to +
                      " could not carry it: longer than the 7 bytes"),
            std::string::npos)
      << said;
  EXPECT_EQ(here->lines_until("too long for there").back(), "too long for there");

  // The other way: a sender in the prefix learns of a copy here that does not answer. The
  // first send may find the agent still waiting for this side's deadline, as below.
  ASSERT_EQ(::kill(here->pid(), SIGSTOP), 0);
  EXPECT_EQ(send_in(there(), "three").first, 5);
  std::tie(code, said) = send_in(there(), "four");
  ::kill(here->pid(), SIGCONT);
  EXPECT_EQ(code, 5);
  EXPECT_NE(said.find("1 of 4 copies not reached: 1 not reached beyond the bridge to Linux: 1 "
                      "of 1 copy not reached: not answering"),
            std::string::npos)
      << said;
  EXPECT_EQ(here->lines_until("four").back(), "four") << "it has the lines once it runs";

  // The first send after the copy stopped may find the bridge still waiting for the far side's
  // deadline; by the second, the far side skips the stopped copy and says so at once.
  ASSERT_EQ(::kill(stopped->pid(), SIGSTOP), 0);
  EXPECT_EQ(send_here("one").first, 5);
  std::tie(code, said) = send_here("two");
  ::kill(stopped->pid(), SIGCONT);
  EXPECT_EQ(code, 5);
  EXPECT_NE(said.find("1 of 3 copies not reached: 1 not reached beyond " + bridge_to +
                      ": 1 of 2 copies not reached: not answering"),
            std::string::npos)
      << said;
  EXPECT_EQ(far->lines_until("two").back(), "two");
}

TEST_F(Bridge, AgentThatEndsIsReportedAndStartedAgain) {
  auto bridge = start_bridge();
  const int agent = wait_ready(*bridge);
  ASSERT_GT(agent, 0);
  auto far = listener(there());
  ASSERT_EQ(::kill(agent, SIGKILL), 0);
  const auto said = bridge->read_line();
  ASSERT_TRUE(said);
  EXPECT_NE(said->find("ended by signal 9; starting it again"), std::string::npos) << *said;
  // Sent while the agent is being started again: it waits for the new one.
  EXPECT_EQ(send(session_.dir(), {"while restarting"}), 0);
  const int again = wait_ready(*bridge);
  ASSERT_GT(again, 0);
  EXPECT_NE(again, agent);
  EXPECT_EQ(far->read_line(), "while restarting");
  auto here = listener(session_.dir());
  EXPECT_EQ(send(there(), {"after the restart"}), 0);
  EXPECT_EQ(here->read_line(), "after the restart");
  ::kill(bridge->pid(), SIGTERM);
  EXPECT_EQ(bridge->wait(), 143);
  EXPECT_FALSE(bridge->killed_by_signal()) << "it stops its agent and ends itself";
}

TEST_F(Bridge, AgentThatBreaksTheProtocolIsStoppedAndAtLastGivenUp) {
  write_loader("printf 'junk!'; exec sleep 30");
  auto bridge = start_bridge();
  int protocol_breaks = 0;
  std::string last;
  while (auto line = bridge->read_line(std::chrono::seconds(30))) {
    if (line->find("broke the protocol") != std::string::npos) ++protocol_breaks;
    last = *line;
  }
  EXPECT_EQ(protocol_breaks, 5);
  EXPECT_NE(last.find("giving up"), std::string::npos) << last;
  EXPECT_EQ(bridge->wait(), 11);
}

TEST_F(Bridge, AgentThatStopsAnsweringIsStartedAgain) {
  // Says hello (4095 bytes a line, no code page's name), then never reads or writes again.
  write_loader("printf 'H\\004\\000\\000\\000\\377\\017\\000\\000'; exec sleep 60");
  ::setenv("MMFCAST_BRIDGE_PING_MS", "100", 1);
  auto bridge = start_bridge();
  ::unsetenv("MMFCAST_BRIDGE_PING_MS");
  const int agent = wait_ready(*bridge);
  ASSERT_GT(agent, 0);
  const auto said = bridge->read_line();
  EXPECT_NE(said.value_or("").find("has not answered for 400 ms; starting it again"),
            std::string::npos)
      << said.value_or("");
  const int again = wait_ready(*bridge);
  EXPECT_GT(again, 0);
  EXPECT_NE(again, agent);
  EXPECT_NE(::kill(agent, 0), 0) << "the hung one was killed";
  bridge->kill();
  bridge->wait();

  // One that never says hello is timed as well.
  write_loader("exec sleep 60");
  ::setenv("MMFCAST_BRIDGE_HELLO_MS", "200", 1);
  bridge = start_bridge();
  ::unsetenv("MMFCAST_BRIDGE_HELLO_MS");
  const auto told = bridge->read_line();
  EXPECT_NE(told.value_or("").find("has not said hello 200 ms after its start; starting it again"),
            std::string::npos)
      << told.value_or("");
}

TEST_F(Bridge, CannotStartSaysWhyAndExitsEleven) {
  struct Case {
    std::vector<std::string> args;
    const char* wine;
    std::string said;
  };
  const std::string prefix = prefix_.string();
  const std::vector<Case> cases = {
      {{"--wine", prefix + "/missing"}, nullptr, "no Wine prefix at " + prefix + "/missing"},
      {{"--wine", prefix + "/session"}, nullptr, "is not a Wine prefix"},
      {{"--wine", prefix}, "/nonexistent/wine64", "MMFCAST_WINE names /nonexistent/wine64"},
      {{"--wine", prefix, "--agent", prefix + "/none.exe"}, nullptr, "no Windows agent at"},
  };
  for (const Case& c : cases) {
    ::setenv("MMFCAST_WINE", c.wine != nullptr ? c.wine : loader_.c_str(), 1);
    std::vector<std::string> args = {"bridge"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto bridge = cli(args);
    const std::string said = bridge->read_line().value_or("");
    EXPECT_NE(said.find(c.said), std::string::npos) << said;
    EXPECT_EQ(bridge->wait(), 11) << said;
  }
}

}  // namespace

// The bridge with Wine, with the programs a user has in a prefix: the Windows window, a program
// of another maker that knows only the contract (tests/win/foreign_copy.c) and mmfcast-cli.exe.
class WineBridge : public Bridge {
 protected:
  void SetUp() override {
    Bridge::SetUp();
    if (!fs::exists(exe_) || !fs::exists(foreign_) || ::access(kWine, X_OK) != 0) {
      GTEST_SKIP() << "needs Wine and the Windows build (" << exe_ << ", " << foreign_ << ")";
    }
    ::setenv("MMFCAST_WINE", kWine, 1);
    ::setenv("WINEDLLOVERRIDES", "mscoree,mshtml=;winemenubuilder.exe=d", 1);
    // A send inside the prefix can take most of a second on a loaded machine, and a relayed
    // line waits for one on each side: every copy here, on both sides, waits longer.
    ::setenv("MMFCAST_SEND_DEADLINE_MS", "4000", 1);
  }
  void TearDown() override {
    ::unsetenv("MMFCAST_SEND_DEADLINE_MS");
    if (bridge_) {
      bridge_->kill();
      if (HasFailure()) {
        for (const auto& line : bridge_->lines_until("")) std::cerr << "bridge: " << line << "\n";
      }
      // The prefix's programs end with the test: killing a program's wine_run.sh does not reach
      // the program, which would otherwise hold the test's output until its own timeout.
      const std::string end_all = std::string("WINEPREFIX=") + kPrefix + " " + kWineServer + " -k";
      EXPECT_EQ(std::system(end_all.c_str()), 0);
    }
    Bridge::TearDown();
  }

  // Starts the bridge with the prefix's programs in the given locale (Wine takes its code page
  // from it) once the prefix is up.
  void start(const std::string& locale) {
    ::setenv("LC_ALL", locale.c_str(), 1);
    ::setenv("MMFCAST_WINE_LOCALE", locale.c_str(), 1);
    ASSERT_EQ(in_prefix(exe_, {"--version"})->wait(std::chrono::seconds(120)), 0);
    bridge_ = cli({"bridge", "--wine", kPrefix, "--agent", exe_});
    ASSERT_GT(wait_ready(*bridge_), 0);
  }
  std::unique_ptr<ChildProcess> in_prefix(const std::string& program,
                                          const std::vector<std::string>& args,
                                          bool merge_stderr = false) {
    std::vector<std::string> all = {MMFCAST_WINE_RUN, kPrefix, program};
    all.insert(all.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>("/bin/sh", all, merge_stderr);
  }
  // A listener in the prefix, started once it hears: nothing else tells when it listens, so
  // lines are sent from this session until one arrives.
  std::unique_ptr<ChildProcess> listener_in_prefix() {
    auto far = in_prefix(exe_, {"listen", "--json", "--timeout", "60"});
    for (int i = 0; i < 120; ++i) {
      EXPECT_EQ(send(session_.dir(), {"probe"}), 0);
      if (far->read_line(std::chrono::milliseconds(500))) return far;
    }
    ADD_FAILURE() << "the listener in the prefix heard nothing";
    return far;
  }
  // The text of a line of listen --json (texts without quotes or backslashes).
  static std::string text_of(const std::string& json) {
    const std::size_t at = json.find("\"text\":\"");
    if (at == std::string::npos) return json;
    return json.substr(at + 8, json.find('"', at + 8) - at - 8);
  }

  static constexpr const char* kWine = "/usr/lib/wine/wine64";
  static constexpr const char* kWineServer = "/usr/lib/wine/wineserver";
  static constexpr const char* kPrefix = MMFCAST_BRIDGE_PREFIX;
  const std::string exe_ = MMFCAST_WINDOWS_CLI;
  const std::string windows_build_ = fs::path(exe_).parent_path().parent_path().string();
  const std::string foreign_ = windows_build_ + "/tests/foreign_copy.exe";
  std::unique_ptr<ChildProcess> bridge_;
};

TEST_F(WineBridge, ForeignProgramAndTheWindowInThePrefixAndLinuxHearEachOther) {
  ASSERT_NO_FATAL_FAILURE(start("C.UTF-8"));
  auto here = listener(session_.dir());
  auto channel = std::make_unique<mmfcast::Channel>();
  ASSERT_TRUE(channel->joined()) << channel->error();
  std::vector<std::string> in_channel;
  channel->on_receive([&](const std::string& text) { in_channel.push_back(text); });
  // Starts a program in the prefix and dispatches the channel until it has heard `text`, since
  // the line crosses while the program runs; then the program's exit status.
  const auto sent_from_prefix = [&](const std::string& program,
                                    const std::vector<std::string>& args, const std::string& text) {
    auto process = in_prefix(program, args);
    for (int i = 0; i < 3000 && (in_channel.empty() || in_channel.back() != text); ++i) {
      channel->dispatch(20);
    }
    EXPECT_EQ(in_channel.back(), text);
    EXPECT_EQ(here->read_line(), text);
    return process->wait(std::chrono::seconds(60)).value_or(-1);
  };

  EXPECT_EQ(sent_from_prefix(foreign_, {"send", "from another maker"}, "from another maker"), 0);
  const std::string window = windows_build_ + "/ui/win32/mmfcast.exe";
  if (fs::exists(window)) {
    auto shown = in_prefix(window, {});
    EXPECT_EQ(sent_from_prefix(foreign_, {"type", "typed in the window"}, "typed in the window"),
              0);
    EXPECT_EQ(in_prefix(foreign_, {"close"})->wait(std::chrono::seconds(60)), 0);
    EXPECT_EQ(shown->wait(std::chrono::seconds(60)), 0);
  }

  channel.reset();  // a copy that no longer dispatches would count as not reached

  // The other way, into a receiver that answers the contract's notification and nothing else;
  // it prints the code page's bytes (é is 0xE9 in 1252).
  auto foreign = in_prefix(foreign_, {"listen", "1"});
  ASSERT_EQ(foreign->read_line(std::chrono::seconds(60)), "ready");
  EXPECT_EQ(send(session_.dir(), {"caf\xc3\xa9 from Linux"}), 0);
  EXPECT_EQ(foreign->read_line(), "caf\xe9 from Linux");
  EXPECT_EQ(foreign->wait(), 0);
}

// Three senders on each side at once, 200 lines each: every line once, in each sender's order,
// on a copy of each side.
TEST_F(WineBridge, ThreeSendersOnEachSideEveryLineOnceOnBothSides) {
  ASSERT_NO_FATAL_FAILURE(start("C.UTF-8"));
  auto here = listener(session_.dir());
  auto far = listener_in_prefix();
  constexpr int kLines = 200;
  std::vector<std::unique_ptr<ChildProcess>> senders;
  for (int s = 0; s < 3; ++s) {
    senders.push_back(cli({"send", "--session-dir", session_.dir(), "-"}));
    senders.push_back(in_prefix(exe_, {"send", "-"}));
  }
  for (int i = 1; i <= kLines; ++i) {
    for (int s = 0; s < 6; ++s) {
      senders[s]->write_line((s % 2 == 0 ? "L" : "W") + std::to_string(s / 2) + " " +
                             std::to_string(i));
    }
  }
  for (auto& sender : senders) sender->close_stdin();
  for (auto& sender : senders) {
    const auto status = sender->wait(std::chrono::seconds(120));
    EXPECT_EQ(status, 0) << ::testing::PrintToString(sender->lines_until(""));
  }
  EXPECT_EQ(send(session_.dir(), {"end here"}), 0);
  EXPECT_EQ(in_prefix(exe_, {"send", "end there"})->wait(std::chrono::seconds(60)), 0);

  for (ChildProcess* copy : {here.get(), far.get()}) {
    std::map<std::string, int> last;  // by sender: the number of its last line heard
    int ends = 0;
    while (ends < 2) {
      const auto line = copy->read_line(std::chrono::seconds(60));
      ASSERT_TRUE(line) << "lines missing; heard up to " << ::testing::PrintToString(last);
      const std::string text = copy == far.get() ? text_of(*line) : *line;
      if (text == "probe") continue;
      if (text.rfind("end ", 0) == 0) {
        ++ends;
        continue;
      }
      const std::size_t space = text.find(' ');
      ASSERT_NE(space, std::string::npos) << text;
      int& previous = last[text.substr(0, space)];
      EXPECT_EQ(std::stoi(text.substr(space + 1)), previous + 1) << "out of order or twice";
      previous = std::stoi(text.substr(space + 1));
    }
    EXPECT_EQ(last.size(), 6u);
    for (const auto& [sender, number] : last) EXPECT_EQ(number, kLines) << sender;
  }
}

// Under code page 932 (ja_JP.UTF-8), Japanese text crosses both ways; a character the code page
// lacks is refused, not altered.
TEST_F(WineBridge, CodePage932BothWaysAndACharacterOutsideItIsRefused) {
  ASSERT_EQ(
      std::system((std::string("sh ") + MMFCAST_MAKE_LOCALE + " ja_JP UTF-8 >/dev/null").c_str()),
      0);
  if (std::system("locale -a | grep -qix 'ja_JP.utf-\\?8'") != 0) {
    GTEST_SKIP() << "no locale ja_JP.UTF-8, which gives Wine code page 932";
  }
  ASSERT_NO_FATAL_FAILURE(start("ja_JP.UTF-8"));
  const std::string japanese = "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e";  // 日本語
  auto here = listener(session_.dir());
  auto far = listener_in_prefix();
  EXPECT_EQ(send(session_.dir(), {japanese + " from Linux"}), 0);
  for (;;) {
    const auto line = far->read_line();
    ASSERT_TRUE(line) << "the line never arrived in the prefix";
    if (text_of(*line) == "probe") continue;
    EXPECT_EQ(text_of(*line), japanese + " from Linux");
    break;
  }
  EXPECT_EQ(in_prefix(exe_, {"send", japanese + " from Wine"})->wait(std::chrono::seconds(60)), 0);
  for (;;) {
    const auto line = here->read_line();
    ASSERT_TRUE(line) << "the line never arrived here";
    if (*line == "probe" || *line == japanese + " from Linux") continue;
    EXPECT_EQ(*line, japanese + " from Wine");
    break;
  }

  // This session has the line; the prefix refuses it, and the sender is told why.
  auto refused = cli({"send", "--session-dir", session_.dir(), "caf\xc3\xa9"});
  const std::string said = refused->read_line().value_or("");
  EXPECT_NE(said.find("U+00E9 at character 4 has no form in code page 932"), std::string::npos)
      << said;
  EXPECT_EQ(refused->wait(), 5);
}

// mmfcast-cli.exe sends and listens in the prefix (code page 1252), a Linux listener and sender
// in this test's session.
TEST_F(WineBridge, WindowsCommandLineInThePrefixAndLinuxHearEachOther) {
  ASSERT_NO_FATAL_FAILURE(start("C.UTF-8"));
  auto here = listener(session_.dir());
  EXPECT_EQ(in_prefix(exe_, {"send", "h\xc3\xa9llo from Wine"})->wait(std::chrono::seconds(60)), 0);
  EXPECT_EQ(here->read_line(), "h\xc3\xa9llo from Wine");
  // A Windows sender counts a copy here that does not answer, through the agent's answer.
  ASSERT_EQ(::kill(here->pid(), SIGSTOP), 0);
  auto windows_sender = in_prefix(exe_, {"send", "while stopped"}, true);
  const std::string counted = windows_sender->read_line(std::chrono::seconds(60)).value_or("");
  EXPECT_EQ(windows_sender->wait(std::chrono::seconds(60)), 5);
  ::kill(here->pid(), SIGCONT);
  EXPECT_NE(counted.find("not reached: not reached beyond a receiver"), std::string::npos)
      << counted;
  EXPECT_EQ(here->read_line(), "while stopped");

  auto far = listener_in_prefix();
  EXPECT_EQ(send(session_.dir(), {"gr\xc3\xbc\xc3\x9f"
                                  "e"}),
            0);
  for (;;) {
    const auto line = far->read_line();
    ASSERT_TRUE(line) << "the line never arrived in the prefix";
    if (text_of(*line) == "probe") continue;
    EXPECT_EQ(text_of(*line),
              "gr\xc3\xbc\xc3\x9f"
              "e");
    break;
  }

  // This session has it; the prefix cannot carry it, and its sender is told why.
  auto refused = cli({"send", "--session-dir", session_.dir(), "\xe4\xb8\xad"});
  const std::string said = refused->read_line().value_or("");
  EXPECT_EQ(refused->wait(), 5);
  EXPECT_NE(said.find("could not carry it: U+4E2D at character 1 has no form in code page 1252"),
            std::string::npos)
      << said;
}
