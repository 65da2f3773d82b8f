// mmfcast on Windows: the program's command line (--help, --version, --max-lines) and the main
// window's life. --help and --version print to the console the program was started from (or to
// its standard output when that was redirected) and exit.
#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>

#include "ui/bounded_log.h"
#include "ui/frmMain.h"
#include "ui/win32/main_window.h"

namespace {

void report_with_message_box(const std::string& message) {
  std::fprintf(stderr, "mmfcast: %s\n", message.c_str());
  std::fflush(stderr);
  ::MessageBoxA(nullptr, message.c_str(), "mmfcast", MB_OK | MB_ICONERROR);
}

constexpr char kUsage[] =
    "Usage: mmfcast [--help] [--version] [--max-lines N]\n"
    "\n"
    "Shows a window that exchanges short lines of text with the other copies of mmfcast (and\n"
    "mmfcast-cli) in this user session. Type a line and press Enter, or click Command1, to send\n"
    "it; the lines the other copies send appear in the large box.\n"
    "\n"
    "  --max-lines N  keep the last N received lines (1 to 10000000; default: the value\n"
    "                 MaxLines under HKEY_CURRENT_USER\\Software\\mmfcast, else 10000)\n"
    "\n"
    "Keys: Ctrl+Q quits, Ctrl+W closes the window, F1 tells about the program. The window's\n"
    "system menu switches the taskbar button's flashing when a line arrives in the background.\n"
    "\n"
    "When the copy is not connected, or a line was not sent, the line under the input says so,\n"
    "why, and what to do.\n"
    "\n"
    "Exit status: 0 when the window was closed, 1 when it cannot be made, 2 for a bad argument.\n";

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

// Answers --help and --version (also -h, -v, /?) and reads --max-lines N; true when the
// program ends here with status.
bool answered_command_line(int& status, std::size_t& max_lines) {
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
    } else if (arg == L"--max-lines") {
      const std::wstring value = i + 1 < argc ? argv[++i] : L"";
      const std::optional<std::size_t> chosen =
          ui::parse_max_lines(std::string(value.begin(), value.end()));
      if (!chosen || value.find_first_not_of(L"0123456789") != std::wstring::npos) {
        print_to_starter("mmfcast: --max-lines takes a whole number from 1 to 10000000\n");
        answered = true;
        status = 2;
      } else {
        max_lines = *chosen;
      }
    }
  }
  ::LocalFree(argv);
  return answered;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
  std::size_t max_lines = ui::win32::saved_max_lines();
  if (int status = 0; answered_command_line(status, max_lines)) return status;
  ui::set_fatal_reporter(report_with_message_box);
  if (ui::win32::open_main_window(instance, show, max_lines) == nullptr) {
    report_with_message_box("cannot create the main window");
    return 1;
  }
  return ui::win32::run_main_window();
}
