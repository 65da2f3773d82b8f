// Bridge benchmark: the median time of one send from a Channel to one listener inside its own
// session, next to the same send to one listener on the far side of `mmfcast-cli bridge`, in one
// run. A send waits for every copy it reaches, so the difference is what the hop costs a sender.
// The far side is a stand-in for a Wine prefix (a second session directory, whose "loader" runs
// the Linux mmfcast-cli as the agent), or a real prefix with --wine PREFIX --agent EXE. With
// --mqtt it is a second session joined through a mosquitto of the benchmark's own on 127.0.0.1
// (bridge --mqtt in each session); a send there waits for the broker's PUBACK, and the time
// until the far listener prints the line is given too.
//   mmfcast_bridge_bench [--sends N] [--wine PREFIX --agent EXE | --mqtt]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "mmf/channel.h"
#include "tests/support/child_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using testsupport::ChildProcess;
namespace fs = std::filesystem;

// Starts a program with `env` added to its environment; its standard error joins its output.
std::unique_ptr<ChildProcess> start(const std::vector<std::string>& words,
                                    const std::vector<std::string>& env = {}) {
  std::vector<std::string> args(env);
  args.insert(args.end(), words.begin(), words.end());
  return std::make_unique<ChildProcess>("/usr/bin/env", args, true);
}

// Sends until the listener prints a line, so that it is known to listen; then empties its pipe.
bool wait_listening(mmfcast::Channel& sender, ChildProcess& listener) {
  for (int i = 0; i < 240; ++i) {
    sender.send("probe");
    if (listener.read_line(500ms)) {
      while (listener.read_line(200ms)) {
      }
      return true;
    }
  }
  return false;
}

double median(std::vector<double> times) {
  if (times.empty()) return 0;
  std::nth_element(times.begin(), times.begin() + static_cast<long>(times.size() / 2), times.end());
  return times[times.size() / 2];
}

// The median of `sends` sends' times, in microseconds; the listener's output is read between
// sends so its pipe never fills. With `heard`, each send's line is waited for at the listener
// and the median time from the send's start until it printed the line is put there.
double median_send_us(mmfcast::Channel& sender, ChildProcess& listener, int sends,
                      double* heard = nullptr) {
  std::vector<double> times, arrivals;
  for (int i = 0; i < sends; ++i) {
    const std::string line = "line " + std::to_string(i);
    const auto start = Clock::now();
    if (sender.send(line) != mmfcast::SendResult::kSent) {
      std::fprintf(stderr, "send %d: %s\n", i, sender.error().c_str());
    }
    times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    if (heard == nullptr) {
      listener.read_line(0ms);
      continue;
    }
    while (const auto got = listener.read_line(5000ms)) {
      if (*got != line) continue;
      arrivals.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
      break;
    }
  }
  if (heard != nullptr) *heard = median(arrivals);
  return median(times);
}

// A free TCP port on 127.0.0.1, or 0.
int free_port() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
                     getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
  close(fd);
  return bound ? ntohs(address.sin_port) : 0;
}

bool accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

// Waits until a bridge says it relays; false if it never does.
bool relaying(ChildProcess& bridge) {
  for (;;) {
    const auto line = bridge.read_line(120s);
    if (!line) return false;
    if (line->find("relaying") != std::string::npos) return true;
  }
}

// The send's median across two sessions bridged through a mosquitto of its own, and the
// median until the far listener printed the line; 0 on failure.
int run_mqtt(const std::string& cli, const fs::path& dir, mmfcast::Channel& sender,
             const std::string& here, int sends, double& across, double& heard) {
  const int port = free_port();
  const passwd* self = getpwuid(geteuid());  // as root, mosquitto would become user mosquitto
  std::ofstream(dir / "mosquitto.conf")
      << "listener " << port << " 127.0.0.1\nallow_anonymous true\nset_tcp_nodelay true\n"
      << (self != nullptr ? "user " + std::string(self->pw_name) + "\n" : "");
  const auto broker = start({"/usr/sbin/mosquitto", "-c", (dir / "mosquitto.conf").string()});
  for (int i = 0; i < 1000 && !accepts(port); ++i) usleep(10000);
  const std::string url = "mqtt://127.0.0.1:" + std::to_string(port);
  const std::string far = (dir / "far").string();
  fs::create_directories(far);
  fs::permissions(far, fs::perms::owner_all);
  const auto near_bridge = start({cli, "bridge", "--mqtt", url, "--session-dir", here});
  const auto far_bridge = start({cli, "bridge", "--mqtt", url, "--session-dir", far});
  if (!relaying(*near_bridge) || !relaying(*far_bridge)) return 0;
  const auto far_listener = start({cli, "listen", "--session-dir", far});
  if (!wait_listening(sender, *far_listener)) return 0;
  across = median_send_us(sender, *far_listener, sends, &heard);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  int sends = 500;
  std::string wine_prefix, agent;
  bool mqtt = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--mqtt") {
      mqtt = true;
      continue;
    }
    if (i + 1 >= argc) break;
    if (arg == "--sends") sends = std::max(1, std::atoi(argv[i + 1]));
    if (arg == "--wine") wine_prefix = argv[i + 1];
    if (arg == "--agent") agent = argv[i + 1];
    ++i;
  }
  const std::string cli = MMFCAST_CLI_PATH;
  char dir_template[] = "/tmp/mmfcast-bridge-bench.XXXXXX";
  if (mkdtemp(dir_template) == nullptr) return 1;
  const fs::path dir = dir_template;
  const std::string here = (dir / "here").string();
  fs::create_directories(here);
  fs::permissions(here, fs::perms::owner_all);

  std::vector<std::string> bridge_env;
  std::vector<std::string> far_listen;
  if (mqtt) {                        // run_mqtt makes the far side
  } else if (wine_prefix.empty()) {  // a second session stands for the prefix
    wine_prefix = (dir / "prefix").string();
    fs::create_directories(wine_prefix + "/session");
    fs::permissions(wine_prefix + "/session", fs::perms::owner_all);
    std::ofstream(wine_prefix + "/system.reg") << "";
    const std::string loader = wine_prefix + "/loader.sh";
    std::ofstream(loader) << "#!/bin/sh\nMMFCAST_SESSION_DIR=\"$WINEPREFIX/session\" exec \"$@\"\n";
    fs::permissions(loader, fs::perms::owner_all);
    bridge_env.push_back("MMFCAST_WINE=" + loader);
    agent = cli;
    far_listen = {cli, "listen", "--session-dir", wine_prefix + "/session"};
  } else {
    far_listen = {"/usr/lib/wine/wine64", agent, "listen"};
  }

  mmfcast::ChannelOptions options;
  options.session_dir = here;
  options.receive = false;
  mmfcast::Channel sender(options);
  if (!sender.joined()) {
    std::fprintf(stderr, "cannot join: %s\n", sender.error().c_str());
    return 1;
  }

  double inside = 0, across = 0;
  {
    const auto near_listener = start({cli, "listen", "--session-dir", here});
    if (!wait_listening(sender, *near_listener)) return 1;
    inside = median_send_us(sender, *near_listener, sends);
  }
  if (mqtt) {
    double heard = 0;
    if (run_mqtt(cli, dir, sender, here, sends, across, heard) == 0) return 1;
    std::printf(
        "median send, %d sends each: inside a session %.1f us, across an MQTT broker %.1f us "
        "(until the far listener printed it: %.1f us), ratio %.2f\n",
        sends, inside, across, heard, across / inside);
    fs::remove_all(dir);
    return 0;
  }
  {
    const auto bridge = start({cli, "bridge", "--wine", wine_prefix, "--agent", agent}, bridge_env);
    if (!relaying(*bridge)) return 1;
    const auto far_listener = start(far_listen, {"WINEPREFIX=" + wine_prefix, "WINEDEBUG=-all"});
    if (!wait_listening(sender, *far_listener)) return 1;
    across = median_send_us(sender, *far_listener, sends);
  }
  std::printf(
      "median send, %d sends each: inside a session %.1f us, across the bridge %.1f us, "
      "ratio %.2f\n",
      sends, inside, across, across / inside);
  fs::remove_all(dir);
  return 0;
}
