// Fan-out benchmark: the time of one send (Channel::send: the send lock, WriteMMF and
// SendMesageAll) to N real receiving processes, next to two baselines run in the same process on
// the same N: a plain Unix-socket fan-out (send to all, collect all replies), a shared futex
// word woken for all receivers with the last one waking the sender, and the floor for a receiver
// that waits in an event loop: one eventfd that every receiver watches in its own epoll set,
// the text on a shared page, the answers counted on a shared word, the last one writing the
// sender's eventfd. The four take turns in blocks. Prints a table of medians and ratios after
// Google Benchmark's own report (which
// --benchmark_out writes as JSON). Run under `taskset -c 0` it measures the CPU each send costs
// without the wait for an idle CPU to wake; `taskset -c 0 mmfcast_bench --receivers-on=1` puts
// every receiver of every kind on the other CPU.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
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
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bench/receivers.h"
#include "mmf/channel.h"
#include "platform/linux/transport/syscalls.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSends = 5000;  // timed sends per N
constexpr int kWarmUp = 300;  // untimed sends before them
constexpr int kBlock = 100;   // sends of one kind before the next kind's turn
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

// One kind of fan-out on N receivers: a send to all of them that returns once all have
// answered, and the timed samples of such sends.
struct Fanout {
  std::string kind;
  std::function<void()> send;
  std::vector<double> samples;
};

// A plain Unix-socket fan-out: a frame to each echo receiver, then every echo read back.
class SocketFanout {
 public:
  explicit SocketFanout(int n) {
    for (int i = 0; i < n; ++i) {
      const std::string path = session_dir + "/echo-" + std::to_string(i) + ".sock";
      receivers_.push_back(std::make_unique<bench::Receiver>("socket", path));
      const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
      if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("cannot connect to an echo receiver");
      }
      peers_.push_back({fd, POLLIN, 0});
    }
  }
  ~SocketFanout() {
    for (auto& p : peers_) close(p.fd);
  }
  SocketFanout(const SocketFanout&) = delete;
  SocketFanout& operator=(const SocketFanout&) = delete;

  void send() {
    char frame[64] = "notification";
    for (auto& p : peers_) {
      if (::send(p.fd, frame, sizeof frame, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof frame))
        std::abort();
    }
    std::vector<std::size_t> got(peers_.size(), 0);
    std::size_t complete = 0;
    while (complete < peers_.size()) {
      poll(peers_.data(), peers_.size(), -1);
      for (std::size_t i = 0; i < peers_.size(); ++i) {
        if (!(peers_[i].revents & POLLIN) || got[i] == sizeof frame) continue;
        char reply[64];
        const ssize_t r = read(peers_[i].fd, reply, sizeof frame - got[i]);
        if (r <= 0) std::abort();
        got[i] += static_cast<std::size_t>(r);
        if (got[i] == sizeof frame) ++complete;
      }
    }
  }

 private:
  std::vector<std::unique_ptr<bench::Receiver>> receivers_;
  std::vector<pollfd> peers_;
};

// The floor: one shared futex word woken for all receivers, the last of which wakes the sender.
class FutexFanout {
 public:
  explicit FutexFanout(int n) : n_(n) {
    const std::string path = session_dir + "/futex-" + std::to_string(n);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ftruncate(fd, sizeof(bench::FutexBlock)) != 0) std::abort();
    block_ = static_cast<bench::FutexBlock*>(
        mmap(nullptr, sizeof(bench::FutexBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    close(fd);
    block_->receivers = static_cast<unsigned>(n);
    for (int i = 0; i < n; ++i) {
      receivers_.push_back(std::make_unique<bench::Receiver>("futex", path));
    }
  }
  ~FutexFanout() {
    receivers_.clear();
    munmap(block_, sizeof(bench::FutexBlock));
  }
  FutexFanout(const FutexFanout&) = delete;
  FutexFanout& operator=(const FutexFanout&) = delete;

  void send() {
    __atomic_store_n(&block_->done, 0u, __ATOMIC_RELEASE);
    __atomic_add_fetch(&block_->generation, 1u, __ATOMIC_ACQ_REL);
    bench::futex_wake(&block_->generation, n_);
    for (;;) {
      const unsigned done = __atomic_load_n(&block_->done, __ATOMIC_ACQUIRE);
      if (done == static_cast<unsigned>(n_)) break;
      bench::futex_wait(&block_->done, done);
    }
  }

 private:
  int n_;
  bench::FutexBlock* block_;
  std::vector<std::unique_ptr<bench::Receiver>> receivers_;
};

// The floor for a receiver in an event loop: the text on a shared page, one write of an eventfd
// that every receiver watches in its own epoll set, and the last receiver's answer written to
// the sender's eventfd.
class EventfdFanout {
 public:
  explicit EventfdFanout(int n) {
    const std::string path = session_dir + "/eventfd-" + std::to_string(n);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ftruncate(fd, sizeof(bench::EventfdBlock)) != 0) std::abort();
    block_ = static_cast<bench::EventfdBlock*>(
        mmap(nullptr, sizeof(bench::EventfdBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    close(fd);
    block_->receivers = static_cast<unsigned>(n);
    // Above the numbers the receivers get them as, so that no dup2 overwrites the other.
    shared_ = high_eventfd();
    answer_ = high_eventfd();
    for (int i = 0; i < n; ++i) {
      receivers_.push_back(
          std::make_unique<bench::Receiver>("eventfd", path, std::vector<int>{shared_, answer_}));
    }
  }
  ~EventfdFanout() {
    receivers_.clear();
    munmap(block_, sizeof(bench::EventfdBlock));
    close(shared_);
    close(answer_);
  }
  EventfdFanout(const EventfdFanout&) = delete;
  EventfdFanout& operator=(const EventfdFanout&) = delete;

  void send() {
    char text[sizeof block_->text];
    const std::size_t length = std::min(sizeof text, kText.size() * sizeof(char16_t));
    std::memcpy(text, kText.data(), length);
    std::memcpy(block_->text, text, length);
    __atomic_store_n(&block_->length, static_cast<unsigned>(length), __ATOMIC_RELEASE);
    __atomic_store_n(&block_->done, 0u, __ATOMIC_RELEASE);
    const std::uint64_t one = 1;
    if (write(shared_, &one, sizeof one) != sizeof one) std::abort();
    std::uint64_t answers = 0;
    if (read(answer_, &answers, sizeof answers) != sizeof answers) std::abort();
  }

 private:
  static int high_eventfd() {
    const int low = eventfd(0, EFD_CLOEXEC);
    const int high = fcntl(low, F_DUPFD_CLOEXEC, 16);
    close(low);
    if (high < 0) std::abort();
    return high;
  }

  int shared_ = -1, answer_ = -1;
  bench::EventfdBlock* block_;
  std::vector<std::unique_ptr<bench::Receiver>> receivers_;
};

// One send through Channel (ours) to N receivers, with the socket fan-out and the futex floor
// and the eventfd floor on N receivers of their own. The four take turns in blocks of kBlock sends,
// so that all of them meet the machine in the same states (which CPU the receivers wake on, how
// fast an idle CPU wakes), and the ratios compare like with like. The benchmark's own time is ours.
void BM_Fanout(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  std::vector<std::unique_ptr<bench::Receiver>> receivers;
  receivers.reserve(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) receivers.push_back(std::make_unique<bench::Receiver>("mmf", ""));
  mmfcast::Channel channel;
  if (!channel.joined()) {
    state.SkipWithError(("cannot join the channel: " + channel.error()).c_str());
    return;
  }
  SocketFanout sockets(n);
  FutexFanout futex(n);
  EventfdFanout eventfd_floor(n);
  long ours_calls = 0;
  std::vector<Fanout> kinds = {{"mmf",
                                [&] {
                                  const long before = counted_calls;
                                  channel.send(kText);
                                  ours_calls += counted_calls - before;
                                },
                                {}},
                               {"socket", [&] { sockets.send(); }, {}},
                               {"futex", [&] { futex.send(); }, {}},
                               {"eventfd", [&] { eventfd_floor.send(); }, {}}};
  for (Fanout& k : kinds) {
    for (int i = 0; i < kWarmUp; ++i) k.send();
    k.samples.reserve(kSends);
  }
  ours_calls = 0;
  int in_block = kBlock;
  for (auto _ : state) {
    // Each iteration is one send of ours; a block of each of the others runs before each block
    // of ours, outside the framework's time.
    if (in_block == kBlock) {
      in_block = 0;
      state.PauseTiming();
      for (std::size_t k = 1; k < kinds.size(); ++k) {
        for (int i = 0; i < kBlock; ++i) {
          const auto start = Clock::now();
          kinds[k].send();
          kinds[k].samples.push_back(
              std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
      }
      state.ResumeTiming();
    }
    const auto start = Clock::now();
    kinds[0].send();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(seconds);
    kinds[0].samples.push_back(seconds * 1e6);
    ++in_block;
  }
  for (Fanout& k : kinds) {
    const Figures f = summarise(k.samples);
    results[k.kind][n] = f;
    state.counters[k.kind + "_p50_us"] = f.p50;
  }
  calls_per_send[n] = static_cast<double>(ours_calls) / kSends;
  listener_rss_kib = std::max(listener_rss_kib, receivers[0]->peak_rss_kib());
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

// The least-squares slope and intercept of the medians over N.
std::pair<double, double> fit(const std::map<int, Figures>& figures) {
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (const auto& [n, f] : figures) {
    sx += n;
    sy += f.p50;
    sxx += static_cast<double>(n) * n;
    sxy += n * f.p50;
  }
  const double k = static_cast<double>(figures.size());
  if (figures.size() < 2) return {0, 0};
  const double slope = (k * sxy - sx * sy) / (k * sxx - sx * sx);
  return {slope, (sy - slope * sx) / k};
}

void print_table() {
  auto& mmf = results["mmf"];
  if (mmf.empty()) return;
  std::printf("\n%-4s %10s %9s %9s %10s %10s %10s %9s %9s %9s %10s\n", "N", "mmf p50 us", "p99",
              "p99.9", "socket p50", "futex p50", "evfd p50", "/socket", "/futex", "/eventfd",
              "calls/send");
  auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
  for (const auto& [n, m] : mmf) {
    const Figures& s = results["socket"][n];
    const Figures& f = results["futex"][n];
    const Figures& v = results["eventfd"][n];
    std::printf("%-4d %10.1f %9.1f %9.1f %10.1f %10.1f %10.1f %9.2f %9.2f %9.2f %10.2f\n", n, m.p50,
                m.p99, m.p999, s.p50, f.p50, v.p50, ratio(m.p50, s.p50), ratio(m.p50, f.p50),
                ratio(m.p50, v.p50), calls_per_send[n]);
  }
  std::printf(
      "(calls/send: the sending process's system calls per send, counted through the "
      "transport's system-call table)\n");
  // Per-receiver cost: the marginal median cost of one more receiver, and a least-squares fit.
  const auto& [n1, first] = *mmf.begin();
  std::printf("\nper-receiver cost of ours, (t(N) - t(%d)) / (N - %d), us:", n1, n1);
  for (const auto& [n, m] : mmf) {
    if (n != n1) std::printf("  N=%d %.1f", n, (m.p50 - first.p50) / (n - n1));
  }
  std::printf("\nfit over N, us per receiver + us:");
  for (const char* kind : {"mmf", "socket", "futex", "eventfd"}) {
    const auto [slope, intercept] = fit(results[kind]);
    std::printf("  %s %.2f + %.1f", kind, slope, intercept);
  }
  std::printf("\nlistener peak RSS: %ld KiB\n", listener_rss_kib);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--receiver") == 0) {
    return bench::run_receiver(argv[2], argc >= 4 ? argv[3] : "");
  }
  if (argc >= 3 && std::strcmp(argv[1], "--sender") == 0) return run_sender(std::atoi(argv[2]));
  // --receivers-on=CPU keeps every receiver on that CPU (the sender goes where taskset puts it).
  for (int i = 1; i < argc; ++i) {
    constexpr std::string_view kOption = "--receivers-on=";
    if (std::string_view(argv[i]).substr(0, kOption.size()) != kOption) continue;
    setenv(bench::kReceiverCpuVariable, argv[i] + kOption.size(), 1);
    std::copy(argv + i + 1, argv + argc, argv + i);
    --argc;
    break;
  }

  // A private session, so the benchmark neither disturbs nor hears running copies.
  char dir_template[] = "/tmp/mmfcast-bench-XXXXXX";
  if (!mkdtemp(dir_template)) return 1;
  session_dir = dir_template;
  setenv("MMFCAST_SESSION_DIR", session_dir.c_str(), 1);
  count_system_calls();

  auto* fanout = benchmark::RegisterBenchmark("BM_Fanout", BM_Fanout);
  for (int n : kReceiverCounts) fanout->Arg(n);
  fanout->Iterations(kSends)->UseManualTime()->Unit(benchmark::kMicrosecond);
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
