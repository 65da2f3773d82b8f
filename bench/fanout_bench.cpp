// Fan-out benchmark: the time of one send (Channel::send: the send lock, WriteMMF and
// SendMesageAll) to N real receiving processes, next to two baselines run in the same process on
// the same N: a plain Unix-socket fan-out (send to all, collect all replies) and a shared futex
// word woken for all receivers with the last one waking the sender. Prints a table of medians and
// ratios after Google Benchmark's own report (which --benchmark_out writes as JSON).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/receivers.h"
#include "mmf/channel.h"
#include "platform/linux/syscalls.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSends = 5000;  // timed sends per N
constexpr int kWarmUp = 300;  // untimed sends before them
const std::vector<int> kReceiverCounts = {1, 2, 4, 8, 16, 32};
constexpr std::u16string_view kText = u"a line of text of ordinary length";

struct Figures {
  double p50 = 0, p99 = 0, p999 = 0;  // microseconds
};
std::map<std::string, std::map<int, Figures>> results;  // kind -> N -> figures
std::map<int, double> calls_per_send;                   // N -> the sender's system calls

// Counts every system call the transport makes through its table, then makes it.
namespace os = mmfcast::platform::os;
long counted_calls = 0;
os::Syscalls real_calls;

template <auto Member>
struct Counting;
template <typename R, typename... A, R (*os::Syscalls::*Member)(A...)>
struct Counting<Member> {
  static R call(A... args) {
    ++counted_calls;
    return (real_calls.*Member)(args...);
  }
};

void count_system_calls() {
  os::Syscalls& table = os::syscalls();
  real_calls = table;
#define MMFCAST_COUNT(name) table.name = &Counting<&os::Syscalls::name>::call;
  MMFCAST_COUNT(open)
  MMFCAST_COUNT(close)
  MMFCAST_COUNT(read)
  MMFCAST_COUNT(write)
  MMFCAST_COUNT(fcntl)
  MMFCAST_COUNT(fchmod)
  MMFCAST_COUNT(fstat)
  MMFCAST_COUNT(lstat)
  MMFCAST_COUNT(mkdir)
  MMFCAST_COUNT(unlink)
  MMFCAST_COUNT(flock)
  MMFCAST_COUNT(mmap)
  MMFCAST_COUNT(munmap)
  MMFCAST_COUNT(poll)
  MMFCAST_COUNT(socket)
  MMFCAST_COUNT(bind)
  MMFCAST_COUNT(connect)
  MMFCAST_COUNT(listen)
  MMFCAST_COUNT(accept4)
  MMFCAST_COUNT(sendmsg)
  MMFCAST_COUNT(recvmsg)
  MMFCAST_COUNT(pread)
  MMFCAST_COUNT(pwrite)
  MMFCAST_COUNT(getsockopt)
  MMFCAST_COUNT(epoll_create1)
  MMFCAST_COUNT(epoll_ctl)
  MMFCAST_COUNT(epoll_wait)
  MMFCAST_COUNT(fallocate)
  MMFCAST_COUNT(rename)
  MMFCAST_COUNT(chmod)
  MMFCAST_COUNT(opendir)
  MMFCAST_COUNT(readdir)
  MMFCAST_COUNT(closedir)
  MMFCAST_COUNT(memfd_create)
  MMFCAST_COUNT(eventfd)
  MMFCAST_COUNT(inotify_init1)
  MMFCAST_COUNT(inotify_add_watch)
  MMFCAST_COUNT(timerfd_create)
  MMFCAST_COUNT(timerfd_settime)
  MMFCAST_COUNT(getrandom)
#undef MMFCAST_COUNT
}
long listener_rss_kib = -1;

std::string session_dir;

Figures summarise(std::vector<double>& samples) {
  std::sort(samples.begin(), samples.end());
  auto at = [&](double q) {
    const auto i = static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1));
    return samples[i];
  };
  return {at(0.5), at(0.99), at(0.999)};
}

// Runs `one` (one timed send) kWarmUp times untimed and then once per benchmark iteration,
// recording each iteration's time.
template <class F>
void measure(benchmark::State& state, const std::string& kind, F&& one) {
  for (int i = 0; i < kWarmUp; ++i) one();
  std::vector<double> samples;
  samples.reserve(kSends);
  for (auto _ : state) {
    const auto start = Clock::now();
    one();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(seconds);
    samples.push_back(seconds * 1e6);
  }
  Figures f = summarise(samples);
  const int n = static_cast<int>(state.range(0));
  results[kind][n] = f;
  state.counters["p50_us"] = f.p50;
  state.counters["p99_us"] = f.p99;
  state.counters["p999_us"] = f.p999;
}

void BM_MmfFanout(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  std::vector<std::unique_ptr<bench::Receiver>> receivers;
  for (int i = 0; i < n; ++i) receivers.push_back(std::make_unique<bench::Receiver>("mmf", ""));
  mmfcast::Channel channel;
  if (!channel.joined()) {
    state.SkipWithError(("cannot join the channel: " + channel.error()).c_str());
    return;
  }
  const long calls_before = counted_calls;
  measure(state, "mmf", [&] { channel.send(kText); });
  calls_per_send[n] = static_cast<double>(counted_calls - calls_before) / (kWarmUp + kSends);
  listener_rss_kib = std::max(listener_rss_kib, receivers[0]->peak_rss_kib());
}

void BM_SocketFanout(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  std::vector<std::unique_ptr<bench::Receiver>> receivers;
  std::vector<pollfd> peers;
  for (int i = 0; i < n; ++i) {
    const std::string path = session_dir + "/echo-" + std::to_string(i) + ".sock";
    receivers.push_back(std::make_unique<bench::Receiver>("socket", path));
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      state.SkipWithError("cannot connect to an echo receiver");
      return;
    }
    peers.push_back({fd, POLLIN, 0});
  }
  char frame[64] = "notification";
  measure(state, "socket", [&] {
    for (auto& p : peers) {
      if (send(p.fd, frame, sizeof frame, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof frame))
        std::abort();
    }
    std::vector<std::size_t> got(peers.size(), 0);
    std::size_t complete = 0;
    while (complete < peers.size()) {
      poll(peers.data(), peers.size(), -1);
      for (std::size_t i = 0; i < peers.size(); ++i) {
        if (!(peers[i].revents & POLLIN) || got[i] == sizeof frame) continue;
        char reply[64];
        const ssize_t r = read(peers[i].fd, reply, sizeof frame - got[i]);
        if (r <= 0) std::abort();
        got[i] += static_cast<std::size_t>(r);
        if (got[i] == sizeof frame) ++complete;
      }
    }
  });
  for (auto& p : peers) close(p.fd);
}

void BM_FutexFanout(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::string path = session_dir + "/futex-" + std::to_string(n);
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || ftruncate(fd, sizeof(bench::FutexBlock)) != 0) std::abort();
  auto* block = static_cast<bench::FutexBlock*>(
      mmap(nullptr, sizeof(bench::FutexBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  close(fd);
  block->receivers = static_cast<unsigned>(n);
  std::vector<std::unique_ptr<bench::Receiver>> receivers;
  for (int i = 0; i < n; ++i) receivers.push_back(std::make_unique<bench::Receiver>("futex", path));
  measure(state, "futex", [&] {
    __atomic_store_n(&block->done, 0u, __ATOMIC_RELEASE);
    __atomic_add_fetch(&block->generation, 1u, __ATOMIC_ACQ_REL);
    bench::futex_wake(&block->generation, n);
    for (;;) {
      const unsigned done = __atomic_load_n(&block->done, __ATOMIC_ACQUIRE);
      if (done == static_cast<unsigned>(n)) break;
      bench::futex_wait(&block->done, done);
    }
  });
  receivers.clear();
  munmap(block, sizeof(bench::FutexBlock));
}

// Texts per second that `senders` processes (each sending `per_sender` texts through the
// send lock) push to 4 listeners, measured from the first start to the last exit.
void BM_Throughput(benchmark::State& state) {
  const int senders = static_cast<int>(state.range(0));
  constexpr int kPerSender = 2000;
  std::vector<std::unique_ptr<bench::Receiver>> receivers;
  for (int i = 0; i < 4; ++i) receivers.push_back(std::make_unique<bench::Receiver>("mmf", ""));
  for (auto _ : state) {
    const auto start = Clock::now();
    std::vector<pid_t> pids;
    for (int s = 0; s < senders; ++s) {
      std::string count = std::to_string(kPerSender);
      std::vector<std::string> words = {"mmfcast_bench", "--sender", count};
      std::vector<char*> argv;
      for (auto& w : words) argv.push_back(w.data());
      argv.push_back(nullptr);
      pid_t pid;
      if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), environ) != 0)
        std::abort();
      pids.push_back(pid);
    }
    for (pid_t pid : pids) waitpid(pid, nullptr, 0);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(seconds);
    state.counters["texts_per_s"] = senders * kPerSender / seconds;
  }
}

// A sender as mmfcast-cli send is one: it only sends.
int run_sender(int count) {
  mmfcast::ChannelOptions options;
  options.receive = false;
  mmfcast::Channel channel(options);
  if (!channel.joined()) return 4;
  for (int i = 0; i < count; ++i) channel.send(kText);
  return 0;
}

void print_table() {
  auto& mmf = results["mmf"];
  if (mmf.empty()) return;
  std::printf("\n%-4s %11s %11s %11s %11s %11s %9s %9s %10s\n", "N", "mmf p50 us", "p99", "p99.9",
              "socket p50", "futex p50", "/socket", "/futex", "calls/send");
  for (const auto& [n, m] : mmf) {
    const Figures& s = results["socket"][n];
    const Figures& f = results["futex"][n];
    std::printf("%-4d %11.1f %11.1f %11.1f %11.1f %11.1f %9.2f %9.2f %10.2f\n", n, m.p50, m.p99,
                m.p999, s.p50, f.p50, s.p50 > 0 ? m.p50 / s.p50 : 0.0,
                f.p50 > 0 ? m.p50 / f.p50 : 0.0, calls_per_send[n]);
  }
  std::printf(
      "(calls/send: the sending process's system calls per send, counted through the "
      "transport's system-call table)\n");
  // Per-receiver cost: the marginal median cost of one more receiver, and a least-squares fit.
  const auto& [n1, first] = *mmf.begin();
  std::printf("\nper-receiver cost, (t(N) - t(%d)) / (N - %d), us:", n1, n1);
  for (const auto& [n, m] : mmf) {
    if (n != n1) std::printf("  N=%d %.1f", n, (m.p50 - first.p50) / (n - n1));
  }
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (const auto& [n, m] : mmf) {
    sx += n;
    sy += m.p50;
    sxx += static_cast<double>(n) * n;
    sxy += n * m.p50;
  }
  const double k = static_cast<double>(mmf.size());
  if (mmf.size() > 1) {
    const double slope = (k * sxy - sx * sy) / (k * sxx - sx * sx);
    std::printf("\nfit over N: %.2f us per receiver + %.1f us", slope, (sy - slope * sx) / k);
  }
  std::printf("\nlistener peak RSS: %ld KiB\n", listener_rss_kib);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--receiver") == 0) {
    return bench::run_receiver(argv[2], argc >= 4 ? argv[3] : "");
  }
  if (argc >= 3 && std::strcmp(argv[1], "--sender") == 0) return run_sender(std::atoi(argv[2]));

  // A private session, so the benchmark neither disturbs nor hears running copies.
  char dir_template[] = "/tmp/mmfcast-bench-XXXXXX";
  if (!mkdtemp(dir_template)) return 1;
  session_dir = dir_template;
  setenv("MMFCAST_SESSION_DIR", session_dir.c_str(), 1);
  count_system_calls();

  for (const char* kind : {"BM_MmfFanout", "BM_SocketFanout", "BM_FutexFanout"}) {
    auto* b = benchmark::RegisterBenchmark(kind, std::string(kind) == "BM_MmfFanout" ? BM_MmfFanout
                                                 : std::string(kind) == "BM_SocketFanout"
                                                     ? BM_SocketFanout
                                                     : BM_FutexFanout);
    for (int n : kReceiverCounts) b->Arg(n);
    b->Iterations(kSends)->UseManualTime()->Unit(benchmark::kMicrosecond);
  }
  benchmark::RegisterBenchmark("BM_Throughput", BM_Throughput)
      ->Arg(1)
      ->Arg(4)
      ->Iterations(3)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  print_table();
  std::filesystem::remove_all(session_dir);
  return 0;
}
