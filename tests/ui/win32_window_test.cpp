// The Windows program as its users meet it: copies of mmfcast.exe started as processes, driven
// through their controls with messages (WM_SETTEXT into the input line, BM_CLICK on the
// button) and read back with WM_GETTEXT. A click returns once the receivers' notification has
// been handled, but the test reads their boxes from another process, so they are polled.
#include <gtest/gtest.h>
#include <oleacc.h>
#include <windows.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "tests/support/child_process.h"
#include "tests/support/main_window_win.h"
#include "tests/support/start_process_win.h"
#include "ui/layout.h"
#include "ui/win32/control_ids.h"

namespace {

using Clock = std::chrono::steady_clock;

// This test program's directory, with its separator.
std::string test_dir() {
  char module[MAX_PATH];
  const DWORD length = ::GetModuleFileNameA(nullptr, module, MAX_PATH);
  std::string path(module, length);
  path.erase(path.find_last_of("\\/") + 1);
  return path;
}

std::string program_path() {
  std::string path = test_dir();
  std::string relative = MMFCAST_EXE_RELATIVE;
  for (char& c : relative) {
    if (c == '/') c = '\\';
  }
  path.append(relative);
  return path;
}

std::string window_text(HWND hwnd) {
  const auto length = static_cast<std::size_t>(::SendMessageA(hwnd, WM_GETTEXTLENGTH, 0, 0));
  std::string text(length + 1, '\0');
  const auto copied = static_cast<std::size_t>(::SendMessageA(
      hwnd, WM_GETTEXT, static_cast<WPARAM>(text.size()), reinterpret_cast<LPARAM>(text.data())));
  text.resize(copied);
  return text;
}

// One running copy of mmfcast.exe and its controls.
class Copy {
 public:
  // Starts a copy; with attach_now, also waits for its window (else attach() does). The
  // settings a copy before it left are dropped unless keep_settings.
  explicit Copy(bool attach_now = true, bool keep_settings = false) {
    if (!keep_settings) ::RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\mmfcast");
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    std::string command(1, '"');
    command.append(program_path()).push_back('"');
    if (!testsupport::start_process(nullptr, command.data(), FALSE, &startup, &process_)) return;
    if (attach_now) attach();
  }
  void attach() {
    if (process_.hProcess == nullptr) return;
    ::WaitForInputIdle(process_.hProcess, 20000);
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    main = testsupport::main_window_of(process_.dwProcessId, false);
    while (main == nullptr && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      main = testsupport::main_window_of(process_.dwProcessId, false);
    }
    if (main == nullptr) return;
    text1 = ::GetDlgItem(main, ui::win32::kIdText1);
    text2 = ::GetDlgItem(main, ui::win32::kIdText2);
    command1 = ::GetDlgItem(main, ui::win32::kIdCommand1);
    status = ::GetDlgItem(main, ui::win32::kIdStatus);
  }
  ~Copy() {
    if (process_.hProcess == nullptr) return;
    if (main != nullptr) ::PostMessageA(main, WM_CLOSE, 0, 0);
    if (::WaitForSingleObject(process_.hProcess, 10000) != WAIT_OBJECT_0) {
      ::TerminateProcess(process_.hProcess, 1);
    }
    ::CloseHandle(process_.hThread);
    ::CloseHandle(process_.hProcess);
  }
  Copy(const Copy&) = delete;
  Copy& operator=(const Copy&) = delete;

  bool ok() const { return main != nullptr && text1 && text2 && command1 && status; }

  void send(const char* text) {
    ::SendMessageA(text2, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
    ::SendMessageA(command1, BM_CLICK, 0, 0);
  }

  // Text1's text once it equals wanted, or what it holds when the timeout passes.
  std::string wait_for_text1(const std::string& wanted) {
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    std::string text = window_text(text1);
    while (text != wanted && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      text = window_text(text1);
    }
    return text;
  }

  std::string caption() const { return window_text(main); }

  // The caption once wanted(caption) holds, or what it is when the timeout passes.
  template <typename Wanted>
  std::string wait_for_caption(Wanted wanted) {
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    std::string text = caption();
    while (!wanted(text) && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      text = caption();
    }
    return text;
  }

  // Presses a key in a control the way the keyboard does: through the copy's message loop.
  void press(HWND control, WPARAM key) {
    ::PostMessageA(control, WM_KEYDOWN, key, 1);
    ::PostMessageA(control, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001u));
  }

  HWND focus() const {
    GUITHREADINFO gui{};
    gui.cbSize = sizeof gui;
    if (!::GetGUIThreadInfo(::GetWindowThreadProcessId(main, nullptr), &gui)) return nullptr;
    return gui.hwndFocus;
  }

  // The focus once it is wanted, or where it is when the timeout passes.
  HWND wait_for_focus(HWND wanted) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (focus() != wanted && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return focus();
  }

  HWND main = nullptr;
  HWND text1 = nullptr;
  HWND text2 = nullptr;
  HWND command1 = nullptr;
  HWND status = nullptr;

 private:
  PROCESS_INFORMATION process_{};
};

// What a screen reader hears of a control, asked across processes as one asks: its accessible
// name, description and role; a role of -1 when the control gives no accessible object.
struct Heard {
  std::wstring name;
  std::wstring description;
  LONG role = -1;
};

Heard heard_of(HWND control) {
  Heard heard;
  IAccessible* acc = nullptr;
  if (FAILED(::AccessibleObjectFromWindow(control, static_cast<DWORD>(OBJID_CLIENT),
                                          __uuidof(IAccessible), reinterpret_cast<void**>(&acc)))) {
    return heard;
  }
  VARIANT self{};
  self.vt = VT_I4;
  self.lVal = CHILDID_SELF;
  BSTR name = nullptr, description = nullptr;
  if (acc->get_accName(self, &name) == S_OK && name != nullptr) heard.name = name;
  if (acc->get_accDescription(self, &description) == S_OK && description != nullptr) {
    heard.description = description;
  }
  ::SysFreeString(name);
  ::SysFreeString(description);
  VARIANT role{};
  if (acc->get_accRole(self, &role) == S_OK && role.vt == VT_I4) heard.role = role.lVal;
  acc->Release();
  return heard;
}

RECT client_rect_of(HWND child) {
  RECT r;
  ::GetWindowRect(child, &r);
  ::MapWindowPoints(HWND_DESKTOP, ::GetParent(child), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

void expect_rect(HWND child, LONG left, LONG top, LONG width, LONG height) {
  const RECT r = client_rect_of(child);
  EXPECT_EQ(r.left, left);
  EXPECT_EQ(r.top, top);
  EXPECT_EQ(r.right - r.left, width);
  EXPECT_EQ(r.bottom - r.top, height);
}

TEST(Win32Window, TwoCopiesExchangeLines) {
  Copy a, b;
  ASSERT_TRUE(a.ok() && b.ok());
  a.send("abc");
  EXPECT_EQ(b.wait_for_text1("\r\nabc"), "\r\nabc");
  EXPECT_EQ(window_text(a.text2), "");
  EXPECT_EQ(window_text(a.text1), "");

  b.send("");  // an empty input sends nothing
  b.send("def");
  EXPECT_EQ(a.wait_for_text1("\r\ndef"), "\r\ndef");
  a.send("ghi");
  EXPECT_EQ(b.wait_for_text1("\r\nabc\r\nghi"), "\r\nabc\r\nghi");
}

TEST(Win32Window, LayoutTabOrderAndScreenReaderNamesFollowTheTable) {
  Copy a;
  ASSERT_TRUE(a.ok());
  // The names a screen reader says; the controls stay what they are, the button's caption too.
  ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  const Heard log = heard_of(a.text1), input = heard_of(a.text2), button = heard_of(a.command1);
  EXPECT_EQ(log.name, L"Received lines");
  EXPECT_EQ(input.name, L"Line to send");
  EXPECT_EQ(button.name, L"Send");
  for (const Heard* h : {&log, &input, &button}) EXPECT_FALSE(h->description.empty());
  EXPECT_EQ(log.role, ROLE_SYSTEM_TEXT);
  EXPECT_EQ(input.role, ROLE_SYSTEM_TEXT);
  ::CoUninitialize();
  HDC screen = ::GetDC(nullptr);
  const int dpi = ::GetDeviceCaps(screen, LOGPIXELSX);
  ::ReleaseDC(nullptr, screen);
  if (dpi != 96) GTEST_SKIP() << "the screen has " << dpi << " dpi";
  RECT client;
  ::GetClientRect(a.main, &client);
  EXPECT_EQ(client.right, 303);
  EXPECT_EQ(client.bottom, 423);
  expect_rect(a.text1, 3, 6, 295, 334);
  expect_rect(a.text2, 3, 348, 295, 25);
  expect_rect(a.command1, 198, 384, 100, 34);
  EXPECT_EQ(window_text(a.command1), "Command1");
  EXPECT_EQ(a.wait_for_focus(a.command1), a.command1);
  // Tab goes on from every control, the multi-line box included, and wraps around.
  for (HWND next : {a.text1, a.text2, a.command1}) {
    a.press(a.focus(), VK_TAB);
    EXPECT_EQ(a.wait_for_focus(next), next);
  }
  EXPECT_EQ(window_text(a.text1), "");
}

TEST(Win32Window, CopiesStartedTogetherOpenApartAndInsideTheWorkArea) {
  Copy a(false), b(false), c(false);
  for (Copy* copy : {&a, &b, &c}) copy->attach();
  ASSERT_TRUE(a.ok() && b.ok() && c.ok());
  RECT work;
  ASSERT_TRUE(::SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0));
  RECT r[3];
  for (int i = 0; i < 3; ++i) {
    ::GetWindowRect((i == 0 ? a : i == 1 ? b : c).main, &r[i]);
    EXPECT_GE(r[i].left, work.left);
    EXPECT_GE(r[i].top, work.top);
    EXPECT_LE(r[i].right, work.right);
    EXPECT_LE(r[i].bottom, work.bottom);
  }
  for (int i = 0; i < 3; ++i) {
    for (int j = i + 1; j < 3; ++j) {
      EXPECT_FALSE(r[i].left == r[j].left && r[i].top == r[j].top)
          << "copies " << i << " and " << j << " both at " << r[i].left << "," << r[i].top;
    }
  }
}

TEST(Win32Window, EnterInTheInputLineAndEnterOrSpaceOnTheButtonSend) {
  Copy a, b;
  ASSERT_TRUE(a.ok() && b.ok());
  ::SendMessageA(a.text2, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("by enter"));
  a.press(a.text2, VK_RETURN);
  EXPECT_EQ(b.wait_for_text1("\r\nby enter"), "\r\nby enter");
  EXPECT_EQ(window_text(a.text2), "");
  // Keys for the button, as when it has the focus (it has when the window opens).
  ::SendMessageA(a.text2, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("on the button"));
  a.press(a.command1, VK_RETURN);
  EXPECT_EQ(b.wait_for_text1("\r\nby enter\r\non the button"), "\r\nby enter\r\non the button");
  ::SendMessageA(a.text2, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("by space"));
  a.press(a.command1, VK_SPACE);
  EXPECT_EQ(b.wait_for_text1("\r\nby enter\r\non the button\r\nby space"),
            "\r\nby enter\r\non the button\r\nby space");
}

// A receiver that follows the interface reads wParam - 1 characters from the area; the window
// announces only what it wrote, refuses a line that does not fit and keeps it in the input.
TEST(Win32Window, ALineTooLongIsKeptAndAContractReceiverNeverReadsPastTheArea) {
  testsupport::ChildProcess receiver(test_dir() + "mmfcast_contract_receiver.exe", {}, false);
  ASSERT_EQ(receiver.read_line(), "ready");
  Copy a, b;
  ASSERT_TRUE(a.ok() && b.ok());
  const std::string base = a.caption();

  const std::string pasted(5000, 'p');
  a.send(pasted.c_str());
  EXPECT_EQ(window_text(a.text2), pasted) << "the input is kept";
  EXPECT_EQ(a.caption(), base + " - not sent");
  const std::string refused = window_text(a.status);
  EXPECT_NE(refused.find("not sent"), std::string::npos) << refused;
  EXPECT_NE(refused.find("too long"), std::string::npos) << refused;
  EXPECT_NE(refused.find("shorten"), std::string::npos) << refused;
  EXPECT_TRUE(::IsWindowVisible(a.status));

  // The receiver's report of it is more than a pipe holds: it is read while the line is sent,
  // or the receiver would block writing it, miss the deadline, and count as not reached.
  const std::string fits(4095, 'f');
  std::optional<std::string> got;
  std::thread reader([&] { got = receiver.read_line(); });
  a.send(fits.c_str());
  reader.join();
  EXPECT_EQ(got, "got 4096 " + fits);
  EXPECT_EQ(b.wait_for_text1("\r\n" + fits), "\r\n" + fits);
  EXPECT_EQ(window_text(a.text2), "");
  EXPECT_EQ(a.caption(), base);
  EXPECT_FALSE(::IsWindowVisible(a.status));
  a.send("short");
  EXPECT_EQ(receiver.read_line(), "got 6 short") << "the receiver is still there";
  receiver.close_stdin();
  EXPECT_EQ(receiver.wait(), 0);
}

// The input line is a Unicode control: characters the ANSI code page lacks stay as typed, and
// the line is refused with the reason and kept, instead of sent as "??".
TEST(Win32Window, TypedCharactersTheCodePageLacksAreKeptAndRefused) {
  if (::GetACP() != 1252) GTEST_SKIP() << "the ANSI code page is " << ::GetACP();
  Copy a, b;
  ASSERT_TRUE(a.ok() && b.ok());
  for (const wchar_t typed : {L'\u4e2d', L'\u6587', L' ', L'x'}) {
    ::SendMessageW(a.text2, WM_CHAR, typed, 0);
  }
  ::SendMessageA(a.command1, BM_CLICK, 0, 0);
  wchar_t kept[16] = {};
  ::SendMessageW(a.text2, WM_GETTEXT, 16, reinterpret_cast<LPARAM>(kept));
  EXPECT_EQ(std::wstring(kept), L"\u4e2d\u6587 x");
  const std::string refused = window_text(a.status);
  EXPECT_NE(refused.find("not sent: U+4E2D at character 1 has no form in code page 1252"),
            std::string::npos)
      << refused;
  a.send("after");
  EXPECT_EQ(b.wait_for_text1("\r\nafter"), "\r\nafter") << "nothing arrived before it";
}

// The area's name held by another kind of object: the copy says so, and what to do, in its
// status line, keeps what is typed, and joins once the name is free, without a restart.
TEST(Win32Window, FailureToJoinIsInTheStatusLineAndTheCopyRecovers) {
  // The name is free once the copies of the tests before have ended and their area is gone.
  HANDLE squatter = nullptr;
  const auto give_up = Clock::now() + std::chrono::seconds(20);
  while ((squatter = ::CreateMutexA(nullptr, FALSE, "MyPubMemory")) == nullptr &&
         Clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_NE(squatter, nullptr) << "the area is still open somewhere";
  Copy a;
  ASSERT_TRUE(a.ok());
  const std::string failed =
      a.wait_for_caption([](const std::string& c) { return c.find("not connected") != c.npos; });
  const std::string said = window_text(a.status);
  EXPECT_NE(said.find("another program holds the name MyPubMemory"), std::string::npos) << said;
  EXPECT_NE(said.find("close that program"), std::string::npos) << said;
  a.send("kept");
  EXPECT_EQ(window_text(a.text2), "kept");

  ::CloseHandle(squatter);
  const std::string joined =
      a.wait_for_caption([](const std::string& c) { return c.find(" - ") == c.npos; });
  EXPECT_EQ(joined.find("not connected"), std::string::npos) << joined;
  Copy b;
  ASSERT_TRUE(b.ok());
  ::SendMessageA(a.command1, BM_CLICK, 0, 0);
  EXPECT_EQ(b.wait_for_text1("\r\nkept"), "\r\nkept");
  EXPECT_EQ(window_text(a.text2), "");
}

void expect_layout(const Copy& a) {
  RECT client;
  ::GetClientRect(a.main, &client);
  HDC screen = ::GetDC(nullptr);
  const int dpi = ::GetDeviceCaps(screen, LOGPIXELSX);
  ::ReleaseDC(nullptr, screen);
  const ui::FormLayout want = ui::lay_out(client.right, client.bottom, dpi, dpi, 0);
  for (const auto& [control, r] : {std::pair{a.text1, want.text1}, std::pair{a.text2, want.text2},
                                   std::pair{a.command1, want.command1}}) {
    expect_rect(control, r.left, r.top, r.width, r.height);
  }
  const RECT button = client_rect_of(a.command1);
  EXPECT_LE(button.right, client.right);
  EXPECT_LE(button.bottom, client.bottom);
}

// The box takes no typing; the window can be resized and maximized, the controls follow the
// layout rules, and the next copy opens where and as the last one closed, maximized included.
TEST(Win32Window, ReadOnlyBoxResizableWindowAndRememberedPlace) {
  {
    Copy a, b;
    ASSERT_TRUE(a.ok() && b.ok());
    b.send("received");
    EXPECT_EQ(a.wait_for_text1("\r\nreceived"), "\r\nreceived");
    ::SendMessageW(a.text1, WM_CHAR, L'x', 0);
    ::SendMessageW(a.text1, WM_CHAR, VK_BACK, 0);
    ::SendMessageW(a.text1, WM_PASTE, 0, 0);
    EXPECT_EQ(window_text(a.text1), "\r\nreceived");
    const LONG style = ::GetWindowLongA(a.main, GWL_STYLE);
    EXPECT_TRUE((style & WS_THICKFRAME) != 0 && (style & WS_MAXIMIZEBOX) != 0);

    ::SetWindowPos(a.main, nullptr, 0, 0, 520, 640, SWP_NOMOVE | SWP_NOZORDER);
    expect_layout(a);
    ::ShowWindow(a.main, SW_MAXIMIZE);
    EXPECT_TRUE(::IsZoomed(a.main));
    expect_layout(a);
    ::ShowWindow(a.main, SW_RESTORE);
    ::SetWindowPos(a.main, nullptr, 40, 50, 500, 600, SWP_NOZORDER);
  }
  {
    Copy again(true, true);
    ASSERT_TRUE(again.ok());
    RECT r;
    ::GetWindowRect(again.main, &r);
    EXPECT_EQ(r.left, 40);
    EXPECT_EQ(r.top, 50);
    EXPECT_EQ(r.right - r.left, 500);
    EXPECT_EQ(r.bottom - r.top, 600);
    EXPECT_FALSE(::IsZoomed(again.main));
    ::ShowWindow(again.main, SW_MAXIMIZE);
  }
  Copy maximized(true, true);
  ASSERT_TRUE(maximized.ok());
  EXPECT_TRUE(::IsZoomed(maximized.main));
  expect_layout(maximized);
}

TEST(Win32Window, HelpAndVersionPrintAndExit) {
  testsupport::ChildProcess version(program_path(), {"--version"}, true);
  EXPECT_EQ(version.read_line(), std::string("mmfcast ") + MMFCAST_VERSION);
  EXPECT_EQ(version.wait(), 0);
  testsupport::ChildProcess help(program_path(), {"--help"}, true);
  const std::optional<std::string> first = help.read_line();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->rfind("Usage: mmfcast", 0), 0u) << *first;
  EXPECT_EQ(help.wait(), 0);
}

}  // namespace
