// mmfcast::Channel: texts pass whole between copies in two processes, a text that cannot
// arrive whole is refused before anything is sent, channels of one process keep to themselves
// and each is joined once, and a failed join says what failed and why.
#include "mmf/channel.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <mmfcast/mmfcast.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "hook/ModSubclass.h"
#include "mmf/cMMF.h"
#include "tests/support/child_process.h"
#include "tests/support/desktop_turn.h"
#include "tests/support/hex.h"

#if !defined(_WIN32)
#include <poll.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/linux/transport/syscalls.h"
#endif

namespace {

using mmfcast::Channel;
using mmfcast::SendResult;
using testsupport::ChildProcess;

// A sender in this process and a receiver in another, both joined. On Windows the channel is
// the desktop's: the tests that use it take turns, and each text starts with a tag of this
// test so that texts from anything else on the desktop are passed over.
class ChannelBetweenCopies : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sender_.joined()) << sender_.error();
    receiver_ = std::make_unique<ChildProcess>(std::vector<std::string>{"channel-receive"});
    const auto ready = receiver_->read_line();
    ASSERT_TRUE(ready && ready->rfind("ready ", 0) == 0) << ready.value_or("(nothing)");
  }
  void TearDown() override {
    if (!receiver_) return;
    receiver_->write_line("quit");
    EXPECT_EQ(receiver_->wait(), 0);
  }
  // The next text of this test that the receiver heard, as hex of its bytes.
  std::optional<std::string> next_heard() {
    const std::string tag_hex = testsupport::to_hex8(tag_);
    for (;;) {
      const auto line = receiver_->read_line();
      if (!line) return std::nullopt;
      if (line->rfind("text ", 0) == 0 && line->compare(5, tag_hex.size(), tag_hex) == 0) {
        return line->substr(5);
      }
    }
  }

  testsupport::DesktopTurn turn_;
  testsupport::ScopedSession session_;
  const std::string tag_ = session_.name("channel") + ":";
  Channel sender_;
  std::unique_ptr<ChildProcess> receiver_;
};

TEST_F(ChannelBetweenCopies, ReceiverHearsExactlyTheTextSent) {
  std::u16string wide =
      mmfcast::platform::from_ansi(tag_) + u"Gr\u00fc\u00dfe, \u4f60\u597d \U0001F600";
  if (std::string bytes; !mmfcast::platform::encode_exact(wide, bytes).empty()) {
    // A code page without the CJK characters and the emoji (Windows' 1252): refused whole.
    EXPECT_EQ(sender_.send(wide), SendResult::kFailed);
    wide.resize(wide.find(u','));
  }
  ASSERT_EQ(sender_.send(wide), SendResult::kSent) << sender_.error();
  EXPECT_EQ(next_heard(), testsupport::to_hex8(mmfcast::platform::to_ansi(wide)));

  ASSERT_EQ(sender_.max_text_bytes(), static_cast<std::size_t>(mmfcast::kPubMemoryLength - 1));
  std::string longest = tag_ + std::string(sender_.max_text_bytes() - tag_.size(), 'x');
  longest.back() = 'z';
  ASSERT_EQ(sender_.send(longest), SendResult::kSent) << sender_.error();
  EXPECT_EQ(next_heard(), testsupport::to_hex8(longest));
}

TEST_F(ChannelBetweenCopies, TextThatCannotArriveWholeIsNotSent) {
  const std::string too_long = tag_ + std::string(sender_.max_text_bytes() + 1 - tag_.size(), 'x');
  EXPECT_EQ(sender_.send(too_long), SendResult::kTooLong);
  EXPECT_NE(sender_.error().find("too long"), std::string::npos) << sender_.error();
  // The limit is in bytes of the code page, not in characters: mostly two-byte characters on
  // Linux, whose texts have far fewer characters than bytes.
  std::u16string wide = mmfcast::platform::from_ansi(tag_);
  while (mmfcast::platform::to_ansi(wide + u"\u00e9").size() <= sender_.max_text_bytes() + 1) {
    wide += u'\u00e9';
  }
  while (mmfcast::platform::to_ansi(wide).size() <= sender_.max_text_bytes()) wide += u'x';
  EXPECT_EQ(sender_.send(wide), SendResult::kTooLong);
  // Nor is a text that would arrive changed: cut at a zero, with U+FFFD or '?' in it.
  EXPECT_EQ(sender_.send(tag_ + std::string("cut\0here", 8)), SendResult::kFailed);
  EXPECT_EQ(sender_.error(), "the text holds a byte 0 at offset " +
                                 std::to_string(tag_.size() + 3) +
                                 "; a receiver would see it cut there");
  EXPECT_EQ(sender_.send(mmfcast::platform::from_ansi(tag_) + u"a\xD800"), SendResult::kFailed);
  EXPECT_NE(sender_.error().find("U+D800 at character " + std::to_string(tag_.size() + 2) +
                                 " has no form in"),
            std::string::npos)
      << sender_.error();
  if (mmfcast::platform::code_page_name() == "UTF-8") {
    EXPECT_EQ(sender_.send(tag_ + "name-\xff\xfe.txt"), SendResult::kFailed);
    EXPECT_EQ(sender_.error(),
              "byte 0xFF at offset " + std::to_string(tag_.size() + 5) + " is not UTF-8");
  } else {
    EXPECT_EQ(sender_.send(mmfcast::platform::from_ansi(tag_) + u"\u0e01"), SendResult::kFailed);
    EXPECT_NE(sender_.error().find("U+0E01 at character"), std::string::npos) << sender_.error();
  }
  EXPECT_EQ(sender_.send(""), SendResult::kFailed);
  EXPECT_NE(sender_.error().find("empty"), std::string::npos) << sender_.error();

  const std::string after = tag_ + "after";
  ASSERT_EQ(sender_.send(after), SendResult::kSent) << sender_.error();
  EXPECT_TRUE(sender_.error().empty()) << sender_.error();
  EXPECT_EQ(next_heard(), testsupport::to_hex8(after)) << "a refused text must not arrive";
}

// The sender's handler runs outside the platform's delivery: what it throws leaves dispatch(),
// and the channel goes on handing over what arrives after.
TEST_F(ChannelBetweenCopies, HandlerThatThrowsLeavesDispatchAndReceivingGoesOn) {
  std::vector<std::string> handed;
  sender_.on_receive([&](const std::string& text) {
    if (text.rfind(tag_, 0) != 0) return;
    handed.push_back(text);
    if (text == tag_ + "one") throw std::runtime_error("handler failed");
  });
  // Sends text from the other copy and dispatches here until it has been handed over and the
  // other copy has said how its send went; says whether the handler threw. The other copy's
  // send waits for every window of this process, so this one goes on dispatching meanwhile.
  const auto exchange = [&](const std::string& text) {
    receiver_->write_line("send " + testsupport::to_hex8(text));
    bool threw = false;
    std::optional<std::string> outcome;
    for (int round = 0; round < 2000 && (!outcome || handed.empty() || handed.back() != text);
         ++round) {
      try {
        sender_.dispatch(10);
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "handler failed");
        threw = true;
      }
      while (!outcome) {
        const auto line = receiver_->read_line(std::chrono::milliseconds(1));
        if (!line) break;
        if (*line == "sent" || line->rfind("failed", 0) == 0 || line->rfind("unreached", 0) == 0) {
          outcome = line;
        }
      }
    }
    EXPECT_EQ(outcome, "sent");
    return threw;
  };
  EXPECT_TRUE(exchange(tag_ + "one"));
  EXPECT_FALSE(exchange(tag_ + "two"));
  EXPECT_EQ(handed, (std::vector<std::string>{tag_ + "one", tag_ + "two"}));
}

mmfcast::platform::LResult MMFCAST_CALLBACK quiet_procedure(mmfcast::platform::Hwnd, std::uint32_t,
                                                            mmfcast::platform::WParam,
                                                            mmfcast::platform::LParam) {
  return 0;
}

class ChannelInOneProcess : public ::testing::Test {
 protected:
  mmfcast::ChannelOptions named(const std::string& base, std::size_t size = 4096) const {
    mmfcast::ChannelOptions options;
    options.name = session_.name(base);
    options.area_size = size;
    return options;
  }

  testsupport::DesktopTurn turn_;
  testsupport::ScopedSession session_;
};

// Two channels of this process, each with a copy in another process that sends on it. Only
// the first channel is dispatched: it takes in the second one's notification too, which must
// still reach the second handler alone, from the second channel's own dispatch. The first
// channel's area is larger than the desktop's and carries a text that would not fit that one.
TEST_F(ChannelInOneProcess, ChannelsKeepToThemselves) {
  Channel big(named("big", 10000));
  Channel small(named("small"));
  ASSERT_TRUE(big.joined()) << big.error();
  ASSERT_TRUE(small.joined()) << small.error();
  EXPECT_EQ(big.max_text_bytes(), 9999u);
  EXPECT_EQ(big.options().area_name, session_.name("big") + "Memory");
  std::vector<std::string> heard_big, heard_small;
  big.on_receive([&](const std::string& text) { heard_big.push_back(text); });
  small.on_receive([&](const std::string& text) { heard_small.push_back(text); });

  ChildProcess on_big({"channel-receive", session_.name("big"), "10000"});
  ChildProcess on_small({"channel-receive", session_.name("small"), "4096"});
  for (ChildProcess* child : {&on_big, &on_small}) {
    const auto ready = child->read_line();
    ASSERT_TRUE(ready && ready->rfind("ready ", 0) == 0) << ready.value_or("(nothing)");
  }
  // A channel that only sends joins beside `big`, makes no window and reaches the copy alone.
  mmfcast::ChannelOptions sends_only = named("big", 10000);
  sends_only.receive = false;
  Channel only_sends(sends_only);
  ASSERT_TRUE(only_sends.joined()) << only_sends.error();
  EXPECT_EQ(only_sends.event_fd(), -1);
  EXPECT_EQ(only_sends.send(std::string_view("from one that only sends")), SendResult::kSent);
  EXPECT_EQ(on_big.read_line(), "text " + testsupport::to_hex8("from one that only sends"));
  EXPECT_EQ(only_sends.dispatch(0), 0);

  const std::string long_text(8000, 'b');
  // Each send returns once this process has handled its notification, so only `big` is
  // dispatched while the copy on the other side sends.
  const auto send_from = [&](ChildProcess& child, const std::string& text) {
    child.write_line("send " + testsupport::to_hex8(text));
    for (int round = 0; round < 2000; ++round) {
      big.dispatch(0);
      const auto line = child.read_line(std::chrono::milliseconds(10));
      if (!line) continue;
      EXPECT_EQ(*line, "sent");
      break;
    }
    child.write_line("quit");
    EXPECT_EQ(child.wait(), 0);
  };
  send_from(on_big, long_text);
  send_from(on_small, "for small");
  big.dispatch(0);
  EXPECT_EQ(heard_big, std::vector<std::string>{long_text});
  EXPECT_TRUE(heard_small.empty()) << "a text must wait for its own channel's dispatch";
#if !defined(_WIN32)
  pollfd watched{small.event_fd(), POLLIN, 0};
  EXPECT_EQ(::poll(&watched, 1, 0), 1) << "a waiting text must wake its channel's watcher";
#endif
  small.dispatch(0);
  EXPECT_EQ(heard_small, std::vector<std::string>{"for small"});
  EXPECT_EQ(heard_big.size(), 1u);
}

#if !defined(_WIN32)
// Texts for a channel that is never dispatched, taken in by another channel's dispatch, stay
// within the inbox's bound: the oldest go, and the channel says how many it missed and why.
TEST_F(ChannelInOneProcess, UndispatchedChannelKeepsTheNewestTextsAndCountsTheRest) {
  Channel drained(named("drained"));
  Channel piled;  // the desktop program's, which the sending copy below joins
  ASSERT_TRUE(drained.joined()) << drained.error();
  ASSERT_TRUE(piled.joined()) << piled.error();
  std::vector<std::string> heard;
  piled.on_receive([&](const std::string& text) { heard.push_back(text); });

  const std::size_t extra = 6;
  const std::size_t total = mmfcast::kInboxMaxTexts + extra;
  std::vector<std::string> args = {"channel-send"};
  for (std::size_t i = 0; i < total; ++i) args.push_back("text " + std::to_string(i));
  ChildProcess sender(args);
  ASSERT_EQ(sender.read_line(), "joined");
  std::size_t sent = 0;
  const auto take_lines = [&] {
    while (const auto line = sender.read_line(std::chrono::milliseconds(2))) {
      EXPECT_EQ(line->rfind("sent ", 0), 0u) << *line;
      ++sent;
    }
  };
  while (!sender.wait(std::chrono::milliseconds(0))) {
    drained.dispatch(5);
    take_lines();
  }
  take_lines();
  EXPECT_EQ(sent, total);
  EXPECT_EQ(sender.wait(), 0);
  drained.dispatch(0);

  EXPECT_EQ(piled.missed(), extra);
  EXPECT_EQ(piled.missed_reason(), "the channel's inbox was full");
  EXPECT_EQ(drained.missed(), 0u);
  EXPECT_EQ(piled.dispatch(0), static_cast<int>(total));
  ASSERT_EQ(heard.size(), mmfcast::kInboxMaxTexts);
  EXPECT_EQ(heard.front(), "text " + std::to_string(extra));
  EXPECT_EQ(heard.back(), "text " + std::to_string(total - 1));
}
#endif

TEST_F(ChannelInOneProcess, AChannelIsJoinedOnceAndBadOptionsAreRefused) {
  auto first = std::make_unique<Channel>(named("once"));
  ASSERT_TRUE(first->joined()) << first->error();
  mmfcast::ChannelOptions same_area = named("other");
  same_area.area_name = first->options().area_name;
  for (const mmfcast::ChannelOptions& options : {named("once"), same_area}) {
    Channel second(options);
    EXPECT_FALSE(second.joined());
    EXPECT_EQ(second.join_failure(), mmfcast::JoinFailure::kInUse);
    EXPECT_NE(second.error().find("joins a channel once"), std::string::npos) << second.error();
    EXPECT_EQ(second.send("x"), SendResult::kFailed);
    EXPECT_EQ(second.dispatch(0), -1);
  }
#if !defined(_WIN32)
  mmfcast::ChannelOptions elsewhere = named("elsewhere");
  elsewhere.session_dir = session_.dir() + "/other";
  Channel other_session(elsewhere);
  EXPECT_EQ(other_session.join_failure(), mmfcast::JoinFailure::kInUse);
  EXPECT_NE(other_session.error().find("a process uses one session"), std::string::npos)
      << other_session.error();
#endif
  Channel desktop;  // another channel joins alongside
  EXPECT_TRUE(desktop.joined()) << desktop.error();
  EXPECT_EQ(ModSubclass::objMMF, nullptr) << "a Channel must leave the window hook alone";
  for (std::size_t size : {std::size_t{1}, mmfcast::kMaxAreaSize + 1}) {
    Channel refused(named("sized", size));
    EXPECT_EQ(refused.join_failure(), mmfcast::JoinFailure::kOptions);
    EXPECT_NE(refused.error().find("out of range"), std::string::npos) << refused.error();
  }
  // A name stands for one channel: one the session would store otherwise is refused, not met
  // with another.
  const std::pair<std::string, std::string> bad_names[] = {
      {std::string(300, 'n'), " at most"},
      {std::string("a\0b", 3), "byte 0 at offset 1"},
      {"caf\xe9", "byte 0xE9 at offset 3 is not UTF-8"}};
  for (const auto& [name, why] : bad_names) {
    if (name == "caf\xe9" && mmfcast::platform::code_page_name() != "UTF-8") continue;
    mmfcast::ChannelOptions options = named("");
    options.name = name;
    Channel refused(options);
    EXPECT_EQ(refused.join_failure(), mmfcast::JoinFailure::kOptions);
    EXPECT_NE(refused.error().find(why), std::string::npos) << refused.error();
  }
  first.reset();
  Channel again(named("once"));
  EXPECT_TRUE(again.joined()) << again.error();
}

// The C interface refuses what the Channel refuses, says the same, and gives a code for it.
TEST_F(ChannelInOneProcess, CInterfaceRefusesWhatCannotArriveExactly) {
  EXPECT_STREQ(mmfcast_version(), MMFCAST_VERSION_STRING);
  const std::string name = session_.name("c");
  mmfcast_channel* channel = mmfcast_join(name.c_str(), 0, nullptr);
  ASSERT_EQ(mmfcast_joined(channel), 1) << mmfcast_error(channel);
  EXPECT_EQ(mmfcast_last_failure(channel), MMFCAST_OK);
  EXPECT_EQ(mmfcast_send(channel, "a\0b", 3), MMFCAST_FAILED);
  EXPECT_STREQ(mmfcast_error(channel),
               "the text holds a byte 0 at offset 1; a receiver would see it cut there");
  EXPECT_EQ(mmfcast_last_failure(channel), MMFCAST_E_TEXT);
  if (mmfcast::platform::code_page_name() == "UTF-8") {
    EXPECT_EQ(mmfcast_send(channel, "name-\xff\xfe.txt", 11), MMFCAST_FAILED);
    EXPECT_STREQ(mmfcast_error(channel), "byte 0xFF at offset 5 is not UTF-8");
    EXPECT_EQ(mmfcast_last_failure(channel), MMFCAST_E_TEXT);
  }
  const std::uint16_t lone_surrogate[] = {u'a', 0xD800};
  EXPECT_EQ(mmfcast_send_utf16(channel, lone_surrogate, 2), MMFCAST_FAILED);
  EXPECT_EQ(mmfcast_last_failure(channel), MMFCAST_E_TEXT) << mmfcast_error(channel);
  const std::string too_long_text(4096, 't');
  EXPECT_EQ(mmfcast_send(channel, too_long_text.data(), too_long_text.size()), MMFCAST_TOO_LONG);
  EXPECT_EQ(mmfcast_last_failure(channel), MMFCAST_E_TOO_LONG);
  const std::uint16_t wide[] = {u'f', 0x00FC, u'r'};
  EXPECT_EQ(mmfcast_send_utf16(channel, wide, 3), MMFCAST_SENT) << mmfcast_error(channel);
  EXPECT_EQ(mmfcast_send(channel, "fine", 4), MMFCAST_SENT) << mmfcast_error(channel);
  EXPECT_EQ(mmfcast_last_failure(channel), MMFCAST_OK);
  mmfcast_channel* again = mmfcast_join(name.c_str(), 0, nullptr);
  EXPECT_EQ(mmfcast_last_failure(again), MMFCAST_E_IN_USE) << mmfcast_error(again);
  EXPECT_EQ(mmfcast_send(again, "x", 1), MMFCAST_FAILED);
  EXPECT_EQ(mmfcast_last_failure(again), MMFCAST_E_NOT_JOINED);
  EXPECT_NE(std::string(mmfcast_error(again)).find("joins a channel once"), std::string::npos)
      << "a send on a refused channel must still say why it was refused";
  mmfcast_leave(again);
  mmfcast_leave(channel);

  const std::string too_long(300, 'c');
  channel = mmfcast_join(too_long.c_str(), 0, nullptr);
  EXPECT_EQ(mmfcast_joined(channel), 0);
  EXPECT_EQ(mmfcast_last_failure(channel), MMFCAST_E_OPTIONS);
  EXPECT_NE(std::string(mmfcast_error(channel)).find(" at most"), std::string::npos)
      << mmfcast_error(channel);
  mmfcast_leave(channel);
  EXPECT_EQ(mmfcast_last_failure(nullptr), MMFCAST_E_NO_CHANNEL);
}

// mmfcast_join_options passes each option to the Channel, and reads no more of the struct than
// struct_size says: a newer program's struct is accepted while the fields it adds are zero.
TEST_F(ChannelInOneProcess, CInterfaceJoinsWithOptions) {
  const std::string name = session_.name("opts");
  const std::string area = session_.name("optsArea");
  mmfcast_options options = MMFCAST_OPTIONS_INIT;
  options.name = name.c_str();
  options.area_name = area.c_str();
  options.area_size = 100;
  mmfcast_channel* receiving = mmfcast_join_options(&options);
  ASSERT_EQ(mmfcast_joined(receiving), 1) << mmfcast_error(receiving);
  EXPECT_EQ(mmfcast_max_text_bytes(receiving), 99u);
  // The explicit area name is the one taken: a Channel of this process on it is refused.
  mmfcast::ChannelOptions same_area = named("other");
  same_area.area_name = area;
  EXPECT_EQ(Channel(same_area).join_failure(), mmfcast::JoinFailure::kInUse);

  options.send_only = 1;
  mmfcast_channel* sending = mmfcast_join_options(&options);
  ASSERT_EQ(mmfcast_joined(sending), 1) << mmfcast_error(sending);
  EXPECT_EQ(mmfcast_event_fd(sending), -1);
  EXPECT_EQ(mmfcast_dispatch(sending, 0), 0);
  EXPECT_EQ(mmfcast_send(sending, "only sends", 10), MMFCAST_SENT) << mmfcast_error(sending);
  mmfcast_leave(sending);
  mmfcast_leave(receiving);

  struct Newer {
    mmfcast_options known;
    int added;
  } newer{};
  newer.known = options;
  newer.known.struct_size = sizeof newer;
  newer.known.send_only = 0;
  mmfcast_channel* channel = mmfcast_join_options(&newer.known);
  EXPECT_EQ(mmfcast_joined(channel), 1) << mmfcast_error(channel);
  mmfcast_leave(channel);
  newer.added = 1;
  channel = mmfcast_join_options(&newer.known);
  EXPECT_EQ(mmfcast_last_failure(channel), MMFCAST_E_OPTIONS);
  EXPECT_NE(std::string(mmfcast_error(channel)).find("does not know"), std::string::npos)
      << mmfcast_error(channel);
  mmfcast_leave(channel);
  options.struct_size = 0;
  channel = mmfcast_join_options(&options);
  EXPECT_EQ(mmfcast_last_failure(channel), MMFCAST_E_OPTIONS) << mmfcast_error(channel);
  mmfcast_leave(channel);
}

// A handler may destroy its own Channel: it leaves at once, no later text reaches the handler,
// and the dispatch returns safely. The C interface refuses to leave from inside the receive
// function, and the handle stays usable until it is left after the dispatch.
TEST_F(ChannelInOneProcess, LeavingFromInsideTheHandlerIsSafe) {
  ChildProcess peer({"channel-receive", session_.name("gone"), "4096"});
  const auto ready = peer.read_line();
  ASSERT_TRUE(ready && ready->rfind("ready ", 0) == 0) << ready.value_or("(nothing)");
  // Sends from the peer while `dispatch` runs here until the peer says it has sent.
  const auto send_from_peer = [&](const std::string& text, const std::function<void()>& dispatch) {
    peer.write_line("send " + testsupport::to_hex8(text));
    for (int round = 0; round < 2000; ++round) {
      dispatch();
      if (const auto line = peer.read_line(std::chrono::milliseconds(10))) {
        EXPECT_EQ(*line, "sent");
        return;
      }
    }
    ADD_FAILURE() << "the peer never sent " << text;
  };

  auto own = std::make_unique<Channel>(named("gone"));
  ASSERT_TRUE(own->joined()) << own->error();
  std::vector<std::string> heard;
  own->on_receive([&](const std::string& text) {
    heard.push_back(text);
    own.reset();
  });
  send_from_peer("first", [&] {
    if (own) own->dispatch(0);
  });
  send_from_peer("second", [&] {
    if (own) own->dispatch(0);
  });
  EXPECT_EQ(own, nullptr);
  EXPECT_EQ(heard, std::vector<std::string>{"first"});

  struct Call {
    mmfcast_channel* channel = nullptr;
    int left = 1;
    mmfcast_failure failure = MMFCAST_OK;
    std::string error;
  } call;
  call.channel = mmfcast_join(session_.name("gone").c_str(), 0, nullptr);
  ASSERT_EQ(mmfcast_joined(call.channel), 1) << mmfcast_error(call.channel);
  mmfcast_on_receive(
      call.channel,
      [](const char*, size_t, void* user) {
        auto& c = *static_cast<Call*>(user);
        c.left = mmfcast_leave(c.channel);
        c.failure = mmfcast_last_failure(c.channel);
        c.error = mmfcast_error(c.channel);
      },
      &call);
  send_from_peer("third", [&] { mmfcast_dispatch(call.channel, 0); });
  EXPECT_EQ(call.left, -1);
  EXPECT_EQ(call.failure, MMFCAST_E_IN_USE_BY_CALL);
  EXPECT_THAT(call.error, ::testing::HasSubstr("from inside its own send or dispatch"));
  EXPECT_EQ(mmfcast_joined(call.channel), 1);
  EXPECT_EQ(mmfcast_leave(call.channel), 0);
  peer.write_line("quit");
  EXPECT_EQ(peer.wait(), 0);
}

TEST_F(ChannelInOneProcess, HookedObjectKeepsTheDesktopChannelOut) {
  const mmfcast::platform::Hwnd window = mmfcast::platform::create_window(&quiet_procedure);
  ASSERT_NE(window, 0u);
  cMMF hooked;
  hooked.StartSubclass(window);
  {
    Channel refused;
    EXPECT_FALSE(refused.joined());
    EXPECT_NE(refused.error().find("hooked"), std::string::npos) << refused.error();
    Channel own(named("own"));
    EXPECT_TRUE(own.joined()) << own.error();
  }
  EXPECT_EQ(ModSubclass::objMMF, &hooked);
  hooked.StopSubclass(window);
  mmfcast::platform::destroy_window(window);
}

#if !defined(_WIN32)
TEST_F(ChannelInOneProcess, UnusableSessionIsNamedWithTheReason) {
  ASSERT_EQ(::chmod(session_.dir().c_str(), 0755), 0);
  {
    Channel refused;
    EXPECT_FALSE(refused.joined());
    EXPECT_EQ(refused.join_failure(), mmfcast::JoinFailure::kSession);
    const std::string& error = refused.error();
    EXPECT_EQ(error.rfind("cannot use the session: ", 0), 0u) << error;
    EXPECT_NE(error.find("session directory " + session_.dir()), std::string::npos) << error;
    EXPECT_NE(error.find("mode 0700"), std::string::npos) << error;
  }
  ASSERT_EQ(::chmod(session_.dir().c_str(), 0700), 0);
  Channel joined;
  EXPECT_TRUE(joined.joined()) << joined.error();
}

// A Channel that cannot make the descriptor it is watched by fails to join in the session step,
// with the reason, and leaves no descriptor behind. Another Channel stays joined meanwhile, so
// that the process's own delivery is open and only the Channel's descriptors are made.
TEST_F(ChannelInOneProcess, NoDescriptorToWatchFailsTheJoinAndLeavesNothingOpen) {
  using mmfcast::platform::os::ScopedSyscall;
  using mmfcast::platform::os::Syscalls;
  Channel keeps(named("keeps"));
  ASSERT_TRUE(keeps.joined()) << keeps.error();
  const auto open_descriptors = [] {
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return std::distance(begin(fds), end(fds));
  };
  const auto refused = [&](const char* which) {
    const auto before = open_descriptors();
    {
      Channel channel(named("watched"));
      EXPECT_FALSE(channel.joined()) << which;
      EXPECT_EQ(channel.join_failure(), mmfcast::JoinFailure::kSession) << which;
      EXPECT_EQ(channel.error().rfind("cannot make a descriptor to watch: ", 0), 0u)
          << channel.error();
      EXPECT_NE(channel.error().find(std::strerror(EMFILE)), std::string::npos) << channel.error();
    }
    EXPECT_EQ(open_descriptors(), before) << which;
  };
  {
    const ScopedSyscall no_epoll(&Syscalls::epoll_create1, [](int) {
      errno = EMFILE;
      return -1;
    });
    refused("epoll_create1");
  }
  {
    const ScopedSyscall no_eventfd(&Syscalls::eventfd, [](unsigned, int) {
      errno = EMFILE;
      return -1;
    });
    refused("eventfd");
  }
  Channel watched(named("watched"));
  EXPECT_TRUE(watched.joined()) << watched.error();
}
#endif

}  // namespace
