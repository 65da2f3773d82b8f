// Registered message ids, window procedures and broadcast as every backend provides them. Where
// a broadcast crosses processes, the test waits for the receiver's own report of what it got,
// since not every backend's broadcast waits for receivers in other processes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/support/child_process.h"

namespace {

using testsupport::ChildProcess;
using testsupport::ScopedSession;

long broadcast(std::uint32_t msg, mmfcast::platform::WParam w, mmfcast::platform::LParam l) {
  std::uint32_t recipients = mmfcast::platform::kBsmApplications;
  return mmfcast::platform::BroadcastSystemMessage(mmfcast::platform::kBsfIgnoreCurrentTask,
                                                   &recipients, msg, w, l);
}

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

// Reads the child's lines until one equals `expected`; false when it never comes.
bool wait_for_line(ChildProcess& child, const std::string& expected) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    std::optional<std::string> line = child.read_line(std::chrono::seconds(20));
    if (!line) return false;
    if (*line == expected) return true;
  }
  return false;
}

std::string got_line(std::uint32_t msg, mmfcast::platform::WParam w, mmfcast::platform::LParam l) {
  return "got " + std::to_string(msg) + " " + std::to_string(w) + " " + std::to_string(l);
}

class MessageIds : public ::testing::Test {
 protected:
  ScopedSession session;
};

TEST_F(MessageIds, SameNameGivesSameIdInAnotherProcessWhateverItsCase) {
  const std::string name = session.name("Channel.Test");
  const std::uint32_t id = mmfcast::platform::RegisterWindowMessageA(name.c_str());
  ASSERT_GE(id, 0xC000u);
  ASSERT_LE(id, 0xFFFFu);

  ChildProcess child({"register", upper(name), name, session.name("Channel.Other")});
  EXPECT_EQ(child.read_line(), "id " + std::to_string(id));
  EXPECT_EQ(child.read_line(), "id " + std::to_string(id));
  const std::optional<std::string> other = child.read_line();
  ASSERT_TRUE(other.has_value());
  EXPECT_NE(*other, "id " + std::to_string(id));
  EXPECT_NE(*other, "id 0");
  EXPECT_EQ(child.wait(), 0);

  EXPECT_EQ(mmfcast::platform::RegisterWindowMessageA(upper(name).c_str()), id);
}

TEST_F(MessageIds, NameLengthMustBeOneTo255Bytes) {
  EXPECT_EQ(mmfcast::platform::RegisterWindowMessageA(""), 0u);
  std::string longest = session.name("L");
  longest.resize(255, 'x');
  const std::uint32_t id = mmfcast::platform::RegisterWindowMessageA(longest.c_str());
  EXPECT_GE(id, 0xC000u);
  EXPECT_LE(id, 0xFFFFu);
  EXPECT_EQ(mmfcast::platform::RegisterWindowMessageA((longest + "x").c_str()), 0u);
}

// Each procedure records the last message it saw and answers with its own value.
struct Seen {
  mmfcast::platform::Hwnd hwnd = 0;
  std::uint32_t msg = 0;
  mmfcast::platform::WParam w = 0;
  mmfcast::platform::LParam l = 0;
  int calls = 0;
};
Seen seen_first, seen_second;

mmfcast::platform::LResult MMFCAST_CALLBACK first_proc(mmfcast::platform::Hwnd h, std::uint32_t m,
                                                       mmfcast::platform::WParam w,
                                                       mmfcast::platform::LParam l) {
  if (m >= 0xC000 && m <= 0xFFFF) seen_first = {h, m, w, l, seen_first.calls + 1};
  return 101;
}

mmfcast::platform::LResult MMFCAST_CALLBACK second_proc(mmfcast::platform::Hwnd h, std::uint32_t m,
                                                        mmfcast::platform::WParam w,
                                                        mmfcast::platform::LParam l) {
  if (m >= 0xC000 && m <= 0xFFFF) seen_second = {h, m, w, l, seen_second.calls + 1};
  return 202;
}

class WindowProcs : public ::testing::Test {
 protected:
  void SetUp() override {
    seen_first = {};
    seen_second = {};
    window = mmfcast::platform::create_window(&first_proc);
    ASSERT_NE(window, 0u);
  }
  void TearDown() override { mmfcast::platform::destroy_window(window); }

  ScopedSession session;
  mmfcast::platform::Hwnd window = 0;
};

TEST_F(WindowProcs, ReplacingTheProcedureReturnsOneThatReachesThePrevious) {
  const mmfcast::platform::LongPtr previous =
      mmfcast::platform::SetWindowLongA(window, mmfcast::platform::kGwlWndProc,
                                        reinterpret_cast<mmfcast::platform::LongPtr>(&second_proc));
  ASSERT_NE(previous, 0);
  EXPECT_EQ(mmfcast::platform::CallWindowProcA(
                reinterpret_cast<mmfcast::platform::WndProc>(previous), window, 0xC123, 7, -8),
            101);
  EXPECT_EQ(seen_first.calls, 1);
  EXPECT_EQ(seen_first.hwnd, window);
  EXPECT_EQ(seen_first.msg, 0xC123u);
  EXPECT_EQ(seen_first.w, 7u);
  EXPECT_EQ(seen_first.l, -8);

  const mmfcast::platform::LongPtr back =
      mmfcast::platform::SetWindowLongA(window, mmfcast::platform::kGwlWndProc, previous);
  EXPECT_EQ(mmfcast::platform::CallWindowProcA(reinterpret_cast<mmfcast::platform::WndProc>(back),
                                               window, 0xC124, 0, 0),
            202);
  EXPECT_EQ(seen_second.calls, 1);
}

TEST_F(WindowProcs, UnknownWindowOrOtherIndexLeavesTheProcedure) {
  const mmfcast::platform::Hwnd gone = mmfcast::platform::create_window(&first_proc);
  ASSERT_NE(gone, 0u);
  mmfcast::platform::destroy_window(gone);
  const auto second = reinterpret_cast<mmfcast::platform::LongPtr>(&second_proc);
  EXPECT_EQ(mmfcast::platform::SetWindowLongA(gone, mmfcast::platform::kGwlWndProc, second), 0);
  constexpr int kGwlUserData = -21;
  EXPECT_EQ(mmfcast::platform::SetWindowLongA(window, kGwlUserData, second), 0);

  const mmfcast::platform::LongPtr current =
      mmfcast::platform::SetWindowLongA(window, mmfcast::platform::kGwlWndProc, second);
  EXPECT_EQ(mmfcast::platform::CallWindowProcA(
                reinterpret_cast<mmfcast::platform::WndProc>(current), window, 0xC000, 0, 0),
            101);
}

TEST_F(WindowProcs, CallingNoProcedureGivesZero) {
  EXPECT_EQ(mmfcast::platform::CallWindowProcA(nullptr, window, 0xC000, 1, 2), 0);
}

class Broadcast : public ::testing::Test {
 protected:
  ScopedSession session;
};

TEST_F(Broadcast, ReachesAnotherProcessWithValuesIntactButNotTheSender) {
  seen_first = {};
  const mmfcast::platform::Hwnd own = mmfcast::platform::create_window(&first_proc);
  ASSERT_NE(own, 0u);
  const std::uint32_t msg =
      mmfcast::platform::RegisterWindowMessageA(session.name("Reach").c_str());
  ASSERT_NE(msg, 0u);
  ChildProcess child({"listen", "5"});
  ASSERT_EQ(child.read_line(), "ready");

  const mmfcast::platform::WParam w = 0xFFFFFFF0u;
  EXPECT_EQ(broadcast(msg, w, -9), 1);
  EXPECT_TRUE(wait_for_line(child, got_line(msg, w, -9)));

  mmfcast::platform::pump_messages(50);
  EXPECT_EQ(seen_first.calls, 0);
  child.write_line("quit");
  EXPECT_EQ(child.wait(), 0);
  mmfcast::platform::destroy_window(own);
}

TEST_F(Broadcast, EveryReceiverGetsIt) {
  const std::uint32_t msg =
      mmfcast::platform::RegisterWindowMessageA(session.name("Several").c_str());
  ASSERT_NE(msg, 0u);
  ChildProcess a({"listen", "1"}), b({"listen", "2"}), c({"listen", "3"});
  for (ChildProcess* child : {&a, &b, &c}) ASSERT_EQ(child->read_line(), "ready");

  EXPECT_EQ(broadcast(msg, 3, 4), 1);
  for (ChildProcess* child : {&a, &b, &c}) {
    EXPECT_TRUE(wait_for_line(*child, got_line(msg, 3, 4)));
    child->write_line("quit");
    EXPECT_EQ(child->wait(), 0);
  }
}

TEST_F(Broadcast, ReceiverCanSendToUs) {
  seen_first = {};
  const mmfcast::platform::Hwnd own = mmfcast::platform::create_window(&first_proc);
  ASSERT_NE(own, 0u);
  const std::uint32_t msg = mmfcast::platform::RegisterWindowMessageA(session.name("Back").c_str());
  ASSERT_NE(msg, 0u);
  ChildProcess child({"listen", "1"});
  ASSERT_EQ(child.read_line(), "ready");

  child.write_line("broadcast " + std::to_string(msg) + " 11 -12");
  // The child's broadcast waits for every window of this process, so this one goes on pumping
  // until the child has said how its broadcast went.
  std::optional<std::string> sent;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while ((seen_first.calls == 0 || !sent) && std::chrono::steady_clock::now() < deadline) {
    mmfcast::platform::pump_messages(10);
    if (!sent) sent = child.read_line(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(sent, "sent 1");
  EXPECT_EQ(seen_first.calls, 1);
  EXPECT_EQ(seen_first.hwnd, own);
  EXPECT_EQ(seen_first.msg, msg);
  EXPECT_EQ(seen_first.w, 11u);
  EXPECT_EQ(seen_first.l, -12);
  child.write_line("quit");
  EXPECT_EQ(child.wait(), 0);
  mmfcast::platform::destroy_window(own);
}

}  // namespace
