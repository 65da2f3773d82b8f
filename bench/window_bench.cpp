// Window benchmark: how long a sender takes to send N texts to two real Qt windows (the same
// MainWindow as the program, drawn offscreen) next to two `mmfcast-cli listen` processes, and
// how much memory a window holds after N and 2N texts. A send waits for every receiver to take
// the text, so a window that handles a text slowly holds every sender up; this shows by how
// much. Each kind runs alone in a private session directory.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "mmf/channel.h"
#include "ui/qt/main_window.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

void say(const char* line) {
  std::fputs(line, stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// One window, as the program shows it; says "got" when its first text arrives.
int window_receiver(int argc, char** argv) {
  QApplication app(argc, argv);
  ui::MainWindow window;
  bool first = true;
  window.on_text1_appended = [&](std::u16string_view) {
    if (first) say("got");
    first = false;
  };
  window.load();
  window.show();
  return app.exec();
}

// A process that receives texts, whose standard output a thread counts the lines of.
class Receiver {
 public:
  explicit Receiver(std::vector<std::string> words) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) throw std::runtime_error("cannot start " + words[0]);
    fd_ = out[0];
    reader_ = std::thread([this] {
      char chunk[65536];
      ssize_t got;
      while ((got = read(fd_, chunk, sizeof chunk)) > 0) {
        for (ssize_t i = 0; i < got; ++i) lines_ += chunk[i] == '\n' ? 1 : 0;
      }
    });
  }
  ~Receiver() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    reader_.join();
    close(fd_);
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  long lines() const { return lines_; }
  long rss_kib() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string key;
    long value = -1;
    while (status >> key) {
      if (key == "VmRSS:") {
        status >> value;
        break;
      }
    }
    return value;
  }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  std::thread reader_;
  std::atomic<long> lines_{0};
};

struct Run {
  double seconds_first = 0, seconds_second = 0;
  long rss_start = 0, rss_first = 0, rss_second = 0;  // KiB, the receivers' largest
};

// Starts the receivers, sends probes until each has shown one, then times lines texts twice.
Run run(const std::vector<std::vector<std::string>>& commands, int lines) {
  std::vector<std::unique_ptr<Receiver>> receivers;
  for (const auto& words : commands) receivers.push_back(std::make_unique<Receiver>(words));
  mmfcast::ChannelOptions options;
  options.receive = false;
  mmfcast::Channel channel(options);
  if (!channel.joined()) throw std::runtime_error(channel.error());
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  for (;;) {
    bool all = true;
    for (const auto& r : receivers) all = all && r->lines() > 0;
    if (all) break;
    if (Clock::now() > deadline) throw std::runtime_error("a receiver did not start");
    channel.send("probe");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  auto largest_rss = [&] {
    long most = 0;
    for (const auto& r : receivers) most = std::max(most, r->rss_kib());
    return most;
  };
  Run result;
  result.rss_start = largest_rss();
  for (int round = 0; round < 2; ++round) {
    const auto start = Clock::now();
    for (int i = 0; i < lines; ++i) {
      const std::string text = "line " + std::to_string(i) +
                               " of the window benchmark, of an "
                               "ordinary length for a line of text";
      if (channel.send(text) != mmfcast::SendResult::kSent) {
        throw std::runtime_error("a send did not reach every receiver: " + channel.error());
      }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the windows show the last
    (round == 0 ? result.seconds_first : result.seconds_second) = seconds;
    (round == 0 ? result.rss_first : result.rss_second) = largest_rss();
  }
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--receiver") == 0) return window_receiver(argc, argv);
  int lines = 20000;
  int count = 2;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--lines") == 0) lines = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--receivers") == 0) count = std::atoi(argv[i + 1]);
  }
  if (lines < 1 || count < 1) {
    std::fputs("usage: mmfcast_window_bench [--lines N] [--receivers K]\n", stderr);
    return 2;
  }
  char dir[] = "/tmp/mmfcast-window-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  setenv("MMFCAST_SESSION_DIR", dir, 1);
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  std::vector<std::vector<std::string>> cli, windows;
  for (int i = 0; i < count; ++i) {
    cli.push_back({MMFCAST_CLI_PATH, "listen"});
    windows.push_back({"/proc/self/exe", "--receiver"});
  }
  int status = 0;
  try {
    const Run c = run(cli, lines);
    const Run w = run(windows, lines);
    std::printf("%d texts to %d receivers, seconds (first %d, then %d more):\n", lines, count,
                lines, lines);
    std::printf("  mmfcast-cli listen: %.2f, %.2f; peak RSS %.1f MiB\n", c.seconds_first,
                c.seconds_second, static_cast<double>(c.rss_second) / 1024);
    std::printf("  window:             %.2f, %.2f; RSS %.1f -> %.1f -> %.1f MiB\n", w.seconds_first,
                w.seconds_second, static_cast<double>(w.rss_start) / 1024,
                static_cast<double>(w.rss_first) / 1024, static_cast<double>(w.rss_second) / 1024);
    std::printf("  window / cli: %.2f, %.2f\n", w.seconds_first / c.seconds_first,
                w.seconds_second / c.seconds_second);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mmfcast_window_bench: %s\n", e.what());
    status = 1;
  }
  std::filesystem::remove_all(dir);
  return status;
}
