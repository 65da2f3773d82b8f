// The receiving processes of the fan-out benchmark. The benchmark starts itself again with
// "--receiver KIND ARG"; each receiver says "ready" on standard output and then serves until
// it is killed.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace bench {

// When set, the number of the CPU every receiver keeps to.
inline constexpr const char* kReceiverCpuVariable = "MMFCAST_BENCH_RECEIVER_CPU";

// Runs the receiver named by kind ("mmf", "socket PATH", "futex PATH", "eventfd PATH");
// returns the exit code.
int run_receiver(const std::string& kind, const std::string& arg);

// A receiving process started from this program; killed and reaped on destruction.
class Receiver {
 public:
  // `pass` are descriptors the receiver gets as 3, 4, ... in that order.
  Receiver(const std::string& kind, const std::string& arg, const std::vector<int>& pass = {});
  ~Receiver();
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  pid_t pid() const { return pid_; }
  // The receiver's peak resident memory in KiB (VmHWM), or -1.
  long peak_rss_kib() const;

 private:
  pid_t pid_ = -1;
};

// The shared word the futex receivers wait on: the sender bumps `generation` and wakes all;
// each receiver adds one to `done`, and the last one wakes the sender.
struct FutexBlock {
  alignas(64) unsigned generation;
  alignas(64) unsigned done;
  unsigned receivers;
};

// The page the eventfd receivers read: each waits in its own epoll set on one eventfd that all
// watch (edge-triggered, never read, as ours watch a sender's), copies the text out, adds one
// to `done`, and the last one writes the sender's eventfd. Descriptor 3 is the shared eventfd,
// 4 the sender's.
struct EventfdBlock {
  alignas(64) unsigned done;
  unsigned receivers;
  alignas(64) unsigned length;
  char text[252];
};
inline constexpr int kSharedEventFd = 3;
inline constexpr int kSenderEventFd = 4;

long futex_wait(unsigned* word, unsigned expected);
long futex_wake(unsigned* word, int count);

}  // namespace bench
