// The POSIX session layer inside one process: the message-id table file and how it survives
// damage, the window table, the endpoint's lifetime, and delivery of frames that a test writes
// to the endpoint itself (well-formed ones answered, malformed ones ending the connection).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "platform/frame_posix.h"
#include "platform/platform.h"
#include "platform/syscalls_posix.h"
#include "tests/support/child_process.h"

namespace {

namespace fs = std::filesystem;
namespace px = platform::posix;
using testsupport::ChildProcess;
using testsupport::ScopedSession;

std::uint32_t id_of(const std::string& name) {
  return platform::RegisterWindowMessageA(name.c_str());
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

class MessageTable : public ::testing::Test {
 protected:
  std::string table_path() const { return session.dir() + "/messages"; }

  ScopedSession session;
};

TEST_F(MessageTable, FirstRegistrationKeepsItsCase) {
  const std::uint32_t id = id_of("MixedCase.Name");
  EXPECT_EQ(id_of("MIXEDCASE.NAME"), id);
  EXPECT_EQ(id_of("mixedcase.name"), id);
  const std::string table = read_file(table_path());
  EXPECT_NE(table.find("MixedCase.Name"), std::string::npos);
  EXPECT_EQ(table.find("MIXEDCASE.NAME"), std::string::npos);
}

TEST_F(MessageTable, CaseFoldingIsAsciiOnly) {
  const std::uint32_t lower = id_of("caf\xc3\xa9");
  EXPECT_NE(id_of("CAF\xc3\x89"), lower);  // É and é differ outside ASCII
  EXPECT_EQ(id_of("CAF\xc3\xa9"), lower);
}

TEST_F(MessageTable, NullNameGivesZero) {
  EXPECT_EQ(platform::RegisterWindowMessageA(nullptr), 0u);
}

TEST_F(MessageTable, UnusableSessionGivesZero) {
  ASSERT_EQ(::chmod(session.dir().c_str(), 0755), 0);
  EXPECT_EQ(id_of("Any"), 0u);
  ASSERT_EQ(::chmod(session.dir().c_str(), 0700), 0);
  EXPECT_NE(id_of("Any"), 0u);
}

TEST_F(MessageTable, ManyNamesGetDistinctIdsInRange) {
  std::set<std::uint32_t> ids;
  for (int i = 0; i < 2000; ++i) {
    const std::uint32_t id = id_of("n" + std::to_string(i));
    ASSERT_GE(id, 0xC000u) << i;
    ASSERT_LE(id, 0xFFFFu) << i;
    ids.insert(id);
  }
  EXPECT_EQ(ids.size(), 2000u);
  EXPECT_EQ(id_of("N0"), *ids.begin());
  EXPECT_EQ(id_of("N1999"), *ids.rbegin());
}

TEST_F(MessageTable, FullTableRefusesNewNamesButKeepsOldOnes) {
  // Damaged slots are never handed out again, so a table of 16383 damaged records and one
  // good one is as full as a table of 16384 names, and far quicker to make.
  ASSERT_NE(id_of("first"), 0u);
  const auto record = fs::file_size(table_path());
  std::string table = read_file(table_path());
  table.resize(record * 0x3FFF, '\x5A');
  std::ofstream(table_path(), std::ios::binary | std::ios::trunc) << table;

  EXPECT_EQ(id_of("last"), 0xFFFFu);
  EXPECT_EQ(id_of("one.more"), 0u);
  EXPECT_EQ(id_of("LAST"), 0xFFFFu);
  EXPECT_EQ(id_of("FIRST"), 0xC000u);
}

TEST_F(MessageTable, TruncatedRecordIsNeverReusedForAnotherName) {
  const std::uint32_t a = id_of("alpha"), b = id_of("beta"), c = id_of("gamma");
  const auto size = fs::file_size(table_path());
  // Cut the last record in half, as a writer killed mid-write would leave it.
  fs::resize_file(table_path(), size - (size / 3) / 2);
  EXPECT_EQ(id_of("alpha"), a);
  EXPECT_EQ(id_of("beta"), b);
  const std::uint32_t other = id_of("delta");
  EXPECT_NE(other, 0u);
  EXPECT_NE(other, c);
  const std::uint32_t again = id_of("gamma");
  EXPECT_NE(again, 0u);
  EXPECT_NE(again, c);
  EXPECT_NE(again, other);
  EXPECT_EQ(id_of("delta"), other);
}

TEST_F(MessageTable, GarbledRecordMatchesNoName) {
  const std::uint32_t a = id_of("alpha"), b = id_of("beta"), c = id_of("gamma");
  std::string table = read_file(table_path());
  const auto at = table.find("beta");
  ASSERT_NE(at, std::string::npos);
  table[at] = 'z';  // the record now spells "zeta"
  std::ofstream(table_path(), std::ios::binary | std::ios::trunc) << table;

  const std::uint32_t zeta = id_of("zeta");
  EXPECT_NE(zeta, b);
  const std::uint32_t beta = id_of("beta");
  EXPECT_NE(beta, b);
  EXPECT_NE(beta, zeta);
  EXPECT_EQ(id_of("alpha"), a);
  EXPECT_EQ(id_of("gamma"), c);
}

TEST_F(MessageTable, GarbageFileGivesFreshIdsAfterIt) {
  std::ofstream(table_path(), std::ios::binary) << std::string(1000, '\xAB');
  const std::uint32_t id = id_of("fresh");
  EXPECT_GE(id, 0xC000u + 1000 / 272);
  EXPECT_EQ(id_of("FRESH"), id);
}

TEST_F(MessageTable, KilledWriterNeverLeavesAWrongId) {
  std::vector<std::uint32_t> seen;
  {
    ChildProcess writer({"register-many", "k"});
    for (int i = 0; i < 300; ++i) {
      std::optional<std::string> line = writer.read_line();
      ASSERT_TRUE(line.has_value());
      ASSERT_EQ(line->rfind("id " + std::to_string(i) + " ", 0), 0u) << *line;
      seen.push_back(static_cast<std::uint32_t>(std::stoul(line->substr(line->rfind(' ') + 1))));
    }
    writer.kill();
    writer.wait();
  }
  ChildProcess reader({"register", "k0", "k150", "k299", "k300", "k100000"});
  EXPECT_EQ(reader.read_line(), "id " + std::to_string(seen[0]));
  EXPECT_EQ(reader.read_line(), "id " + std::to_string(seen[150]));
  EXPECT_EQ(reader.read_line(), "id " + std::to_string(seen[299]));
  for (int i = 0; i < 2; ++i) {
    std::optional<std::string> line = reader.read_line();
    ASSERT_TRUE(line.has_value());
    const auto id = static_cast<std::uint32_t>(std::stoul(line->substr(3)));
    EXPECT_NE(id, 0u);
    EXPECT_EQ(std::find(seen.begin(), seen.end(), id), seen.end()) << id;
  }
}

// ---- Windows and the endpoint ------------------------------------------------------------

int calls = 0;
platform::LResult MMF_CALLBACK counting_proc(platform::Hwnd, std::uint32_t, platform::WParam,
                                             platform::LParam) {
  ++calls;
  return 31;
}
platform::LResult MMF_CALLBACK other_proc(platform::Hwnd, std::uint32_t, platform::WParam,
                                          platform::LParam) {
  return 32;
}

class Windows : public ::testing::Test {
 protected:
  void SetUp() override { calls = 0; }
  std::string endpoint() const {
    return session.dir() + "/peer-" + std::to_string(::getpid()) + ".sock";
  }

  ScopedSession session;
};

TEST_F(Windows, NullProcedureIsRefused) {
  EXPECT_EQ(platform::create_window(nullptr), 0u);
  const platform::Hwnd w = platform::create_window(&counting_proc);
  EXPECT_EQ(platform::SetWindowLongA(w, platform::kGwlWndProc, 0), 0);
  EXPECT_EQ(platform::SetWindowLongA(w, platform::kGwlWndProc,
                                     reinterpret_cast<platform::LongPtr>(&other_proc)),
            reinterpret_cast<platform::LongPtr>(&counting_proc));
  platform::destroy_window(w);
}

TEST_F(Windows, EndpointLivesFromFirstToLastWindow) {
  EXPECT_EQ(platform::event_fd(), -1);
  EXPECT_EQ(platform::pump_messages(0), -1);
  const platform::Hwnd a = platform::create_window(&counting_proc);
  const platform::Hwnd b = platform::create_window(&counting_proc);
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, a);
  EXPECT_GE(platform::event_fd(), 0);
  EXPECT_TRUE(fs::is_socket(endpoint()));
  EXPECT_EQ(platform::pump_messages(0), 0);
  platform::destroy_window(a);
  EXPECT_TRUE(fs::is_socket(endpoint()));
  platform::destroy_window(b);
  EXPECT_FALSE(fs::exists(endpoint()));
  EXPECT_EQ(platform::event_fd(), -1);
}

TEST_F(Windows, WindowWithoutSessionStillExistsButCannotReceive) {
  ASSERT_EQ(::chmod(session.dir().c_str(), 0750), 0);
  const platform::Hwnd w = platform::create_window(&counting_proc);
  EXPECT_NE(w, 0u);
  EXPECT_EQ(platform::event_fd(), -1);
  EXPECT_EQ(platform::pump_messages(0), -1);
  platform::destroy_window(w);
  ASSERT_EQ(::chmod(session.dir().c_str(), 0700), 0);
}

TEST_F(Windows, EndpointIsRemovedAtNormalExit) {
  ChildProcess child({"listen", "0"});
  ASSERT_EQ(child.read_line(), "ready");
  const std::string path = session.dir() + "/peer-" + std::to_string(child.pid()) + ".sock";
  EXPECT_TRUE(fs::is_socket(path));
  child.close_stdin();
  EXPECT_EQ(child.wait(), 0);
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(Windows, LongSessionPathStillGetsAnEndpoint) {
  std::string deep = session.dir();
  while (deep.size() < 150) deep += "/deeper-directory-name";
  fs::create_directories(deep);
  fs::permissions(deep, fs::perms::owner_all);
  ::setenv("MMFCAST_SESSION_DIR", deep.c_str(), 1);
  const platform::Hwnd w = platform::create_window(&counting_proc);
  EXPECT_GE(platform::event_fd(), 0);
  EXPECT_TRUE(fs::is_socket(deep + "/peer-" + std::to_string(::getpid()) + ".sock"));
  std::uint32_t recipients = platform::kBsmApplications;
  ChildProcess child({"listen", "0"});
  ASSERT_EQ(child.read_line(), "ready");
  EXPECT_EQ(
      platform::BroadcastSystemMessage(platform::kBsfIgnoreCurrentTask, &recipients, 0xC001, 1, 2),
      1);
  EXPECT_EQ(child.read_line(), "got 49153 1 2");
  platform::destroy_window(w);
  ::setenv("MMFCAST_SESSION_DIR", session.dir().c_str(), 1);
}

// ---- Frames written straight to this process's endpoint ------------------------------------

platform::Hwnd destroy_target = 0;
platform::LResult MMF_CALLBACK destroying_proc(platform::Hwnd self, std::uint32_t, platform::WParam,
                                               platform::LParam) {
  ++calls;
  // Changing the table from inside a procedure must neither deadlock nor disturb delivery.
  platform::SetWindowLongA(self, platform::kGwlWndProc,
                           reinterpret_cast<platform::LongPtr>(&counting_proc));
  if (destroy_target != 0) platform::destroy_window(destroy_target);
  destroy_target = 0;
  return 41;
}

class OwnEndpoint : public ::testing::Test {
 protected:
  void SetUp() override {
    calls = 0;
    window = platform::create_window(&counting_proc);
    ASSERT_GE(platform::event_fd(), 0);
  }
  void TearDown() override { platform::destroy_window(window); }

  // A connection to this process's own endpoint.
  int connect_endpoint() {
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = session.dir() + "/peer-" + std::to_string(::getpid()) + ".sock";
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
  }

  // What arrives on fd while this process pumps: a frame, or "" for a closed connection,
  // or nullopt when nothing arrives.
  std::optional<std::string> answer(int fd) {
    for (int i = 0; i < 100; ++i) {
      platform::pump_messages(10);
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 0) == 1) {
        char buffer[256];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        return got <= 0 ? std::string() : std::string(buffer, static_cast<std::size_t>(got));
      }
    }
    return std::nullopt;
  }

  static std::string bytes_of(const px::Frame& frame) {
    const px::FrameBytes bytes = px::encode_frame(frame);
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
  }

  ScopedSession session;
  platform::Hwnd window = 0;
};

TEST_F(OwnEndpoint, NotificationReachesEveryWindowAndIsAnsweredWithTheLastResult) {
  const platform::Hwnd second = platform::create_window(&other_proc);
  const int fd = connect_endpoint();
  const std::string sent = bytes_of({px::FrameKind::kNotify, 77, 0xC010, 5, -6});
  ASSERT_EQ(::send(fd, sent.data(), sent.size(), 0), static_cast<ssize_t>(sent.size()));
  const std::optional<std::string> reply = answer(fd);
  ASSERT_TRUE(reply.has_value());
  const auto frame = px::decode_frame(
      std::span(reinterpret_cast<const std::uint8_t*>(reply->data()), reply->size()));
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(frame->kind, px::FrameKind::kReply);
  EXPECT_EQ(frame->seq, 77u);
  EXPECT_EQ(frame->value, 32);
  EXPECT_EQ(calls, 1);
  ::close(fd);
  platform::destroy_window(second);
}

TEST_F(OwnEndpoint, ProcedureMayChangeTheWindowTableDuringDelivery) {
  ASSERT_NE(platform::SetWindowLongA(window, platform::kGwlWndProc,
                                     reinterpret_cast<platform::LongPtr>(&destroying_proc)),
            0);
  destroy_target = platform::create_window(&counting_proc);
  const platform::Hwnd survivor = platform::create_window(&other_proc);
  const int fd = connect_endpoint();
  const std::string sent = bytes_of({px::FrameKind::kNotify, 1, 0xC010, 0, 0});
  ASSERT_EQ(::send(fd, sent.data(), sent.size(), 0), static_cast<ssize_t>(sent.size()));
  ASSERT_TRUE(answer(fd).has_value());
  EXPECT_EQ(calls, 1);  // the destroyed window was skipped
  ASSERT_EQ(::send(fd, sent.data(), sent.size(), 0), static_cast<ssize_t>(sent.size()));
  ASSERT_TRUE(answer(fd).has_value());
  EXPECT_EQ(calls, 2);  // the replaced procedure took over
  ::close(fd);
  platform::destroy_window(survivor);
}

TEST_F(OwnEndpoint, MalformedFramesCloseTheirConnectionOnly) {
  const std::string good = bytes_of({px::FrameKind::kNotify, 9, 0xC011, 1, 2});
  std::string wrong_magic = good, wrong_version = good, wrong_crc = good;
  wrong_magic[0] ^= 1;
  wrong_version[4] = 2;
  wrong_crc[41] ^= 0x10;
  const std::vector<std::string> bad = {
      wrong_magic,         wrong_version,
      wrong_crc,           good.substr(0, 47),
      good + "x",          std::string(48, '\0'),
      std::string(1, 'G'), bytes_of({px::FrameKind::kReply, 9, 0xC011, 0, 0}),
  };
  for (const std::string& frame : bad) {
    const int fd = connect_endpoint();
    ASSERT_EQ(::send(fd, frame.data(), frame.size(), 0), static_cast<ssize_t>(frame.size()));
    EXPECT_EQ(answer(fd), std::string()) << "frame of " << frame.size() << " bytes";
    ::close(fd);
  }
  EXPECT_EQ(calls, 0);

  const int fd = connect_endpoint();
  ASSERT_EQ(::send(fd, good.data(), good.size(), 0), static_cast<ssize_t>(good.size()));
  const std::optional<std::string> reply = answer(fd);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->size(), px::kFrameSize);
  EXPECT_EQ(calls, 1);
  ::close(fd);
}

TEST_F(OwnEndpoint, ConnectionsThatCloseEarlyAreForgotten) {
  // Accepting as it goes: the listener's backlog is smaller than the number of connections.
  for (int i = 0; i < 300; ++i) {
    ::close(connect_endpoint());
    if (i % 16 == 0) {
      EXPECT_EQ(platform::pump_messages(0), 0);
    }
  }
  EXPECT_EQ(platform::pump_messages(50), 0);
  const int fd = connect_endpoint();
  const std::string good = bytes_of({px::FrameKind::kNotify, 3, 0xC012, 0, 0});
  ASSERT_EQ(::send(fd, good.data(), good.size(), 0), static_cast<ssize_t>(good.size()));
  EXPECT_TRUE(answer(fd).has_value());
  ::close(fd);
}

// ---- Failing system calls ------------------------------------------------------------------

class FailingCalls : public ::testing::Test {
 protected:
  void SetUp() override { calls = 0; }
  std::vector<std::string> files() const {
    std::vector<std::string> out;
    for (const auto& entry : fs::directory_iterator(session.dir())) {
      out.push_back(entry.path().filename().string());
    }
    return out;
  }

  ScopedSession session;
};

TEST_F(FailingCalls, EndpointThatCannotBeWatchedLeavesNoFileBehind) {
  {
    px::ScopedSyscall no_epoll(&px::Syscalls::epoll_create1, [](int) {
      errno = EMFILE;
      return -1;
    });
    const platform::Hwnd w = platform::create_window(&counting_proc);
    EXPECT_NE(w, 0u);
    EXPECT_EQ(platform::event_fd(), -1);
    EXPECT_TRUE(files().empty());
    platform::destroy_window(w);
  }
  const platform::Hwnd w = platform::create_window(&counting_proc);
  EXPECT_GE(platform::event_fd(), 0);
  platform::destroy_window(w);
}

TEST_F(FailingCalls, FailedTableWriteGivesZeroAndNoIdIsLost) {
  const std::uint32_t first = id_of("first");
  {
    px::ScopedSyscall full_disk(&px::Syscalls::pwrite,
                                [](int, const void*, std::size_t, off_t) -> ssize_t {
                                  errno = ENOSPC;
                                  return -1;
                                });
    EXPECT_EQ(id_of("second"), 0u);
    EXPECT_EQ(id_of("first"), first);
  }
  const std::uint32_t second = id_of("second");
  EXPECT_NE(second, 0u);
  EXPECT_NE(second, first);
}

int interrupted = 0;
TEST_F(FailingCalls, InterruptedCallsAreRetried) {
  const platform::Hwnd w = platform::create_window(&counting_proc);
  ChildProcess child({"listen", "0"});
  ASSERT_EQ(child.read_line(), "ready");
  interrupted = 0;
  // Every other send and receive is interrupted by a signal before it starts.
  px::ScopedSyscall eintr_send(&px::Syscalls::sendmsg,
                               [](int fd, const msghdr* m, int flags) -> ssize_t {
                                 if (++interrupted % 2 == 1) {
                                   errno = EINTR;
                                   return -1;
                                 }
                                 return px::default_syscalls().sendmsg(fd, m, flags);
                               });
  px::ScopedSyscall eintr_recv(&px::Syscalls::recvmsg, [](int fd, msghdr* m, int flags) -> ssize_t {
    if (++interrupted % 2 == 1) {
      errno = EINTR;
      return -1;
    }
    return px::default_syscalls().recvmsg(fd, m, flags);
  });
  std::uint32_t recipients = platform::kBsmApplications;
  EXPECT_EQ(
      platform::BroadcastSystemMessage(platform::kBsfIgnoreCurrentTask, &recipients, 0xC002, 8, 9),
      1);
  EXPECT_EQ(child.read_line(std::chrono::milliseconds(50)), "got 49154 8 9");
  child.write_line("broadcast 49155 1 1");
  for (int i = 0; i < 200 && calls == 0; ++i) platform::pump_messages(10);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(child.read_line(), "sent 1");
  EXPECT_GT(interrupted, 4);
  platform::destroy_window(w);
}

}  // namespace
