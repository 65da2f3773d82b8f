// The session-wide send lock between processes: copies take turns, a dead holder frees the lock
// at once (on Linux also when a child it forked lives on), a hung one is taken over after the
// deadline and the lock then works as before, and a lock that keeps changing hands is never
// mistaken for a hung one. On Linux a scribbled lock page hangs nobody.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/support/child_process.h"

namespace {

using std::chrono::milliseconds;
using testsupport::ChildProcess;
using Clock = std::chrono::steady_clock;

class SendLockTest : public ::testing::Test {
 protected:
  std::string counter_file() {
    const std::filesystem::path base = session_.dir().empty()
                                           ? std::filesystem::temp_directory_path()
                                           : std::filesystem::path(session_.dir());
    return (base / session_.name("lock-counter")).string();
  }
  static long read_number(const std::string& path) {
    std::ifstream in(path);
    long value = -1;
    in >> value;
    return value;
  }
  void TearDown() override {
    mmfcast::platform::release_send_lock();
#if !defined(_WIN32)
    if (page_ != nullptr) ::munmap(page_, kPageSize);
#endif
  }

#if !defined(_WIN32)
  static constexpr std::size_t kPageSize = 4096;
  // The send lock's page as 64-bit words (the lock word first, the count of holds second, the
  // waiters' slots from byte 2080), mapped from the session's file; null when there is none.
  std::atomic<std::uint64_t>* lock_page() {
    if (page_ == nullptr) {
      const int fd = ::open((session_.dir() + "/send-lock").c_str(), O_RDWR | O_CLOEXEC);
      if (fd < 0) return nullptr;
      void* mapped = ::mmap(nullptr, kPageSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      ::close(fd);
      if (mapped != MAP_FAILED) page_ = mapped;
    }
    return static_cast<std::atomic<std::uint64_t>*>(page_);
  }
  void* page_ = nullptr;
#endif

  // With this process holding the lock, a copy started now waits (still waiting after `quiet`)
  // and gets the lock once this process releases it.
  static void expect_next_copy_to_wait_for_us(milliseconds quiet) {
    ChildProcess next({"lock-hold", "60000"});
    ASSERT_EQ(next.read_line(), "waiting");
    EXPECT_EQ(next.read_line(quiet), std::nullopt);
    mmfcast::platform::release_send_lock();
    EXPECT_EQ(next.read_line(), "held");
    next.write_line("go");
    EXPECT_EQ(next.read_line(), "released");
  }

  testsupport::ScopedSession session_;
};

TEST_F(SendLockTest, CopiesTakeTurnsSoNoUpdateIsLost) {
  const std::string file = counter_file();
  std::ofstream(file) << 0 << '\n';
  std::vector<std::unique_ptr<ChildProcess>> copies;
  for (int i = 0; i < 3; ++i) {
    copies.push_back(std::make_unique<ChildProcess>(
        std::vector<std::string>{"lock-count", file, "150", "0", "60000"}));
  }
  for (auto& copy : copies) {
    EXPECT_EQ(copy->read_line(std::chrono::seconds(90)), "done");
    EXPECT_EQ(copy->wait(), 0);
  }
  EXPECT_EQ(read_number(file), 450);
  std::filesystem::remove(file);
}

TEST_F(SendLockTest, DeadHolderFreesTheLockAtOnce) {
  // Held once before, so that this copy is already set up and finds the death while it waits.
  ASSERT_EQ(mmfcast::platform::acquire_send_lock(), 1);
  mmfcast::platform::release_send_lock();
  ChildProcess holder({"lock-hold", "60000"});
  ASSERT_EQ(holder.read_line(), "waiting");
  ASSERT_EQ(holder.read_line(), "held");
  holder.kill();
  holder.wait();
  const auto start = Clock::now();
  EXPECT_EQ(mmfcast::platform::acquire_send_lock(60000), 1);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
}

#if defined(_WIN32)
std::atomic<int> messages_handled{0};

mmfcast::platform::LResult MMFCAST_CALLBACK counting_proc(mmfcast::platform::Hwnd, std::uint32_t,
                                                          mmfcast::platform::WParam,
                                                          mmfcast::platform::LParam) {
  ++messages_handled;
  return 0;
}

// A waiter with a window, to which each holder sends a message (as a broadcast does), gets the
// lock within a few holds of two copies that take it again right after each release, time after
// time. Handling a message takes a waiter out of the mutex's queue; without its claim to the
// next turn the busy copies would keep the lock between them.
TEST_F(SendLockTest, WaiterWithAWindowGetsTheLockWithinAFewHoldsOfBusyCopies) {
  const mmfcast::platform::Hwnd window = mmfcast::platform::create_window(&counting_proc);
  ASSERT_NE(window, 0u);
  std::vector<std::unique_ptr<ChildProcess>> busy;
  for (int i = 0; i < 2; ++i) {
    busy.push_back(std::make_unique<ChildProcess>(
        std::vector<std::string>{"lock-busy-send", std::to_string(window), "30000"}));
    ASSERT_EQ(busy.back()->read_line(), "busy");
  }
  int most = 0;
  for (int turn = 0; turn < 30; ++turn) {
    std::this_thread::sleep_for(milliseconds(5));
    messages_handled = 0;
    ASSERT_EQ(mmfcast::platform::acquire_send_lock(60000), 1);
    most = std::max(most, messages_handled.load());
    mmfcast::platform::release_send_lock();
  }
  // Tens at most on a loaded machine; without turns, thousands (as long as the copies run).
  EXPECT_LT(most, 200) << "holds the busy copies made while this one waited";
  for (auto& copy : busy) {
    copy->write_line("stop");
    EXPECT_EQ(copy->read_line(std::chrono::seconds(60)), "stopped");
    EXPECT_EQ(copy->wait(), 0);
  }
  mmfcast::platform::destroy_window(window);
}
#endif

#if !defined(_WIN32)
TEST_F(SendLockTest, ForkedChildNeitherHoldsNorKeepsItsDeadParentsLock) {
  ChildProcess holder({"lock-fork"});
  const std::set<std::optional<std::string>> said = {holder.read_line(), holder.read_line()};
  ASSERT_EQ(said, (std::set<std::optional<std::string>>{"held", "child does not hold"}));
  holder.kill();
  holder.wait();
  // The child still runs: the lock is free all the same.
  const auto start = Clock::now();
  EXPECT_EQ(mmfcast::platform::acquire_send_lock(60000), 1);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
}

mmfcast::platform::LResult MMFCAST_CALLBACK quiet_proc(mmfcast::platform::Hwnd, std::uint32_t,
                                                       mmfcast::platform::WParam,
                                                       mmfcast::platform::LParam) {
  return 0;
}

// A copy that takes the lock again right after each release offers it to its waiters once its
// run is over, and may not take its own offer back: a waiter gets the lock within a few of the
// busy copy's holds, time after time, while the busy copy still loops. Waiting on the futex
// itself, and beside an endpoint (a helper thread sleeps on the futex and wakes the waiter).
TEST_F(SendLockTest, WaiterBesideABusyCopyGetsTheLockWithinAFewOfItsHolds) {
  const std::string file = counter_file();
  std::filesystem::remove(file);
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, sizeof(std::uint64_t)), 0);
  void* word = ::mmap(nullptr, sizeof(std::uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  ASSERT_NE(word, MAP_FAILED);
  const auto& busy_holds = *static_cast<const std::atomic<std::uint64_t>*>(word);
  for (const bool with_window : {false, true}) {
    SCOPED_TRACE(with_window ? "waiting beside an endpoint" : "waiting on the futex");
    const mmfcast::platform::Hwnd window =
        with_window ? mmfcast::platform::create_window(&quiet_proc) : 0;
    ChildProcess busy({"lock-busy", file, "60000"});
    ASSERT_EQ(busy.read_line(), "busy") << busy.wait().value_or(-1);
    // Each hold waited for anew: the busy copy holds it again while this one sleeps.
    std::uint64_t most = 0;
    for (int turn = 0; turn < 30; ++turn) {
      std::this_thread::sleep_for(milliseconds(5));
      const std::uint64_t before = busy_holds.load();
      ASSERT_EQ(mmfcast::platform::acquire_send_lock(60000), 1);
      most = std::max<std::uint64_t>(most, busy_holds.load() - before);
      mmfcast::platform::release_send_lock();
    }
    // A run lasts two of its holds, then its offer stands for 20 ms; it is taken back, for
    // another run, only when this copy was not woken in time. A copy that could take its own
    // offer back would keep the lock for hundreds of holds.
    EXPECT_LT(most, 60u) << "holds the busy copy made while this one waited";
    busy.write_line("stop");
    EXPECT_EQ(busy.read_line(std::chrono::seconds(60)), "stopped");
    EXPECT_EQ(busy.wait(), 0);
    if (window != 0) mmfcast::platform::destroy_window(window);
  }
  ::munmap(word, sizeof(std::uint64_t));
  std::filesystem::remove(file);
}

// After its run, a copy that lets the lock go while another waits offers it; it may not take
// its own offer back before the offer time, and then forgets the waiters it saw (a stopped one
// here), which put themselves back when they run again.
TEST_F(SendLockTest, OfferIsNotTakenBackByItsMakerBeforeTheOfferTime) {
  ASSERT_EQ(mmfcast::platform::acquire_send_lock(), 1);
  const std::atomic<std::uint64_t>* words = lock_page();
  ASSERT_NE(words, nullptr);
  const std::atomic<std::uint64_t>& owner = words[0];
  const auto waiting = [&] {
    int count = 0;
    for (int slot = 0; slot < 64; ++slot) count += words[2080 / 8 + slot].load() != 0 ? 1 : 0;
    return count;
  };
  ChildProcess waiter({"lock-hold", "60000"});
  ASSERT_EQ(waiter.read_line(), "waiting");
  for (int i = 0; i < 2000 && waiting() == 0; ++i) std::this_thread::sleep_for(milliseconds(10));
  ASSERT_EQ(waiting(), 1);
  ASSERT_EQ(::kill(waiter.pid(), SIGSTOP), 0);
  std::this_thread::sleep_for(milliseconds(5));  // past this hold's run
  mmfcast::platform::release_send_lock();
  EXPECT_NE(owner.load() >> 63, 0u) << "let go without an offer to the waiter";
  ASSERT_EQ(mmfcast::platform::acquire_send_lock(60000), 1);
  EXPECT_EQ(waiting(), 0) << "took its own offer back at once";
  ASSERT_EQ(::kill(waiter.pid(), SIGCONT), 0);
  mmfcast::platform::release_send_lock();
  EXPECT_EQ(waiter.read_line(), "held");
  waiter.write_line("go");
  EXPECT_EQ(waiter.read_line(), "released");
}

// A hold is lost once the lock word no longer names this process (a copy that found it dead
// freed it) or the count of holds has moved (taken over, or the page left): either alone.
TEST_F(SendLockTest, HoldIsLostWhenItsWordOrTheCountOfHoldsMoves) {
  ASSERT_EQ(mmfcast::platform::acquire_send_lock(), 1);
  std::atomic<std::uint64_t>* words = lock_page();
  ASSERT_NE(words, nullptr);
  ASSERT_TRUE(mmfcast::platform::send_lock_still_held());
  const std::uint64_t owner = words[0].exchange(0);
  EXPECT_FALSE(mmfcast::platform::send_lock_still_held());
  words[0].store(owner);
  ASSERT_TRUE(mmfcast::platform::send_lock_still_held());
  words[1].fetch_add(1);
  EXPECT_FALSE(mmfcast::platform::send_lock_still_held());
}

// The late release of a holder that was taken over leaves the new holder's lock alone.
TEST_F(SendLockTest, LateReleaseOfATakenOverHolderChangesNothing) {
  ChildProcess late({"lock-hold", "60000"});
  ASSERT_EQ(late.read_line(), "waiting");
  ASSERT_EQ(late.read_line(), "held");
  ASSERT_EQ(mmfcast::platform::acquire_send_lock(300), 1);
  late.write_line("go");
  ASSERT_EQ(late.read_line(), "released");
  EXPECT_TRUE(mmfcast::platform::send_lock_still_held());
  expect_next_copy_to_wait_for_us(milliseconds(300));
}

// A copy that held the lock in one directory and whose environment now names another holds
// nothing there. It has not looked at the new one yet, but the lock it gets is the new one's,
// taken over from its (hung) holder, never the old one's, and the copies there queue behind it.
TEST_F(SendLockTest, CopyPointedAtAnotherDirectoryTakesThatDirectorysLock) {
  ASSERT_EQ(mmfcast::platform::acquire_send_lock(), 1);
  mmfcast::platform::release_send_lock();
  {
    // Nothing has looked at the directory since the environment named another one: the lock
    // this process used before is no lock there.
    const testsupport::ScopedSession other;
    ChildProcess holder({"lock-hold", "60000"});
    ASSERT_EQ(holder.read_line(), "waiting");
    ASSERT_EQ(holder.read_line(), "held");
    ASSERT_EQ(mmfcast::platform::acquire_send_lock(300), 1);
    ASSERT_TRUE(mmfcast::platform::send_lock_still_held());
    expect_next_copy_to_wait_for_us(milliseconds(300));
    holder.kill();
  }
  EXPECT_FALSE(mmfcast::platform::send_lock_still_held()) << "held in a directory not named";
  mmfcast::platform::release_send_lock();
}

TEST_F(SendLockTest, ScribbledLockPageHangsNobody) {
  ASSERT_EQ(mmfcast::platform::acquire_send_lock(), 1);
  mmfcast::platform::release_send_lock();
  {
    // The lock word, the futex word, the waiters' slots and the end of the holder's run.
    std::fstream page(session_.dir() + "/send-lock",
                      std::ios::in | std::ios::out | std::ios::binary);
    const std::string junk(8, '\x5a');
    page.seekp(0);
    page.write(junk.data(), 8);
    for (int at = 2072; at < 2080 + 64 * 8 + 8; at += 8) {
      page.seekp(at);
      page.write(junk.data(), 8);
    }
  }
  const auto start = Clock::now();
  ASSERT_EQ(mmfcast::platform::acquire_send_lock(300), 1);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
  expect_next_copy_to_wait_for_us(milliseconds(300));
  EXPECT_EQ(mmfcast::platform::acquire_send_lock(60000), 1);
}
#endif

TEST_F(SendLockTest, HungHolderIsTakenOverAndTheLockStillExcludes) {
  ChildProcess hung({"lock-hang"});
  ASSERT_EQ(hung.read_line(), "held");
  const auto start = Clock::now();
  ASSERT_EQ(mmfcast::platform::acquire_send_lock(300), 1);
  EXPECT_GE(Clock::now() - start, milliseconds(300));

  // A later copy queues behind the new holder, not behind the hung one.
  expect_next_copy_to_wait_for_us(milliseconds(500));
  hung.kill();
}

TEST_F(SendLockTest, LockChangingHandsIsNotMistakenForAHungHolder) {
  // The first copy takes the lock again at once after each release, so the second may wait
  // far longer than its takeover time in total while no single hold lasts that long.
  const std::string file = counter_file();
  std::ofstream(file) << 0 << '\n';
  ChildProcess busy({"lock-count", file, "20", "100", "60000"});
  ChildProcess waiter({"lock-count", file, "3", "0", "1000"});
  EXPECT_EQ(busy.read_line(std::chrono::seconds(60)), "done");
  EXPECT_EQ(waiter.read_line(std::chrono::seconds(60)), "done");
  EXPECT_EQ(read_number(file), 23);
  std::filesystem::remove(file);
}

TEST_F(SendLockTest, HoldingTwiceInOneProcessIsOneHold) {
  ASSERT_EQ(mmfcast::platform::acquire_send_lock(), 1);
  EXPECT_EQ(mmfcast::platform::acquire_send_lock(), 1);
  mmfcast::platform::release_send_lock();
  ChildProcess other({"lock-hold", "60000"});
  ASSERT_EQ(other.read_line(), "waiting");
  EXPECT_EQ(other.read_line(), "held");
  other.write_line("go");
  EXPECT_EQ(other.read_line(), "released");
}

}  // namespace
