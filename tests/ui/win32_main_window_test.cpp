// The Windows main window opened in this process, for what only its own process can ask (under
// Wine another process gets 0 from WM_GETICON and WM_GETFONT): the program's icon on the window
// and its class, the system's message font on every control, and both following a change of DPI.
// The settings it keeps are dropped before each case.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

#include "hook/ModSubclass.h"
#include "mmf/cMMF.h"
#include "mmf/pub_channel.h"
#include "ui/layout.h"
#include "ui/win32/control_ids.h"
#include "ui/win32/main_window.h"

namespace {

constexpr int kControls[] = {ui::win32::kIdText1, ui::win32::kIdText2, ui::win32::kIdCommand1,
                             ui::win32::kIdStatus};

LOGFONTW message_font() {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  EXPECT_TRUE(::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0));
  return metrics.lfMessageFont;
}

int screen_dpi() {
  HDC screen = ::GetDC(nullptr);
  const int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
  ::ReleaseDC(nullptr, screen);
  return dpi;
}

HICON program_icon(int metric) {
  const int size = ::GetSystemMetrics(metric);
  return static_cast<HICON>(::LoadImageA(::GetModuleHandleW(nullptr),
                                         MAKEINTRESOURCEA(ui::win32::kIdIcon), IMAGE_ICON, size,
                                         size, LR_SHARED));
}

class Win32MainWindow : public ::testing::Test {
 protected:
  void SetUp() override { ::RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\mmfcast"); }
  void TearDown() override {
    if (main_ != nullptr) close();
    ::RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\mmfcast");
  }

  void open(int show, std::size_t max_lines = 100) {
    main_ = ui::win32::open_main_window(::GetModuleHandleW(nullptr), show, max_lines);
    ASSERT_NE(main_, nullptr);
  }
  void close() {
    ::PostMessageW(main_, WM_CLOSE, 0, 0);
    EXPECT_EQ(ui::win32::run_main_window(), 0);
    EXPECT_FALSE(::IsWindow(main_));
    main_ = nullptr;
  }

  // Every control's font is the message font with its height scaled from the system's DPI.
  void expect_message_font(int dpi) const {
    const LOGFONTW want = message_font();
    for (const int id : kControls) {
      SCOPED_TRACE(id);
      const auto font =
          reinterpret_cast<HFONT>(::SendMessageW(::GetDlgItem(main_, id), WM_GETFONT, 0, 0));
      ASSERT_NE(font, nullptr);
      LOGFONTW got{};
      ASSERT_EQ(::GetObjectW(font, sizeof got, &got), static_cast<int>(sizeof got));
      EXPECT_STREQ(got.lfFaceName, want.lfFaceName);
      EXPECT_EQ(got.lfHeight, ::MulDiv(want.lfHeight, dpi, screen_dpi()));
      EXPECT_EQ(got.lfWeight, want.lfWeight);
      EXPECT_EQ(got.lfCharSet, want.lfCharSet);
    }
  }

  void expect_layout(int dpi) const {
    RECT client;
    ASSERT_TRUE(::GetClientRect(main_, &client));
    const ui::FormLayout want = ui::lay_out(client.right, client.bottom, dpi, dpi, 0);
    for (const auto& [id, r] :
         {std::pair{ui::win32::kIdText1, want.text1}, std::pair{ui::win32::kIdText2, want.text2},
          std::pair{ui::win32::kIdCommand1, want.command1}}) {
      SCOPED_TRACE(id);
      RECT got;
      HWND control = ::GetDlgItem(main_, id);
      ::GetWindowRect(control, &got);
      ::MapWindowPoints(HWND_DESKTOP, main_, reinterpret_cast<POINT*>(&got), 2);
      EXPECT_EQ(got.left, r.left);
      EXPECT_EQ(got.top, r.top);
      EXPECT_EQ(got.right - got.left, r.width);
      EXPECT_EQ(got.bottom - got.top, r.height);
    }
  }

  // Text1's text once it is wanted, or what it holds after ten seconds; this thread's messages
  // are handled meanwhile.
  std::wstring text1_once(const std::wstring& wanted) const {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    HWND box = ::GetDlgItem(main_, ui::win32::kIdText1);
    for (;;) {
      MSG msg;
      while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
      std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(box)) + 1, L'\0');
      text.resize(static_cast<std::size_t>(
          ::GetWindowTextW(box, text.data(), static_cast<int>(text.size()))));
      if (text == wanted || std::chrono::steady_clock::now() > give_up) return text;
      ::Sleep(10);
    }
  }

  HWND main_ = nullptr;
};

// The received-lines box keeps the newest lines up to the limit it was opened with, and takes no
// typing.
TEST_F(Win32MainWindow, TheBoxKeepsTheNewestLinesUpToItsLimitAndTakesNoTyping) {
  open(SW_SHOWNOACTIVATE, 5);
  cMMF sender;
  const std::int32_t index = sender.AddMMFItem(mmfcast::kPubMemoryName, 4096);
  ASSERT_EQ(sender.OpenMMF(index), 1);
  for (char16_t i = u'0'; i < u'8'; ++i) {
    const std::u16string line = std::u16string(u"line ") + i;
    sender.WriteMMF(index, line);
    ::SendMessageW(main_, ModSubclass::lMsgID, line.size() + 1, 0);
  }
  const std::wstring newest = L"\r\nline 3\r\nline 4\r\nline 5\r\nline 6\r\nline 7";
  EXPECT_EQ(text1_once(newest), newest);
  sender.WriteMMF(index, u"line 8");
  ::SendMessageW(main_, ModSubclass::lMsgID, 7, 0);
  const std::wstring next = L"\r\nline 4\r\nline 5\r\nline 6\r\nline 7\r\nline 8";
  EXPECT_EQ(text1_once(next), next);

  // Nothing typed or erased goes in, wherever the caret is.
  HWND box = ::GetDlgItem(main_, ui::win32::kIdText1);
  ::SetFocus(box);
  for (const WPARAM caret : {WPARAM{0}, WPARAM{5}, static_cast<WPARAM>(next.size())}) {
    ::SendMessageW(box, EM_SETSEL, caret, static_cast<LPARAM>(caret));
    ::SendMessageW(box, WM_CHAR, L'x', 0);
    ::SendMessageW(box, WM_CHAR, VK_BACK, 0);
    ::SendMessageW(box, WM_KEYDOWN, VK_DELETE, 0);
  }
  EXPECT_EQ(text1_once(next), next);
}

TEST_F(Win32MainWindow, CarriesTheProgramsIconAndTheMessageFontAtEveryDpi) {
  open(SW_SHOWNOACTIVATE);
  const HICON big = program_icon(SM_CXICON), small = program_icon(SM_CXSMICON);
  ASSERT_NE(big, nullptr);
  ASSERT_NE(small, nullptr);
  EXPECT_EQ(reinterpret_cast<HICON>(::SendMessageW(main_, WM_GETICON, ICON_BIG, 0)), big);
  EXPECT_EQ(reinterpret_cast<HICON>(::SendMessageW(main_, WM_GETICON, ICON_SMALL, 0)), small);
  EXPECT_EQ(reinterpret_cast<HICON>(::GetClassLongPtrW(main_, GCLP_HICON)), big);
  EXPECT_EQ(reinterpret_cast<HICON>(::GetClassLongPtrW(main_, GCLP_HICONSM)), small);
  expect_message_font(screen_dpi());

  // Moved to a screen of 192 DPI: the size the system suggests, the font and layout at 192.
  RECT suggested{10, 20, 10 + 640, 20 + 700};
  ::SendMessageW(main_, WM_DPICHANGED, MAKEWPARAM(192, 192), reinterpret_cast<LPARAM>(&suggested));
  RECT placed;
  ::GetWindowRect(main_, &placed);
  EXPECT_EQ(placed.right - placed.left, 640);
  EXPECT_EQ(placed.bottom - placed.top, 700);
  expect_message_font(192);
  expect_layout(192);
}

// On a work area smaller than the form the window opens inside it, laid out with its button
// whole; it goes no smaller than what keeps the controls whole.
TEST_F(Win32MainWindow, OpensInsideAWorkAreaSmallerThanTheForm) {
  RECT work;
  ASSERT_TRUE(::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0));
  RECT small{0, 0, 250, 300};
  ASSERT_TRUE(::SystemParametersInfoW(SPI_SETWORKAREA, 0, &small, 0));
  open(SW_SHOWNOACTIVATE);
  ::SystemParametersInfoW(SPI_SETWORKAREA, 0, &work, 0);
  RECT r;
  ::GetWindowRect(main_, &r);
  EXPECT_GE(r.left, 0);
  EXPECT_GE(r.top, 0);
  EXPECT_LE(r.right, 250);
  EXPECT_LE(r.bottom, 300);
  expect_layout(screen_dpi());
  RECT client, button;
  ::GetClientRect(main_, &client);
  ::GetWindowRect(::GetDlgItem(main_, ui::win32::kIdCommand1), &button);
  ::MapWindowPoints(HWND_DESKTOP, main_, reinterpret_cast<POINT*>(&button), 2);
  EXPECT_GE(button.top, 0);
  EXPECT_LE(button.bottom, client.bottom);

  // Made as small as it goes, it keeps the button, the input line and a line of the box whole.
  ::SetWindowPos(main_, nullptr, 0, 0, 1, 1, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  ::GetClientRect(main_, &client);
  const ui::PixelRect least = ui::minimum_client(screen_dpi(), screen_dpi(), 0);
  EXPECT_EQ(client.right, least.width);
  EXPECT_EQ(client.bottom, least.height);
  expect_layout(screen_dpi());
}

void save_placement(UINT show, UINT flags, RECT normal) {
  WINDOWPLACEMENT placement{};
  placement.length = sizeof placement;
  placement.flags = flags;
  placement.showCmd = show;
  placement.rcNormalPosition = normal;
  ASSERT_EQ(::RegSetKeyValueA(HKEY_CURRENT_USER, "Software\\mmfcast", "WindowPlacement", REG_BINARY,
                              &placement, sizeof placement),
            ERROR_SUCCESS);
}

// A window closed maximized opens maximized, over its remembered normal place; one closed at a
// normal place opens there, not maximized.
TEST_F(Win32MainWindow, OpensAsTheUserLeftIt) {
  open(SW_SHOWNOACTIVATE);
  ::SetWindowPos(main_, nullptr, 30, 40, 480, 560, SWP_NOZORDER | SWP_NOACTIVATE);
  ::ShowWindow(main_, SW_MAXIMIZE);
  ASSERT_TRUE(::IsZoomed(main_));
  close();

  open(SW_SHOWDEFAULT);
  EXPECT_TRUE(::IsZoomed(main_));
  expect_layout(screen_dpi());
  WINDOWPLACEMENT placement{};
  placement.length = sizeof placement;
  ASSERT_TRUE(::GetWindowPlacement(main_, &placement));
  EXPECT_EQ(placement.rcNormalPosition.left, 30);
  EXPECT_EQ(placement.rcNormalPosition.top, 40);
  EXPECT_EQ(placement.rcNormalPosition.right - placement.rcNormalPosition.left, 480);
  ::ShowWindow(main_, SW_RESTORE);
  close();

  open(SW_SHOWDEFAULT);
  EXPECT_FALSE(::IsZoomed(main_));
  RECT r;
  ::GetWindowRect(main_, &r);
  EXPECT_EQ(r.left, 30);
  EXPECT_EQ(r.bottom - r.top, 560);
  close();

  // Closed from the taskbar while minimized, it was maximized before: it opens maximized.
  save_placement(SW_SHOWMINIMIZED, WPF_RESTORETOMAXIMIZED, {30, 40, 510, 600});
  open(SW_SHOWDEFAULT);
  EXPECT_TRUE(::IsZoomed(main_));
  EXPECT_FALSE(::IsIconic(main_));
  close();
  save_placement(SW_SHOWMINIMIZED, 0, {30, 40, 510, 600});
  open(SW_SHOWDEFAULT);
  EXPECT_FALSE(::IsZoomed(main_));
  EXPECT_FALSE(::IsIconic(main_));
  close();

  // Left maximized on a screen that is gone: maximized on this one, its normal place on it too.
  save_placement(SW_SHOWMAXIMIZED, 0, {5000, 5000, 5480, 5560});
  open(SW_SHOWDEFAULT);
  EXPECT_TRUE(::IsZoomed(main_));
  expect_layout(screen_dpi());
  ::ShowWindow(main_, SW_RESTORE);
  ::GetWindowRect(main_, &r);
  EXPECT_NE(::MonitorFromRect(&r, MONITOR_DEFAULTTONULL), nullptr);
}

}  // namespace
