// The Linux session transport at its edges, between real copies of the program (the helper's
// channel-* commands join and send exactly as mmfcast-cli does): receivers that start while
// lines stream, copies in other PID namespaces, a stopped receiver, a stopped send-lock holder
// and a stopped session-lock holder, a full filesystem, a session directory removed under
// running copies, and a restrictive umask.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/linux/transport/internal.h"
#include "platform/platform.h"
#include "tests/support/child_process.h"
#include "tests/support/endpoints_linux.h"
#include "tests/support/hex.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using testsupport::ChildProcess;
using testsupport::ScopedSession;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using namespace std::chrono_literals;

constexpr milliseconds kDeadline{mmfcast::platform::kBroadcastDeadlineMs};
// Room for scheduling on a loaded machine with a debug build: a wait of one deadline may take
// up to three.
constexpr milliseconds kSlack{2 * mmfcast::platform::kBroadcastDeadlineMs};

constexpr int kAreaUnusable = 4;  // mmfcast-cli's exit code, which the helper copies

milliseconds since(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

// Distinct texts of very different lengths, so that a text cut short or a longer one read at
// a shorter one's length shows as a text that was never sent.
std::string text_of(int i) {
  const std::size_t length = i % 2 == 0 ? 300 - 7 * static_cast<std::size_t>(i) : 20 + i;
  return std::to_string(i) + ":" + std::string(length, static_cast<char>('a' + i % 26)) + ":" +
         std::to_string(i);
}

class Transport : public ::testing::Test {
 protected:
  // A copy hooked to the channel, once its endpoint is published.
  static std::unique_ptr<ChildProcess> receiver(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"channel-listen"};
    args.insert(args.end(), extra.begin(), extra.end());
    auto process = std::make_unique<ChildProcess>(args);
    const std::optional<std::string> ready = process->read_line();
    EXPECT_THAT(ready.value_or("(no output)"), StartsWith("ready ")) << "receiver did not start";
    return process;
  }

  // Sends the texts from a new copy that ends afterwards; how long each send took there. Each
  // send must say `outcome`: "sent", or "unreached" when some copy was not reached.
  static std::vector<milliseconds> send_from_new_copy(const std::vector<std::string>& texts,
                                                      const std::string& outcome = "sent") {
    std::vector<std::string> args = {"channel-send"};
    args.insert(args.end(), texts.begin(), texts.end());
    ChildProcess sender(args);
    std::vector<milliseconds> took;
    EXPECT_EQ(sender.read_line(), "joined");
    for (std::size_t i = 0; i < texts.size(); ++i) {
      const std::string line = sender.read_line(60s).value_or("(no output)");
      EXPECT_THAT(line, StartsWith(outcome + " ")) << "sending " << texts[i];
      if (line.rfind(outcome + " ", 0) != 0) break;
      took.emplace_back(std::stol(line.substr(outcome.size() + 1)));
    }
    EXPECT_EQ(sender.wait(), 0);
    took.resize(texts.size(), milliseconds::max());
    return took;
  }

  // Has `sender`, a running "channel-send" copy, send the text, and checks that it went out and
  // that `listening` showed it.
  static void send_and_hear(ChildProcess& sender, ChildProcess& listening,
                            const std::string& text) {
    sender.write_line(text);
    EXPECT_THAT(sender.read_line().value_or("(no output)"), StartsWith("sent "));
    EXPECT_EQ(listening.read_line(), "line " + text);
  }

  // Ends a receiver and returns every text it showed that was not read yet.
  static std::vector<std::string> texts_until_quit(ChildProcess& process) {
    process.write_line("quit");
    std::vector<std::string> texts;
    while (const std::optional<std::string> line = process.read_line()) {
      EXPECT_THAT(*line, StartsWith("line "));
      texts.push_back(line->substr(std::min<std::size_t>(5, line->size())));
    }
    EXPECT_EQ(process.wait(), 0);
    return texts;
  }

  ScopedSession session;
};

// ---- Receivers that join while lines stream --------------------------------------------------

using LateReceivers = Transport;

TEST_F(LateReceivers, EachOfManyStartedDuringAStreamHearsALine) {
  constexpr int kReceivers = testsupport::kSanitized ? 200 : 1000;
  constexpr std::size_t kAtOnce = 6;
  ChildProcess streamer({"channel-stream", "stream", "2"});
  ASSERT_EQ(streamer.read_line(), "streaming");

  std::deque<std::pair<int, std::unique_ptr<ChildProcess>>> running;
  int failures = 0;
  const auto finish_oldest = [&] {
    auto [number, process] = std::move(running.front());
    running.pop_front();
    const std::string ready = process->read_line().value_or("(no output)");
    const std::string heard = process->read_line().value_or("(heard nothing)");
    const std::optional<int> status = process->wait();
    const bool whole = heard.rfind("line stream-", 0) == 0 && heard.size() > 12 &&
                       heard.find_first_not_of("0123456789", 12) == std::string::npos;
    if (ready.rfind("ready ", 0) != 0 || !whole || status != 0) {
      ++failures;
      ADD_FAILURE() << "receiver " << number << ": " << ready << " / " << heard << " / exit "
                    << (status ? std::to_string(*status) : "none");
    }
  };
  for (int i = 0; i < kReceivers && failures < 5; ++i) {
    if (running.size() >= kAtOnce) finish_oldest();
    running.emplace_back(i, std::make_unique<ChildProcess>(std::vector<std::string>{
                                "channel-listen", "count=1", "timeout=10000"}));
  }
  while (!running.empty()) finish_oldest();

  streamer.write_line("stop");
  EXPECT_THAT(streamer.read_line().value_or(""), ::testing::EndsWith(" failed 0"));
  EXPECT_EQ(streamer.wait(), 0);
}

TEST_F(LateReceivers, ReceiversInSeparatePidNamespacesBothHear) {
  // Each namespace's first process is pid 1 there: two copies with the same pid in one session.
  const std::string unshare = "/usr/bin/unshare";
  if (::geteuid() != 0 || ::access(unshare.c_str(), X_OK) != 0) {
    GTEST_SKIP() << "needs root and unshare to make PID namespaces";
  }
  const auto in_own_namespace = [&] {
    return std::make_unique<ChildProcess>(
        unshare,
        std::vector<std::string>{"--pid", "--fork", "--kill-child", testsupport::child_path(),
                                 "channel-listen", "count=1", "timeout=20000"},
        true);
  };
  auto first = in_own_namespace();
  const std::string first_ready = first->read_line().value_or("(no output)");
  if (first_ready.rfind("ready ", 0) != 0) GTEST_SKIP() << "no PID namespace: " << first_ready;
  auto second = in_own_namespace();
  EXPECT_EQ(first_ready, "ready 1");
  EXPECT_EQ(second->read_line(), "ready 1");
  ASSERT_TRUE(testsupport::wait_for_endpoints(session.dir(), 2));

  send_from_new_copy({"across namespaces"});
  EXPECT_EQ(first->read_line(), "line across namespaces");
  EXPECT_EQ(second->read_line(), "line across namespaces");
  EXPECT_EQ(first->wait(), 0);
  EXPECT_EQ(second->wait(), 0);
}

// ---- A stopped receiver ----------------------------------------------------------------------

using StoppedReceiver = Transport;

TEST_F(StoppedReceiver, DelaysTheSessionOnceAndShowsOnlyWholeSentTextsWhenResumed) {
  auto healthy = receiver();
  auto stopped = receiver();
  ASSERT_EQ(::kill(stopped->pid(), SIGSTOP), 0);

  std::vector<std::string> texts;
  for (int i = 0; i < 11; ++i) texts.push_back(text_of(i));
  // Every send says it did not reach the stopped copy; only the first waits for it.
  EXPECT_LE(send_from_new_copy({texts[0]}, "unreached")[0], kDeadline + kSlack);
  milliseconds later{0};
  for (std::size_t i = 1; i < texts.size(); ++i) {
    later += send_from_new_copy({texts[i]}, "unreached")[0];
  }
  EXPECT_LT(later, kDeadline) << "ten senders after the first waited for the stopped receiver";
  for (const std::string& text : texts) EXPECT_EQ(healthy->read_line(), "line " + text);

  // Only the last text is still in the area; it is shown, whatever else was slept through.
  ASSERT_EQ(::kill(stopped->pid(), SIGCONT), 0);
  std::vector<std::string> shown;
  while (shown.empty() || shown.back() != texts.back()) {
    const std::optional<std::string> line = stopped->read_line();
    ASSERT_TRUE(line) << "the resumed receiver never showed the current text; it ended with "
                      << stopped->wait(1s).value_or(-1);
    ASSERT_THAT(*line, StartsWith("line "));
    shown.push_back(line->substr(5));
  }
  for (const std::string& text : texts_until_quit(*stopped)) shown.push_back(text);
  for (const std::string& text : shown) {
    EXPECT_NE(std::find(texts.begin(), texts.end(), text), texts.end())
        << "shown but never sent whole: " << text;
  }
  EXPECT_THAT(texts_until_quit(*healthy), ::testing::IsEmpty());
}

// A line sent on another channel (another area and message) under a later hold leaves the
// first channel's line current: both stopped receivers show their channel's line on resuming.
TEST_F(StoppedReceiver, KeepsTheLatestLineOfEachChannel) {
  const auto joined = [](const std::string& name) {
    auto process =
        std::make_unique<ChildProcess>(std::vector<std::string>{"channel-receive", name, "1024"});
    EXPECT_THAT(process->read_line().value_or("(no output)"), StartsWith("ready "));
    return process;
  };
  auto stopped_a = joined("ChannelA");
  auto stopped_b = joined("ChannelB");
  auto sender_a = joined("ChannelA");
  auto sender_b = joined("ChannelB");
  ASSERT_TRUE(testsupport::wait_for_endpoints(session.dir(), 4));
  ASSERT_EQ(::kill(stopped_a->pid(), SIGSTOP), 0);
  ASSERT_EQ(::kill(stopped_b->pid(), SIGSTOP), 0);
  const std::pair<ChildProcess*, std::string> sends[] = {{sender_a.get(), "line on A"},
                                                         {sender_b.get(), "on B"}};
  for (const auto& [sender, text] : sends) {
    sender->write_line("send " + testsupport::to_hex8(text));
    EXPECT_EQ(sender->read_line(60s), "unreached 2 of 3 copies not reached: not answering");
  }
  ASSERT_EQ(::kill(stopped_a->pid(), SIGCONT), 0);
  ASSERT_EQ(::kill(stopped_b->pid(), SIGCONT), 0);
  EXPECT_EQ(stopped_a->read_line(), "text " + testsupport::to_hex8("line on A"));
  EXPECT_EQ(stopped_b->read_line(), "text " + testsupport::to_hex8("on B"));
  for (ChildProcess* process : {stopped_a.get(), stopped_b.get(), sender_a.get(), sender_b.get()}) {
    process->write_line("quit");
    EXPECT_EQ(process->wait(), 0);
  }
}

// ---- A stopped send-lock holder --------------------------------------------------------------

// The parameter is where the holder is stopped: with the lock just taken, or with its text
// written but not yet broadcast.
class StoppedSendLockHolder : public Transport,
                              public ::testing::WithParamInterface<const char*> {};

TEST_P(StoppedSendLockHolder, TakenOverThenResumedSendsItsTextExactlyOnce) {
  auto first = receiver();
  auto second = receiver();
  ChildProcess holder({"channel-send-paused", GetParam(), "from the stopped holder"});
  ASSERT_EQ(holder.read_line(), "paused");
  ASSERT_EQ(::kill(holder.pid(), SIGSTOP), 0);
  holder.write_line("go");  // read once it runs again

  const std::vector<std::string> taker = {"taker one", "taker two", "taker three"};
  const std::vector<milliseconds> took = send_from_new_copy(taker);
  EXPECT_GE(took[0], milliseconds(mmfcast::platform::kSendLockTakeoverMs))
      << "the lock was free: the holder was not holding it";
  ASSERT_EQ(::kill(holder.pid(), SIGCONT), 0);
  EXPECT_EQ(holder.read_line(), "sent new-hold");
  EXPECT_EQ(holder.wait(), 0);

  std::vector<std::string> expected = taker;
  expected.push_back("from the stopped holder");
  EXPECT_EQ(texts_until_quit(*first), expected);
  EXPECT_EQ(texts_until_quit(*second), expected);
}

INSTANTIATE_TEST_SUITE_P(Where, StoppedSendLockHolder,
                         ::testing::Values("after-acquire", "after-write"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param) == "after-acquire" ? "AfterAcquiring"
                                                                             : "AfterWriting";
                         });

// ---- A stopped session-lock holder -----------------------------------------------------------

using StoppedSessionLockHolder = Transport;

TEST_F(StoppedSessionLockHolder, EachWaitForItFailsWithinTheBoundNamingTheLock) {
  ChildProcess holder({"session-lock-hold"});
  ASSERT_EQ(holder.read_line(), "held");
  ASSERT_EQ(::kill(holder.pid(), SIGSTOP), 0);

  // Opening and creating, twice each: the first waits the bound, the others fail at once, since
  // the same holder is not waited for again within the bound. Four bounds would be 12 s.
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(
        mmfcast::platform::OpenFileMappingA(mmfcast::platform::kFileMapWrite, 0, "MyPubMemory"),
        0u);
    EXPECT_THAT(mmfcast::platform::last_error_text(), HasSubstr("session lock"));
    EXPECT_THAT(mmfcast::platform::last_error_text(), HasSubstr("stopped or hung"));
    EXPECT_EQ(mmfcast::platform::CreateFileMappingA(mmfcast::platform::kInvalidHandleValue, nullptr,
                                                    mmfcast::platform::kPageReadWrite, 0, 4096,
                                                    "MyPubMemory"),
              0u);
    EXPECT_THAT(mmfcast::platform::last_error_text(), HasSubstr("session lock"));
  }
  EXPECT_LT(since(start), 3 * milliseconds(mmfcast::platform::os::kLockWaitMs));
  // A whole copy fails too, with a message that says what it waited for.
  ChildProcess copy({"channel-send", "never sent"});
  const std::string message = copy.read_line().value_or("(no output)");
  EXPECT_EQ(copy.wait(), kAreaUnusable);
  EXPECT_THAT(message, HasSubstr("session lock"));

  ASSERT_EQ(::kill(holder.pid(), SIGCONT), 0);
  holder.write_line("release");
  EXPECT_EQ(holder.wait(), 0);
  auto listening = receiver();
  send_from_new_copy({"once the lock is free"});
  EXPECT_EQ(listening->read_line(), "line once the lock is free");
}

// ---- A full filesystem -----------------------------------------------------------------------

// The session directory on a 64 KiB tmpfs that the test fills.
class FullFilesystem : public Transport {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a small filesystem";
    mount_point_ = session.dir() + "/small";
    ASSERT_EQ(::mkdir(mount_point_.c_str(), 0700), 0);
    if (::mount("tmpfs", mount_point_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                "size=64k,mode=0700") != 0) {
      GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
    }
    mounted_ = true;
    const std::string dir = mount_point_ + "/session";
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    ::setenv("MMFCAST_SESSION_DIR", dir.c_str(), 1);  // the ScopedSession puts it back
  }
  void TearDown() override {
    if (mounted_) ::umount2(mount_point_.c_str(), MNT_DETACH);
  }

  // Writes a file until the filesystem has no block left.
  void fill() {
    const int fd = ::open(filler().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    const std::vector<char> page(4096, 'x');
    ssize_t put = 0;
    while ((put = ::write(fd, page.data(), page.size())) > 0) {
    }
    const int error = errno;
    ::close(fd);
    ASSERT_EQ(put, -1);
    ASSERT_EQ(error, ENOSPC);
  }
  void make_room() { ASSERT_EQ(::unlink(filler().c_str()), 0); }

  // Runs a copy that must fail: a normal exit with the area's exit code, and a message that
  // says why.
  static void expect_clean_failure(const std::vector<std::string>& args) {
    ChildProcess copy(args);
    const std::string message = copy.read_line().value_or("(no output)");
    EXPECT_EQ(copy.wait(), kAreaUnusable) << args[0] << " did not fail cleanly: " << message;
    EXPECT_THAT(message, HasSubstr("the filesystem is full")) << args[0];
  }

 private:
  std::string filler() const { return mount_point_ + "/filler"; }

  std::string mount_point_;
  bool mounted_ = false;
};

TEST_F(FullFilesystem, CopiesStartedOnAFullDiskFailCleanlyWithAClearMessage) {
  // Nothing in the session yet: the message table cannot take the name.
  fill();
  expect_clean_failure({"channel-send", "no room"});
  expect_clean_failure({"channel-listen"});
  // The name registered before the disk filled: the area cannot be made.
  make_room();
  ASSERT_NE(mmfcast::platform::RegisterWindowMessageA("MyPubMessage"), 0u);
  fill();
  expect_clean_failure({"channel-send", "no room"});
  expect_clean_failure({"channel-listen"});
}

TEST_F(FullFilesystem, AreaMadeBeforeTheDiskFilledStillCarriesTexts) {
  auto listening = receiver();
  ChildProcess sender({"channel-send"});
  ASSERT_EQ(sender.read_line(), "joined");
  send_and_hear(sender, *listening, "before the disk filled");

  fill();
  send_and_hear(sender, *listening, "after the disk filled");
  // A copy started now reaches the area too, but cannot make an endpoint to receive on.
  send_from_new_copy({"from a copy started on the full disk"});
  EXPECT_EQ(listening->read_line(), "line from a copy started on the full disk");
  expect_clean_failure({"channel-listen"});

  sender.write_line("quit");
  EXPECT_EQ(sender.wait(), 0);
  EXPECT_THAT(texts_until_quit(*listening), ::testing::IsEmpty());
}

// ---- The session directory removed under running copies --------------------------------------

class RemovedSessionDirectory : public Transport {
 protected:
  // Removes the session directory under the running receivers (or, with keep_directory, every
  // file in it), then sends from a copy until each of them has heard it (at most for 10 s):
  // from a new one, or from `running`, a copy that sent before the removal. Every text they
  // show must have been sent after the removal; the last one, sent once all heard, must reach
  // them all.
  void remove_and_send_until_heard(std::vector<std::unique_ptr<ChildProcess>>& receivers,
                                   bool keep_directory = false,
                                   std::unique_ptr<ChildProcess> running = nullptr) {
    if (keep_directory) {
      for (const auto& entry : fs::directory_iterator(session.dir())) fs::remove(entry.path());
    } else {
      fs::remove_all(session.dir());
    }
    if (!running) {
      running = std::make_unique<ChildProcess>(std::vector<std::string>{"channel-send"});
      ASSERT_EQ(running->read_line(), "joined");
    }
    ChildProcess& next = *running;
    // The receivers publish themselves again shortly after; until then texts reach nobody.
    std::set<std::string> sent;
    std::vector<bool> heard(receivers.size(), false);
    const Clock::time_point start = Clock::now();
    for (int i = 0; std::count(heard.begin(), heard.end(), false) > 0 && since(start) < 10s; ++i) {
      const std::string text = "after the removal " + std::to_string(i);
      next.write_line(text);
      ASSERT_THAT(next.read_line().value_or("(no output)"), StartsWith("sent "));
      sent.insert(text);
      for (std::size_t r = 0; r < receivers.size(); ++r) {
        if (heard[r]) continue;
        if (const std::optional<std::string> line = receivers[r]->read_line(100ms)) {
          ASSERT_THAT(*line, StartsWith("line "));
          EXPECT_TRUE(sent.contains(line->substr(5))) << *line;
          heard[r] = true;
        }
      }
    }
    for (std::size_t r = 0; r < receivers.size(); ++r) {
      EXPECT_TRUE(heard[r]) << "receiver " << r << " never heard the next copy";
    }

    next.write_line("settled");
    ASSERT_THAT(next.read_line().value_or("(no output)"), StartsWith("sent "));
    for (auto& r : receivers) {
      std::vector<std::string> later = texts_until_quit(*r);
      ASSERT_FALSE(later.empty());
      EXPECT_EQ(later.back(), "settled");
      later.pop_back();
      for (const std::string& text : later) EXPECT_TRUE(sent.contains(text)) << text;
    }
    next.write_line("quit");
    EXPECT_EQ(next.wait(), 0);
  }
};

TEST_F(RemovedSessionDirectory, RunningReceiversHearTheNextCopysTexts) {
  std::vector<std::unique_ptr<ChildProcess>> receivers;
  receivers.push_back(receiver());
  receivers.push_back(receiver());
  send_from_new_copy({"before the removal"});
  for (auto& r : receivers) EXPECT_EQ(r->read_line(), "line before the removal");

  remove_and_send_until_heard(receivers);
  struct stat st {};
  ASSERT_EQ(::lstat(session.dir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
}

// A cleaner that deletes the files and keeps the directory: the running copies notice, follow
// the area and the send lock to their new files, and never show the text from before.
TEST_F(RemovedSessionDirectory, FilesRemovedWithTheDirectoryKeptAreFollowed) {
  std::vector<std::unique_ptr<ChildProcess>> receivers;
  receivers.push_back(receiver());
  receivers.push_back(receiver());
  auto running = std::make_unique<ChildProcess>(std::vector<std::string>{"channel-send"});
  ASSERT_EQ(running->read_line(), "joined");
  running->write_line("before the removal");
  ASSERT_THAT(running->read_line().value_or("(no output)"), StartsWith("sent "));
  for (auto& r : receivers) EXPECT_EQ(r->read_line(), "line before the removal");

  remove_and_send_until_heard(receivers, true, std::move(running));
}

// Lines sent right after the files were removed, before the receivers publish themselves again,
// still reach them through the connections the running sender holds; once they are published
// again, each line arrives once, through one connection.
TEST_F(RemovedSessionDirectory, LinesSentBeforeTheReceiversPublishAgainReachThemOnce) {
  std::vector<std::unique_ptr<ChildProcess>> receivers;
  receivers.push_back(receiver());
  receivers.push_back(receiver());
  ChildProcess sender({"channel-send"});
  ASSERT_EQ(sender.read_line(), "joined");
  send_and_hear(sender, *receivers[0], "before the removal");
  EXPECT_EQ(receivers[1]->read_line(), "line before the removal");

  for (const auto& entry : fs::directory_iterator(session.dir())) fs::remove(entry.path());
  std::vector<std::string> sent;
  for (int i = 0; i < 12; ++i) {
    sent.push_back("after the removal " + std::to_string(i));
    sender.write_line(sent.back());
    ASSERT_THAT(sender.read_line().value_or("(no output)"), StartsWith("sent "));
    std::this_thread::sleep_for(50ms);
  }
  sender.write_line("quit");
  EXPECT_EQ(sender.wait(), 0);
  for (auto& r : receivers) EXPECT_EQ(texts_until_quit(*r), sent);
}

// The re-created directory's table starts empty, so the next copy gets the first id for
// "MyPubMessage" while the running receivers registered it second: they must hear it all the
// same.
TEST_F(RemovedSessionDirectory, ReceiversHearTheNextCopyWhenAnotherNameCameFirst) {
  ASSERT_EQ(mmfcast::platform::RegisterWindowMessageA("Registered.First"), 0xC000u);
  std::vector<std::unique_ptr<ChildProcess>> receivers;
  receivers.push_back(receiver());
  send_from_new_copy({"before the removal"});
  EXPECT_EQ(receivers[0]->read_line(), "line before the removal");
  remove_and_send_until_heard(receivers);
}

// ---- Session files damaged by another process of the user -----------------------------------

using DamagedSession = Transport;

// The send lock's page replaced by a directory and its holders' tokens by symlinks while two
// copies stream: the page is moved aside and made again, the tokens made anew, no send fails, and
// the copies take turns again at once.
TEST_F(DamagedSession, ReplacedSendLockIsRepairedAndNoLineIsLostOrDoubled) {
  auto listening = receiver();
  ChildProcess first({"channel-stream", "A", "1"});
  ChildProcess second({"channel-stream", "B", "1"});
  ASSERT_EQ(first.read_line(), "streaming");
  ASSERT_EQ(second.read_line(), "streaming");
  std::this_thread::sleep_for(100ms);
  const std::string lock = session.dir() + "/send-lock";
  // The copies make the file again as soon as it is gone: replaced until the directory stays.
  for (std::error_code error; !fs::is_directory(lock, error);) {
    fs::remove(lock, error);
    fs::create_directory(lock, error);
  }
  // The copies' holder tokens replaced by symlinks: each makes a new one.
  for (const auto& entry : fs::directory_iterator(session.dir())) {
    if (entry.path().filename().string().rfind("holder-", 0) != 0) continue;
    fs::create_symlink("/dev/null", session.dir() + "/link");
    fs::rename(session.dir() + "/link", entry.path());
  }
  std::this_thread::sleep_for(300ms);
  long sent = 0;
  for (ChildProcess* stream : {&first, &second}) {
    stream->write_line("stop");
    const std::string report = stream->read_line(60s).value_or("(no output)");
    ASSERT_THAT(report, StartsWith("streamed ")) << report;
    EXPECT_THAT(report, ::testing::EndsWith(" failed 0"));
    sent += std::stol(report.substr(9));
    EXPECT_EQ(stream->wait(), 0);
  }
  send_from_new_copy({"settled"});
  std::vector<std::string> heard = texts_until_quit(*listening);
  ASSERT_FALSE(heard.empty());
  EXPECT_EQ(heard.back(), "settled");
  heard.pop_back();
  const std::set<std::string> distinct(heard.begin(), heard.end());
  // Copies sending without the lock double lines by the thousand. A holder that checked its
  // hold just before the files were replaced can still write once over the new holder's text
  // (the window between the check and the write), so one double is tolerated.
  EXPECT_LE(heard.size() - distinct.size(), 1u) << "lines were shown twice";
  // A listener that fell a deadline behind on a loaded machine skips lines by design; a line
  // shown twice is what copies sending without the lock make.
  EXPECT_LE(static_cast<long>(heard.size()), sent);
  EXPECT_GT(heard.size(), 0u);
  int moved_aside = 0;
  for (const auto& entry : fs::directory_iterator(session.dir())) {
    moved_aside += entry.path().filename().string().rfind("damaged-send-lock", 0) == 0;
  }
  EXPECT_GE(moved_aside, 1);
}

// The area, the send lock's page and every state page cut to 0 bytes under running copies:
// none dies of SIGBUS, and the next texts arrive whole.
TEST_F(DamagedSession, TruncatedSharedFilesNeitherCrashNorShowWrongText) {
  auto listening = receiver();
  ChildProcess sender({"channel-send"});
  ASSERT_EQ(sender.read_line(), "joined");
  send_and_hear(sender, *listening, "before");
  for (const auto& entry : fs::directory_iterator(session.dir())) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("map-", 0) == 0 || name == "send-lock" || name.ends_with(".state")) {
      fs::resize_file(entry.path(), 0);
    }
  }
  for (const std::string text : {"after one", "after two"}) {
    sender.write_line(text);
    ASSERT_THAT(sender.read_line().value_or("(no output)"), StartsWith("sent "));
    EXPECT_EQ(listening->read_line(), "line " + text);
  }
  sender.write_line("quit");
  EXPECT_EQ(sender.wait(), 0);
  EXPECT_THAT(texts_until_quit(*listening), ::testing::IsEmpty());
}

// A listener's state page cut short (inside its one page, so no access faults): sends meanwhile
// say the copy was not reached, and the listener publishes itself anew and hears again.
TEST_F(DamagedSession, StateFileCutShortIsReportedThenRepaired) {
  auto listening = receiver();
  ASSERT_EQ(::kill(listening->pid(), SIGSTOP), 0);
  for (const auto& entry : fs::directory_iterator(session.dir())) {
    if (entry.path().filename().string().ends_with(".state")) fs::resize_file(entry.path(), 100);
  }
  {
    // The stopped owner cannot repair it: the send must say so instead of reaching nobody.
    ChildProcess sender({"channel-send", "while cut short"});
    ASSERT_EQ(sender.read_line(), "joined");
    EXPECT_THAT(sender.read_line().value_or("(no output)"),
                ::testing::AllOf(StartsWith("unreached "), HasSubstr("1 of 1 copy not reached")));
    sender.wait();
  }
  ASSERT_EQ(::kill(listening->pid(), SIGCONT), 0);
  // Every later send is heard, or says that it was not.
  std::set<std::string> sent;
  bool heard = false;
  for (int i = 0; !heard && i < 100; ++i) {
    const std::string text = "after the repair " + std::to_string(i);
    ChildProcess sender({"channel-send", text});
    ASSERT_EQ(sender.read_line(), "joined");
    const std::string result = sender.read_line().value_or("(no output)");
    if (result.rfind("sent ", 0) == 0) {
      EXPECT_EQ(listening->read_line(), "line " + text);
      heard = true;
    } else {
      EXPECT_THAT(result, HasSubstr("not reached"));
      std::this_thread::sleep_for(50ms);
    }
    sender.wait();
  }
  EXPECT_TRUE(heard) << "the listener never published itself again";
  EXPECT_THAT(texts_until_quit(*listening), ::testing::IsEmpty());
}

// The first record of the message table damaged under a running receiver: the next copy
// registers the name again after it, and the receiver follows it there.
TEST_F(DamagedSession, DamagedMessageTableIsFollowedByRunningCopies) {
  auto listening = receiver();
  {
    std::fstream table(session.dir() + "/messages",
                       std::ios::in | std::ios::out | std::ios::binary);
    table.write("garbage!", 8);
  }
  send_from_new_copy({"after the damage"});
  EXPECT_EQ(listening->read_line(), "line after the damage");
  EXPECT_THAT(texts_until_quit(*listening), ::testing::IsEmpty());
}

// ---- A restrictive umask ---------------------------------------------------------------------

class RestrictiveUmask : public Transport {
 protected:
  void SetUp() override { saved_ = ::umask(0277); }
  void TearDown() override { ::umask(saved_); }

 private:
  mode_t saved_ = 0;
};

TEST_F(RestrictiveUmask, SessionMadeUnderUmask0277WorksAndStaysPrivate) {
  const std::string dir = session.dir() + "/made-by-a-copy";
  ::setenv("MMFCAST_SESSION_DIR", dir.c_str(), 1);  // the ScopedSession puts it back
  auto listening = receiver();
  send_from_new_copy({"under umask 0277"});
  EXPECT_EQ(listening->read_line(), "line under umask 0277");

  struct stat st {};
  ASSERT_EQ(::lstat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  for (const auto& entry : fs::directory_iterator(dir)) {
    ASSERT_EQ(::lstat(entry.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << entry.path();
  }
  EXPECT_THAT(texts_until_quit(*listening), ::testing::IsEmpty());
}

}  // namespace
