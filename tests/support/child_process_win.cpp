// ChildProcess and ScopedSession on Windows. The child's standard input and output are
// anonymous pipes; read_line polls the output pipe with PeekNamedPipe so a timeout needs no
// reader thread. Every process of the desktop shares one namespace, so a session is a name
// suffix unique to this process and this ScopedSession.
#include <windows.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "tests/support/child_process.h"
#include "tests/support/start_process_win.h"

namespace testsupport {

namespace {

// Quotes one argument so the child's C runtime splits the command line back into it.
std::string quote_argument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') backslashes = backslashes * 2 + 1;
    out.append(backslashes, '\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, '\\');
  out.push_back('"');
  return out;
}

void close_handle(HANDLE& h) {
  if (h != nullptr && h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  h = nullptr;
}

std::runtime_error os_error(const std::string& what) {
  return std::runtime_error(what + " failed, error " + std::to_string(::GetLastError()));
}

}  // namespace

std::string child_path() {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return "mmfcast_child.exe";
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  const std::size_t slash = path.find_last_of("\\/");
  return (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) +
         "mmfcast_child.exe";
}

struct ChildProcess::Impl {
  PROCESS_INFORMATION process{};
  HANDLE stdin_write = nullptr;
  HANDLE stdout_read = nullptr;
  std::string pending;  // bytes read past the last line handed out
  bool output_ended = false;
};

ChildProcess::ChildProcess(const std::vector<std::string>& args)
    : ChildProcess(child_path(), args, false) {}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           bool merge_stderr)
    : impl_(std::make_unique<Impl>()) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE stdin_read = nullptr, stdout_write = nullptr, stderr_dup = nullptr;
  auto cleanup = [&] {
    close_handle(stdin_read);
    close_handle(stdout_write);
    close_handle(stderr_dup);
  };
  if (!::CreatePipe(&stdin_read, &impl_->stdin_write, &inherit, 0) ||
      !::CreatePipe(&impl_->stdout_read, &stdout_write, &inherit, 0)) {
    cleanup();
    close_handle(impl_->stdin_write);
    close_handle(impl_->stdout_read);
    throw os_error("CreatePipe");
  }
  // Our ends must not leak into the child, or its output would never end.
  ::SetHandleInformation(impl_->stdin_write, HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(impl_->stdout_read, HANDLE_FLAG_INHERIT, 0);
  const HANDLE err = merge_stderr ? stdout_write : ::GetStdHandle(STD_ERROR_HANDLE);
  if (err != nullptr && err != INVALID_HANDLE_VALUE) {
    ::DuplicateHandle(::GetCurrentProcess(), err, ::GetCurrentProcess(), &stderr_dup, 0, TRUE,
                      DUPLICATE_SAME_ACCESS);
  }

  const std::string& path = program;
  std::string command_line = quote_argument(path);
  for (const std::string& arg : args) {
    command_line += ' ';
    command_line += quote_argument(arg);
  }

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = stdin_read;
  startup.hStdOutput = stdout_write;
  startup.hStdError = stderr_dup;
  const BOOL started =
      start_process(path.c_str(), command_line.data(), TRUE, &startup, &impl_->process);
  const DWORD error = ::GetLastError();
  cleanup();
  if (!started) {
    close_handle(impl_->stdin_write);
    close_handle(impl_->stdout_read);
    ::SetLastError(error);
    throw os_error("CreateProcessA " + path);
  }
}

ChildProcess::~ChildProcess() {
  if (impl_->process.hProcess != nullptr) {
    if (::WaitForSingleObject(impl_->process.hProcess, 0) != WAIT_OBJECT_0) {
      ::TerminateProcess(impl_->process.hProcess, 1);
    }
    ::WaitForSingleObject(impl_->process.hProcess, 10000);
  }
  close_handle(impl_->stdin_write);
  close_handle(impl_->stdout_read);
  close_handle(impl_->process.hThread);
  close_handle(impl_->process.hProcess);
}

std::optional<std::string> ChildProcess::read_line(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const std::size_t newline = impl_->pending.find('\n');
    if (newline != std::string::npos) {
      std::string line = impl_->pending.substr(0, newline);
      impl_->pending.erase(0, newline + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    if (impl_->output_ended) {
      if (impl_->pending.empty()) return std::nullopt;
      std::string line;
      line.swap(impl_->pending);
      return line;
    }
    DWORD available = 0;
    if (!::PeekNamedPipe(impl_->stdout_read, nullptr, 0, nullptr, &available, nullptr)) {
      impl_->output_ended = true;  // the child and everything holding its output have gone
      continue;
    }
    if (available > 0) {
      char buffer[4096];
      DWORD got = 0;
      const DWORD want = available < sizeof buffer ? available : sizeof buffer;
      if (!::ReadFile(impl_->stdout_read, buffer, want, &got, nullptr) || got == 0) {
        impl_->output_ended = true;
      } else {
        impl_->pending.append(buffer, got);
      }
      continue;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void ChildProcess::write_line(const std::string& line) {
  const std::string data = line + "\n";
  DWORD written = 0;
  if (impl_->stdin_write == nullptr ||
      !::WriteFile(impl_->stdin_write, data.data(), static_cast<DWORD>(data.size()), &written,
                   nullptr) ||
      written != data.size()) {
    throw os_error("writing to the child");
  }
}

void ChildProcess::close_stdin() { close_handle(impl_->stdin_write); }

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
  const auto ms = timeout.count() < 0 ? 0 : timeout.count();
  const DWORD wait_ms = ms >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(ms);
  if (::WaitForSingleObject(impl_->process.hProcess, wait_ms) != WAIT_OBJECT_0) return std::nullopt;
  DWORD code = 0;
  if (!::GetExitCodeProcess(impl_->process.hProcess, &code)) return std::nullopt;
  return static_cast<int>(code);
}

void ChildProcess::kill() {
  if (::WaitForSingleObject(impl_->process.hProcess, 0) != WAIT_OBJECT_0) {
    ::TerminateProcess(impl_->process.hProcess, 1);
  }
  ::WaitForSingleObject(impl_->process.hProcess, 10000);
}

int ChildProcess::pid() const { return static_cast<int>(impl_->process.dwProcessId); }

bool ChildProcess::killed_by_signal() const { return false; }

namespace {

std::atomic<unsigned> session_counter{0};

// Process ids are reused once a process has gone, so the suffix also carries the time this
// process started.
std::string process_tag() {
  FILETIME created{}, unused{};
  ::GetProcessTimes(::GetCurrentProcess(), &created, &unused, &unused, &unused);
  return std::to_string(::GetCurrentProcessId()) + "." + std::to_string(created.dwLowDateTime);
}

}  // namespace

ScopedSession::ScopedSession() {
  prefix_ = '.';
  prefix_ += process_tag();
  prefix_ += '.';
  prefix_ += std::to_string(session_counter.fetch_add(1) + 1);
}

ScopedSession::~ScopedSession() = default;

std::string ScopedSession::name(const std::string& base) const { return base + prefix_; }

}  // namespace testsupport
