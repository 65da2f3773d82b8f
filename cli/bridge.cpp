// bridge (Linux): joins this session's channel and runs an agent (mmfcast-cli.exe bridge-agent)
// under Wine in a prefix, which joins the same channel there; each line heard on one side is
// sent on the other. The agent speaks the frames of bridge_frame.h on its standard input and
// output. Neither side hands a process its own sends, so what the bridge sends on a side never
// comes back to it. An agent that ends, or breaks the protocol, is reported and started again.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/bridge_frame.h"
#include "cli/commands.h"
#include "mmf/channel.h"
#include "platform/platform.h"

extern char** environ;

namespace cli {
namespace {

using bridge::FrameKind;
using bridge::RelayStatus;
using Clock = std::chrono::steady_clock;

// The agent's failures before it said hello, in a row, after which the bridge gives up; and
// the wait before each new start, doubled after each such failure.
constexpr int kMaxFailedStarts = 5;
constexpr std::chrono::milliseconds kFirstRestartDelay{500};
constexpr std::chrono::milliseconds kMaxRestartDelay{30000};
// An agent that has said nothing for this long is asked whether it is there; one that then
// says nothing for three times as long counts as hung. $MMFCAST_BRIDGE_PING_MS sets another
// interval (a slow or heavily loaded machine).
constexpr std::chrono::milliseconds kPingInterval{5000};
// An agent that has not said hello this long after its start counts as hung: Wine making a new
// prefix takes up to a minute here. $MMFCAST_BRIDGE_HELLO_MS sets another deadline.
constexpr std::chrono::milliseconds kHelloDeadline{180000};
// Lines of this session kept while the agent is being started (again).
constexpr std::size_t kMaxWaitingLines = 1024;
// Bytes waiting for an agent that does not read them, past which it counts as hung.
constexpr std::size_t kMaxUnreadBytes = std::size_t{64} << 20;

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

bool executable(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The program found under this name: itself when it holds a slash, else the first match in
// $PATH; "" when there is none.
std::string find_program(const std::string& name) {
  if (name.find('/') != std::string::npos) return executable(name) ? name : std::string();
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    const std::size_t end = std::min(dirs.find(':', start), dirs.size());
    std::string candidate = end > start ? dirs.substr(start, end - start) : ".";
    candidate += '/';
    candidate += name;
    if (executable(candidate)) return candidate;
    start = end + 1;
  }
  return {};
}

// Wine's loader: $MMFCAST_WINE, else wine64 or wine in $PATH, else Debian's
// /usr/lib/wine/wine64. "" and why when none is there.
std::string find_wine(std::string& why) {
  if (const char* chosen = std::getenv("MMFCAST_WINE"); chosen != nullptr && *chosen != '\0') {
    std::string found = find_program(chosen);
    if (found.empty())
      why = std::string("MMFCAST_WINE names ") + chosen + ", which is not a program";
    return found;
  }
  for (const char* name : {"wine64", "wine", "/usr/lib/wine/wine64"}) {
    if (std::string found = find_program(name); !found.empty()) return found;
  }
  why =
      "no Wine found (looked for wine64 and wine in PATH, and /usr/lib/wine/wine64); install "
      "wine64, or name the loader in MMFCAST_WINE";
  return {};
}

// The agent's .exe: as given, else $MMFCAST_BRIDGE_AGENT, else mmfcast-cli.exe next to this
// program. "" and why when it is not there.
std::string find_agent(const std::string& given, std::string& why) {
  std::string path = given;
  if (path.empty()) {
    if (const char* env = std::getenv("MMFCAST_BRIDGE_AGENT"); env != nullptr) path = env;
  }
  if (path.empty()) {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    path = (self.parent_path() / "mmfcast-cli.exe").string();
  }
  struct stat st {};
  const bool found = ::stat(path.c_str(), &st) == 0;
  if (!found || !S_ISREG(st.st_mode)) {
    why = "no Windows agent at " + path + " (" + (found ? "not a file" : std::strerror(errno)) +
          "); give its path with --agent or MMFCAST_BRIDGE_AGENT";
    return {};
  }
  return path;
}

// Why the prefix cannot be used; "" when it looks like a Wine prefix.
std::string prefix_problem(const std::string& prefix) {
  struct stat st {};
  if (::stat(prefix.c_str(), &st) != 0) {
    return "no Wine prefix at " + prefix + ": " + std::strerror(errno);
  }
  if (!S_ISDIR(st.st_mode)) return "no Wine prefix at " + prefix + ": not a directory";
  if (::access((prefix + "/system.reg").c_str(), F_OK) != 0) {
    return prefix +
           " is not a Wine prefix (it has no system.reg); make one with WINEPREFIX=" + prefix +
           " wineboot -i";
  }
  return {};
}

// Takes the prefix's lock for the channel, held until the bridge exits. With at most one bridge
// per prefix and channel, the sessions and prefixes a channel's bridges join form no cycle, so
// no line can come back to the side it came from through other bridges. Fd(-1) and why when
// another bridge holds it, or it cannot be made.
Fd lock_prefix(const std::string& prefix, const std::string& channel_name, std::string& why) {
  std::uint64_t hash = 14695981039346656037u;  // FNV-1a: the file's name stays short and fixed
  for (const char c : channel_name) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211u;
  }
  char name[64];
  std::snprintf(name, sizeof name, "/.mmfcast-bridge-%016llx.lock",
                static_cast<unsigned long long>(hash));
  const std::string path = prefix + name;
  Fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (fd.get() < 0) {
    why = "cannot make the bridge's lock " + path + ": " + std::strerror(errno);
    return Fd();
  }
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    why = errno == EWOULDBLOCK ? "another bridge relays channel " + channel_name + " with " +
                                     prefix + " already (it holds " + path + ")"
                               : "cannot lock " + path + ": " + std::strerror(errno);
    return Fd();
  }
  return fd;
}

// One run of the agent: the process, both ends of its pipes, and what is in flight.
struct AgentRun {
  pid_t pid = -1;
  Fd to;    // its standard input, non-blocking
  Fd from;  // its standard output
  std::string unwritten;
  bridge::FrameReader reader;
  bool ready = false;            // it said hello
  Clock::time_point last_heard;  // when it last wrote a frame
  bool pinged = false;           // asked whether it is there, since it last wrote
  std::size_t written = 0;       // texts given to it
  std::size_t answered = 0;      // ... whose result has come back (results come in order)
  bool broken = false;           // it broke the protocol while a line waited for it
  // The result a line of this session waits for: the `wanted`th, once it has come.
  std::size_t wanted = 0;
  std::optional<bridge::Frame> result;
};

class Bridge {
 public:
  Bridge(const BridgeOptions& options, std::string wine, std::string agent)
      : options_(options), wine_(std::move(wine)), agent_(std::move(agent)) {}

  int run();

 private:
  bool start_agent();
  int stop_agent(bool kill_it);
  void agent_ended(int status, bool told);
  void heard_here(const std::string& text);
  void wait_for_result(std::size_t number);
  void answer_sender(const std::optional<bridge::Frame>& result);
  void relay_to_here();
  bool read_agent();
  bool handle(const bridge::Frame& frame);
  std::string not_answering();
  void flush_to_agent();

  const BridgeOptions& options_;
  std::string wine_;
  std::string agent_;
  std::unique_ptr<mmfcast::Channel> channel_;
  AgentRun run_;
  std::deque<std::string> waiting_;  // lines of this session heard while no agent was ready
  // Lines of the prefix not yet sent here, with the agent that heard them (it awaits a result).
  std::deque<std::pair<pid_t, std::string>> incoming_;
  int failed_starts_ = 0;
  Clock::time_point start_at_ = Clock::now();
  std::chrono::milliseconds ping_interval_ = kPingInterval;
  std::chrono::milliseconds hello_deadline_ = kHelloDeadline;
};

bool Bridge::start_agent() {
  int in_pipe[2];
  int out_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) != 0) {
    fail(std::string("bridge: cannot make the agent's pipes: ") + std::strerror(errno));
    return false;
  }
  Fd in_read(in_pipe[0]);
  Fd in_write(in_pipe[1]);
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
    fail(std::string("bridge: cannot make the agent's pipes: ") + std::strerror(errno));
    return false;
  }
  Fd out_read(out_pipe[0]);
  Fd out_write(out_pipe[1]);

  std::vector<std::string> args = {wine_, agent_, "bridge-agent"};
  if (options_.channel.name) {
    args.insert(args.end(), {"--channel", *options_.channel.name});
  }
  if (options_.channel.area_size != 0) {
    args.insert(args.end(), {"--size", std::to_string(options_.channel.area_size)});
  }
  std::vector<std::string> env = {"WINEPREFIX=" + options_.prefix};
  if (std::getenv("WINEDEBUG") == nullptr) env.emplace_back("WINEDEBUG=-all");
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "WINEPREFIX=", 11) != 0) env.emplace_back(*entry);
  }
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  envp.reserve(env.size() + 1);
  for (std::string& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_read.get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out_write.get(), STDOUT_FILENO);
  pid_t pid = -1;
  const int error = ::posix_spawn(&pid, wine_.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    fail("bridge: cannot start " + wine_ + ": " + std::strerror(error));
    return false;
  }
  ::fcntl(in_write.get(), F_SETFL, O_NONBLOCK);
  run_ = AgentRun{};
  run_.pid = pid;
  run_.last_heard = Clock::now();
  run_.to = std::move(in_write);
  run_.from = std::move(out_read);
  return true;
}

// Ends the agent and gives its wait status: closing its input asks it to leave its channel
// and end; one that does not within two seconds, or that kill_it names, is killed. Waits for
// it, so no process is left behind.
int Bridge::stop_agent(bool kill_it) {
  int status = 0;
  if (run_.pid < 0) return status;
  run_.to.reset();
  if (kill_it) ::kill(run_.pid, SIGKILL);
  for (int waited = 0; ::waitpid(run_.pid, &status, WNOHANG) == 0; ++waited) {
    if (waited == 40) ::kill(run_.pid, SIGKILL);
    ::usleep(50000);
  }
  run_.pid = -1;
  return status;
}

// Reports the agent's end (unless `told` already) and when it is started again.
void Bridge::agent_ended(int status, bool told) {
  std::string how = WIFEXITED(status)     ? "with status " + std::to_string(WEXITSTATUS(status))
                    : WIFSIGNALED(status) ? "by signal " + std::to_string(WTERMSIG(status))
                                          : "";
  if (run_.written > run_.answered) {
    fail("bridge: " + std::to_string(run_.written - run_.answered) +
         " line(s) from this session may not have reached the Wine prefix: the agent ended "
         "before it answered");
  }
  const bool was_ready = run_.ready;
  run_ = AgentRun{};
  if (was_ready) {
    failed_starts_ = 0;
  } else {
    ++failed_starts_;
  }
  auto delay = kFirstRestartDelay;
  for (int i = 1; i < failed_starts_ && delay < kMaxRestartDelay; ++i) delay *= 2;
  delay = std::min(delay, kMaxRestartDelay);
  start_at_ = Clock::now() + delay;
  if (!told && failed_starts_ < kMaxFailedStarts) {
    fail("bridge: the Windows agent ended " + how + "; starting it again");
  }
}

// A line of this session: to the agent, for the prefix. It runs inside the sender's delivery
// and waits for the agent's result, so that the sender learns what became of the line there.
// While no agent is ready (it is being started again) the line waits for the next one's hello,
// up to kMaxWaitingLines; past that the oldest waiting line is dropped and said so.
void Bridge::heard_here(const std::string& text) {
  if (run_.ready) {
    run_.unwritten += bridge::encode(FrameKind::kText, text);
    wait_for_result(++run_.written);
    return;
  }
  if (waiting_.size() == kMaxWaitingLines) {
    waiting_.pop_front();
    fail("bridge: a line from this session was not relayed: " + std::to_string(kMaxWaitingLines) +
         " lines already wait for the Windows agent to start");
  }
  waiting_.push_back(text);
}

// Writes to the agent and handles what it writes until the result of the number-th text has
// come, relay_wait_ms() have passed, or the agent ended or broke the protocol (the main loop then
// starts it again); answers the sender.
void Bridge::wait_for_result(std::size_t number) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(relay_wait_ms());
  run_.wanted = number;
  run_.result.reset();
  while (!run_.result && !run_.broken && run_.from.get() >= 0) {
    flush_to_agent();
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    pollfd fds[2] = {{run_.from.get(), POLLIN, 0},
                     {run_.unwritten.empty() ? -1 : run_.to.get(), POLLOUT, 0}};
    if (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    if (fds[0].revents != 0 && !read_agent()) run_.broken = true;
  }
  run_.wanted = 0;
  answer_sender(std::exchange(run_.result, std::nullopt));
}

void Bridge::answer_sender(const std::optional<bridge::Frame>& result) {
  const std::string across = "the bridge to Wine prefix " + options_.prefix;
  if (!result) {
    channel_->answer(
        1, across + (run_.broken || run_.from.get() < 0 ? " lost its agent before it answered"
                                                        : " did not answer in time"));
    return;
  }
  RelayStatus status{};
  std::string reason;
  std::uint32_t unreached = 0;
  bridge::parse_result(result->payload, status, reason, unreached);
  if (status == RelayStatus::kNotAllReached) {
    channel_->answer(unreached,
                     std::to_string(unreached) + " not reached beyond " + across + ": " + reason);
  } else if (status != RelayStatus::kSent) {
    channel_->answer(1, across + " could not carry it: " + reason);
  }
}

// Sends here the lines the agent heard in the prefix, in order, and gives the agent that heard
// each what became of it. Never runs inside a delivery: a line of this session that waits for
// the agent keeps those that come meanwhile for it.
void Bridge::relay_to_here() {
  while (!incoming_.empty()) {
    const auto [heard_by, text] = std::move(incoming_.front());
    incoming_.pop_front();
    const mmfcast::SendResult sent = channel_->send(text);
    std::string result;
    switch (sent) {
      case mmfcast::SendResult::kSent:
        result = bridge::result_frame(RelayStatus::kSent, "");
        break;
      case mmfcast::SendResult::kTooLong: {
        const std::string why = "longer than the " + std::to_string(channel_->max_text_bytes()) +
                                " bytes this session's area holds";
        fail("bridge: a line from the Wine prefix was not relayed: " + why);
        result = bridge::result_frame(RelayStatus::kTooLong, why);
        break;
      }
      case mmfcast::SendResult::kNotAllReached:
        fail("bridge: a line from the Wine prefix: " + channel_->error());
        result = bridge::result_frame(
            RelayStatus::kNotAllReached, channel_->error(),
            static_cast<std::uint32_t>(std::max(mmfcast::platform::broadcast_unreached(), 1)));
        break;
      case mmfcast::SendResult::kFailed:
        fail("bridge: a line from the Wine prefix: " + channel_->error());
        result = bridge::result_frame(RelayStatus::kFailed, channel_->error());
        break;
    }
    // An agent started since has no text waiting for this result.
    if (run_.pid == heard_by && run_.ready) run_.unwritten += result;
  }
}

void Bridge::flush_to_agent() {
  while (!run_.unwritten.empty() && run_.to.get() >= 0) {
    const ssize_t wrote = ::write(run_.to.get(), run_.unwritten.data(), run_.unwritten.size());
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return;  // full, or it ended: its end is seen by waitpid
    run_.unwritten.erase(0, static_cast<std::size_t>(wrote));
  }
}

// Asks a ready agent that has been quiet whether it is there; why it counts as hung once it
// has not answered in time, or has not said hello in time; empty while it is fine.
std::string Bridge::not_answering() {
  const auto quiet = Clock::now() - run_.last_heard;
  if (!run_.ready) {
    if (run_.pid < 0 || quiet < hello_deadline_) return "";
    return "the Windows agent has not said hello " + std::to_string(hello_deadline_.count()) +
           " ms after its start";
  }
  if (!run_.pinged && quiet >= ping_interval_) {
    run_.unwritten += bridge::encode(FrameKind::kPing, "");
    run_.pinged = true;
  }
  if (quiet < 4 * ping_interval_) return "";
  return "the Windows agent has not answered for " + std::to_string(4 * ping_interval_.count()) +
         " ms";
}

bool Bridge::handle(const bridge::Frame& frame) {
  run_.last_heard = Clock::now();
  run_.pinged = false;
  switch (frame.kind) {
    case FrameKind::kPing:
      return run_.ready;
    case FrameKind::kHello: {
      std::uint32_t max_text = 0;
      std::string code_page;
      if (run_.ready || !bridge::parse_hello(frame.payload, max_text, code_page)) return false;
      run_.ready = true;
      fail("bridge: relaying " + channel_->options().name + " between this session and " +
           options_.prefix + " (" + code_page + ", " + std::to_string(max_text) +
           " bytes a line; agent process " + std::to_string(run_.pid) + ")");
      // Their senders were answered long ago: what becomes of them is only said here.
      for (; !waiting_.empty(); waiting_.pop_front()) {
        run_.unwritten += bridge::encode(FrameKind::kText, waiting_.front());
        ++run_.written;
      }
      return true;
    }
    case FrameKind::kText:
      if (!run_.ready) return false;
      incoming_.emplace_back(run_.pid, frame.payload);
      return true;
    case FrameKind::kResult: {
      RelayStatus status{};
      std::string reason;
      std::uint32_t unreached = 0;
      if (run_.written == run_.answered ||
          !bridge::parse_result(frame.payload, status, reason, unreached)) {
        return false;
      }
      if (++run_.answered == run_.wanted) run_.result = frame;
      if (status == RelayStatus::kNotAllReached) {
        fail("bridge: a line relayed into the Wine prefix: " + reason);
      } else if (status != RelayStatus::kSent) {
        fail("bridge: a line from this session was not relayed into the Wine prefix: " + reason);
      }
      return true;
    }
  }
  return false;
}

// Reads what the agent wrote and handles each whole frame. False when it broke the protocol.
bool Bridge::read_agent() {
  char chunk[65536];
  const ssize_t got = ::read(run_.from.get(), chunk, sizeof chunk);
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  if (got <= 0) {
    // Its end is taken from waitpid: Wine's desktop process may hold the pipe a while longer.
    run_.from.reset();
    return true;
  }
  run_.reader.feed(std::string_view(chunk, static_cast<std::size_t>(got)));
  bridge::Frame frame;
  std::string why;
  for (;;) {
    const auto next = run_.reader.next(frame, why);
    if (next == bridge::FrameReader::Next::kNeedMore) return true;
    if (next == bridge::FrameReader::Next::kBad || !handle(frame)) {
      if (why.empty()) why = "a frame out of place, or malformed";
      fail("bridge: the Windows agent broke the protocol (" + why + "); starting it again");
      return false;
    }
  }
}

int Bridge::run() {
  if (const int code = join_for_relay(options_.channel, channel_); code != kOk) return code;
  channel_->on_receive([this](const std::string& text) { heard_here(text); });
  for (const auto& [name, setting] : {std::pair{"MMFCAST_BRIDGE_PING_MS", &ping_interval_},
                                      std::pair{"MMFCAST_BRIDGE_HELLO_MS", &hello_deadline_}}) {
    const char* value = std::getenv(name);
    const long ms = value != nullptr ? std::strtol(value, nullptr, 10) : 0;
    if (ms > 0 && ms <= 3600000) *setting = std::chrono::milliseconds(ms);
  }

  int code = kOk;
  while (code == kOk) {
    if (const int signal = stop_signal(); signal != 0) {
      code = 128 + signal;
      break;
    }
    if (run_.pid < 0 && failed_starts_ >= kMaxFailedStarts) {
      fail("bridge: the Windows agent ended " + std::to_string(failed_starts_) +
           " times in a row before it joined its channel; giving up");
      code = kBridgeCannotStart;
      break;
    }
    if (run_.pid < 0 && Clock::now() >= start_at_) {
      if (!start_agent()) {
        code = kBridgeCannotStart;
        break;
      }
    }
    pollfd fds[3] = {{channel_->event_fd(), POLLIN, 0},
                     {run_.from.get(), POLLIN, 0},
                     {run_.unwritten.empty() ? -1 : run_.to.get(), POLLOUT, 0}};
    if (::poll(fds, 3, 100) < 0 && errno != EINTR) {
      fail(std::string("bridge: cannot wait: ") + std::strerror(errno));
      code = kInternalError;
      break;
    }
    if (fds[0].revents != 0 && channel_->dispatch(0) < 0) {
      fail(channel_->error());
      code = kNoSession;
      break;
    }
    if (fds[2].revents != 0 || !run_.unwritten.empty()) flush_to_agent();
    if (run_.broken || (fds[1].revents != 0 && !read_agent())) {
      agent_ended(stop_agent(true), true);
      continue;
    }
    relay_to_here();
    if (run_.broken) {
      agent_ended(stop_agent(true), true);
      continue;
    }
    if (const std::string why = not_answering(); !why.empty()) {
      fail("bridge: " + why + "; starting it again");
      agent_ended(stop_agent(true), true);
      continue;
    }
    if (run_.unwritten.size() > kMaxUnreadBytes) {
      fail("bridge: the Windows agent reads nothing; starting it again");
      agent_ended(stop_agent(true), true);
      continue;
    }
    int status = 0;
    if (run_.pid >= 0 && ::waitpid(run_.pid, &status, WNOHANG) == run_.pid) {
      if (run_.from.get() >= 0) {
        // What it wrote before it ended is handled first.
        while (run_.from.get() >= 0 && ::poll(fds + 1, 1, 0) > 0 && read_agent()) {
        }
      }
      run_.pid = -1;
      agent_ended(status, false);
    }
  }
  stop_agent(false);
  if (!waiting_.empty()) {
    fail("bridge: " + std::to_string(waiting_.size()) +
         " line(s) from this session were not relayed: no Windows agent was ready for them");
  }
  return code;
}

}  // namespace

int run_bridge(const BridgeOptions& given) {
  // Wine takes only an absolute prefix.
  BridgeOptions options = given;
  std::error_code error;
  if (const auto absolute = std::filesystem::absolute(given.prefix, error); !error) {
    options.prefix = absolute.lexically_normal().string();
  }
  if (const std::string why = prefix_problem(options.prefix); !why.empty()) {
    fail("bridge: " + why);
    return kBridgeCannotStart;
  }
  std::string why;
  const Fd lock =
      lock_prefix(options.prefix, options.channel.name.value_or(mmfcast::kDesktopChannelName), why);
  if (lock.get() < 0) {
    fail("bridge: " + why);
    return kBridgeCannotStart;
  }
  std::string wine = find_wine(why);
  if (wine.empty()) {
    fail("bridge: " + why);
    return kBridgeCannotStart;
  }
  std::string agent = find_agent(options.agent, why);
  if (agent.empty()) {
    fail("bridge: " + why);
    return kBridgeCannotStart;
  }
  catch_stop_signals();
  Bridge bridge(options, std::move(wine), std::move(agent));
  return bridge.run();
}

}  // namespace cli
