// mmfcast on Windows: the main window with plain Win32 controls, adapted to frmMain's
// controls interface. The hook replaces the top-level window's own procedure; Text2 gets a
// subclass of ours so Enter reaches it as the character 13 despite the dialog-style keyboard
// handling (IsDialogMessage) that gives Tab its meaning, and Enter on the focused Command1
// clicks it. The controls are Unicode windows, so the input line holds what the user typed even
// where the ANSI code page has no form for it, and such a line is refused with the reason instead
// of sent with '?' in it; the top-level window stays an ANSI window, whose procedure the hook
// replaces with SetWindowLongA. The caption says when the copy is not connected or a line was
// not sent, and why;
// a timer tries joining again every second. --help and --version print to the console the
// program was started from (or to its standard output when that was redirected) and exit.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "ui/frmMain.h"
#include "ui/layout.h"
#include "ui/win32/accessible.h"
#include "ui/win32/control_ids.h"

namespace {

constexpr DWORD kMainStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr UINT_PTR kRejoinTimer = 1;
constexpr UINT kRejoinMs = 1000;

std::string base_caption() {
  return "mmfcast (pid " + std::to_string(::GetCurrentProcessId()) + ")";
}

class Win32Form final : public FormControls {
 public:
  HWND main = nullptr;
  HWND text1_wnd = nullptr;
  HWND text2_wnd = nullptr;
  HWND command1_wnd = nullptr;
  WNDPROC text2_prev = nullptr;
  frmMain form{*this};

  void append_text1(std::u16string_view text) override {
    const std::wstring wide(text.begin(), text.end());
    const LRESULT end = ::SendMessageW(text1_wnd, WM_GETTEXTLENGTH, 0, 0);
    ::SendMessageW(text1_wnd, EM_SETSEL, static_cast<WPARAM>(end), end);
    ::SendMessageW(text1_wnd, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(wide.c_str()));
    ::SendMessageW(text1_wnd, EM_SCROLLCARET, 0, 0);
  }

  std::u16string text2() const override {
    const int length = ::GetWindowTextLengthW(text2_wnd);
    std::wstring wide(static_cast<std::size_t>(length) + 1, L'\0');
    const int copied = ::GetWindowTextW(text2_wnd, wide.data(), length + 1);
    wide.resize(static_cast<std::size_t>(copied > 0 ? copied : 0));
    return std::u16string(wide.begin(), wide.end());
  }

  void set_text2(const std::u16string& text) override {
    const std::wstring wide(text.begin(), text.end());
    ::SetWindowTextW(text2_wnd, wide.c_str());
  }

  mmfcast::platform::Hwnd form_hwnd() const override {
    return reinterpret_cast<mmfcast::platform::Hwnd>(main);
  }

  void show_state(std::u16string_view state) override {
    std::string caption = base_caption();
    if (!state.empty()) caption += " - " + mmfcast::platform::to_ansi(state);
    ::SetWindowTextA(main, caption.c_str());
  }
};

Win32Form* the_form = nullptr;

void report_with_message_box(const std::string& message) {
  std::fprintf(stderr, "mmfcast: %s\n", message.c_str());
  std::fflush(stderr);
  ::MessageBoxA(nullptr, message.c_str(), "mmfcast", MB_OK | MB_ICONERROR);
}

LRESULT CALLBACK text2_proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  Win32Form& f = *the_form;
  if (msg == WM_GETDLGCODE && lParam != 0) {
    // Keep Enter for the box instead of letting the dialog handling turn it into a command.
    const MSG* key = reinterpret_cast<const MSG*>(lParam);
    if (key->message == WM_KEYDOWN && key->wParam == VK_RETURN) {
      return ::CallWindowProcW(f.text2_prev, hwnd, msg, wParam, lParam) | DLGC_WANTALLKEYS;
    }
  }
  if (msg == WM_CHAR) {
    auto key_ascii = static_cast<std::int16_t>(wParam & 0xFFFF);
    ui::run_handler([&] { f.form.Text2_KeyPress(key_ascii); });
  }
  return ::CallWindowProcW(f.text2_prev, hwnd, msg, wParam, lParam);
}

// A Unicode control of the class named in ASCII.
HWND create_control(HWND parent, const char* cls, const char* text, DWORD style, int id,
                    const ui::TwipsRect& r, int dpi_x, int dpi_y) {
  const std::string cls_ascii(cls), text_ascii(text);
  const std::wstring wide_cls(cls_ascii.begin(), cls_ascii.end());
  const std::wstring wide_text(text_ascii.begin(), text_ascii.end());
  HWND control = ::CreateWindowExW(
      cls[0] == 'E' ? WS_EX_CLIENTEDGE : 0, wide_cls.c_str(), wide_text.c_str(),
      WS_CHILD | WS_VISIBLE | style, ui::twips_to_px(r.left, dpi_x), ui::twips_to_px(r.top, dpi_y),
      ui::twips_to_px(r.width, dpi_x), ui::twips_to_px(r.height, dpi_y), parent,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ::GetModuleHandleW(nullptr), nullptr);
  if (control != nullptr) {
    ::SendMessageA(control, WM_SETFONT,
                   reinterpret_cast<WPARAM>(::GetStockObject(DEFAULT_GUI_FONT)), FALSE);
  }
  return control;
}

// The program declares itself per-monitor DPI-aware, so a window moved to a screen of another
// DPI is not stretched by the system: it takes the size the system suggests and lays out its
// controls, and their font, again at the new DPI.
void follow_dpi(Win32Form& f, int dpi_x, int dpi_y, const RECT& suggested) {
  static HFONT scaled_font = nullptr;
  HFONT font = static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
  HDC screen = ::GetDC(nullptr);
  const int system_dpi_y = screen != nullptr ? ::GetDeviceCaps(screen, LOGPIXELSY) : 96;
  if (screen != nullptr) ::ReleaseDC(nullptr, screen);
  LOGFONTA face{};
  if (dpi_y != system_dpi_y && ::GetObjectA(font, sizeof face, &face) == sizeof face) {
    face.lfHeight = ::MulDiv(face.lfHeight, dpi_y, system_dpi_y);
    if (HFONT created = ::CreateFontIndirectA(&face)) font = created;
  }
  const std::pair<HWND, ui::TwipsRect> controls[] = {
      {f.command1_wnd, ui::kCommand1}, {f.text1_wnd, ui::kText1}, {f.text2_wnd, ui::kText2}};
  for (const auto& [control, r] : controls) {
    ::SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    ::MoveWindow(control, ui::twips_to_px(r.left, dpi_x), ui::twips_to_px(r.top, dpi_y),
                 ui::twips_to_px(r.width, dpi_x), ui::twips_to_px(r.height, dpi_y), TRUE);
  }
  if (scaled_font != nullptr) ::DeleteObject(scaled_font);
  scaled_font = font != ::GetStockObject(DEFAULT_GUI_FONT) ? font : nullptr;
  ::SetWindowPos(f.main, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                 suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

LRESULT CALLBACK main_proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_DPICHANGED:
      if (the_form != nullptr && lParam != 0) {
        follow_dpi(*the_form, LOWORD(wParam), HIWORD(wParam),
                   *reinterpret_cast<const RECT*>(lParam));
        return 0;
      }
      break;
    case WM_COMMAND:
      if (LOWORD(wParam) == ui::win32::kIdCommand1 && HIWORD(wParam) == BN_CLICKED &&
          the_form != nullptr) {
        ui::run_handler([] { the_form->form.Command1_Click(); });
        return 0;
      }
      break;
    case WM_TIMER:
      if (wParam == kRejoinTimer && the_form != nullptr && the_form->form.PriMMF) {
        ui::run_handler([] { the_form->form.refresh_connection(); });
        return 0;
      }
      break;
    case WM_CLOSE:
      ::KillTimer(hwnd, kRejoinTimer);
      if (the_form != nullptr && the_form->form.PriMMF) {
        std::int16_t cancel = 0;
        ui::run_handler([&] { the_form->form.Form_Unload(cancel); });
        if (cancel != 0) return 0;
      }
      ::DestroyWindow(hwnd);
      return 0;
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return ::DefWindowProcA(hwnd, msg, wParam, lParam);
}

// The system's default place for a new window is the same for copies started together (under
// Wine, the screen's top-left corner), so a copy takes the first place of a cascade down the work
// area, one caption apart, where no other copy's window is; when all are taken it goes round
// again. A position the starter asks for in the start-up information is kept.
POINT place_window(int width, int height) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  ::GetStartupInfoA(&startup);
  if ((startup.dwFlags & STARTF_USEPOSITION) != 0) return {CW_USEDEFAULT, CW_USEDEFAULT};
  std::vector<POINT> others;
  for (HWND other = ::FindWindowExA(nullptr, nullptr, ui::win32::kMainClass, nullptr);
       other != nullptr; other = ::FindWindowExA(nullptr, other, ui::win32::kMainClass, nullptr)) {
    RECT r;
    if (::GetWindowRect(other, &r)) others.push_back({r.left, r.top});
  }
  RECT work{0, 0, 640, 480};
  ::SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
  const int step = ::GetSystemMetrics(SM_CYCAPTION) + ::GetSystemMetrics(SM_CYFIXEDFRAME);
  int places = 1;
  if (step > 0) {
    const int across = (work.right - work.left - width) / step;
    const int down = (work.bottom - work.top - height) / step;
    places = (std::max)(1, (std::min)(across, down) + 1);
  }
  auto place = [&](int i) { return POINT{work.left + i * step, work.top + i * step}; };
  for (int i = 0; i < places; ++i) {
    const POINT at = place(i);
    if (std::none_of(others.begin(), others.end(),
                     [&](const POINT& p) { return p.x == at.x && p.y == at.y; })) {
      return at;
    }
  }
  return place(static_cast<int>(others.size() % static_cast<std::size_t>(places)));
}

// What a screen reader says of the controls: a name and a description for each. The button's
// caption stays "Command1". Handing the controls' accessible objects to another process needs
// COM on this thread; without it they keep what the system says of them.
void name_for_screen_readers(const Win32Form& f) {
  if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return;
  ui::win32::name_for_screen_readers(
      f.text1_wnd, L"Received lines",
      L"The lines the other copies of mmfcast sent, the newest at the bottom");
  ui::win32::name_for_screen_readers(f.text2_wnd, L"Line to send",
                                     L"Type a line and press Enter to send it to the other copies");
  ui::win32::name_for_screen_readers(f.command1_wnd, L"Send",
                                     L"Sends the line to send to the other copies of mmfcast");
}

bool create_form(Win32Form& f, HINSTANCE instance, int show) {
  HICON big = static_cast<HICON>(
      ::LoadImageA(instance, MAKEINTRESOURCEA(ui::win32::kIdIcon), IMAGE_ICON, 32, 32, 0));
  HICON small = static_cast<HICON>(
      ::LoadImageA(instance, MAKEINTRESOURCEA(ui::win32::kIdIcon), IMAGE_ICON, 16, 16, 0));
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = main_proc;
  wc.hInstance = instance;
  wc.hIcon = big;
  wc.hIconSm = small;
  wc.hCursor = ::LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = ui::win32::kMainClass;
  if (::RegisterClassExA(&wc) == 0) return false;

  HDC screen = ::GetDC(nullptr);
  const int dpi_x = screen != nullptr ? ::GetDeviceCaps(screen, LOGPIXELSX) : 96;
  const int dpi_y = screen != nullptr ? ::GetDeviceCaps(screen, LOGPIXELSY) : 96;
  if (screen != nullptr) ::ReleaseDC(nullptr, screen);

  RECT frame{0, 0, ui::twips_to_px(ui::kFormClientWidth, dpi_x),
             ui::twips_to_px(ui::kFormClientHeight, dpi_y)};
  ::AdjustWindowRect(&frame, kMainStyle, FALSE);
  const std::string caption = base_caption();
  const int width = frame.right - frame.left, height = frame.bottom - frame.top;
  // Held from choosing a place until the window is there, so copies started at the same moment
  // see each other's windows.
  HANDLE placing = ::CreateMutexA(nullptr, FALSE, "mmfcast.window-placement");
  if (placing != nullptr) ::WaitForSingleObject(placing, 5000);
  const POINT at = place_window(width, height);
  f.main =
      ::CreateWindowExA(WS_EX_CONTROLPARENT, ui::win32::kMainClass, caption.c_str(), kMainStyle,
                        at.x, at.y, width, height, nullptr, nullptr, instance, nullptr);
  if (placing != nullptr) {
    ::ReleaseMutex(placing);
    ::CloseHandle(placing);
  }
  if (f.main == nullptr) return false;

  // Created in tab order: IsDialogMessage moves the focus along the controls' z-order.
  f.command1_wnd =
      create_control(f.main, "BUTTON", ui::kCommand1Caption, WS_TABSTOP | BS_PUSHBUTTON,
                     ui::win32::kIdCommand1, ui::kCommand1, dpi_x, dpi_y);
  f.text1_wnd = create_control(
      f.main, "EDIT", "", WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN,
      ui::win32::kIdText1, ui::kText1, dpi_x, dpi_y);
  f.text2_wnd = create_control(f.main, "EDIT", "", WS_TABSTOP | ES_AUTOHSCROLL, ui::win32::kIdText2,
                               ui::kText2, dpi_x, dpi_y);
  if (f.command1_wnd == nullptr || f.text1_wnd == nullptr || f.text2_wnd == nullptr) return false;
  ::SendMessageA(f.text1_wnd, EM_SETLIMITTEXT, 0, 0);  // received lines are not limited to 32K
  f.text2_prev = reinterpret_cast<WNDPROC>(
      ::SetWindowLongPtrW(f.text2_wnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&text2_proc)));

  name_for_screen_readers(f);
  ui::run_handler([&] { f.form.Form_Load(); });
  ::SetTimer(f.main, kRejoinTimer, kRejoinMs, nullptr);
  ::ShowWindow(f.main, show);
  ::UpdateWindow(f.main);
  ::SetFocus(f.command1_wnd);
  return true;
}

// Enter on the focused Command1 clicks it, as Space does (the dialog handling would turn it
// into a command for a default button the form does not have).
bool handle_enter_on_command1(const Win32Form& f, const MSG& msg) {
  if (msg.message != WM_KEYDOWN || msg.wParam != VK_RETURN || msg.hwnd != f.command1_wnd) {
    return false;
  }
  ::SendMessageA(f.command1_wnd, BM_CLICK, 0, 0);
  return true;
}

// Tab and Shift+Tab move the focus from every control, the multi-line box included.
bool handle_tab(const Win32Form& f, const MSG& msg) {
  if (msg.message != WM_KEYDOWN || msg.wParam != VK_TAB) return false;
  if (msg.hwnd != f.text1_wnd && msg.hwnd != f.text2_wnd && msg.hwnd != f.command1_wnd)
    return false;
  const bool back = (::GetKeyState(VK_SHIFT) & 0x8000) != 0;
  HWND next = ::GetNextDlgTabItem(f.main, msg.hwnd, back ? TRUE : FALSE);
  if (next != nullptr) ::SetFocus(next);
  return true;
}

constexpr char kUsage[] =
    "Usage: mmfcast [--help] [--version]\n"
    "\n"
    "Shows a window that exchanges short lines of text with the other copies of mmfcast (and\n"
    "mmfcast-cli) in this user session. Type a line and press Enter, or click Command1, to send\n"
    "it; the lines the other copies send appear in the large box.\n"
    "\n"
    "When the copy is not connected, or a line was not sent, its caption says so and why.\n";

// Writes text where the starter of this windowed program can read it: its standard output when
// that was handed over (a pipe or a file), else the console of the process that started it.
void print_to_starter(const std::string& text) {
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE console = nullptr;
  if (out == nullptr || out == INVALID_HANDLE_VALUE) {
    if (::AttachConsole(ATTACH_PARENT_PROCESS)) {
      console = ::CreateFileA("CONOUT$", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    }
    out = console;
  }
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  ::WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  if (console != nullptr && console != INVALID_HANDLE_VALUE) ::CloseHandle(console);
}

// Answers --help and --version (also -h, -v, /?); true when one was asked, and the program ends.
bool answered_command_line(int& status) {
  int argc = 0;
  LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  if (argv == nullptr) return false;
  bool answered = false;
  for (int i = 1; i < argc && !answered; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"--help" || arg == L"-h" || arg == L"/?") {
      print_to_starter(kUsage);
      answered = true;
      status = 0;
    } else if (arg == L"--version" || arg == L"-v") {
      print_to_starter(std::string("mmfcast ") + MMFCAST_VERSION + "\n");
      answered = true;
      status = 0;
    }
  }
  ::LocalFree(argv);
  return answered;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
  if (int status = 0; answered_command_line(status)) return status;
  ui::set_fatal_reporter(report_with_message_box);
  static Win32Form form;
  the_form = &form;
  if (!create_form(form, instance, show)) {
    report_with_message_box("cannot create the main window");
    return 1;
  }
  MSG msg;
  int got;
  // The Unicode loop: an ANSI one would hand the controls each typed character through the
  // code page, '?' for those it lacks.
  while ((got = ::GetMessageW(&msg, nullptr, 0, 0)) > 0) {
    if (handle_tab(form, msg) || handle_enter_on_command1(form, msg) ||
        ::IsDialogMessageW(form.main, &msg)) {
      continue;
    }
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  return got < 0 ? 1 : static_cast<int>(msg.wParam);
}
