// The session-wide marks of unresponsive windows: a volatile registry key that any opening of it
// shares, and values that another process may have written anything into, which count as a mark
// only when they name a live window of the process they were made for.
#include "platform/win/hung_marks.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/support/child_process.h"  // ScopedSession

namespace {

using mmfcast::platform::win::hung_mark_name;
using mmfcast::platform::win::HungMarkRecord;
using mmfcast::platform::win::HungMarks;

mmfcast::platform::LResult MMFCAST_CALLBACK idle(mmfcast::platform::Hwnd, std::uint32_t,
                                                 mmfcast::platform::WParam,
                                                 mmfcast::platform::LParam) {
  return 0;
}

class HungMarksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    subkey_ = "Software\\" + session_.name("hung-marks");
    marks_ = std::make_unique<HungMarks>(subkey_.c_str());
    ASSERT_TRUE(marks_->open());
    ASSERT_EQ(::RegOpenKeyExA(HKEY_CURRENT_USER, subkey_.c_str(), 0, KEY_ALL_ACCESS, &raw_),
              ERROR_SUCCESS);
    window_ = make_window();
  }
  void TearDown() override {
    for (HWND w : windows_) ::DestroyWindow(w);
    if (raw_ != nullptr) ::RegCloseKey(raw_);
    marks_.reset();
    ::RegDeleteKeyA(HKEY_CURRENT_USER, subkey_.c_str());
  }
  HWND make_window() {
    const auto made = reinterpret_cast<HWND>(mmfcast::platform::create_window(&idle));
    EXPECT_NE(made, nullptr);
    windows_.push_back(made);
    return made;
  }
  void set_raw(const std::string& name, DWORD type, const void* data, DWORD size) {
    ASSERT_EQ(::RegSetValueExA(raw_, name.c_str(), 0, type, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS);
  }
  bool has_value(const std::string& name) const {
    return ::RegQueryValueExA(raw_, name.c_str(), nullptr, nullptr, nullptr, nullptr) ==
           ERROR_SUCCESS;
  }
  HungMarkRecord sound_record(HWND w, ULONGLONG since) const {
    return {static_cast<std::uint64_t>(reinterpret_cast<ULONG_PTR>(w)), ::GetCurrentProcessId(),
            mmfcast::platform::win::kHungMarkMagic, since};
  }

  testsupport::ScopedSession session_;
  std::string subkey_;
  std::unique_ptr<HungMarks> marks_;
  HKEY raw_ = nullptr;
  HWND window_ = nullptr;
  std::vector<HWND> windows_;
  const ULONGLONG now_ = 1'000'000;
};

TEST_F(HungMarksTest, AreSharedByEveryOpeningUntilClearedAndLiveOnlyAsLongAsTheSession) {
  EXPECT_FALSE(marks_->any());
  EXPECT_EQ(marks_->since(window_, now_), 0u);
  marks_->mark(window_, now_);
  const HungMarks other(subkey_.c_str());
  EXPECT_TRUE(other.any());
  EXPECT_EQ(other.since(window_, now_ + 10), now_);
  other.clear(window_);
  EXPECT_EQ(marks_->since(window_, now_ + 10), 0u);
  EXPECT_FALSE(marks_->any());

  // A volatile key holds only volatile keys: nothing of it survives the logon session.
  HKEY child = nullptr;
  EXPECT_EQ(::RegCreateKeyExA(raw_, "lasting", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ,
                              nullptr, &child, nullptr),
            ERROR_CHILD_MUST_BE_VOLATILE);
  if (child != nullptr) ::RegCloseKey(child);
}

TEST_F(HungMarksTest, ValueThatIsNoSoundMarkCountsAsNoneAndIsDropped) {
  const std::string name = hung_mark_name(window_).data();
  const HungMarkRecord sound = sound_record(window_, now_);
  struct Case {
    const char* what;
    DWORD type;
    HungMarkRecord record;
    DWORD size;
  };
  HungMarkRecord other_window = sound;
  other_window.window += 4;
  HungMarkRecord other_process = sound;
  other_process.pid += 4;
  HungMarkRecord no_magic = sound;
  no_magic.magic = 0;
  HungMarkRecord never = sound;
  never.since_ms = 0;
  HungMarkRecord future = sound;
  future.since_ms = now_ + 1;
  const Case cases[] = {
      {"not binary", REG_SZ, sound, sizeof sound},
      {"cut short", REG_BINARY, sound, sizeof sound - 1},
      {"another window's", REG_BINARY, other_window, sizeof sound},
      {"another process's (the handle reused)", REG_BINARY, other_process, sizeof sound},
      {"without its magic", REG_BINARY, no_magic, sizeof sound},
      {"marked at 0", REG_BINARY, never, sizeof sound},
      {"marked in the future", REG_BINARY, future, sizeof sound},
  };
  for (const Case& c : cases) {
    set_raw(name, c.type, &c.record, c.size);
    EXPECT_EQ(marks_->since(window_, now_), 0u) << c.what;
    EXPECT_FALSE(has_value(name)) << c.what;
  }
  unsigned char longer[sizeof sound + 1] = {};
  std::memcpy(longer, &sound, sizeof sound);
  set_raw(name, REG_BINARY, longer, sizeof longer);
  EXPECT_EQ(marks_->since(window_, now_), 0u) << "longer than a mark";
  EXPECT_FALSE(has_value(name));

  set_raw(name, REG_BINARY, &sound, sizeof sound);
  EXPECT_EQ(marks_->since(window_, now_), now_);
}

TEST_F(HungMarksTest, MarkingDropsMarksOfGoneWindowsAndValuesThatAreNoMarks) {
  const HWND gone = make_window();
  marks_->mark(gone, now_);
  const std::string gone_name = hung_mark_name(gone).data();
  ::DestroyWindow(gone);
  set_raw("junk", REG_SZ, "x", 2);
  const std::string long_name(300, 'F');
  set_raw(long_name, REG_BINARY, "", 0);
  const HWND kept = make_window();
  marks_->mark(kept, now_);

  marks_->mark(window_, now_ + 1);
  EXPECT_FALSE(has_value(gone_name));
  EXPECT_FALSE(has_value("junk"));
  EXPECT_FALSE(has_value(long_name));
  EXPECT_EQ(marks_->since(kept, now_ + 1), now_);
  EXPECT_EQ(marks_->since(window_, now_ + 1), now_ + 1);
}

}  // namespace
