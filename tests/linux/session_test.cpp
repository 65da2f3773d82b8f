// The Linux session layer inside one process: the message-id table file and how it survives
// damage, the window table, the endpoint's lifetime, and delivery of frames that a test writes
// to the endpoint itself (well-formed ones answered in the sender's page, stale ones answered
// but not delivered, malformed ones and bad introductions ending their connection).
#include "platform/linux/transport/session.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/transport/frame.h"
#include "platform/linux/transport/message_record.h"
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

std::uint32_t id_of(const std::string& name) {
  return mmfcast::platform::RegisterWindowMessageA(name.c_str());
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
  EXPECT_EQ(mmfcast::platform::RegisterWindowMessageA(nullptr), 0u);
  EXPECT_EQ(mmfcast::platform::last_error(), EINVAL);
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
  // A look-up reads what was appended since the last one, and the record it found, again:
  // never the whole table, so it costs the same whatever the table holds.
  static std::size_t bytes_read = 0;
  const os::ScopedSyscall counted(&os::Syscalls::pread,
                                  [](int fd, void* bytes, std::size_t size, off_t offset) {
                                    bytes_read += size;
                                    return ::pread(fd, bytes, size, offset);
                                  });
  EXPECT_EQ(id_of("N0"), *ids.begin());
  EXPECT_EQ(id_of("N1999"), *ids.rbegin());
  EXPECT_EQ(bytes_read, 2 * os::kRecordSize);
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
  EXPECT_EQ(mmfcast::platform::last_error_text(),
            "message table " + table_path() + ": every id is taken");
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
  // This process keeps the id it handed out for gamma; the table holds it again after delta.
  const std::uint32_t again = id_of("gamma");
  EXPECT_EQ(again, c);
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
  // This process keeps the id it handed out; the table holds the name again in a new record,
  // which other copies get and this one translates to.
  const std::uint32_t beta = id_of("beta");
  EXPECT_EQ(beta, b);
  EXPECT_NE(beta, zeta);
  const std::string now = read_file(table_path());
  EXPECT_NE(now.find("beta", at + 1), std::string::npos);
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
mmfcast::platform::LResult MMFCAST_CALLBACK counting_proc(mmfcast::platform::Hwnd, std::uint32_t,
                                                          mmfcast::platform::WParam,
                                                          mmfcast::platform::LParam) {
  ++calls;
  return 31;
}
mmfcast::platform::LResult MMFCAST_CALLBACK other_proc(mmfcast::platform::Hwnd, std::uint32_t,
                                                       mmfcast::platform::WParam,
                                                       mmfcast::platform::LParam) {
  return 32;
}

// This process's published endpoint socket, or "" when it has none.
std::string own_endpoint(const std::string& dir) {
  const std::optional<os::EndpointId> id = os::own_endpoint_id();
  if (!id) return {};
  return dir + "/" + os::endpoint_file_name(*id, os::EndpointFile::kSocket);
}

class Windows : public ::testing::Test {
 protected:
  void SetUp() override { calls = 0; }

  ScopedSession session;
};

TEST_F(Windows, NullProcedureIsRefused) {
  EXPECT_EQ(mmfcast::platform::create_window(nullptr), 0u);
  EXPECT_EQ(mmfcast::platform::last_error(), EINVAL);
  const mmfcast::platform::Hwnd w = mmfcast::platform::create_window(&counting_proc);
  EXPECT_EQ(mmfcast::platform::SetWindowLongA(w, mmfcast::platform::kGwlWndProc, 0), 0);
  EXPECT_EQ(
      mmfcast::platform::SetWindowLongA(w, mmfcast::platform::kGwlWndProc,
                                        reinterpret_cast<mmfcast::platform::LongPtr>(&other_proc)),
      reinterpret_cast<mmfcast::platform::LongPtr>(&counting_proc));
  mmfcast::platform::destroy_window(w);
}

TEST_F(Windows, EndpointLivesFromFirstToLastWindow) {
  EXPECT_EQ(mmfcast::platform::event_fd(), -1);
  EXPECT_EQ(mmfcast::platform::pump_messages(0), -1);
  const mmfcast::platform::Hwnd a = mmfcast::platform::create_window(&counting_proc);
  const mmfcast::platform::Hwnd b = mmfcast::platform::create_window(&counting_proc);
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, a);
  EXPECT_GE(mmfcast::platform::event_fd(), 0);
  const std::string socket = own_endpoint(session.dir());
  const std::string state = socket.substr(0, socket.size() - 5) + ".state";
  EXPECT_TRUE(fs::is_socket(socket));
  EXPECT_TRUE(fs::is_regular_file(state));
  EXPECT_EQ(mmfcast::platform::pump_messages(0), 0);
  mmfcast::platform::destroy_window(a);
  EXPECT_TRUE(fs::is_socket(socket));
  mmfcast::platform::destroy_window(b);
  EXPECT_FALSE(fs::exists(socket));
  EXPECT_FALSE(fs::exists(state));
  EXPECT_EQ(mmfcast::platform::event_fd(), -1);
}

std::size_t open_descriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

// A session ended with a window still open takes its endpoint, connections and peers with it:
// the files go, no descriptor is left open, and the next session sends and receives as before.
TEST_F(Windows, EndedSessionLeavesNothingBehindAndTheNextOneWorks) {
  os::end_session();
  const std::size_t before = open_descriptors();
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE("session " + std::to_string(round));
    calls = 0;
    mmfcast::platform::create_window(&counting_proc);
    const std::string socket = own_endpoint(session.dir());
    const std::string state = socket.substr(0, socket.size() - 5) + ".state";
    ASSERT_TRUE(fs::is_socket(socket));
    ASSERT_TRUE(fs::is_regular_file(state));
    {
      ChildProcess child({"listen", "0"});
      ASSERT_EQ(child.read_line(), "ready");
      std::uint32_t recipients = mmfcast::platform::kBsmApplications;
      EXPECT_EQ(mmfcast::platform::BroadcastSystemMessage(mmfcast::platform::kBsfIgnoreCurrentTask,
                                                          &recipients, 0xC001, 1, 2),
                1);
      EXPECT_EQ(child.read_line(), "got 49153 1 2");
      child.write_line("broadcast 49153 3 4");
      for (int i = 0; i < 1000 && calls == 0; ++i) mmfcast::platform::pump_messages(10);
      EXPECT_EQ(calls, 1);
      EXPECT_EQ(child.read_line(), "sent 1");
    }
    os::end_session();
    EXPECT_FALSE(fs::exists(socket));
    EXPECT_FALSE(fs::exists(state));
    EXPECT_EQ(open_descriptors(), before);
  }
}

TEST_F(Windows, WindowWithoutSessionStillExistsButCannotReceive) {
  ASSERT_EQ(::chmod(session.dir().c_str(), 0750), 0);
  const mmfcast::platform::Hwnd w = mmfcast::platform::create_window(&counting_proc);
  EXPECT_NE(w, 0u);
  EXPECT_EQ(mmfcast::platform::event_fd(), -1);
  EXPECT_EQ(mmfcast::platform::pump_messages(0), -1);
  EXPECT_NE(mmfcast::platform::last_error_text().find("mode 0700"), std::string::npos)
      << mmfcast::platform::last_error_text();
  mmfcast::platform::destroy_window(w);
  ASSERT_EQ(::chmod(session.dir().c_str(), 0700), 0);
}

// At normal exit, and when a hang-up, interrupt or termination ends the process.
// The child has sent a line, so it has a send-lock token as well as its endpoint.
TEST_F(Windows, EndpointIsRemovedAtNormalExitAndOnStopSignals) {
  for (const int signal : {0, SIGHUP, SIGINT, SIGTERM}) {
    ChildProcess child({"channel-receive"});
    ASSERT_EQ(child.read_line().value_or("").rfind("ready ", 0), 0u);
    child.write_line("send 78");
    ASSERT_EQ(child.read_line(), "sent");
    EXPECT_EQ(testsupport::endpoint_sockets(session.dir()).size(), 1u);
    if (signal == 0) {
      child.close_stdin();
      EXPECT_EQ(child.wait(), 0);
    } else {
      ASSERT_EQ(::kill(child.pid(), signal), 0);
      child.wait();
    }
    for (const auto& entry : fs::directory_iterator(session.dir())) {
      const std::string name = entry.path().filename().string();
      EXPECT_FALSE(os::parse_endpoint_name(name).has_value() || name.starts_with("holder-"))
          << entry.path() << " after signal " << signal;
    }
  }
}

TEST_F(Windows, LongSessionPathStillGetsAnEndpoint) {
  std::string deep = session.dir();
  while (deep.size() < 150) deep += "/deeper-directory-name";
  fs::create_directories(deep);
  fs::permissions(deep, fs::perms::owner_all);
  ::setenv("MMFCAST_SESSION_DIR", deep.c_str(), 1);
  const mmfcast::platform::Hwnd w = mmfcast::platform::create_window(&counting_proc);
  EXPECT_GE(mmfcast::platform::event_fd(), 0);
  EXPECT_TRUE(fs::is_socket(own_endpoint(deep)));
  std::uint32_t recipients = mmfcast::platform::kBsmApplications;
  ChildProcess child({"listen", "0"});
  ASSERT_EQ(child.read_line(), "ready");
  EXPECT_EQ(mmfcast::platform::BroadcastSystemMessage(mmfcast::platform::kBsfIgnoreCurrentTask,
                                                      &recipients, 0xC001, 1, 2),
            1);
  EXPECT_EQ(child.read_line(), "got 49153 1 2");
  mmfcast::platform::destroy_window(w);
  ::setenv("MMFCAST_SESSION_DIR", session.dir().c_str(), 1);
}

// ---- Frames written straight to this process's endpoint ------------------------------------

mmfcast::platform::Hwnd destroy_target = 0;
mmfcast::platform::LResult MMFCAST_CALLBACK destroying_proc(mmfcast::platform::Hwnd self,
                                                            std::uint32_t,
                                                            mmfcast::platform::WParam,
                                                            mmfcast::platform::LParam) {
  ++calls;
  // Changing the table from inside a procedure must neither deadlock nor disturb delivery.
  mmfcast::platform::SetWindowLongA(self, mmfcast::platform::kGwlWndProc,
                                    reinterpret_cast<mmfcast::platform::LongPtr>(&counting_proc));
  if (destroy_target != 0) mmfcast::platform::destroy_window(destroy_target);
  destroy_target = 0;
  return 41;
}

// A sender played by the test: a connection to this process's endpoint with an
// acknowledgement page (and its ring), wake-up and notification descriptors of its own.
struct FakeSender {
  int fd = -1;
  int page_fd = -1;
  int wake_fd = -1;
  int notify_fd = -1;
  os::AckPage* page = nullptr;

  ~FakeSender() {
    if (page != nullptr) ::munmap(page, os::kAckPageSize);
    for (int d : {fd, page_fd, wake_fd, notify_fd}) {
      if (d >= 0) ::close(d);
    }
  }
};

class OwnEndpoint : public ::testing::Test {
 protected:
  static constexpr std::uint32_t kSlot = 3;

  void SetUp() override {
    calls = 0;
    window = mmfcast::platform::create_window(&counting_proc);
    ASSERT_GE(mmfcast::platform::event_fd(), 0);
  }
  void TearDown() override { mmfcast::platform::destroy_window(window); }

  int connect_endpoint() {
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = own_endpoint(session.dir());
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
  }

  // A sealed page and two eventfds as a real sender makes them; `seal` false leaves the page
  // unsealed, `size` makes it another size.
  static void make_page(FakeSender& s, bool seal = true, off_t size = os::kAckPageSize) {
    s.page_fd = ::memfd_create("test-answers", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    ASSERT_EQ(::ftruncate(s.page_fd, size), 0);
    if (seal) {
      ASSERT_EQ(::fcntl(s.page_fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL), 0);
    }
    s.wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    s.notify_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (size >= static_cast<off_t>(os::kAckPageSize)) {
      s.page = static_cast<os::AckPage*>(
          ::mmap(nullptr, os::kAckPageSize, PROT_READ | PROT_WRITE, MAP_SHARED, s.page_fd, 0));
    }
  }

  static bool send_frame(int fd, const os::Frame& frame, const int* fds = nullptr,
                         std::size_t count = 0) {
    const os::FrameBytes bytes = os::encode_frame(frame);
    return os::send_record(fd, bytes.data(), bytes.size(), fds, count) ==
           static_cast<ssize_t>(bytes.size());
  }

  // Connects and says hello the way a broadcasting process does.
  void introduce(FakeSender& s) {
    s.fd = connect_endpoint();
    make_page(s);
    os::Frame hello;
    hello.kind = os::FrameKind::kHello;
    hello.index = kSlot;
    const int fds[3] = {s.page_fd, s.wake_fd, s.notify_fd};
    ASSERT_TRUE(send_frame(s.fd, hello, fds, 3));
  }

  // Publishes an awaited notification `seq` of `msg` in the ring as the only one outstanding,
  // and wakes the endpoint.
  static void notify(FakeSender& s, std::uint64_t seq, std::uint64_t hold = 0,
                     std::uint32_t msg = 0xC010) {
    s.page->awaited[kSlot].store(seq);
    s.page->pending[0].store((seq & 0xFFFFFFFFu) << 32 | 1);
    os::Frame frame;
    frame.seq = seq;
    frame.msg = msg;
    frame.wparam = 5;
    frame.lparam = -6;
    frame.hold = hold;
    os::publish_entry(*s.page, frame);
    const std::uint64_t one = 1;
    ASSERT_EQ(::write(s.notify_fd, &one, sizeof one), 8);
  }

  // Pumps until the sender's page shows seq answered and the wake-up came; false if not within
  // a second.
  static bool answered(FakeSender& s, std::uint64_t seq) {
    for (int i = 0; i < 100; ++i) {
      mmfcast::platform::pump_messages(10);
      std::uint64_t count = 0;
      if (s.page->acked[kSlot].load() >= seq && ::read(s.wake_fd, &count, sizeof count) == 8) {
        return true;
      }
    }
    return false;
  }

  // Pumps until the endpoint closes fd; false if it stays open for a second.
  static bool closed(int fd) {
    for (int i = 0; i < 100; ++i) {
      mmfcast::platform::pump_messages(10);
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) != 0) return true;
    }
    return false;
  }

  ScopedSession session;
  mmfcast::platform::Hwnd window = 0;
};

TEST_F(OwnEndpoint, NotificationReachesEveryWindowAndIsAnsweredOnce) {
  const mmfcast::platform::Hwnd second = mmfcast::platform::create_window(&other_proc);
  FakeSender s;
  introduce(s);
  notify(s, 77);
  EXPECT_TRUE(answered(s, 77));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(s.page->pending[0].load() & 0xFFFFFFFFu, 0u);
  mmfcast::platform::destroy_window(second);
}

TEST_F(OwnEndpoint, ProcedureMayChangeTheWindowTableDuringDelivery) {
  ASSERT_NE(mmfcast::platform::SetWindowLongA(
                window, mmfcast::platform::kGwlWndProc,
                reinterpret_cast<mmfcast::platform::LongPtr>(&destroying_proc)),
            0);
  destroy_target = mmfcast::platform::create_window(&counting_proc);
  const mmfcast::platform::Hwnd survivor = mmfcast::platform::create_window(&other_proc);
  FakeSender s;
  introduce(s);
  notify(s, 1);
  ASSERT_TRUE(answered(s, 1));
  EXPECT_EQ(calls, 1);  // the destroyed window was skipped
  notify(s, 2);
  ASSERT_TRUE(answered(s, 2));
  EXPECT_EQ(calls, 2);  // the replaced procedure took over
  mmfcast::platform::destroy_window(survivor);
}

TEST_F(OwnEndpoint, NotificationUnderAnOlderSendLockHoldIsAnsweredButNotDelivered) {
  ASSERT_EQ(mmfcast::platform::acquire_send_lock(), 1);
  const std::uint64_t hold = os::send_lock_hold().hold;
  mmfcast::platform::release_send_lock();
  FakeSender s;
  introduce(s);
  notify(s, 1, hold);  // no other hold since: its text is current
  ASSERT_TRUE(answered(s, 1));
  EXPECT_EQ(calls, 1);
  ASSERT_EQ(mmfcast::platform::acquire_send_lock(), 1);
  mmfcast::platform::release_send_lock();
  notify(s, 2, hold);  // another hold began: the text has been replaced
  ASSERT_TRUE(answered(s, 2));
  EXPECT_EQ(calls, 1);
  notify(s, 3, 0);  // sent without the lock: delivered as it comes
  ASSERT_TRUE(answered(s, 3));
  EXPECT_EQ(calls, 2);
}

// A later hold that has not recorded its broadcast yet may be writing any area; once it has
// recorded, only the message it broadcast (or one sharing its slot) is replaced.
TEST_F(OwnEndpoint, LaterHoldFencesOlderNotificationsUntilItRecordsItsMessage) {
  ASSERT_EQ(mmfcast::platform::acquire_send_lock(), 1);
  const std::uint64_t hold = os::send_lock_hold().hold;
  os::record_broadcast(0xC010, hold);
  mmfcast::platform::release_send_lock();
  FakeSender s;
  introduce(s);
  ASSERT_EQ(mmfcast::platform::acquire_send_lock(), 1);
  const std::uint64_t later = os::send_lock_hold().hold;
  ASSERT_GT(later, hold);
  notify(s, 1, hold);
  ASSERT_TRUE(answered(s, 1));
  EXPECT_EQ(calls, 0) << "delivered while a later hold may be writing its area";
  os::record_broadcast(0xC011, later);
  notify(s, 2, hold);
  ASSERT_TRUE(answered(s, 2));
  EXPECT_EQ(calls, 1) << "another message's broadcast made it stale";
  notify(s, 3, hold, 0x0401);  // not in the table: any later hold may have replaced it
  ASSERT_TRUE(answered(s, 3));
  EXPECT_EQ(calls, 1);
  os::record_broadcast(0xC110, later);  // the same slot of the table, another message
  notify(s, 4, hold);
  ASSERT_TRUE(answered(s, 4));
  EXPECT_EQ(calls, 1);
  mmfcast::platform::release_send_lock();
}

// What a procedure asks once it has copied the text out: a hold begun meanwhile may have
// replaced it.
bool current_before = false;
bool current_after = false;
mmfcast::platform::LResult MMFCAST_CALLBACK copying_proc(mmfcast::platform::Hwnd, std::uint32_t,
                                                         mmfcast::platform::WParam,
                                                         mmfcast::platform::LParam) {
  current_before = mmfcast::platform::notification_current();
  if (mmfcast::platform::acquire_send_lock() == 1) mmfcast::platform::release_send_lock();
  current_after = mmfcast::platform::notification_current();
  return 0;
}

TEST_F(OwnEndpoint, TextReplacedWhileItIsCopiedOutIsNoLongerCurrent) {
  ASSERT_EQ(mmfcast::platform::acquire_send_lock(), 1);
  const std::uint64_t hold = os::send_lock_hold().hold;
  mmfcast::platform::release_send_lock();
  ASSERT_NE(mmfcast::platform::SetWindowLongA(
                window, mmfcast::platform::kGwlWndProc,
                reinterpret_cast<mmfcast::platform::LongPtr>(&copying_proc)),
            0);
  FakeSender s;
  introduce(s);
  notify(s, 1, hold);
  ASSERT_TRUE(answered(s, 1));
  EXPECT_TRUE(current_before);
  EXPECT_FALSE(current_after);
}

TEST_F(OwnEndpoint, MalformedFramesAndIntroductionsCloseTheirConnectionOnly) {
  FakeSender model;
  introduce(model);
  os::Frame good;
  good.seq = 9;
  good.msg = 0xC011;
  const os::FrameBytes good_bytes = os::encode_frame(good);
  const std::string good_frame(reinterpret_cast<const char*>(good_bytes.data()), os::kFrameSize);
  std::string wrong_magic = good_frame, wrong_version = good_frame, wrong_crc = good_frame;
  wrong_magic[0] ^= 1;
  wrong_version[4] = 1;
  wrong_crc[53] ^= 0x10;
  for (const std::string& frame :
       {good_frame, wrong_magic, wrong_version, wrong_crc, good_frame.substr(0, 55),
        good_frame + "x", std::string(os::kFrameSize, '\0'), std::string(1, 'G')}) {
    FakeSender s;
    introduce(s);
    ASSERT_EQ(::send(s.fd, frame.data(), frame.size(), 0), static_cast<ssize_t>(frame.size()));
    EXPECT_TRUE(closed(s.fd)) << "frame of " << frame.size() << " bytes";
  }

  os::Frame hello;
  hello.kind = os::FrameKind::kHello;
  {
    SCOPED_TRACE("a notification before any hello");
    FakeSender s;
    s.fd = connect_endpoint();
    ASSERT_TRUE(send_frame(s.fd, good));
    EXPECT_TRUE(closed(s.fd));
  }
  {
    SCOPED_TRACE("a hello without its descriptors");
    FakeSender s;
    s.fd = connect_endpoint();
    ASSERT_TRUE(send_frame(s.fd, hello));
    EXPECT_TRUE(closed(s.fd));
  }
  for (const bool seal : {false, true}) {
    SCOPED_TRACE(seal ? "a page of the wrong size" : "a page that could still shrink");
    FakeSender s;
    s.fd = connect_endpoint();
    make_page(s, seal, seal ? 4096 : os::kAckPageSize);
    const int fds[3] = {s.page_fd, s.wake_fd, s.notify_fd};
    ASSERT_TRUE(send_frame(s.fd, hello, fds, 3));
    EXPECT_TRUE(closed(s.fd));
  }
  {
    SCOPED_TRACE("a second hello");
    FakeSender s;
    introduce(s);
    const int fds[3] = {s.page_fd, s.wake_fd, s.notify_fd};
    ASSERT_TRUE(send_frame(s.fd, hello, fds, 3));
    EXPECT_TRUE(closed(s.fd));
  }
  {
    SCOPED_TRACE("a hello without a ring");
    FakeSender s;
    s.fd = connect_endpoint();
    make_page(s);
    const int fds[2] = {s.page_fd, s.wake_fd};
    ASSERT_TRUE(send_frame(s.fd, hello, fds, 2));
    EXPECT_TRUE(closed(s.fd));
  }
  {
    SCOPED_TRACE("descriptors with a notification");
    FakeSender s;
    introduce(s);
    const int fds[1] = {s.wake_fd};
    ASSERT_TRUE(send_frame(s.fd, good, fds, 1));
    EXPECT_TRUE(closed(s.fd));
  }
  EXPECT_EQ(calls, 0);

  notify(model, 4);
  EXPECT_TRUE(answered(model, 4));
  EXPECT_EQ(calls, 1);
}

TEST_F(OwnEndpoint, ConnectionsThatCloseEarlyAreForgotten) {
  // Accepting as it goes: the listener's backlog is smaller than the number of connections.
  for (int i = 0; i < 300; ++i) {
    ::close(connect_endpoint());
    if (i % 16 == 0) {
      EXPECT_EQ(mmfcast::platform::pump_messages(0), 0);
    }
  }
  EXPECT_EQ(mmfcast::platform::pump_messages(50), 0);
  FakeSender s;
  introduce(s);
  notify(s, 3);
  EXPECT_TRUE(answered(s, 3));

  // What a sender published before it let go of its connection is still delivered, even with
  // no wake-up of its ring to tell of it.
  FakeSender leaving;
  introduce(leaving);
  os::Frame last;
  last.seq = 1;
  last.msg = 0xC010;
  os::publish_entry(*leaving.page, last);
  ::close(std::exchange(leaving.fd, -1));
  const int before = calls;
  for (int i = 0; i < 100 && calls == before; ++i) mmfcast::platform::pump_messages(10);
  EXPECT_EQ(calls, before + 1);
}

TEST_F(OwnEndpoint, AtTheConnectionLimitTheLeastRecentlyUsedMakesRoom) {
  std::vector<std::unique_ptr<FakeSender>> senders;
  for (int i = 0; i < 256; ++i) {
    senders.push_back(std::make_unique<FakeSender>());
    introduce(*senders.back());
    if (i % 32 == 31) mmfcast::platform::pump_messages(0);
  }
  mmfcast::platform::pump_messages(0);
  // Every connection but the first has been used since.
  for (std::size_t i = 1; i < senders.size(); ++i) notify(*senders[i], 1);
  for (std::size_t i = 1; i < senders.size(); ++i) ASSERT_TRUE(answered(*senders[i], 1)) << i;
  FakeSender newcomer;
  introduce(newcomer);
  notify(newcomer, 1);
  EXPECT_TRUE(answered(newcomer, 1));
  EXPECT_TRUE(closed(senders[0]->fd));
  notify(*senders[1], 2);
  EXPECT_TRUE(answered(*senders[1], 2));
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
    os::ScopedSyscall no_epoll(&os::Syscalls::epoll_create1, [](int) {
      errno = EMFILE;
      return -1;
    });
    const mmfcast::platform::Hwnd w = mmfcast::platform::create_window(&counting_proc);
    EXPECT_NE(w, 0u);
    EXPECT_EQ(mmfcast::platform::event_fd(), -1);
    EXPECT_TRUE(files().empty());
    mmfcast::platform::destroy_window(w);
  }
  const mmfcast::platform::Hwnd w = mmfcast::platform::create_window(&counting_proc);
  EXPECT_GE(mmfcast::platform::event_fd(), 0);
  mmfcast::platform::destroy_window(w);
}

// Without an inotify instance to spare, the endpoint still finds out that its files are gone,
// by looking every second, and publishes itself again.
TEST_F(FailingCalls, EndpointWithoutAWatchRepairsItselfAllTheSame) {
  os::ScopedSyscall no_inotify(&os::Syscalls::inotify_init1, [](int) {
    errno = EMFILE;
    return -1;
  });
  const mmfcast::platform::Hwnd w = mmfcast::platform::create_window(&counting_proc);
  const std::string first = own_endpoint(session.dir());
  ASSERT_FALSE(first.empty());
  for (const auto& entry : fs::directory_iterator(session.dir())) fs::remove(entry.path());
  bool again = false;
  for (int i = 0; i < 1000 && !again; ++i) {
    mmfcast::platform::pump_messages(10);
    const std::string now = own_endpoint(session.dir());
    again = now != first && fs::exists(now);
  }
  EXPECT_TRUE(again) << "no endpoint published again";
  mmfcast::platform::destroy_window(w);
}

TEST_F(FailingCalls, FailedTableWriteGivesZeroAndNoIdIsLost) {
  const std::uint32_t first = id_of("first");
  {
    os::ScopedSyscall full_disk(&os::Syscalls::pwrite,
                                [](int, const void*, std::size_t, off_t) -> ssize_t {
                                  errno = ENOSPC;
                                  return -1;
                                });
    EXPECT_EQ(id_of("second"), 0u);
    EXPECT_EQ(mmfcast::platform::last_error_text(),
              "message table " + session.dir() + "/messages: the filesystem is full");
    EXPECT_EQ(id_of("first"), first);
  }
  const std::uint32_t second = id_of("second");
  EXPECT_NE(second, 0u);
  EXPECT_NE(second, first);
}

TEST_F(FailingCalls, SendLockThatCannotBeOpenedGivesNoLockAndNamesItsFile) {
  {
    os::ScopedSyscall no_lock_file(&os::Syscalls::open,
                                   [](const char* path, int flags, mode_t mode) {
                                     if (std::strstr(path, "/send-lock") != nullptr) {
                                       errno = EMFILE;
                                       return -1;
                                     }
                                     return os::default_syscalls().open(path, flags, mode);
                                   });
    EXPECT_EQ(mmfcast::platform::acquire_send_lock(), 0);
    EXPECT_EQ(mmfcast::platform::last_error(), EMFILE);
    EXPECT_EQ(mmfcast::platform::last_error_text(),
              "send lock " + session.dir() + "/send-lock: " + std::strerror(EMFILE));
  }
  ASSERT_EQ(mmfcast::platform::acquire_send_lock(), 1);
  mmfcast::platform::release_send_lock();
}

int interrupted = 0;
TEST_F(FailingCalls, InterruptedCallsAreRetried) {
  const mmfcast::platform::Hwnd w = mmfcast::platform::create_window(&counting_proc);
  ChildProcess child({"listen", "0"});
  ASSERT_EQ(child.read_line(), "ready");
  interrupted = 0;
  // Every other send and receive is interrupted by a signal before it starts.
  os::ScopedSyscall eintr_send(&os::Syscalls::sendmsg,
                               [](int fd, const msghdr* m, int flags) -> ssize_t {
                                 if (++interrupted % 2 == 1) {
                                   errno = EINTR;
                                   return -1;
                                 }
                                 return os::default_syscalls().sendmsg(fd, m, flags);
                               });
  os::ScopedSyscall eintr_recv(&os::Syscalls::recvmsg, [](int fd, msghdr* m, int flags) -> ssize_t {
    if (++interrupted % 2 == 1) {
      errno = EINTR;
      return -1;
    }
    return os::default_syscalls().recvmsg(fd, m, flags);
  });
  std::uint32_t recipients = mmfcast::platform::kBsmApplications;
  EXPECT_EQ(mmfcast::platform::BroadcastSystemMessage(mmfcast::platform::kBsfIgnoreCurrentTask,
                                                      &recipients, 0xC002, 8, 9),
            1);
  EXPECT_EQ(child.read_line(std::chrono::milliseconds(50)), "got 49154 8 9");
  child.write_line("broadcast 49155 1 1");
  for (int i = 0; i < 200 && calls == 0; ++i) mmfcast::platform::pump_messages(10);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(child.read_line(), "sent 1");
  // The introductions each way, each interrupted once (notifications travel in shared memory).
  EXPECT_GE(interrupted, 4);
  mmfcast::platform::destroy_window(w);
}

}  // namespace
