// The window hook and the message channel: notifications become reads of the area and
// DataArrival events, every message still reaches the window's own procedure unchanged, and
// the hook serves one object and one window at a time.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "hook/ModSubclass.h"
#include "mmf/cMMF.h"
#include "tests/support/child_process.h"
#include "tests/support/desktop_turn.h"
#include "tests/support/hex.h"

namespace {

using namespace std::string_literals;

struct Seen {
  mmfcast::platform::Hwnd hwnd;
  std::uint32_t msg;
  mmfcast::platform::WParam w;
  mmfcast::platform::LParam l;
};
std::vector<Seen> seen;        // what the window's own procedure received
std::vector<std::string> log;  // the order of events and pass-ons

mmfcast::platform::LResult MMFCAST_CALLBACK own_procedure(mmfcast::platform::Hwnd h,
                                                          std::uint32_t msg,
                                                          mmfcast::platform::WParam w,
                                                          mmfcast::platform::LParam l) {
  seen.push_back({h, msg, w, l});
  log.push_back("proc");
  return static_cast<mmfcast::platform::LResult>(msg) * 3 + 1;
}

class WindowHook : public ::testing::Test {
 protected:
  void SetUp() override {
    seen.clear();
    log.clear();
    window_ = mmfcast::platform::create_window(&own_procedure);
    ASSERT_NE(window_, 0u);
    owner_.DataArrival = [this](const std::u16string& text) {
      arrived_.push_back(text);
      log.push_back("data");
    };
    ModSubclass::lMsgID = kId;
  }
  void TearDown() override {
    owner_.StopSubclass(window_);
    mmfcast::platform::destroy_window(window_);
    ModSubclass::lMsgID = 0;
  }
  void open_area_with(const std::u16string& text) {
    const std::int32_t i = owner_.AddMMFItem(mmfcast::kPubMemoryName, 4096);
    ASSERT_EQ(owner_.OpenMMF(i), 1);
    owner_.WriteMMF(i, text);
  }
  mmfcast::platform::LResult deliver(std::uint32_t msg, mmfcast::platform::WParam w,
                                     mmfcast::platform::LParam l) {
    return ModSubclass::WindowProc(window_, msg, w, l);
  }

  static constexpr std::uint32_t kId = 0xC321;
  testsupport::DesktopTurn turn_;  // the area is the desktop's own "MyPubMemory"
  testsupport::ScopedSession session_;
  mmfcast::platform::Hwnd window_ = 0;
  cMMF owner_;
  std::vector<std::u16string> arrived_;
};

TEST_F(WindowHook, OtherMessagesPassThroughUnchanged) {
  owner_.StartSubclass(window_);
  EXPECT_EQ(deliver(0x0400, 0xFEDC, -5), 0x0400 * 3 + 1);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].hwnd, window_);
  EXPECT_EQ(seen[0].msg, 0x0400u);
  EXPECT_EQ(seen[0].w, 0xFEDCu);
  EXPECT_EQ(seen[0].l, -5);
  EXPECT_TRUE(arrived_.empty());
}

TEST_F(WindowHook, NotificationRaisesDataArrivalThenPassesOn) {
  open_area_with(u"abcde");
  owner_.StartSubclass(window_);
  EXPECT_EQ(deliver(kId, 6, 0), static_cast<mmfcast::platform::LResult>(kId) * 3 + 1);
  EXPECT_EQ(arrived_, std::vector<std::u16string>{u"abcde"});
  EXPECT_EQ(log, (std::vector<std::string>{"data", "proc"}));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].w, 6u);
}

TEST_F(WindowHook, NotificationWithoutTheAreaRaisesNothing) {
  owner_.StartSubclass(window_);
  deliver(kId, 6, 0);
  EXPECT_TRUE(arrived_.empty());
  EXPECT_EQ(seen.size(), 1u) << "the notification still reaches the window";
}

TEST_F(WindowHook, UnregisteredIdTreatsMessageZeroAsTheNotification) {
  open_area_with(u"abc");
  ModSubclass::lMsgID = 0;
  owner_.StartSubclass(window_);
  deliver(0, 0, 0);
  EXPECT_EQ(arrived_, std::vector<std::u16string>{u""});
}

#if defined(_WIN32)
// The tags of notifications another copy sent, one hold each, on these messages in turn.
std::vector<mmfcast::platform::LParam> tags_from_another_copy(
    const std::vector<std::uint32_t>& messages) {
  std::vector<std::string> args{"lock-tags"};
  for (std::uint32_t msg : messages) args.push_back(std::to_string(msg));
  testsupport::ChildProcess child(args);
  const auto said = child.read_line();
  EXPECT_EQ(child.wait(), 0);
  std::vector<mmfcast::platform::LParam> tags;
  std::istringstream in(said.value_or(""));
  std::string word;
  in >> word;
  for (mmfcast::platform::LParam tag = 0; in >> tag;) tags.push_back(tag);
  EXPECT_EQ(word, "tags") << said.value_or("(nothing)");
  EXPECT_EQ(tags.size(), messages.size());
  tags.resize(messages.size());
  return tags;
}

// Notifications our senders tagged with send-lock holds that have since ended were queued while
// the window did not answer; the area holds the latest text, which is shown once, whole. Each
// message (each channel) is judged by its own sends: another channel's later hold, or this
// process's send on it, neither hides nor repeats this one's notifications.
TEST_F(WindowHook, QueuedNotificationsOfEndedHoldsShowTheCurrentTextOnce) {
  using mmfcast::platform::NotificationUse;
  using mmfcast::platform::use_notification;
  open_area_with(u"latest");
  owner_.StartSubclass(window_);
  mmfcast::platform::LParam tag[3] = {};
  for (auto& t : tag) {
    const mmfcast::platform::SendLock lock;
    ASSERT_TRUE(lock.held());
    t = mmfcast::platform::notification_tag(kId);
  }
  ASSERT_NE(tag[0], 0);
  ASSERT_NE(tag[1], tag[0]);
  // The latest hold was this process's own: its text is not heard back.
  deliver(kId, 7, tag[0]);
  EXPECT_TRUE(arrived_.empty());

  // Another copy sends on this channel, then on another one; both were queued here.
  constexpr std::uint32_t kOther = kId + 1;
  const auto theirs = tags_from_another_copy({kId, kOther});
  deliver(kId, 3, tag[0]);
  deliver(kId, 3, tag[1]);
  deliver(kId, 3, tag[2]);
  deliver(kId, 3, theirs[0]);
  ASSERT_EQ(arrived_.size(), 1u);
  EXPECT_EQ(std::u16string(arrived_[0].c_str()), u"latest") << "whole, not 2 characters";
  EXPECT_EQ(seen.size(), 5u) << "every notification still reaches the window";
  EXPECT_EQ(use_notification(window_, kOther, theirs[1]), NotificationUse::kRead)
      << "the other channel's text is read too";
  EXPECT_EQ(use_notification(window_, kOther, theirs[1]), NotificationUse::kSkip);

  // Another copy sends here, then this process on the other channel: this one's is still read.
  const auto later = tags_from_another_copy({kId});
  {
    const mmfcast::platform::SendLock lock;
    ASSERT_TRUE(lock.held());
    mmfcast::platform::notification_tag(kOther);
  }
  deliver(kId, 3, later[0]);
  ASSERT_EQ(arrived_.size(), 2u);
  EXPECT_EQ(arrived_[1], u"la") << "the latest hold of its message: read as it says";
  deliver(kId, 3, later[0]);
  EXPECT_EQ(arrived_.size(), 2u);
  deliver(kId, 7, 0);  // another program's: read as the contract says
  EXPECT_EQ(arrived_.back(), u"latest");
}
#endif

TEST_F(WindowHook, HookIsInstalledAndTakenDown) {
  owner_.StartSubclass(window_);
  const auto hook = reinterpret_cast<mmfcast::platform::LongPtr>(&ModSubclass::WindowProc);
  const auto own = reinterpret_cast<mmfcast::platform::LongPtr>(&own_procedure);
  EXPECT_EQ(ModSubclass::lPrevWndProc, own);
  // Swap in the hook again to read what is installed without changing it.
  EXPECT_EQ(mmfcast::platform::SetWindowLongA(window_, mmfcast::platform::kGwlWndProc, hook), hook);
  owner_.StopSubclass(window_);
  EXPECT_EQ(ModSubclass::objMMF, nullptr);
  EXPECT_EQ(mmfcast::platform::SetWindowLongA(window_, mmfcast::platform::kGwlWndProc, own), own);
}

TEST_F(WindowHook, SecondStartKeepsTheFirstObjectAndNeverLoops) {
  cMMF second;
  owner_.StartSubclass(window_);
  second.StartSubclass(window_);
  owner_.StartSubclass(window_);
  EXPECT_EQ(ModSubclass::objMMF, &owner_);
  EXPECT_EQ(ModSubclass::lPrevWndProc, reinterpret_cast<mmfcast::platform::LongPtr>(&own_procedure))
      << "the hook must never record itself as the procedure it replaced";
  deliver(0x0401, 1, 2);
  EXPECT_EQ(seen.size(), 1u);
  second.StopSubclass(window_);
  EXPECT_EQ(ModSubclass::objMMF, nullptr) << "stopping clears the object whichever it was";
}

TEST_F(WindowHook, DestroyedObjectIsNoLongerServed) {
  {
    cMMF shortlived;
    shortlived.StartSubclass(window_);
    EXPECT_EQ(ModSubclass::objMMF, &shortlived);
  }
  EXPECT_EQ(ModSubclass::objMMF, nullptr);
  deliver(kId, 6, 0);  // must not touch the destroyed object
  EXPECT_EQ(seen.size(), 1u);
}

TEST_F(WindowHook, HandlerErrorsReachTheCaller) {
  open_area_with(u"boom");
  owner_.DataArrival = [](const std::u16string&) { throw std::runtime_error("handler failed"); };
  owner_.StartSubclass(window_);
  EXPECT_THROW(deliver(kId, 5, 0), std::runtime_error);
  EXPECT_THROW(RaiseDataArrival(owner_, u"x"), std::runtime_error);
}

TEST(MessageChannel, SendResultsCarryTheirWidth) {
  testsupport::ScopedSession session;
  cMMF m;
  const mmfcast::MMFVariant nothing = m.SendMesageAll(u"", 0, 5, 0);
  ASSERT_TRUE(std::holds_alternative<std::int16_t>(nothing));
  EXPECT_EQ(std::get<std::int16_t>(nothing), 0);

  const std::u16string name = mmfcast::platform::from_ansi(session.name("MyPubMessage"));
  const mmfcast::MMFVariant named = m.SendMesageAll(name, 0, 5, 0);
  ASSERT_TRUE(std::holds_alternative<std::int32_t>(named));
  const std::int32_t id = std::get<std::int32_t>(named);
  EXPECT_EQ(id, m.RegWindowMsg(name));
  EXPECT_GE(id, 0xC000);
  EXPECT_LE(id, 0xFFFF);

  const mmfcast::MMFVariant by_id = m.SendMesageAll(u"", id, 5, 0);
  ASSERT_TRUE(std::holds_alternative<std::int32_t>(by_id));
  EXPECT_EQ(std::get<std::int32_t>(by_id), id);
  EXPECT_TRUE(std::holds_alternative<std::monostate>(m.StopSubclass(0)));
}

// Waits for a line from the child that starts with `prefix`, skipping others.
std::optional<std::string> line_starting(testsupport::ChildProcess& child,
                                         const std::string& prefix) {
  for (int i = 0; i < 50; ++i) {
    auto line = child.read_line();
    if (!line) return std::nullopt;
    if (line->rfind(prefix, 0) == 0) return line;
  }
  return std::nullopt;
}

TEST(MessageChannel, NotificationReachesAnotherCopyButNotTheSender) {
  testsupport::DesktopTurn turn;  // the area is the desktop's own "MyPubMemory"
  testsupport::ScopedSession session;
  const std::string msg_name = session.name("MyPubMessage");
  testsupport::ChildProcess receiver({"hooked", msg_name});
  const auto ready = receiver.read_line();
  ASSERT_TRUE(ready && ready->rfind("ready ", 0) == 0) << ready.value_or("(nothing)");

  seen.clear();
  cMMF sender;
  std::vector<std::u16string> heard;
  sender.DataArrival = [&](const std::u16string& t) { heard.push_back(t); };
  const mmfcast::platform::Hwnd window = mmfcast::platform::create_window(&own_procedure);
  ModSubclass::lMsgID =
      static_cast<std::uint32_t>(sender.RegWindowMsg(mmfcast::platform::from_ansi(msg_name)));
  EXPECT_EQ(ready->substr(6), std::to_string(ModSubclass::lMsgID)) << "same id in both processes";
  sender.StartSubclass(window);
  const std::int32_t i = sender.AddMMFItem(mmfcast::kPubMemoryName, 4096);
  ASSERT_EQ(sender.OpenMMF(i), 1);
  ASSERT_EQ(sender.WriteMMF(i, u"abcde"), 6);
  const mmfcast::MMFVariant sent =
      sender.SendMesageAll(u"", static_cast<std::int32_t>(ModSubclass::lMsgID), 6, 0);
  EXPECT_TRUE(std::holds_alternative<std::int32_t>(sent));

  EXPECT_EQ(line_starting(receiver, "data "), "data " + testsupport::to_hex16(u"abcde"));
  EXPECT_EQ(line_starting(receiver, "proc "),
            "proc " + std::to_string(ModSubclass::lMsgID) + " 6 0")
      << "the notification also reaches the replaced procedure";

  mmfcast::platform::pump_messages(200);
  EXPECT_TRUE(heard.empty()) << "the sender must not hear its own notification";
  EXPECT_TRUE(seen.empty());
  receiver.write_line("quit");
  EXPECT_EQ(receiver.wait(), 0);
  sender.StopSubclass(window);
  mmfcast::platform::destroy_window(window);
  ModSubclass::lMsgID = 0;
}

}  // namespace
