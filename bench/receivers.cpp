// The four kinds of benchmark receiver: a hooked window that reads the area on each
// notification (the real thing), a plain socket echo, a futex waiter, and an eventfd waiter in
// its own epoll set (the floor a receiver in an event loop can reach).
#include "bench/receivers.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "mmf/channel.h"

extern char** environ;

namespace bench {

long futex_wait(unsigned* word, unsigned expected) {
  return syscall(SYS_futex, word, FUTEX_WAIT, expected, nullptr, nullptr, 0);
}
long futex_wake(unsigned* word, int count) {
  return syscall(SYS_futex, word, FUTEX_WAKE, count, nullptr, nullptr, 0);
}

namespace {

void say_ready() {
  std::fputs("ready\n", stdout);
  std::fflush(stdout);
}

int mmf_receiver() {
  mmfcast::Channel channel;
  if (!channel.joined()) return 4;
  std::size_t received = 0;
  channel.on_receive([&](const std::string& text) { received += text.size(); });
  say_ready();
  for (;;) channel.dispatch(-1);
}

int socket_receiver(const std::string& path) {
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  unlink(path.c_str());
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 4) != 0) {
    return 4;
  }
  say_ready();
  const int peer = accept(listener, nullptr, nullptr);
  char frame[64];
  for (;;) {
    std::size_t got = 0;
    while (got < sizeof frame) {
      const ssize_t n = read(peer, frame + got, sizeof frame - got);
      if (n <= 0) return 0;
      got += static_cast<std::size_t>(n);
    }
    if (write(peer, frame, sizeof frame) != static_cast<ssize_t>(sizeof frame)) return 0;
  }
}

int futex_receiver(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  void* mapped = mmap(nullptr, sizeof(FutexBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (fd < 0 || mapped == MAP_FAILED) return 4;
  auto* block = static_cast<FutexBlock*>(mapped);
  unsigned seen = __atomic_load_n(&block->generation, __ATOMIC_ACQUIRE);
  say_ready();
  for (;;) {
    while (__atomic_load_n(&block->generation, __ATOMIC_ACQUIRE) == seen) {
      futex_wait(&block->generation, seen);
    }
    ++seen;
    if (__atomic_add_fetch(&block->done, 1, __ATOMIC_ACQ_REL) == block->receivers) {
      futex_wake(&block->done, 1);
    }
  }
}

int eventfd_receiver(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  void* mapped = mmap(nullptr, sizeof(EventfdBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  const int epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  epoll_event watched{};
  watched.events = EPOLLIN | EPOLLET;
  if (fd < 0 || mapped == MAP_FAILED || epoll_fd < 0 ||
      epoll_ctl(epoll_fd, EPOLL_CTL_ADD, kSharedEventFd, &watched) != 0) {
    return 4;
  }
  auto* block = static_cast<EventfdBlock*>(mapped);
  char text[sizeof block->text];
  say_ready();
  for (;;) {
    epoll_event event{};
    if (epoll_wait(epoll_fd, &event, 1, -1) != 1) continue;
    const unsigned length =
        std::min<unsigned>(__atomic_load_n(&block->length, __ATOMIC_ACQUIRE), sizeof text);
    std::memcpy(text, block->text, length);
    benchmark::DoNotOptimize(text);
    if (__atomic_add_fetch(&block->done, 1, __ATOMIC_ACQ_REL) == block->receivers) {
      const std::uint64_t one = 1;
      if (write(kSenderEventFd, &one, sizeof one) != sizeof one) return 4;
    }
  }
}

}  // namespace

int run_receiver(const std::string& kind, const std::string& arg) {
  // The benchmark's --receivers-on=CPU: every receiver waits and works on that CPU.
  if (const char* cpu = std::getenv(kReceiverCpuVariable)) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(std::atoi(cpu), &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0) return 4;
  }
  if (kind == "mmf") return mmf_receiver();
  if (kind == "socket") return socket_receiver(arg);
  if (kind == "futex") return futex_receiver(arg);
  if (kind == "eventfd") return eventfd_receiver(arg);
  return 2;
}

Receiver::Receiver(const std::string& kind, const std::string& arg, const std::vector<int>& pass) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  for (std::size_t i = 0; i < pass.size(); ++i) {
    posix_spawn_file_actions_adddup2(&actions, pass[i], 3 + static_cast<int>(i));
  }
  std::string self = "/proc/self/exe";
  std::vector<std::string> words = {"mmfcast_bench", "--receiver", kind, arg};
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const int rc = posix_spawn(&pid_, self.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  char line[8] = {};
  const bool ready = rc == 0 && read(out[0], line, 6) == 6 && std::strncmp(line, "ready\n", 6) == 0;
  close(out[0]);
  if (!ready) throw std::runtime_error("a receiver did not start");
}

Receiver::~Receiver() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

long Receiver::peak_rss_kib() const {
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  std::string key;
  long value = -1;
  while (status >> key) {
    if (key == "VmHWM:") {
      status >> value;
      return value;
    }
  }
  return -1;
}

}  // namespace bench
