// mmfcast::Channel: texts pass whole between copies in two processes, a text that cannot
// arrive whole is refused before anything is sent, one channel is served per process, and a
// failed join says what failed and why.
#include "mmf/channel.h"

#include <gtest/gtest.h>

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
#include <sys/stat.h>
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
  const std::u16string wide =
      mmfcast::platform::from_ansi(tag_) + u"Gr\u00fc\u00dfe, \u4f60\u597d \U0001F600";
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
  EXPECT_EQ(sender_.send(tag_ + std::string("cut\0here", 8)), SendResult::kFailed);
  EXPECT_NE(sender_.error().find("code 0"), std::string::npos) << sender_.error();

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
  // Sends text from the other copy and dispatches here until it has been handed over; says
  // whether the handler threw.
  const auto exchange = [&](const std::string& text) {
    receiver_->write_line("send " + testsupport::to_hex8(text));
    bool threw = false;
    for (int round = 0; round < 500 && (handed.empty() || handed.back() != text); ++round) {
      try {
        sender_.dispatch(10);
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "handler failed");
        threw = true;
      }
    }
    for (;;) {
      const auto line = receiver_->read_line();
      if (!line || *line == "sent" || line->rfind("failed", 0) == 0) {
        EXPECT_EQ(line, "sent");
        break;
      }
    }
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
  testsupport::DesktopTurn turn_;
  testsupport::ScopedSession session_;
};

TEST_F(ChannelInOneProcess, SecondChannelIsRefusedUntilTheFirstIsGone) {
  auto first = std::make_unique<Channel>();
  ASSERT_TRUE(first->joined()) << first->error();
  const cMMF* served = ModSubclass::objMMF;
  const std::uint32_t id = ModSubclass::lMsgID;
  {
    Channel second;
    EXPECT_FALSE(second.joined());
    EXPECT_EQ(second.join_failure(), mmfcast::JoinFailure::kInUse);
    EXPECT_NE(second.error().find("already has a joined channel"), std::string::npos)
        << second.error();
    EXPECT_NE(second.error().find("only one"), std::string::npos) << second.error();
    EXPECT_EQ(second.send("x"), SendResult::kFailed);
    EXPECT_EQ(second.dispatch(0), -1);
  }
  EXPECT_EQ(ModSubclass::objMMF, served) << "a refused channel must leave the hook alone";
  EXPECT_EQ(ModSubclass::lMsgID, id);

  first.reset();
  EXPECT_EQ(ModSubclass::objMMF, nullptr);
  EXPECT_EQ(ModSubclass::lMsgID, 0u);
  Channel third;
  EXPECT_TRUE(third.joined()) << third.error();
}

TEST_F(ChannelInOneProcess, HookedObjectKeepsAChannelOut) {
  const mmfcast::platform::Hwnd window = mmfcast::platform::create_window(&quiet_procedure);
  ASSERT_NE(window, 0u);
  cMMF hooked;
  hooked.StartSubclass(window);
  {
    Channel refused;
    EXPECT_FALSE(refused.joined());
    EXPECT_NE(refused.error().find("already hooked"), std::string::npos) << refused.error();
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
#endif

}  // namespace
