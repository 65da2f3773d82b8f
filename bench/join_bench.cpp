// Join benchmark: the time one process takes to join a channel and leave it again
// (mmfcast::Channel made and destroyed), with the session's message table holding 10 or 1,500
// names that other copies registered; and, with as many names there, to join 100 channels of
// its own one after another. A join must cost the same whatever the table holds.
// Each figure comes from a fresh session directory; run it pinned (`taskset -c 0`).
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "mmf/channel.h"
#include "platform/linux/transport/session.h"
#include "platform/platform.h"

namespace {

// A fresh session directory named in MMFCAST_SESSION_DIR, whose table holds `names` names that
// a forked copy registered; removed when the benchmark is done with it.
class FilledSession {
 public:
  explicit FilledSession(int names) {
    char pattern[] = "/tmp/mmfcast-join-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    ::setenv("MMFCAST_SESSION_DIR", dir_.c_str(), 1);
    mmfcast::platform::os::end_session();
    const pid_t pid = ::fork();
    if (pid == 0) {
      for (int i = 0; i < names; ++i) {
        const std::string name = "other copy's name " + std::to_string(i);
        if (mmfcast::platform::RegisterWindowMessageA(name.c_str()) == 0) ::_exit(1);
      }
      ::_exit(0);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || status != 0) {
      throw std::runtime_error("filling the message table failed");
    }
  }
  ~FilledSession() {
    mmfcast::platform::os::end_session();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  FilledSession(const FilledSession&) = delete;
  FilledSession& operator=(const FilledSession&) = delete;

 private:
  std::string dir_;
};

void BM_JoinAndLeave(benchmark::State& state) {
  const FilledSession session(static_cast<int>(state.range(0)));
  mmfcast::ChannelOptions options;
  options.name = "bench";
  // A second channel stays joined, so each join takes the table and the area but not the
  // process's endpoint, which the first window opens.
  mmfcast::ChannelOptions other = options;
  other.name = "stays";
  const mmfcast::Channel stays(other);
  if (!stays.joined()) state.SkipWithError(stays.error().c_str());
  for (auto _ : state) {
    const mmfcast::Channel channel(options);
    if (!channel.joined()) state.SkipWithError(channel.error().c_str());
  }
  state.counters["names"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_JoinAndLeave)->Arg(10)->Arg(1500)->Unit(benchmark::kMicrosecond);

// One process joins 100 channels of its own, one after another, and stays on them: the table
// grows by a name with each, and the process knows every name it registered.
void BM_JoinManyChannels(benchmark::State& state) {
  constexpr int kChannels = 100;
  for (auto _ : state) {
    state.PauseTiming();
    const FilledSession session(static_cast<int>(state.range(0)));
    state.ResumeTiming();
    std::vector<std::unique_ptr<mmfcast::Channel>> joined;
    for (int i = 0; i < kChannels; ++i) {
      mmfcast::ChannelOptions options;
      options.name = "channel " + std::to_string(i);
      joined.push_back(std::make_unique<mmfcast::Channel>(options));
      if (!joined.back()->joined()) {
        state.SkipWithError(joined.back()->error().c_str());
        break;
      }
    }
  }
  state.counters["names"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_JoinManyChannels)->Arg(10)->Arg(1500)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
