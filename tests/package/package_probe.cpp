// Looks at the installed Windows programs from inside Windows, for the installer's check:
//   package_probe version FILE    the version resource as Windows reads it, one KEY=value a line
//   package_probe manifest FILE   the application manifest embedded in FILE
//   package_probe exchange DIR SHORTCUT
//                                 the window started through SHORTCUT and DIR\mmfcast-cli.exe
//                                 pass a line each way
// Exits 0 when it could do what was asked; says what failed on standard error otherwise.
#include <windows.h>
// after windows.h
#include <shlobj.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/main_window_win.h"
#include "ui/win32/control_ids.h"

namespace {

using Clock = std::chrono::steady_clock;
// Generous: a busy machine under Wine starts a program in seconds, not milliseconds.
constexpr auto kPatience = std::chrono::seconds(90);

int failed(const std::string& what) {
  std::fprintf(stderr, "package_probe: %s\n", what.c_str());
  return 1;
}

int print_version(const char* file) {
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeA(file, &ignored);
  if (size == 0) return failed(std::string("no version resource in ") + file);
  std::vector<char> info(size);
  if (!::GetFileVersionInfoA(file, 0, size, info.data())) return failed("GetFileVersionInfo");
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!::VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length) ||
      length < sizeof *fixed || fixed->dwSignature != 0xFEEF04BD) {
    return failed("no fixed version information");
  }
  std::printf("FixedFileVersion=%d.%d.%d.%d\n", HIWORD(fixed->dwFileVersionMS),
              LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
              LOWORD(fixed->dwFileVersionLS));
  std::printf("FixedProductVersion=%d.%d.%d.%d\n", HIWORD(fixed->dwProductVersionMS),
              LOWORD(fixed->dwProductVersionMS), HIWORD(fixed->dwProductVersionLS),
              LOWORD(fixed->dwProductVersionLS));
  // The strings of the first language the resource lists.
  struct Translation {
    WORD language;
    WORD code_page;
  }* translation = nullptr;
  if (!::VerQueryValueA(info.data(), "\\VarFileInfo\\Translation",
                        reinterpret_cast<void**>(&translation), &length) ||
      length < sizeof *translation) {
    return failed("no translation table");
  }
  char block[64];
  std::snprintf(block, sizeof block, "\\StringFileInfo\\%04x%04x\\", translation->language,
                translation->code_page);
  for (const char* key : {"CompanyName", "FileDescription", "FileVersion", "InternalName",
                          "LegalCopyright", "OriginalFilename", "ProductName", "ProductVersion"}) {
    char* value = nullptr;
    const std::string path = std::string(block) + key;
    if (::VerQueryValueA(info.data(), path.c_str(), reinterpret_cast<void**>(&value), &length) &&
        length > 0) {
      std::printf("%s=%s\n", key, value);
    }
  }
  return 0;
}

int print_manifest(const char* file) {
  HMODULE module = ::LoadLibraryExA(file, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) return failed(std::string("cannot load ") + file);
  HRSRC found = ::FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
  HGLOBAL loaded = found != nullptr ? ::LoadResource(module, found) : nullptr;
  const void* bytes = loaded != nullptr ? ::LockResource(loaded) : nullptr;
  if (bytes == nullptr) return failed(std::string("no application manifest in ") + file);
  std::fwrite(bytes, 1, ::SizeofResource(module, found), stdout);
  std::printf("\n");
  return 0;
}

std::string window_text(HWND hwnd) {
  const auto length = static_cast<std::size_t>(::SendMessageA(hwnd, WM_GETTEXTLENGTH, 0, 0));
  std::string text(length + 1, '\0');
  const auto copied = static_cast<std::size_t>(::SendMessageA(
      hwnd, WM_GETTEXT, static_cast<WPARAM>(text.size()), reinterpret_cast<LPARAM>(text.data())));
  text.resize(copied);
  return text;
}

struct Child {
  PROCESS_INFORMATION info{};
  bool started = false;
  ~Child() {
    if (!started) return;
    if (::WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT)
      ::TerminateProcess(info.hProcess, 1);
    ::CloseHandle(info.hProcess);
    ::CloseHandle(info.hThread);
  }
  // Waits for the process to end; its exit code, or -1 when it did not end in time.
  long finish() {
    if (::WaitForSingleObject(info.hProcess, 60000) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    ::GetExitCodeProcess(info.hProcess, &code);
    return static_cast<long>(code);
  }
};

bool start(Child& child, std::string command, HANDLE output = nullptr) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  if (output != nullptr) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output;
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  }
  child.started = ::CreateProcessA(nullptr, command.data(), nullptr, nullptr, output != nullptr, 0,
                                   nullptr, nullptr, &startup, &child.info) != 0;
  return child.started;
}

// Starts what a shortcut leads to, in the folder it names, as the Start menu does.
bool start_shortcut(Child& child, const std::string& shortcut, std::string& target) {
  if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return false;
  IShellLinkA* link = nullptr;
  IPersistFile* file = nullptr;
  char path[MAX_PATH] = {};
  char folder[MAX_PATH] = {};
  std::wstring wide(MAX_PATH, L'\0');
  wide.resize(static_cast<std::size_t>(::MultiByteToWideChar(
      CP_ACP, 0, shortcut.c_str(), -1, wide.data(), static_cast<int>(wide.size()))));
  const bool resolved =
      SUCCEEDED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                   reinterpret_cast<void**>(&link))) &&
      SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
      SUCCEEDED(file->Load(wide.c_str(), STGM_READ)) &&
      link->GetPath(path, MAX_PATH, nullptr, SLGP_RAWPATH) == S_OK &&
      SUCCEEDED(link->GetWorkingDirectory(folder, MAX_PATH));
  if (file != nullptr) file->Release();
  if (link != nullptr) link->Release();
  if (!resolved) return false;
  target = path;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  std::string command = "\"" + target + "\"";
  child.started =
      ::CreateProcessA(path, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                       folder[0] != '\0' ? folder : nullptr, &startup, &child.info) != 0;
  return child.started;
}

int exchange(const std::string& dir, const std::string& shortcut) {
  const std::string cli_exe = "\"" + dir + "\\mmfcast-cli.exe\"";
  Child window;
  std::string target;
  if (!start_shortcut(window, shortcut, target)) return failed("cannot start " + shortcut);
  HWND form = nullptr;
  for (const auto deadline = Clock::now() + kPatience; form == nullptr;) {
    if (Clock::now() > deadline) return failed("the window did not appear");
    if (::WaitForSingleObject(window.info.hProcess, 100) == WAIT_OBJECT_0)
      return failed("the window's program ended at start");
    form = testsupport::main_window_of(window.info.dwProcessId, true);
  }
  HWND text1 = ::GetDlgItem(form, ui::win32::kIdText1);
  HWND text2 = ::GetDlgItem(form, ui::win32::kIdText2);
  HWND command1 = ::GetDlgItem(form, ui::win32::kIdCommand1);
  std::printf("the shortcut started %s: %s\n", target.c_str(), window_text(form).c_str());

  // From the command line to the window: the send returns once the window has taken it.
  const std::string to_window = "line from the command line";
  Child sender;
  if (!start(sender, cli_exe + " send " + to_window)) return failed("cannot start " + cli_exe);
  if (const long code = sender.finish(); code != 0)
    return failed("mmfcast-cli send ended with " + std::to_string(code));
  // The window shows what arrived within a few tens of milliseconds, in batches.
  std::string shown = window_text(text1);
  for (const auto deadline = Clock::now() + std::chrono::seconds(10);
       shown != "\r\n" + to_window && Clock::now() < deadline;) {
    ::Sleep(20);
    shown = window_text(text1);
  }
  if (shown != "\r\n" + to_window) return failed("the window shows '" + shown + "'");
  std::printf("mmfcast-cli send -> window shows: %s\n", to_window.c_str());

  // From the window to the command line: the window sends again until the listener, whose
  // start-up is not visible from here, has heard one and ended.
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!::CreatePipe(&read_end, &write_end, &inherit, 0)) return failed("CreatePipe");
  ::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  Child listener;
  const bool listening = start(listener, cli_exe + " listen --count 1", write_end);
  ::CloseHandle(write_end);
  if (!listening) return failed("cannot start " + cli_exe + " listen");
  const std::string to_cli = "line from the window";
  bool heard = false;
  for (const auto deadline = Clock::now() + kPatience; !heard && Clock::now() < deadline;) {
    ::SendMessageA(text2, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(to_cli.c_str()));
    ::SendMessageA(command1, BM_CLICK, 0, 0);
    heard = ::WaitForSingleObject(listener.info.hProcess, 1000) == WAIT_OBJECT_0;
  }
  if (!heard) return failed("mmfcast-cli listen heard nothing from the window");
  std::string out;
  char buffer[256];
  DWORD got = 0;
  while (::ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0)
    out.append(buffer, got);
  ::CloseHandle(read_end);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  if (out != to_cli) return failed("mmfcast-cli listen printed '" + out + "'");
  if (const long code = listener.finish(); code != 0)
    return failed("mmfcast-cli listen ended with " + std::to_string(code));
  std::printf("window sends -> mmfcast-cli listen prints: %s\n", out.c_str());

  ::PostMessageA(form, WM_CLOSE, 0, 0);
  if (const long code = window.finish(); code != 0)
    return failed("the window's program ended with " + std::to_string(code));
  std::printf("window closed\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string what = argc >= 3 ? argv[1] : "";
  if (what == "version" && argc == 3) return print_version(argv[2]);
  if (what == "manifest" && argc == 3) return print_manifest(argv[2]);
  if (what == "exchange" && argc == 4) return exchange(argv[2], argv[3]);
  return failed("usage: package_probe version|manifest FILE, or exchange DIR SHORTCUT");
}
