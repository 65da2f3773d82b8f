// mmfcast on Windows: the main window with plain Win32 controls, adapted to frmMain's
// controls interface. The hook replaces the top-level window's own procedure; Text2 gets a
// subclass of ours so Enter reaches it as the character 13 despite the dialog-style keyboard
// handling (IsDialogMessage) that gives Tab its meaning, and Enter on the focused Command1
// clicks it. The controls are Unicode windows, so the input line holds what the user typed even
// where the ANSI code page has no form for it, and such a line is refused with the reason instead
// of sent with '?' in it; the top-level window stays an ANSI window, whose procedure the hook
// replaces with SetWindowLongA. A status line under the input says in full when the copy is not
// connected or a line was not sent, and why; a timer tries joining again every second. The
// window is resizable and lays its controls out by ui::lay_out, as the Qt window does. Received
// texts are gathered and put into the read-only box on a short timer, which keeps a bounded
// number of lines. Size, position and the arrival sign are kept under HKCU\Software\mmfcast.
#include "ui/win32/main_window.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ui/bounded_log.h"
#include "ui/frmMain.h"
#include "ui/layout.h"
#include "ui/win32/accessible.h"
#include "ui/win32/control_ids.h"

namespace {

constexpr DWORD kMainStyle = WS_OVERLAPPEDWINDOW;
constexpr UINT_PTR kRejoinTimer = 1;
constexpr UINT kRejoinMs = 1000;
constexpr UINT_PTR kShowTimer = 2;
constexpr UINT kShowDelayMs = 30;   // received texts wait at most this long to be shown
constexpr UINT kIdmAbout = 0x0010;  // system menu items: below 0xF000, multiples of 16
constexpr UINT kIdmArrivalSign = 0x0020;
constexpr char kSettingsKey[] = "Software\\mmfcast";

// The user's settings under HKCU\Software\mmfcast: a DWORD or binary value, or nothing.
std::optional<DWORD> read_dword(const char* name) {
  DWORD value = 0, size = sizeof value;
  if (::RegGetValueA(HKEY_CURRENT_USER, kSettingsKey, name, RRF_RT_REG_DWORD, nullptr, &value,
                     &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return value;
}

void write_value(const char* name, DWORD type, const void* data, DWORD size) {
  HKEY key = nullptr;
  if (::RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
    return;
  }
  ::RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
  ::RegCloseKey(key);
}

std::optional<WINDOWPLACEMENT> read_placement() {
  WINDOWPLACEMENT placement{};
  DWORD size = sizeof placement;
  if (::RegGetValueA(HKEY_CURRENT_USER, kSettingsKey, "WindowPlacement", RRF_RT_REG_BINARY, nullptr,
                     &placement, &size) != ERROR_SUCCESS ||
      size != sizeof placement || placement.length != sizeof placement) {
    return std::nullopt;
  }
  return placement;
}

std::string base_caption() {
  return "mmfcast (pid " + std::to_string(::GetCurrentProcessId()) + ")";
}

class Win32Form final : public FormControls {
 public:
  HWND main = nullptr;
  HWND text1_wnd = nullptr;
  HWND text2_wnd = nullptr;
  HWND command1_wnd = nullptr;
  HWND status_wnd = nullptr;
  WNDPROC text2_prev = nullptr;
  HFONT font = nullptr;  // the system's message font at the window's DPI
  int dpi_x = 96;
  int dpi_y = 96;
  bool arrival_sign = true;
  std::wstring arrived;  // received and not shown yet
  ui::BoundedLog log{ui::kDefaultMaxLines};
  frmMain form{*this};

  void append_text1(std::u16string_view text) override {
    arrived.append(text.begin(), text.end());
    ::SetTimer(main, kShowTimer, kShowDelayMs, nullptr);
  }

  // Puts what arrived into Text1 in one insertion and cuts the oldest lines past the limit.
  void show_arrived() {
    ::KillTimer(main, kShowTimer);
    if (arrived.empty()) return;
    const LRESULT end = ::SendMessageW(text1_wnd, WM_GETTEXTLENGTH, 0, 0);
    ::SendMessageW(text1_wnd, EM_SETSEL, static_cast<WPARAM>(end), end);
    ::SendMessageW(text1_wnd, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(arrived.c_str()));
    const std::size_t cut = log.appended(
        std::u16string_view(reinterpret_cast<const char16_t*>(arrived.data()), arrived.size()));
    arrived.clear();
    if (cut > 0) {
      ::SendMessageW(text1_wnd, WM_SETREDRAW, FALSE, 0);
      ::SendMessageW(text1_wnd, EM_SETSEL, 0, static_cast<LPARAM>(cut));
      ::SendMessageW(text1_wnd, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
      const LRESULT kept = ::SendMessageW(text1_wnd, WM_GETTEXTLENGTH, 0, 0);
      ::SendMessageW(text1_wnd, EM_SETSEL, static_cast<WPARAM>(kept), kept);
      ::SendMessageW(text1_wnd, WM_SETREDRAW, TRUE, 0);
      ::InvalidateRect(text1_wnd, nullptr, TRUE);
    }
    ::SendMessageW(text1_wnd, EM_SCROLLCARET, 0, 0);
    if (arrival_sign && ::GetForegroundWindow() != main) {
      FLASHWINFO flash{sizeof flash, main, FLASHW_TRAY | FLASHW_TIMERNOFG, 0, 0};
      ::FlashWindowEx(&flash);
    }
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

  // The caption carries the first words ("not sent", "not connected"); the status line all.
  void show_state(std::u16string_view state) override {
    std::string caption = base_caption();
    const std::u16string_view first = state.substr(0, state.find(u':'));
    if (!state.empty()) caption += " - " + mmfcast::platform::to_ansi(first);
    ::SetWindowTextA(main, caption.c_str());
    const std::wstring wide(state.begin(), state.end());
    ::SetWindowTextW(status_wnd, wide.c_str());
    ::ShowWindow(status_wnd, state.empty() ? SW_HIDE : SW_SHOWNA);
    lay_out();
  }

  // The status line's height when its text wraps at width pixels; 0 when it is empty.
  int status_height(int width) const {
    const int length = ::GetWindowTextLengthW(status_wnd);
    if (length == 0 || width <= 0) return 0;
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    ::GetWindowTextW(status_wnd, text.data(), length + 1);
    HDC dc = ::GetDC(status_wnd);
    HGDIOBJ old = ::SelectObject(dc, font);
    RECT r{0, 0, width, 0};
    ::DrawTextW(dc, text.c_str(), length, &r, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    ::SelectObject(dc, old);
    ::ReleaseDC(status_wnd, dc);
    return r.bottom - r.top;
  }

  void lay_out() {
    RECT client;
    if (main == nullptr || !::GetClientRect(main, &client)) return;
    const int width = client.right, height = client.bottom;
    const ui::PixelRect text2 = ui::to_pixels(ui::kText2, dpi_x, dpi_y);
    const int status = status_height(text2.width + width - ui::form_client(dpi_x, dpi_y).width);
    const ui::FormLayout layout = ui::lay_out(width, height, dpi_x, dpi_y, status);
    const std::pair<HWND, ui::PixelRect> placed[] = {{text1_wnd, layout.text1},
                                                     {text2_wnd, layout.text2},
                                                     {status_wnd, layout.status},
                                                     {command1_wnd, layout.command1}};
    for (const auto& [control, r] : placed) {
      ::MoveWindow(control, r.left, r.top, (std::max)(r.width, 0), (std::max)(r.height, 0), TRUE);
    }
  }
};

// The open main window's form; one at a time in a process.
std::unique_ptr<Win32Form> the_form;

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

// The screen's DPI as the system gives it to this (DPI-aware) process.
int system_dpi() {
  HDC screen = ::GetDC(nullptr);
  const int dpi = screen != nullptr ? ::GetDeviceCaps(screen, LOGPIXELSY) : 96;
  if (screen != nullptr) ::ReleaseDC(nullptr, screen);
  return dpi;
}

// The font the system uses for message boxes, at dpi: what dialogs and their controls show.
HFONT make_message_font(int dpi) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  if (!::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
    return nullptr;
  }
  LOGFONTW face = metrics.lfMessageFont;
  face.lfHeight = ::MulDiv(face.lfHeight, dpi, system_dpi());
  return ::CreateFontIndirectW(&face);
}

// A Unicode control of the class named in ASCII; the layout places it.
HWND create_control(HWND parent, const char* cls, const char* text, DWORD style, int id) {
  const std::string cls_ascii(cls), text_ascii(text);
  const std::wstring wide_cls(cls_ascii.begin(), cls_ascii.end());
  const std::wstring wide_text(text_ascii.begin(), text_ascii.end());
  return ::CreateWindowExW(cls[0] == 'E' ? WS_EX_CLIENTEDGE : 0, wide_cls.c_str(),
                           wide_text.c_str(), WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                           ::GetModuleHandleW(nullptr), nullptr);
}

// Gives the controls the message font at the form's DPI, replacing the one they had.
void set_fonts(Win32Form& f) {
  HFONT font = make_message_font(f.dpi_y);
  if (font == nullptr) return;
  for (HWND control : {f.command1_wnd, f.text1_wnd, f.text2_wnd, f.status_wnd}) {
    ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  }
  if (f.font != nullptr) ::DeleteObject(f.font);
  f.font = font;
}

// The program declares itself per-monitor DPI-aware, so a window moved to a screen of another
// DPI is not stretched by the system: it takes the size the system suggests and lays out its
// controls, and their font, again at the new DPI.
void follow_dpi(Win32Form& f, int dpi_x, int dpi_y, const RECT& suggested) {
  f.dpi_x = dpi_x;
  f.dpi_y = dpi_y;
  set_fonts(f);
  ::SetWindowPos(f.main, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                 suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
  f.lay_out();
}

constexpr char kAbout[] =
    "mmfcast " MMFCAST_VERSION
    "\n\nPasses short lines of text between the running copies of mmfcast and mmfcast-cli in "
    "this user's desktop session.\n\nThe received-lines box keeps the last lines (10,000 unless "
    "the value MaxLines or --max-lines says otherwise). Settings: "
    "HKEY_CURRENT_USER\\Software\\mmfcast.\n\nMIT License. Copyright (c) 2026 The mmfcast "
    "developers.";

void show_about(HWND owner) {
  ::MessageBoxA(owner, kAbout, "About mmfcast", MB_OK | MB_ICONINFORMATION);
}

void save_settings(const Win32Form& f) {
  WINDOWPLACEMENT placement{};
  placement.length = sizeof placement;
  if (::GetWindowPlacement(f.main, &placement)) {
    write_value("WindowPlacement", REG_BINARY, &placement, sizeof placement);
  }
  const DWORD sign = f.arrival_sign ? 1 : 0;
  write_value("ArrivalSign", REG_DWORD, &sign, sizeof sign);
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
    case WM_SIZE:
      if (the_form != nullptr) the_form->lay_out();
      return 0;
    case WM_GETMINMAXINFO:
      if (the_form != nullptr && lParam != 0) {
        const ui::PixelRect least = ui::minimum_client(the_form->dpi_x, the_form->dpi_y, 0);
        RECT frame{0, 0, least.width, least.height};
        ::AdjustWindowRect(&frame, kMainStyle, FALSE);
        auto* limits = reinterpret_cast<MINMAXINFO*>(lParam);
        limits->ptMinTrackSize = {frame.right - frame.left, frame.bottom - frame.top};
        return 0;
      }
      break;
    case WM_CTLCOLORSTATIC:
      // The read-only box keeps the colours of a box one reads, not of a disabled one.
      if (the_form != nullptr && reinterpret_cast<HWND>(lParam) == the_form->text1_wnd) {
        HDC dc = reinterpret_cast<HDC>(wParam);
        ::SetTextColor(dc, ::GetSysColor(COLOR_WINDOWTEXT));
        ::SetBkColor(dc, ::GetSysColor(COLOR_WINDOW));
        return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_WINDOW));
      }
      break;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == kIdmAbout) {
        show_about(hwnd);
        return 0;
      }
      if ((wParam & 0xFFF0) == kIdmArrivalSign && the_form != nullptr) {
        the_form->arrival_sign = !the_form->arrival_sign;
        ::CheckMenuItem(::GetSystemMenu(hwnd, FALSE), kIdmArrivalSign,
                        the_form->arrival_sign ? MF_CHECKED : MF_UNCHECKED);
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
      if (wParam == kShowTimer && the_form != nullptr) {
        ui::run_handler([] { the_form->show_arrived(); });
        return 0;
      }
      if (wParam == kRejoinTimer && the_form != nullptr && the_form->form.PriMMF) {
        ui::run_handler([] { the_form->form.refresh_connection(); });
        return 0;
      }
      break;
    case WM_CLOSE:
      ::KillTimer(hwnd, kRejoinTimer);
      if (the_form != nullptr) save_settings(*the_form);
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

// The window's size for the form's client area at dpi, no larger than the work area.
SIZE window_size(int dpi_x, int dpi_y) {
  const ui::PixelRect form = ui::form_client(dpi_x, dpi_y);
  RECT frame{0, 0, form.width, form.height};
  ::AdjustWindowRect(&frame, kMainStyle, FALSE);
  RECT work{0, 0, 640, 480};
  ::SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
  return {(std::min)(frame.right - frame.left, work.right - work.left),
          (std::min)(frame.bottom - frame.top, work.bottom - work.top)};
}

// How a copy was closed; only the first copy takes it, so copies started together still open
// apart.
std::optional<WINDOWPLACEMENT> remembered_placement() {
  if (::FindWindowExA(nullptr, nullptr, ui::win32::kMainClass, nullptr) != nullptr) {
    return std::nullopt;
  }
  return read_placement();
}

// Whether the window was maximized when it was closed, or minimized from maximized.
bool left_maximized(const WINDOWPLACEMENT& placement) {
  return placement.showCmd == SW_SHOWMAXIMIZED ||
         (placement.showCmd == SW_SHOWMINIMIZED && (placement.flags & WPF_RESTORETOMAXIMIZED) != 0);
}

// Puts the window where it was closed (the system moves a place on no screen onto one), and
// turns a default show into maximized when it was left maximized.
void restore_placement(HWND main, const WINDOWPLACEMENT& remembered, int& show) {
  WINDOWPLACEMENT placement = remembered;
  placement.flags = 0;
  placement.showCmd = SW_HIDE;
  ::SetWindowPlacement(main, &placement);
  if (show == SW_SHOWNORMAL || show == SW_SHOWDEFAULT) {
    show = left_maximized(remembered) ? SW_SHOWMAXIMIZED : SW_SHOWNORMAL;
  }
}

bool create_form(Win32Form& f, HINSTANCE instance, int show, std::size_t max_lines) {
  const int icon_big = ::GetSystemMetrics(SM_CXICON), icon_small = ::GetSystemMetrics(SM_CXSMICON);
  HICON big = static_cast<HICON>(::LoadImageA(instance, MAKEINTRESOURCEA(ui::win32::kIdIcon),
                                              IMAGE_ICON, icon_big, icon_big, LR_SHARED));
  HICON small = static_cast<HICON>(::LoadImageA(instance, MAKEINTRESOURCEA(ui::win32::kIdIcon),
                                                IMAGE_ICON, icon_small, icon_small, LR_SHARED));
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = main_proc;
  wc.hInstance = instance;
  wc.hIcon = big;
  wc.hIconSm = small;
  wc.hCursor = ::LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = ui::win32::kMainClass;
  if (::RegisterClassExA(&wc) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;

  HDC screen = ::GetDC(nullptr);
  f.dpi_x = screen != nullptr ? ::GetDeviceCaps(screen, LOGPIXELSX) : 96;
  f.dpi_y = screen != nullptr ? ::GetDeviceCaps(screen, LOGPIXELSY) : 96;
  if (screen != nullptr) ::ReleaseDC(nullptr, screen);
  f.log = ui::BoundedLog(max_lines);
  f.arrival_sign = read_dword("ArrivalSign").value_or(1) != 0;

  const std::string caption = base_caption();
  const SIZE size = window_size(f.dpi_x, f.dpi_y);
  // Held from choosing a place until the window is there, so copies started at the same moment
  // see each other's windows.
  HANDLE placing = ::CreateMutexA(nullptr, FALSE, "mmfcast.window-placement");
  if (placing != nullptr) ::WaitForSingleObject(placing, 5000);
  const std::optional<WINDOWPLACEMENT> remembered = remembered_placement();
  const POINT at = place_window(size.cx, size.cy);
  f.main =
      ::CreateWindowExA(WS_EX_CONTROLPARENT, ui::win32::kMainClass, caption.c_str(), kMainStyle,
                        at.x, at.y, size.cx, size.cy, nullptr, nullptr, instance, nullptr);
  if (f.main != nullptr && remembered) restore_placement(f.main, *remembered, show);
  if (placing != nullptr) {
    ::ReleaseMutex(placing);
    ::CloseHandle(placing);
  }
  if (f.main == nullptr) return false;
  ::SendMessageA(f.main, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
  ::SendMessageA(f.main, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
  if (HMENU menu = ::GetSystemMenu(f.main, FALSE)) {
    ::AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    ::AppendMenuA(menu, MF_STRING | (f.arrival_sign ? MF_CHECKED : MF_UNCHECKED), kIdmArrivalSign,
                  "&Flash the taskbar button when a line arrives");
    ::AppendMenuA(menu, MF_STRING, kIdmAbout, "&About mmfcast\tF1");
  }

  // Created in tab order: IsDialogMessage moves the focus along the controls' z-order. Text1
  // is read-only: received lines can be selected and copied, nothing typed or pasted goes in.
  f.command1_wnd = create_control(f.main, "BUTTON", ui::kCommand1Caption,
                                  WS_TABSTOP | BS_PUSHBUTTON, ui::win32::kIdCommand1);
  f.text1_wnd = create_control(
      f.main, "EDIT", "",
      WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN | ES_READONLY,
      ui::win32::kIdText1);
  f.text2_wnd =
      create_control(f.main, "EDIT", "", WS_TABSTOP | ES_AUTOHSCROLL, ui::win32::kIdText2);
  f.status_wnd = create_control(f.main, "STATIC", "", SS_LEFT | SS_NOPREFIX, ui::win32::kIdStatus);
  if (f.command1_wnd == nullptr || f.text1_wnd == nullptr || f.text2_wnd == nullptr ||
      f.status_wnd == nullptr) {
    return false;
  }
  ::ShowWindow(f.status_wnd, SW_HIDE);
  set_fonts(f);
  f.lay_out();
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

// Ctrl+Q quits and Ctrl+W closes the window (the copy has one), F1 tells about the program.
bool handle_window_keys(const Win32Form& f, const MSG& msg) {
  if (msg.message != WM_KEYDOWN || (msg.hwnd != f.main && ::GetParent(msg.hwnd) != f.main)) {
    return false;
  }
  const bool ctrl = (::GetKeyState(VK_CONTROL) & 0x8000) != 0;
  if (ctrl && (msg.wParam == 'Q' || msg.wParam == 'W')) {
    ::PostMessageA(f.main, WM_CLOSE, 0, 0);
    return true;
  }
  if (msg.wParam == VK_F1) {
    show_about(f.main);
    return true;
  }
  return false;
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
}  // namespace

namespace ui::win32 {

std::size_t saved_max_lines() {
  const std::optional<DWORD> saved = read_dword("MaxLines");
  return saved ? std::clamp<std::size_t>(*saved, kMinMaxLines, kMaxMaxLines) : kDefaultMaxLines;
}

HWND open_main_window(HINSTANCE instance, int show, std::size_t max_lines) {
  if (the_form != nullptr) return nullptr;
  the_form = std::make_unique<Win32Form>();
  if (!create_form(*the_form, instance, show, max_lines)) {
    if (the_form->main != nullptr) ::DestroyWindow(the_form->main);
    the_form.reset();
    return nullptr;
  }
  return the_form->main;
}

int run_main_window() {
  if (the_form == nullptr) return 1;
  const Win32Form& form = *the_form;
  MSG msg;
  int got;
  // The Unicode loop: an ANSI one would hand the controls each typed character through the
  // code page, '?' for those it lacks.
  while ((got = ::GetMessageW(&msg, nullptr, 0, 0)) > 0) {
    if (handle_window_keys(form, msg) || handle_tab(form, msg) ||
        handle_enter_on_command1(form, msg) || ::IsDialogMessageW(form.main, &msg)) {
      continue;
    }
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  if (form.font != nullptr) ::DeleteObject(form.font);
  the_form.reset();
  return got < 0 ? 1 : static_cast<int>(msg.wParam);
}

}  // namespace ui::win32
