// Broadcast between real processes on Linux: it returns only once the receivers have handled the
// notification, never deadlocks when processes broadcast to each other or from inside a
// procedure, delays its sender at most once for a stopped receiver, skips and cleans up after a
// killed one, and has nothing to do with processes of another user.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/transport/frame.h"
#include "platform/linux/transport/internal.h"
#include "platform/linux/transport/syscalls.h"
#include "platform/linux/transport/transport.h"
#include "platform/platform.h"
#include "tests/support/child_process.h"
#include "tests/support/endpoints_linux.h"

namespace {

namespace fs = std::filesystem;
namespace os = mmfcast::platform::os;
using testsupport::ChildProcess;
using testsupport::ScopedSession;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Bounds that only a broadcast which waited for a peer it should have skipped can exceed, and
// one that only a broadcast that waited without end can exceed.
constexpr milliseconds kSkippedBound{700};
constexpr milliseconds kDeadlineBound{5000};

long broadcast(std::uint32_t msg, mmfcast::platform::WParam w, mmfcast::platform::LParam l) {
  std::uint32_t recipients = mmfcast::platform::kBsmApplications;
  return mmfcast::platform::BroadcastSystemMessage(mmfcast::platform::kBsfIgnoreCurrentTask,
                                                   &recipients, msg, w, l);
}

// Broadcasts and returns how long it took; the result must be `result`.
milliseconds timed_broadcast(std::uint32_t msg, mmfcast::platform::WParam w, long result = 1) {
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(broadcast(msg, w, 0), result);
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

std::string got(std::uint32_t msg, mmfcast::platform::WParam w, mmfcast::platform::LParam l = 0) {
  return "got " + std::to_string(msg) + " " + std::to_string(w) + " " + std::to_string(l);
}

// The endpoint socket that appeared in the session since `before` was taken.
std::string newest_endpoint(const ScopedSession& session, const std::vector<std::string>& before) {
  for (const std::string& path : testsupport::endpoint_sockets(session.dir())) {
    if (std::find(before.begin(), before.end(), path) == before.end()) return path;
  }
  return {};
}

std::string state_of(const std::string& socket) {
  return socket.substr(0, socket.size() - 5) + ".state";
}

int own_calls = 0;
std::uint32_t own_last = 0;
mmfcast::platform::WParam own_last_w = 0;
mmfcast::platform::LResult MMFCAST_CALLBACK own_proc(mmfcast::platform::Hwnd, std::uint32_t msg,
                                                     mmfcast::platform::WParam w,
                                                     mmfcast::platform::LParam) {
  if (msg >= 0xC000 && msg <= 0xFFFF) {
    ++own_calls;
    own_last = msg;
    own_last_w = w;
  }
  return 0;
}

class BroadcastTest : public ::testing::Test {
 protected:
  void SetUp() override {
    own_calls = 0;
    msg = mmfcast::platform::RegisterWindowMessageA("Broadcast.Test");
    ASSERT_NE(msg, 0u);
  }

  ScopedSession session;
  std::uint32_t msg = 0;
};

TEST_F(BroadcastTest, ReturnsOnlyAfterTheReceiverHandledIt) {
  ChildProcess slow({"listen", "9", "delay=300"});
  ASSERT_EQ(slow.read_line(), "ready");
  EXPECT_EQ(broadcast(msg, 12, -34), 1);
  // The receiver said what it got before it answered, so the line is already there.
  EXPECT_EQ(slow.read_line(milliseconds(50)), got(msg, 12, -34));
}

TEST_F(BroadcastTest, OwnWindowsNeverGetItAndNoRecipientsIsSuccess) {
  const mmfcast::platform::Hwnd w = mmfcast::platform::create_window(&own_proc);
  EXPECT_EQ(broadcast(msg, 1, 2), 1);
  mmfcast::platform::pump_messages(50);
  EXPECT_EQ(own_calls, 0);
  mmfcast::platform::destroy_window(w);
}

TEST_F(BroadcastTest, RefusesWhatItCannotDo) {
  {
    ChildProcess listener({"listen", "1"});
    ASSERT_EQ(listener.read_line(), "ready");
    const mmfcast::platform::os::ScopedSyscall no_room(&mmfcast::platform::os::Syscalls::connect,
                                                       [](int, const sockaddr*, socklen_t) {
                                                         errno = ENOBUFS;
                                                         return -1;
                                                       });
    EXPECT_EQ(broadcast(msg, 0, 0), -1);
    EXPECT_EQ(mmfcast::platform::broadcast_unreached(), 1);
    listener.write_line("quit");
  }
  // What is refused before anything is sent reports no copy unreached, not the last count.
  std::uint32_t applications = mmfcast::platform::kBsmApplications, nobody = 0;
  EXPECT_EQ(mmfcast::platform::BroadcastSystemMessage(0, &applications, msg, 0, 0), -1);
  EXPECT_EQ(mmfcast::platform::BroadcastSystemMessage(mmfcast::platform::kBsfIgnoreCurrentTask | 1,
                                                      &applications, msg, 0, 0),
            -1);
  EXPECT_EQ(mmfcast::platform::BroadcastSystemMessage(mmfcast::platform::kBsfIgnoreCurrentTask,
                                                      nullptr, msg, 0, 0),
            -1);
  EXPECT_EQ(mmfcast::platform::BroadcastSystemMessage(mmfcast::platform::kBsfIgnoreCurrentTask,
                                                      &nobody, msg, 0, 0),
            -1);
  EXPECT_EQ(mmfcast::platform::last_error(), EINVAL);
  EXPECT_EQ(mmfcast::platform::broadcast_unreached(), 0);
  ASSERT_EQ(::chmod(session.dir().c_str(), 0770), 0);
  EXPECT_EQ(broadcast(msg, 0, 0), -1);
  EXPECT_EQ(
      mmfcast::platform::last_error_text(),
      "session directory " + session.dir() + ": must be a directory of this user with mode 0700");
  ASSERT_EQ(::chmod(session.dir().c_str(), 0700), 0);
  EXPECT_EQ(broadcast(msg, 0, 0), 1);
}

// Receivers that cannot take a sender's connection refuse it with the reason, and every
// broadcast counts them as not reached, while the others hear it.
class RefusedConnections : public BroadcastTest {
 protected:
  // Broadcasts wParam w and expects `unreached` of `total` copies not reached, for `why`.
  void expect_unreached(mmfcast::platform::WParam w, int unreached, int total,
                        const std::string& why) {
    EXPECT_EQ(broadcast(msg, w, 0), -1);
    EXPECT_EQ(mmfcast::platform::broadcast_unreached(), unreached);
    EXPECT_EQ(
        mmfcast::platform::last_error_text(),
        std::to_string(unreached) + " of " + std::to_string(total) + " copies not reached: " + why);
  }

  std::string heard(mmfcast::platform::WParam w) const {
    return "got " + std::to_string(msg) + " " + std::to_string(w);
  }

  // Starts `count` receivers with these arguments and waits until each is ready.
  static std::vector<std::unique_ptr<ChildProcess>> start(int count,
                                                          const std::vector<std::string>& args) {
    std::vector<std::unique_ptr<ChildProcess>> receivers;
    for (int i = 0; i < count; ++i) receivers.push_back(std::make_unique<ChildProcess>(args));
    for (auto& receiver : receivers) EXPECT_EQ(receiver->read_line(), "ready");
    return receivers;
  }

  // Ends the receivers and counts those that heard wParam w.
  int heard_by(std::vector<std::unique_ptr<ChildProcess>>& receivers,
               mmfcast::platform::WParam w) const {
    int count = 0;
    for (auto& receiver : receivers) {
      receiver->write_line("quit");
      while (const std::optional<std::string> line = receiver->read_line()) {
        if (*line == heard(w)) ++count;
      }
    }
    return count;
  }
};

TEST_F(RefusedConnections, ReceiverWithoutDescriptorsIsCountedEachTime) {
  ChildProcess healthy({"endpoint-listen", "nest=0"});
  ChildProcess full({"endpoint-listen", "no-descriptors"});
  ASSERT_EQ(healthy.read_line(), "ready");
  ASSERT_EQ(full.read_line(), "ready");
  for (mmfcast::platform::WParam w = 1; w <= 3; ++w) {
    expect_unreached(w, 1, 2, "the copy has no descriptor left");
    EXPECT_EQ(healthy.read_line(), heard(w));
  }
  full.write_line("quit");
  EXPECT_EQ(full.read_line(), "refused 3");
  healthy.write_line("quit");
  EXPECT_EQ(healthy.read_line(), "refused 0");
}

TEST_F(RefusedConnections, ReceiverNestedTooDeepForOneMoreWakeUpPathIsCounted) {
  // Ten paths to one notification descriptor through four more epoll sets are all the kernel
  // allows; the two receivers beyond cannot watch it.
  auto receivers = start(12, {"endpoint-listen", "nest=4"});
  expect_unreached(1, 2, 12, "the copy cannot watch one more notification descriptor");
  EXPECT_EQ(heard_by(receivers, 1), 10);
}

TEST_F(RefusedConnections, ManyReceiversNestedInTheirOwnSetsAllHearOneSender) {
  // Through three more sets the kernel allows 50 paths to one notification descriptor.
  auto receivers = start(60, {"endpoint-listen", "nest=3"});
  EXPECT_EQ(broadcast(msg, 7, 0), 1) << mmfcast::platform::last_error_text();
  EXPECT_EQ(heard_by(receivers, 7), 60);
}

int failed_listings = 0;

TEST_F(RefusedConnections, SenderAtItsDescriptorLimitStillReachesItsConnections) {
  ChildProcess known({"endpoint-listen", "nest=0"});
  ASSERT_EQ(known.read_line(), "ready");
  EXPECT_EQ(broadcast(msg, 1, 0), 1);
  EXPECT_EQ(known.read_line(), heard(1));
  ChildProcess unknown({"endpoint-listen", "nest=0"});
  ASSERT_EQ(unknown.read_line(), "ready");
  // No descriptor left: listing the directory fails until the spare is given up, and no new
  // connection can be made.
  failed_listings = 0;
  const mmfcast::platform::os::ScopedSyscall no_listing(&mmfcast::platform::os::Syscalls::opendir,
                                                        [](const char* path) -> DIR* {
                                                          if (failed_listings++ % 2 == 0) {
                                                            errno = EMFILE;
                                                            return nullptr;
                                                          }
                                                          return ::opendir(path);
                                                        });
  const mmfcast::platform::os::ScopedSyscall no_socket(&mmfcast::platform::os::Syscalls::socket,
                                                       [](int, int, int) {
                                                         errno = EMFILE;
                                                         return -1;
                                                       });
  for (mmfcast::platform::WParam w = 2; w <= 3; ++w) {
    expect_unreached(w, 1, 2, std::strerror(EMFILE));
    EXPECT_EQ(known.read_line(), heard(w));
  }
}

TEST_F(BroadcastTest, FilesThatAreNotLiveEndpointsOfOursAreLeftAlone) {
  const std::string fake = session.dir() + "/peer-00000000000000aa";
  std::ofstream(fake + ".sock") << "not a socket";
  std::ofstream(fake + ".state") << "not a state page of the right size";
  std::ofstream(session.dir() + "/peer-12.sock") << "";
  fs::create_directory(session.dir() + "/peer-00000000000000bb.sock");
  ChildProcess child({"listen", "0"});
  ASSERT_EQ(child.read_line(), "ready");
  EXPECT_EQ(broadcast(msg, 5, 0), 1);
  EXPECT_EQ(child.read_line(milliseconds(50)), got(msg, 5));
  EXPECT_TRUE(fs::exists(fake + ".sock"));
  EXPECT_TRUE(fs::exists(fake + ".state"));
  EXPECT_TRUE(fs::exists(session.dir() + "/peer-12.sock"));
  EXPECT_TRUE(fs::exists(session.dir() + "/peer-00000000000000bb.sock"));
}

TEST_F(BroadcastTest, ProcessesBroadcastingToEachOtherAllFinish) {
  ChildProcess a({"listen", "0", "quiet"}), b({"listen", "0", "quiet"});
  ASSERT_EQ(a.read_line(), "ready");
  ASSERT_EQ(b.read_line(), "ready");
  const std::string spam = "spam " + std::to_string(msg) + " 1000";
  a.write_line(spam);
  b.write_line(spam);
  EXPECT_EQ(a.read_line(std::chrono::seconds(120)), "spammed 1000");
  EXPECT_EQ(b.read_line(std::chrono::seconds(120)), "spammed 1000");
  a.write_line("count");
  b.write_line("count");
  EXPECT_EQ(a.read_line(), "count 1000");
  EXPECT_EQ(b.read_line(), "count 1000");
}

TEST_F(BroadcastTest, ProcedureMayBroadcastBackWhileTheSenderWaits) {
  const mmfcast::platform::Hwnd w = mmfcast::platform::create_window(&own_proc);
  ChildProcess echo({"listen", "0", "echo"});
  ASSERT_EQ(echo.read_line(), "ready");
  const milliseconds took = timed_broadcast(msg, 1);
  // The echo reached this process's window while its broadcast was still waiting.
  EXPECT_EQ(own_calls, 1);
  EXPECT_EQ(own_last, msg);
  EXPECT_EQ(own_last_w, 0u);
  EXPECT_LT(took, kSkippedBound);
  EXPECT_EQ(echo.read_line(milliseconds(50)), got(msg, 1));
  mmfcast::platform::destroy_window(w);
}

// A procedure that gives a later window another procedure, or destroys it, while a notification
// is being delivered: the later window gets it through its new procedure, or not at all.
mmfcast::platform::Hwnd changed_window = 0, doomed_window = 0;
int replaced_calls = 0;
mmfcast::platform::LResult MMFCAST_CALLBACK replacement_proc(mmfcast::platform::Hwnd,
                                                             std::uint32_t msg,
                                                             mmfcast::platform::WParam,
                                                             mmfcast::platform::LParam) {
  if (msg >= 0xC000 && msg <= 0xFFFF) ++replaced_calls;
  return 0;
}
mmfcast::platform::LResult MMFCAST_CALLBACK changing_proc(mmfcast::platform::Hwnd,
                                                          std::uint32_t msg,
                                                          mmfcast::platform::WParam,
                                                          mmfcast::platform::LParam) {
  if (msg < 0xC000 || msg > 0xFFFF) return 0;
  mmfcast::platform::SetWindowLongA(
      changed_window, mmfcast::platform::kGwlWndProc,
      reinterpret_cast<mmfcast::platform::LongPtr>(&replacement_proc));
  mmfcast::platform::destroy_window(doomed_window);
  return 0;
}

TEST_F(BroadcastTest, ProcedureThatChangesLaterWindowsIsHeededInTheSameDelivery) {
  const mmfcast::platform::Hwnd first = mmfcast::platform::create_window(&changing_proc);
  changed_window = mmfcast::platform::create_window(&own_proc);
  doomed_window = mmfcast::platform::create_window(&own_proc);
  replaced_calls = 0;
  ChildProcess echo({"listen", "0", "echo"});
  ASSERT_EQ(echo.read_line(), "ready");
  timed_broadcast(msg, 1);
  EXPECT_EQ(replaced_calls, 1);
  EXPECT_EQ(own_calls, 0) << "a replaced or destroyed window's old procedure was called";
  mmfcast::platform::destroy_window(changed_window);
  mmfcast::platform::destroy_window(first);
}

TEST_F(BroadcastTest, NestedBroadcastsBetweenProcessesUnwind) {
  const mmfcast::platform::Hwnd w = mmfcast::platform::create_window(&own_proc);
  ChildProcess a({"listen", "0", "echo", "quiet"}), b({"listen", "0", "echo", "quiet"});
  ASSERT_EQ(a.read_line(), "ready");
  ASSERT_EQ(b.read_line(), "ready");
  EXPECT_LT(timed_broadcast(msg, 4), kDeadlineBound);
  // Every notification with wParam W > 0 that a child got was passed on to the two others.
  a.write_line("count");
  b.write_line("count");
  const std::optional<std::string> ca = a.read_line(), cb = b.read_line();
  ASSERT_TRUE(ca && cb);
  EXPECT_GT(std::stoi(ca->substr(6)), 1);
  EXPECT_GT(std::stoi(cb->substr(6)), 1);
  EXPECT_GT(own_calls, 1);
  mmfcast::platform::destroy_window(w);
}

TEST_F(BroadcastTest, StoppedReceiverDelaysTheSenderOnceAndRejoinsWhenItAnswers) {
  ChildProcess healthy({"listen", "0"}), stopped({"listen", "0", "delay=200"});
  ASSERT_EQ(healthy.read_line(), "ready");
  ASSERT_EQ(stopped.read_line(), "ready");
  ASSERT_EQ(::kill(stopped.pid(), SIGSTOP), 0);

  // Both sends say the stopped copy was not reached; only the first waits for it.
  EXPECT_LT(timed_broadcast(msg, 1, -1), kDeadlineBound);
  EXPECT_EQ(mmfcast::platform::broadcast_unreached(), 1);
  EXPECT_EQ(mmfcast::platform::last_error_text(), "1 of 2 copies not reached: not answering");
  EXPECT_EQ(healthy.read_line(milliseconds(50)), got(msg, 1));
  EXPECT_LT(timed_broadcast(msg, 2, -1), kSkippedBound);
  EXPECT_EQ(mmfcast::platform::last_error_text(), "1 of 2 copies not reached: not answering");
  EXPECT_EQ(healthy.read_line(milliseconds(50)), got(msg, 2));

  ASSERT_EQ(::kill(stopped.pid(), SIGCONT), 0);
  EXPECT_EQ(stopped.read_line(), got(msg, 1));
  EXPECT_EQ(stopped.read_line(), got(msg, 2));
  EXPECT_EQ(broadcast(msg, 3, 0), 1);
  EXPECT_EQ(stopped.read_line(milliseconds(50)), got(msg, 3));
  EXPECT_EQ(healthy.read_line(milliseconds(50)), got(msg, 3));
}

// This process's acknowledgement page, mapped a second time as any process of the user could
// map it through /proc; null when there is none.
os::AckPage* scribbler_view_of_own_answers() {
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (fs::read_symlink(entry.path(), error).string().rfind("/memfd:mmfcast-answers", 0) != 0) {
      continue;
    }
    const int fd = ::open(entry.path().c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) continue;
    void* page = ::mmap(nullptr, os::kAckPageSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (page != MAP_FAILED) return static_cast<os::AckPage*>(page);
  }
  return nullptr;
}

// Waits until the receiver whose state page is at `path` has cleared its hung mark.
bool wait_until_answering(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  void* page = ::mmap(nullptr, os::kStatePageSize, PROT_READ, MAP_SHARED, fd, 0);
  ::close(fd);
  if (page == MAP_FAILED) return false;
  const auto* state = static_cast<const os::PeerState*>(page);
  const Clock::time_point give_up = Clock::now() + std::chrono::seconds(20);
  while (state->hung.load() != 0 && Clock::now() < give_up) {
    std::this_thread::sleep_for(milliseconds(5));
  }
  const bool answering = state->hung.load() == 0;
  ::munmap(page, os::kStatePageSize);
  return answering;
}

// Another process of the user writes a far newest entry into a sender's page while a receiver
// sleeps: the receiver does not jump to it, and hears the sender's next notifications.
TEST_F(BroadcastTest, ScribbledNewestEntryDoesNotDeafenTheReceiver) {
  ChildProcess receiver({"listen", "0"});
  ASSERT_EQ(receiver.read_line(), "ready");
  const std::string socket = newest_endpoint(session, {});
  EXPECT_EQ(broadcast(msg, 1, 0), 1);
  EXPECT_EQ(receiver.read_line(), got(msg, 1));
  os::AckPage* page = scribbler_view_of_own_answers();
  ASSERT_NE(page, nullptr);

  ASSERT_EQ(::kill(receiver.pid(), SIGSTOP), 0);
  EXPECT_EQ(broadcast(msg, 2, 0), -1);
  page->published.store(std::uint64_t{1} << 40);
  ASSERT_EQ(::kill(receiver.pid(), SIGCONT), 0);
  ASSERT_TRUE(wait_until_answering(state_of(socket)));

  EXPECT_EQ(broadcast(msg, 3, 0), 1);
  EXPECT_EQ(receiver.read_line(), got(msg, 2));
  EXPECT_EQ(receiver.read_line(), got(msg, 3));
  ::munmap(page, os::kAckPageSize);
}

TEST_F(BroadcastTest, KilledReceiverIsSkippedAndItsEndpointRemoved) {
  ChildProcess known({"listen", "0"});
  ASSERT_EQ(known.read_line(), "ready");
  const std::string known_path = newest_endpoint(session, {});
  EXPECT_EQ(broadcast(msg, 1, 0), 1);  // the sender now holds a connection to `known` only
  EXPECT_EQ(known.read_line(milliseconds(50)), got(msg, 1));
  ChildProcess unknown({"listen", "0"});
  ASSERT_EQ(unknown.read_line(), "ready");
  const std::string unknown_path = newest_endpoint(session, {known_path});
  known.kill();
  unknown.kill();
  known.wait();
  unknown.wait();
  ASSERT_TRUE(fs::exists(known_path));
  ASSERT_TRUE(fs::exists(unknown_path));

  EXPECT_LT(timed_broadcast(msg, 2), kSkippedBound);
  for (const std::string& path : {known_path, unknown_path}) {
    EXPECT_FALSE(fs::exists(path));
    EXPECT_FALSE(fs::exists(state_of(path)));
  }
}

TEST_F(BroadcastTest, ReceiverThatClosedItsWindowIsNoLongerSentTo) {
  ChildProcess gone({"listen", "0"}), staying({"listen", "0"});
  ASSERT_EQ(gone.read_line(), "ready");
  ASSERT_EQ(staying.read_line(), "ready");
  EXPECT_EQ(broadcast(msg, 1, 0), 1);
  gone.write_line("quit");
  EXPECT_EQ(gone.wait(), 0);
  EXPECT_LT(timed_broadcast(msg, 2), kSkippedBound);
  EXPECT_EQ(staying.read_line(), got(msg, 1));
  EXPECT_EQ(staying.read_line(milliseconds(50)), got(msg, 2));
}

// ---- Another user ------------------------------------------------------------------------

constexpr uid_t kNobody = 65534;

// Runs `body` in a forked copy of this process that has become user and group nobody, and
// returns its exit code (100 + errno when it could not switch).
int as_nobody(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
      ::_exit(100 + errno);
    }
    ::_exit(body());
  }
  int status = 0;
  mmfcast::platform::os::retry_eintr([&] { return ::waitpid(pid, &status, 0); });
  return WIFEXITED(status) ? WEXITSTATUS(status) : 200 + WTERMSIG(status);
}

int connect_to(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// 0 when the other end closes the connection without sending anything, 1 when it sends
// something, 3 when nothing happens within the time.
int closed_unread(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, timeout_ms) != 1) return 3;
  char buffer[64];
  return ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0 ? 1 : 0;
}

class OtherUser : public BroadcastTest {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch to another user";
    BroadcastTest::SetUp();
  }

  // A fresh directory beside the session's, owned by nobody and open for anyone to enter.
  std::string public_dir() {
    std::string pattern = fs::path(session.dir()).parent_path() / "mmfcast-public-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return {};
    ::chmod(pattern.c_str(), 0755);
    if (::chown(pattern.c_str(), kNobody, kNobody) != 0) return {};
    cleanup.push_back(pattern);
    return pattern;
  }
  void TearDown() override {
    for (const std::string& dir : cleanup) fs::remove_all(dir);
  }

  std::vector<std::string> cleanup;
};

TEST_F(OtherUser, CannotUseTheSessionDirectory) {
  const std::uint32_t id = msg;
  EXPECT_EQ(as_nobody([id] {
              std::uint32_t recipients = mmfcast::platform::kBsmApplications;
              if (mmfcast::platform::RegisterWindowMessageA("Broadcast.Test") != 0) return 1;
              if (mmfcast::platform::BroadcastSystemMessage(
                      mmfcast::platform::kBsfIgnoreCurrentTask, &recipients, id, 0, 0) != -1) {
                return 2;
              }
              const mmfcast::platform::Hwnd w = mmfcast::platform::create_window(&own_proc);
              if (w == 0 || mmfcast::platform::event_fd() != -1) return 3;
              return 0;
            }),
            0);
}

TEST_F(OtherUser, ItsConnectionsAreClosedUnread) {
  ChildProcess child({"listen", "0"});
  ASSERT_EQ(child.read_line(), "ready");
  // Give the other user a way in: a second name for the endpoint, writable by anyone.
  const std::string dir = public_dir();
  ASSERT_FALSE(dir.empty());
  const std::string door = dir + "/door.sock";
  ASSERT_EQ(::link(newest_endpoint(session, {}).c_str(), door.c_str()), 0);
  ASSERT_EQ(::chmod(door.c_str(), 0666), 0);

  // It introduces itself as a sender does and publishes a notification in its ring.
  os::Frame hello;
  hello.kind = os::FrameKind::kHello;
  os::Frame notify;
  notify.seq = 1;
  notify.msg = msg;
  notify.wparam = 66;
  const os::FrameBytes frame = os::encode_frame(hello);
  EXPECT_EQ(as_nobody([&] {
              const int fd = connect_to(door);
              if (fd < 0) return 2;
              const int page = ::memfd_create("other-answers", MFD_CLOEXEC | MFD_ALLOW_SEALING);
              if (page < 0 || ::ftruncate(page, os::kAckPageSize) != 0 ||
                  ::fcntl(page, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
                return 5;
              }
              void* mapped =
                  ::mmap(nullptr, os::kAckPageSize, PROT_READ | PROT_WRITE, MAP_SHARED, page, 0);
              if (mapped == MAP_FAILED) return 6;
              os::publish_entry(*static_cast<os::AckPage*>(mapped), notify);
              const int fds[3] = {page, ::eventfd(0, EFD_NONBLOCK), ::eventfd(0, EFD_NONBLOCK)};
              if (os::send_record(fd, frame.data(), frame.size(), fds, 3) < 0) return 0;
              const std::uint64_t one = 1;
              if (::write(fds[2], &one, sizeof one) != sizeof one) return 7;
              return closed_unread(fd, 10000);
            }),
            0);
  EXPECT_EQ(broadcast(msg, 7, 0), 1);
  EXPECT_EQ(child.read_line(milliseconds(50)), got(msg, 7));  // and never the 66
}

TEST_F(OtherUser, ItsListenerIsNotSentTo) {
  const std::string dir = public_dir();
  ASSERT_FALSE(dir.empty());
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  // The other user's process listens in its own directory and reports what reaches it.
  const pid_t listener = ::fork();
  if (listener == 0) {
    ::close(ready[0]);
    if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
      ::_exit(100);
    }
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, (dir + "/l.sock").c_str(), sizeof address.sun_path - 1);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 4) != 0) {
      ::_exit(101);
    }
    (void)!::write(ready[1], "r", 1);
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1) ::_exit(4);
    const int conn = ::accept(fd, nullptr, nullptr);
    ::_exit(conn < 0 ? 5 : closed_unread(conn, 10000));
  }
  ::close(ready[1]);
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ::close(ready[0]);

  // Moved into the session and given to us, the socket passes every check but the peer's own
  // credentials.
  const std::string planted = session.dir() + "/peer-00000000000000cc.sock";
  ASSERT_EQ(::rename((dir + "/l.sock").c_str(), planted.c_str()), 0);
  ASSERT_EQ(::chown(planted.c_str(), 0, 0), 0);
  // With a state page as a live endpoint of ours has, held locked by this test.
  const int state = ::open(state_of(planted).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_EQ(::ftruncate(state, os::kStatePageSize), 0);
  ASSERT_EQ(::flock(state, LOCK_EX), 0);
  const std::uint32_t header[2] = {os::kStateMagic, os::kStateVersion};
  ASSERT_EQ(::pwrite(state, header, sizeof header, 0), static_cast<ssize_t>(sizeof header));
  EXPECT_EQ(broadcast(msg, 1, 0), 1);

  int status = 0;
  ASSERT_EQ(::waitpid(listener, &status, 0), listener);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);  // connected to, then closed without a frame
  EXPECT_TRUE(fs::exists(planted));   // a live endpoint is not removed
  ::close(state);
}

}  // namespace
