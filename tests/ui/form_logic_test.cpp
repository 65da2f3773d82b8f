// The form's logic with a fake set of controls: what Text1 shows after received texts, what a
// send puts into the shared area, the wiring from the hook to the form, and how an error that
// reaches a handler ends the program.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "hook/ModSubclass.h"
#include "mmf/cMMF.h"
#include "tests/support/child_process.h"
#include "ui/bounded_log.h"
#include "ui/frmMain.h"

namespace {

using namespace std::string_literals;

mmfcast::platform::LResult MMFCAST_CALLBACK quiet_proc(mmfcast::platform::Hwnd, std::uint32_t,
                                                       mmfcast::platform::WParam,
                                                       mmfcast::platform::LParam) {
  return 0;
}

struct FakeControls : FormControls {
  std::u16string text1;
  std::u16string text2_text;
  mmfcast::platform::Hwnd hwnd = 0;
  bool fail_reading_text2 = false;

  void append_text1(std::u16string_view text) override { text1 += text; }
  std::u16string text2() const override {
    if (fail_reading_text2) throw std::runtime_error("the input box cannot be read");
    return text2_text;
  }
  void set_text2(const std::u16string& text) override { text2_text = text; }
  mmfcast::platform::Hwnd form_hwnd() const override { return hwnd; }
  void show_state(std::u16string_view text) override { state = text; }
  std::u16string state;
};

class FormLogic : public ::testing::Test {
 protected:
  void SetUp() override {
    controls_.hwnd = mmfcast::platform::create_window(&quiet_proc);
    form_.Form_Load();
    area_index_ = area_.AddMMFItem(mmfcast::kPubMemoryName, 4096);
    ASSERT_EQ(area_.OpenMMF(area_index_), 1);
  }
  void TearDown() override {
    std::int16_t cancel = 0;
    form_.Form_Unload(cancel);
    mmfcast::platform::destroy_window(controls_.hwnd);
  }
  // The text at the start of the shared area, as another copy would read it.
  std::u16string area_text() {
    const std::u16string padded = area_.ReadMMF(area_index_, 4096);
    return std::u16string(ui::shown_text(padded));
  }

  testsupport::ScopedSession session_;
  FakeControls controls_;
  frmMain form_{controls_};
  cMMF area_;
  std::int32_t area_index_ = 0;
};

TEST_F(FormLogic, ReceivedTextsAccumulateAfterAnEmptyFirstLine) {
  form_.PriMMF_DataArrival(u"abc");
  EXPECT_EQ(controls_.text1, u"\r\nabc");
  form_.PriMMF_DataArrival(u"def");
  EXPECT_EQ(controls_.text1, u"\r\nabc\r\ndef");
}

TEST_F(FormLogic, PaddingAfterAReceivedTextNeverShowsNorSwallowsLaterLines) {
  form_.PriMMF_DataArrival(u"abc\0\0\0"s);
  form_.PriMMF_DataArrival(u"\0\0"s);
  form_.PriMMF_DataArrival(u"def");
  EXPECT_EQ(controls_.text1, u"\r\nabc\r\n\r\ndef");
}

TEST_F(FormLogic, NotificationThroughTheHookAddsTheAreaTextToText1) {
  area_.WriteMMF(area_index_, u"xyz");
  ModSubclass::WindowProc(controls_.hwnd, ModSubclass::lMsgID, 4, 0);
  EXPECT_EQ(controls_.text1, u"\r\nxyz");
  // A longer announced length than the text brings padding, which Text1 does not show.
  area_.WriteMMF(area_index_, u"ab");
  ModSubclass::WindowProc(controls_.hwnd, ModSubclass::lMsgID, 10, 0);
  EXPECT_EQ(controls_.text1, u"\r\nxyz\r\nab");
}

TEST_F(FormLogic, EnterWritesTheInputIntoTheAreaAndClearsIt) {
  area_.WriteMMF(area_index_, u"before");
  controls_.text2_text = u"hello";
  std::int16_t key = 'a';
  form_.Text2_KeyPress(key);
  EXPECT_EQ(area_text(), u"before");
  EXPECT_EQ(controls_.text2_text, u"hello");
  key = 13;
  form_.Text2_KeyPress(key);
  EXPECT_EQ(key, 13);
  EXPECT_EQ(area_text(), u"hello");
  EXPECT_EQ(controls_.text2_text, u"");
  EXPECT_EQ(controls_.text1, u"");  // the sender does not hear itself
}

TEST_F(FormLogic, EmptyOrTooLongInputLeavesTheAreaAloneAndTooLongStaysWithAReason) {
  area_.WriteMMF(area_index_, u"older");
  form_.Command1_Click();
  std::int16_t enter = 13;
  form_.Text2_KeyPress(enter);
  EXPECT_EQ(area_text(), u"older");
  EXPECT_EQ(controls_.state, u"");
  const std::u16string too_long(5000, u'x');
  controls_.text2_text = too_long;
  form_.Command1_Click();
  EXPECT_EQ(area_text(), u"older") << "nothing is cut and sent";
  EXPECT_EQ(controls_.text2_text, too_long);
  EXPECT_NE(controls_.state.find(u"not sent: text too long"), std::u16string::npos);
  controls_.text2_text = u"fits";
  form_.Command1_Click();
  EXPECT_EQ(area_text(), u"fits");
  EXPECT_EQ(controls_.state, u"");
}

TEST_F(FormLogic, AfterUnloadTheHookServesNoObject) {
  std::int16_t cancel = 0;
  form_.Form_Unload(cancel);
  EXPECT_EQ(cancel, 0);
  EXPECT_EQ(ModSubclass::objMMF, nullptr);
  area_.WriteMMF(area_index_, u"late");
  ModSubclass::WindowProc(controls_.hwnd, ModSubclass::lMsgID, 5, 0);
  EXPECT_EQ(controls_.text1, u"");
}

#if GTEST_HAS_DEATH_TEST
TEST_F(FormLogic, ErrorReachingAHandlerIsReportedOnceAndEndsTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  controls_.fail_reading_text2 = true;
  EXPECT_EXIT(ui::run_handler([&] { form_.Command1_Click(); }), ::testing::ExitedWithCode(1),
              "^mmfcast: fatal error: the input box cannot be read\n$");
}
#endif

}  // namespace

// The Windows box follows BoundedLog: what it cuts must leave whole lines, each starting with
// its CR LF, and never more than the limit.
TEST(BoundedLog, CutsWholeLinesDownToNineTenthsOnceOverTheLimit) {
  ui::BoundedLog log(10);
  std::u16string box;
  auto add = [&](std::u16string_view text) {
    box += text;
    box.erase(0, log.appended(text));
  };
  for (int i = 0; i < 10; ++i) add(u"\r\n" + std::u16string(1, static_cast<char16_t>(u'a' + i)));
  EXPECT_EQ(box, u"\r\na\r\nb\r\nc\r\nd\r\ne\r\nf\r\ng\r\nh\r\ni\r\nj");
  add(u"\r\nk");
  EXPECT_EQ(box, u"\r\nc\r\nd\r\ne\r\nf\r\ng\r\nh\r\ni\r\nj\r\nk");
  EXPECT_EQ(log.lines(), 9u);
  // A CR LF split over two appends is one line break; a lone LF or CR is none.
  add(u"\r\nl\r");
  add(u"\nm\nn\ro");
  EXPECT_EQ(log.lines(), 11u - 2u);
  EXPECT_EQ(box, u"\r\ne\r\nf\r\ng\r\nh\r\ni\r\nj\r\nk\r\nl\r\nm\nn\ro");
  ui::BoundedLog one(1);
  EXPECT_EQ(one.appended(u"\r\nx"), 0u);
  EXPECT_EQ(one.appended(u"\r\ny"), 3u);
}

TEST(BoundedLog, LimitsAreWholeNumbersInRange) {
  EXPECT_EQ(ui::parse_max_lines("10000"), std::optional<std::size_t>(10000));
  EXPECT_EQ(ui::parse_max_lines("1"), std::optional<std::size_t>(1));
  EXPECT_EQ(ui::parse_max_lines("10000000"), std::optional<std::size_t>(10000000));
  for (const char* bad : {"", "0", "10000001", "-5", "12x", " 5", "99999999999999999999999"}) {
    EXPECT_EQ(ui::parse_max_lines(bad), std::nullopt) << bad;
  }
}
