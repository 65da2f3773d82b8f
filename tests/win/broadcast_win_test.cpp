// The broadcast between processes on Windows: it returns only once the receivers have handled the
// notification, waits for slow receivers side by side rather than one after another, gives up on
// an unresponsive one at the deadline without holding up the others (and says it was not
// reached), lets the senders of the logon session, however short-lived, skip a window another
// one waited out, and with the send lock lets several copies send at once without a text lost,
// doubled or cut.
#include <gtest/gtest.h>
#include <windows.h>
#undef BroadcastSystemMessage  // the header maps it to the A or W form; ours is the name itself

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/win/hung_marks.h"
#include "tests/child/send_texts.h"
#include "tests/support/child_process.h"
#include "tests/support/hex.h"

namespace {

using std::chrono::milliseconds;
using testsupport::ChildProcess;
using Clock = std::chrono::steady_clock;

class BroadcastWin : public ::testing::Test {
 protected:
  void SetUp() override {
    msg_ = mmfcast::platform::RegisterWindowMessageA(session_.name("Sync").c_str());
    ASSERT_NE(msg_, 0u);
  }
  // Broadcasts msg_ with this wParam, expecting `unreached` programs not reached, and returns how
  // long the call took.
  milliseconds timed_broadcast(mmfcast::platform::WParam w, int unreached = 0) {
    std::uint32_t recipients = mmfcast::platform::kBsmApplications;
    const auto start = Clock::now();
    const long result = mmfcast::platform::BroadcastSystemMessage(
        mmfcast::platform::kBsfIgnoreCurrentTask, &recipients, msg_, w, 0);
    const milliseconds took = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    EXPECT_EQ(result, unreached == 0 ? 1 : -1);
    EXPECT_EQ(mmfcast::platform::broadcast_unreached(), unreached);
    if (unreached != 0) {
      const std::string said = mmfcast::platform::last_error_text();
      EXPECT_EQ(said.rfind(std::to_string(unreached) + " of ", 0), 0u) << said;
      EXPECT_NE(said.find(" not reached: not answering"), std::string::npos) << said;
    }
    return took;
  }
  std::string got(mmfcast::platform::WParam w) const {
    return "got " + std::to_string(msg_) + " " + std::to_string(w) + " 0";
  }

  testsupport::ScopedSession session_;
  std::uint32_t msg_ = 0;
};

TEST_F(BroadcastWin, ReturnsOnlyOnceAReceiverInAnotherProcessHasHandledIt) {
  ChildProcess slow({"listen", "1", "delay=400"});
  ASSERT_EQ(slow.read_line(), "ready");
  EXPECT_GE(timed_broadcast(3), milliseconds(400));
  // The receiver reports from inside its procedure, so the report is already there.
  EXPECT_EQ(slow.read_line(milliseconds(0)), got(3));
  slow.write_line("quit");
  EXPECT_EQ(slow.wait(), 0);
}

TEST_F(BroadcastWin, SlowReceiversAreWaitedForSideBySide) {
  std::vector<std::unique_ptr<ChildProcess>> slow;
  for (int i = 0; i < 4; ++i) {
    slow.push_back(
        std::make_unique<ChildProcess>(std::vector<std::string>{"listen", "1", "delay=300"}));
  }
  for (auto& child : slow) ASSERT_EQ(child->read_line(), "ready");
  const milliseconds took = timed_broadcast(5);
  EXPECT_GE(took, milliseconds(300));
  EXPECT_LT(took, milliseconds(1000)) << "four 300 ms receivers one after another take 1200 ms";
  for (auto& child : slow) {
    EXPECT_EQ(child->read_line(milliseconds(0)), got(5));
    child->write_line("quit");
    EXPECT_EQ(child->wait(), 0);
  }
}

TEST_F(BroadcastWin, UnresponsiveReceiverCostsOneDeadlineAndDelaysNobodyAfter) {
  ChildProcess healthy({"listen", "1"});
  ASSERT_EQ(healthy.read_line(), "ready");
  // Started last, so the system does not yet count it hung (that takes seconds) and the
  // deadline is what ends the wait.
  ChildProcess hung({"unresponsive"});
  ASSERT_EQ(hung.read_line(), "ready");

  const milliseconds first = timed_broadcast(1, 1);
  EXPECT_GE(first, milliseconds(mmfcast::platform::kBroadcastDeadlineMs - 50));
  EXPECT_LT(first, milliseconds(mmfcast::platform::kBroadcastDeadlineMs + 500));
  EXPECT_EQ(healthy.read_line(milliseconds(0)), got(1));

  // Not waited for again while it has not answered, and not reached either.
  for (mmfcast::platform::WParam w = 2; w <= 4; ++w) {
    EXPECT_LT(timed_broadcast(w, 1), milliseconds(300));
    EXPECT_EQ(healthy.read_line(milliseconds(0)), got(w));
  }
  hung.kill();
  healthy.write_line("quit");
  EXPECT_EQ(healthy.wait(), 0);
}

TEST_F(BroadcastWin, ReceiverThatRecoversIsWaitedForAgain) {
  ChildProcess late({"listen", "1", "delay=1500"});
  ASSERT_EQ(late.read_line(), "ready");
  EXPECT_LT(timed_broadcast(1, 1), milliseconds(mmfcast::platform::kBroadcastDeadlineMs + 500));
  // Its answer arrives while this thread handles what is sent to it.
  EXPECT_EQ(late.read_line(), got(1));
  std::this_thread::sleep_for(milliseconds(500));  // its answer follows the report at once
  EXPECT_GE(timed_broadcast(2, 1), milliseconds(mmfcast::platform::kBroadcastDeadlineMs - 50))
      << "once it has answered, its next notification is waited for";
  late.write_line("quit");
  EXPECT_EQ(late.wait(), 0);
}

struct WindowSearch {
  DWORD pid;
  std::vector<HWND> found;
};

BOOL CALLBACK note_window_of(HWND hwnd, LPARAM param) {
  auto& search = *reinterpret_cast<WindowSearch*>(param);
  DWORD owner = 0;
  ::GetWindowThreadProcessId(hwnd, &owner);
  if (owner == search.pid) search.found.push_back(hwnd);
  return TRUE;
}

// The top-level windows of process pid (the system may give its thread one of its own).
std::vector<HWND> windows_of(int pid) {
  WindowSearch search{static_cast<DWORD>(pid), {}};
  ::EnumWindows(note_window_of, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

TEST_F(BroadcastWin, MarkedWindowIsSkippedUntilTheMarkHasStoodAWhileThenHeardAgain) {
  ChildProcess listener({"listen", "1", "quiet"});
  ASSERT_EQ(listener.read_line(), "ready");
  const std::vector<HWND> windows = windows_of(listener.pid());
  ASSERT_FALSE(windows.empty());
  const mmfcast::platform::win::HungMarks& marks = mmfcast::platform::win::session_hung_marks();
  ASSERT_TRUE(marks.open());

  // Marked just now by some other sender: skipped, so not reached.
  for (HWND w : windows) marks.mark(w, ::GetTickCount64());
  timed_broadcast(1, 1);
  listener.write_line("count");
  EXPECT_EQ(listener.read_line(), "count 0");

  // Marked long ago: sent and waited for again, and its answer clears the mark.
  const ULONGLONG now = ::GetTickCount64();
  for (HWND w : windows) marks.mark(w, now > 10000 ? now - 10000 : 1);
  timed_broadcast(2);
  listener.write_line("count");
  EXPECT_EQ(listener.read_line(), "count 1");
  for (HWND w : windows) EXPECT_EQ(marks.since(w, ::GetTickCount64()), 0u);
  listener.write_line("quit");
  EXPECT_EQ(listener.wait(), 0);
}

// Separate short-lived senders share what they learnt, also when no copy keeps running in
// between (nothing in this process registers a message or opens anything for them): a window
// the first one waited out is skipped by the next ones, and each reports it not reached.
TEST(BroadcastWinSession, SeparateSendersSkipAWindowAnEarlierOneWaitedOut) {
  const testsupport::ScopedSession session;
  const std::string name = session.name("Marks");
  ChildProcess hung({"unresponsive", "resume"});
  ASSERT_EQ(hung.read_line(), "ready");
  for (int i = 0; i < 4; ++i) {
    ChildProcess sender({"broadcast-once", name});
    const std::optional<std::string> sent = sender.read_line();
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->rfind("sent -1 1 1 of ", 0), 0u) << "sender " << i << ": " << *sent;
    EXPECT_NE(sent->find(" not reached: not answering"), std::string::npos) << *sent;
    EXPECT_EQ(sender.wait(), 0);
  }
  // A sender that waited for the window left a notification in its queue; one that skipped it
  // left none.
  hung.write_line("go");
  EXPECT_EQ(hung.read_line(), "got 1");
  EXPECT_EQ(hung.wait(), 0);
}

TEST_F(BroadcastWin, CopiesSendingAtOnceLoseDoubleAndCutNothing) {
  const std::string message_name = session_.name("Many");
  ChildProcess listener({"hooked", message_name});
  const std::optional<std::string> ready = listener.read_line();
  ASSERT_TRUE(ready && ready->rfind("ready ", 0) == 0);

  constexpr int kPerSender = 50;
  const std::vector<std::string> tags = {"a", "b", "c"};
  std::map<std::string, int> expected;
  std::vector<std::unique_ptr<ChildProcess>> senders;
  for (const std::string& tag : tags) {
    for (int i = 0; i < kPerSender; ++i) {
      expected["data " +
               testsupport::to_hex16(mmfcast::platform::from_ansi(child::sent_text(tag, i)))] = 0;
    }
    senders.push_back(std::make_unique<ChildProcess>(
        std::vector<std::string>{"send-many", message_name, tag, std::to_string(kPerSender)}));
  }
  for (auto& sender : senders) ASSERT_EQ(sender->read_line(), "ready");
  for (auto& sender : senders) sender->write_line("go");

  // The listener's output is read as it comes: a listener blocked on a full pipe would stop
  // answering, and the senders would rightly stop waiting for it.
  int arrived = 0;
  std::vector<std::string> unexpected;
  auto take = [&](const std::string& line) {
    if (line.rfind("proc ", 0) == 0) return;  // the window's own procedure speaking
    auto found = expected.find(line);
    if (found == expected.end()) {
      unexpected.push_back(line);
    } else {
      ++found->second;
      ++arrived;
    }
  };
  std::size_t finished = 0;
  const auto give_up = Clock::now() + std::chrono::seconds(120);
  while (finished < senders.size() && Clock::now() < give_up) {
    while (std::optional<std::string> line = listener.read_line(milliseconds(20))) take(*line);
    for (auto& sender : senders) {
      if (std::optional<std::string> done = sender->read_line(milliseconds(0))) {
        EXPECT_EQ(*done, "done 0");
        ++finished;
      }
    }
  }
  ASSERT_EQ(finished, senders.size());
  for (auto& sender : senders) EXPECT_EQ(sender->wait(), 0);
  while (std::optional<std::string> line = listener.read_line(milliseconds(500))) take(*line);
  EXPECT_EQ(arrived, 3 * kPerSender);
  EXPECT_TRUE(unexpected.empty()) << "first cut or foreign text: " << unexpected.front();
  for (const auto& [text, times] : expected) EXPECT_EQ(times, 1) << text;
  listener.write_line("quit");
  EXPECT_EQ(listener.wait(), 0);
}

}  // namespace
