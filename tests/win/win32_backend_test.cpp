// What the Windows backend adds to the plain Win32 calls: view sizes from VirtualQuery, hidden
// top-level windows that broadcasts can reach, a pump that counts the messages other threads
// send (handled inside PeekMessageA, never returned by it), ANSI conversion of lone surrogates,
// and a last error that says what failed on which name.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <memory>
#include <thread>

#include "platform/platform.h"
#include "tests/support/child_process.h"

namespace {

std::size_t page_size() {
  SYSTEM_INFO info;
  ::GetSystemInfo(&info);
  return info.dwPageSize;
}

class ViewSize : public ::testing::Test {
 protected:
  void map(std::uint32_t size) {
    handle_ = mmfcast::platform::CreateFileMappingA(mmfcast::platform::kInvalidHandleValue, nullptr,
                                                    mmfcast::platform::kPageReadWrite, 0, size,
                                                    session_.name("ViewSize").c_str());
    ASSERT_NE(handle_, 0u);
    view_ = mmfcast::platform::MapViewOfFile(
        handle_, mmfcast::platform::kFileMapRead | mmfcast::platform::kFileMapWrite, 0, 0, 0);
    ASSERT_NE(view_, 0u);
  }
  void TearDown() override {
    if (view_ != 0) mmfcast::platform::UnmapViewOfFile(view_);
    if (handle_ != 0) mmfcast::platform::CloseHandle(handle_);
  }

  testsupport::ScopedSession session_;
  mmfcast::platform::Handle handle_ = 0;
  mmfcast::platform::ViewAddr view_ = 0;
};

TEST_F(ViewSize, IsTheMappingRoundedUpToWholePages) {
  map(static_cast<std::uint32_t>(page_size() + 1));
  EXPECT_EQ(mmfcast::platform::view_size(view_), 2 * page_size());
}

TEST_F(ViewSize, IsZeroInsideAViewAndAfterItIsUnmapped) {
  map(1);
  EXPECT_EQ(mmfcast::platform::view_size(view_), page_size());
  EXPECT_EQ(mmfcast::platform::view_size(view_ + 1), 0u);
  EXPECT_EQ(mmfcast::platform::UnmapViewOfFile(view_), 1);
  const mmfcast::platform::ViewAddr gone = view_;
  view_ = 0;
  EXPECT_EQ(mmfcast::platform::view_size(gone), 0u);
}

TEST_F(ViewSize, IsZeroForMemoryThatIsNoView) {
  int on_stack = 0;
  const auto on_heap = std::make_unique<char[]>(page_size() * 4);
  EXPECT_EQ(mmfcast::platform::view_size(0), 0u);
  EXPECT_EQ(mmfcast::platform::view_size(reinterpret_cast<mmfcast::platform::ViewAddr>(&on_stack)),
            0u);
  EXPECT_EQ(
      mmfcast::platform::view_size(reinterpret_cast<mmfcast::platform::ViewAddr>(on_heap.get())),
      0u);
}

int handled = 0;

mmfcast::platform::LResult MMFCAST_CALLBACK counting_proc(mmfcast::platform::Hwnd,
                                                          std::uint32_t msg,
                                                          mmfcast::platform::WParam,
                                                          mmfcast::platform::LParam) {
  if (msg == WM_APP) ++handled;
  return msg == WM_APP ? 42 : 0;
}

class Windows : public ::testing::Test {
 protected:
  void SetUp() override {
    handled = 0;
    window_ = mmfcast::platform::create_window(&counting_proc);
    ASSERT_NE(window_, 0u);
    mmfcast::platform::pump_messages(0);  // whatever creating the window queued
    handled = 0;
  }
  void TearDown() override { mmfcast::platform::destroy_window(window_); }
  HWND hwnd() const { return reinterpret_cast<HWND>(window_); }

  mmfcast::platform::Hwnd window_ = 0;
};

TEST_F(Windows, AreHiddenTopLevelWindowsRatherThanMessageOnlyOnes) {
  EXPECT_TRUE(::IsWindow(hwnd()));
  EXPECT_FALSE(::IsWindowVisible(hwnd()));
  EXPECT_EQ(::GetAncestor(hwnd(), GA_PARENT), ::GetDesktopWindow());
}

TEST_F(Windows, ProcedureReadBackIsTheOneGiven) {
  const auto given = reinterpret_cast<mmfcast::platform::LongPtr>(&counting_proc);
  const mmfcast::platform::LongPtr previous =
      mmfcast::platform::SetWindowLongA(window_, mmfcast::platform::kGwlWndProc, given);
  EXPECT_EQ(previous, given);
  EXPECT_EQ(::SendMessageA(hwnd(), WM_APP, 0, 0), 42);
}

TEST_F(Windows, PumpWithNothingPendingReturnsZeroAtOnce) {
  EXPECT_EQ(mmfcast::platform::pump_messages(0), 0);
  EXPECT_EQ(mmfcast::platform::pump_messages(20), 0);
}

TEST_F(Windows, PumpCountsPostedMessages) {
  ASSERT_TRUE(::PostMessageA(hwnd(), WM_APP, 0, 0));
  ASSERT_TRUE(::PostMessageA(hwnd(), WM_APP, 0, 0));
  EXPECT_EQ(mmfcast::platform::pump_messages(0), 2);
  EXPECT_EQ(handled, 2);
}

TEST_F(Windows, PumpHandlesAndCountsAMessageSentFromAnotherThread) {
  LRESULT answer = 0;
  std::thread sender([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    answer = ::SendMessageA(hwnd(), WM_APP, 0, 0);
  });
  int count = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (count == 0 && std::chrono::steady_clock::now() < deadline) {
    count = mmfcast::platform::pump_messages(-1);
  }
  sender.join();
  EXPECT_EQ(count, 1);
  EXPECT_EQ(handled, 1);
  EXPECT_EQ(answer, 42);
}

TEST(AnsiWin, LoneSurrogatesBecomeQuestionMarksInAnyCodePage) {
  EXPECT_EQ(mmfcast::platform::to_ansi(std::u16string{u'a', 0xD800, u'b'}), "a?b");
  EXPECT_EQ(mmfcast::platform::to_ansi(std::u16string{0xDC00}), "?");
  EXPECT_EQ(mmfcast::platform::to_ansi(std::u16string{0xDC00, 0xD800}), "??");
}

// The reason stays the failed call's, whatever Win32 calls the caller makes before asking.
TEST(LastErrorWin, NamesTheAreaThatCouldNotBeOpenedAndKeepsTheSystemCode) {
  const testsupport::ScopedSession session;
  const std::string name = session.name("Missing");
  EXPECT_EQ(
      mmfcast::platform::OpenFileMappingA(
          mmfcast::platform::kFileMapRead | mmfcast::platform::kFileMapWrite, 0, name.c_str()),
      0u);
  ::SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(mmfcast::platform::last_error(), ERROR_FILE_NOT_FOUND);
  const std::string text = mmfcast::platform::last_error_text();
  EXPECT_EQ(text.rfind("shared area " + name + ": ", 0), 0u) << text;
  EXPECT_GT(text.size(), ("shared area " + name + ": ").size()) << text;
}

// A window procedure that was 0 before is no failure; an unknown window is.
TEST(LastErrorWin, SayingAWindowCouldNotBeChangedNeedsASetErrorCode) {
  const mmfcast::platform::Hwnd window = mmfcast::platform::create_window(&counting_proc);
  ASSERT_NE(window, 0u);
  const HWND hwnd = reinterpret_cast<HWND>(window);
  ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
  const testsupport::ScopedSession session;
  EXPECT_EQ(mmfcast::platform::OpenFileMappingA(mmfcast::platform::kFileMapRead, 0,
                                                session.name("Missing").c_str()),
            0u);
  EXPECT_EQ(mmfcast::platform::SetWindowLongA(window, GWLP_USERDATA, 7), 0);
  EXPECT_EQ(mmfcast::platform::last_error(), ERROR_FILE_NOT_FOUND);

  mmfcast::platform::destroy_window(window);
  EXPECT_EQ(mmfcast::platform::SetWindowLongA(
                window, mmfcast::platform::kGwlWndProc,
                reinterpret_cast<mmfcast::platform::LongPtr>(&counting_proc)),
            0);
  // The code is the system's own (Windows says invalid handle, Wine access denied).
  EXPECT_NE(mmfcast::platform::last_error(), 0);
  EXPECT_NE(mmfcast::platform::last_error(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(mmfcast::platform::last_error_text().rfind("window: ", 0), 0u)
      << mmfcast::platform::last_error_text();
}

}  // namespace
