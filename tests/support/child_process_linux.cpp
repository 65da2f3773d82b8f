// ChildProcess and ScopedSession on POSIX: the helper is started with posix_spawn and talks
// through two pipes; a session is a fresh 0700 directory named in MMFCAST_SESSION_DIR, which
// the children inherit, so tests running side by side never see each other's mappings.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "platform/linux/transport/internal.h"
#include "tests/support/child_process.h"

extern char** environ;

namespace testsupport {
namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

std::string child_path() {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) throw std::runtime_error("cannot find the running program: " + ec.message());
  return (self.parent_path() / "mmfcast_child").string();
}

struct ChildProcess::Impl {
  pid_t pid = -1;
  int to_child = -1;    // the child's standard input
  int from_child = -1;  // the child's standard output
  std::string pending;  // output read but not yet returned as a line
  bool eof = false;
  std::optional<int> status;
  bool signalled = false;

  bool reap(int options) {
    if (status) return true;
    int raw = 0;
    const pid_t got =
        mmfcast::platform::os::retry_eintr([&] { return ::waitpid(pid, &raw, options); });
    if (got != pid) return false;
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    signalled = WIFSIGNALED(raw);
    return true;
  }
};

ChildProcess::ChildProcess(const std::vector<std::string>& args)
    : ChildProcess(child_path(), args, false) {}

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& args,
                           bool merge_stderr)
    : impl_(std::make_unique<Impl>()) {
  // Writing to a child that has ended must show as a failed write, not end the test.
  ::signal(SIGPIPE, SIG_IGN);
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) fail("pipe");
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    fail("pipe");
  }
  std::vector<std::string> argv_storage;
  argv_storage.push_back(path);
  argv_storage.insert(argv_storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_storage) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  if (merge_stderr) posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  // A group of its own: a test that stops the child must not leave a stopped member in the
  // runner's group, which the kernel hangs up when that group is orphaned.
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  const int rc = ::posix_spawn(&impl_->pid, path.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(in[0]);
  ::close(out[1]);
  if (rc != 0) {
    ::close(in[1]);
    ::close(out[0]);
    errno = rc;
    fail("cannot start " + path);
  }
  impl_->to_child = in[1];
  impl_->from_child = out[0];
}

ChildProcess::~ChildProcess() {
  close_fd(impl_->to_child);
  close_fd(impl_->from_child);
  if (!impl_->status) {
    ::kill(impl_->pid, SIGKILL);
    impl_->reap(0);
  }
}

std::optional<std::string> ChildProcess::read_line(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto newline = impl_->pending.find('\n');
    if (newline != std::string::npos) {
      std::string line = impl_->pending.substr(0, newline);
      impl_->pending.erase(0, newline + 1);
      return line;
    }
    if (impl_->eof || impl_->from_child < 0) return std::nullopt;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    // Past the deadline the pipe is still looked at once, so a short timeout reads what is there.
    pollfd p{impl_->from_child, POLLIN, 0};
    const int ready = ::poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    char buf[4096];
    const ssize_t got = mmfcast::platform::os::retry_eintr(
        [&] { return ::read(impl_->from_child, buf, sizeof buf); });
    if (got <= 0) {
      impl_->eof = true;
    } else {
      impl_->pending.append(buf, static_cast<std::size_t>(got));
    }
  }
}

void ChildProcess::write_line(const std::string& line) {
  if (impl_->to_child < 0) return;
  const std::string data = line + "\n";
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t put = mmfcast::platform::os::retry_eintr(
        [&] { return ::write(impl_->to_child, data.data() + done, data.size() - done); });
    if (put <= 0) return;  // the child has gone; its output or exit status tells the test
    done += static_cast<std::size_t>(put);
  }
}

void ChildProcess::close_stdin() { close_fd(impl_->to_child); }

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!impl_->reap(WNOHANG)) {
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return impl_->status;
}

void ChildProcess::kill() {
  if (!impl_->status) ::kill(impl_->pid, SIGKILL);
}

int ChildProcess::pid() const { return impl_->pid; }

bool ChildProcess::killed_by_signal() const { return impl_->signalled; }

ScopedSession::ScopedSession() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/mmfcast-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) fail("mkdtemp " + pattern);
  dir_ = pattern;
  if (const char* old = std::getenv("MMFCAST_SESSION_DIR")) saved_env_ = old;
  ::setenv("MMFCAST_SESSION_DIR", dir_.c_str(), 1);
}

ScopedSession::~ScopedSession() {
  if (saved_env_) {
    ::setenv("MMFCAST_SESSION_DIR", saved_env_->c_str(), 1);
  } else {
    ::unsetenv("MMFCAST_SESSION_DIR");
  }
  std::error_code ec;
  // A test may have left the directory without write permission for its owner.
  std::filesystem::permissions(dir_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(dir_, ec);
}

std::string ScopedSession::name(const std::string& base) const { return base; }

}  // namespace testsupport
