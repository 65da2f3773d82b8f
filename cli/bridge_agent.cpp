// bridge-agent: the bridge's end inside a Wine prefix. It joins the channel there, says hello,
// then sends on its side each text frame the bridge writes to its standard input, answering
// each with a result, and writes each line its side sends as a text frame to its standard
// output. Texts are UTF-8 on the pipe and the session's code page on the channel; both
// conversions are checked, so a text arrives exactly or is refused with the reason.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "cli/bridge_frame.h"
#include "cli/commands.h"
#include "mmf/channel.h"
#include "platform/platform.h"

#if defined(_WIN32)
#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#else
#include <poll.h>
#include <unistd.h>
#endif

namespace cli {
namespace {

namespace os = mmfcast::platform;
using bridge::FrameKind;
using bridge::RelayStatus;

// Writes to standard output byte for byte: the C runtime's text mode on Windows would turn
// every 0x0A of a frame into 0x0D 0x0A.
bool write_all(std::string_view bytes) {
#if defined(_WIN32)
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  while (!bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 20));
    DWORD wrote = 0;
    if (!::WriteFile(out, bytes.data(), chunk, &wrote, nullptr) || wrote == 0) return false;
    bytes.remove_prefix(wrote);
  }
#else
  while (!bytes.empty()) {
    const ssize_t wrote = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(wrote));
  }
#endif
  return true;
}

// Reads what the bridge wrote within timeout_ms; false once its input has ended or failed.
using ReadInput = std::function<bool(int timeout_ms, std::string& bytes)>;

class Agent {
 public:
  explicit Agent(mmfcast::Channel& channel) : channel_(channel) {}

  void set_input(ReadInput read_input) { read_input_ = std::move(read_input); }

  // A line this side sent: to the bridge, in UTF-8. It runs inside its sender's delivery and
  // waits for the bridge's result, which its sender is answered with. A line whose bytes are
  // not valid in the code page (only a program not of ours writes such) cannot be carried
  // exactly and is told.
  void heard(const std::string& text) {
    std::u16string wide;
    std::string utf8;
    std::string why = os::decode_exact(text, wide);
    if (why.empty()) why = os::encode_exact(wide, utf8, os::kUtf8CodePage);
    if (!why.empty()) {
      fail("bridge-agent: a line was not relayed: " + why);
      channel_.answer(1, "the bridge to Linux could not carry it: " + why);
      return;
    }
    put(bridge::encode(FrameKind::kText, utf8));
    wait_for_result(++written_);
  }

  // Takes the bytes read from the bridge and handles each whole frame. False when the stream
  // broke the protocol (said on stderr).
  bool take(std::string_view bytes) {
    reader_.feed(bytes);
    bridge::Frame frame;
    std::string why;
    for (;;) {
      switch (reader_.next(frame, why)) {
        case bridge::FrameReader::Next::kNeedMore:
          return true;
        case bridge::FrameReader::Next::kBad:
          fail("bridge-agent: the bridge's input is not understood: " + why);
          return false;
        case bridge::FrameReader::Next::kFrame:
          break;
      }
      if (!handle(frame)) return false;
    }
  }

  // Sends here the bridge's texts that came while a line of this side waited, in order.
  void relay_pending() {
    while (!pending_.empty()) {
      const std::string utf8 = std::move(pending_.front());
      pending_.pop_front();
      relaying_ = true;
      relay(utf8);
      relaying_ = false;
    }
  }

  void hello() {
    put(bridge::hello_frame(static_cast<std::uint32_t>(channel_.max_text_bytes()),
                            os::code_page_name()));
  }
  bool output_failed() const { return output_failed_; }
  bool input_failed() const { return input_failed_; }

 private:
  void put(const std::string& bytes) {
    if (!output_failed_ && !write_all(bytes)) output_failed_ = true;
  }

  bool handle(const bridge::Frame& frame) {
    switch (frame.kind) {
      case FrameKind::kPing:
        put(bridge::encode(FrameKind::kPing, ""));
        return true;
      case FrameKind::kText:
        // Sent once no line of this side waits: its sender holds the send lock.
        pending_.push_back(frame.payload);
        if (waiting_ != 0) crossed_ = true;
        return true;
      case FrameKind::kResult:
        if (answered_ < written_) return take_result(frame);
        break;
      case FrameKind::kHello:
        break;
    }
    fail("bridge-agent: the bridge sent a frame out of place");
    return false;
  }

  bool take_result(const bridge::Frame& frame) {
    RelayStatus status{};
    std::string reason;
    std::uint32_t unreached = 0;
    if (!bridge::parse_result(frame.payload, status, reason, unreached)) {
      fail("bridge-agent: the bridge sent a malformed result");
      return false;
    }
    if (++answered_ == waiting_) {
      result_ = Result{status, unreached, reason};
    } else if (status != RelayStatus::kSent) {
      fail("bridge-agent: a line relayed to Linux: " + reason);
    }
    return true;
  }

  // Handles what the bridge writes until the number-th text's result has come, relay_wait_ms()
  // have passed, or the bridge has a text of its own not yet answered: one that comes meanwhile,
  // or one that came before, which this delivery holds up (it runs inside the send of one, or
  // before those waiting). The bridge waits for that text's result while this side's sender
  // waits for the bridge, so this one is answered at once, and its line follows the bridge's;
  // answers the sender.
  void wait_for_result(std::size_t number) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(relay_wait_ms());
    waiting_ = number;
    result_.reset();
    crossed_ = relaying_ || !pending_.empty();
    while (!result_ && !crossed_ && !input_failed_ && !output_failed_ && read_input_) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) break;
      std::string bytes;
      const bool open = read_input_(static_cast<int>(left.count()), bytes);
      if (!take(bytes) || !open) input_failed_ = true;
    }
    waiting_ = 0;
    if (crossed_ && !result_) return;
    if (!result_) {
      channel_.answer(1, "the bridge to Linux did not answer in time");
    } else if (result_->status == RelayStatus::kNotAllReached) {
      channel_.answer(result_->unreached,
                      std::to_string(result_->unreached) +
                          " not reached beyond the bridge to Linux: " + result_->reason);
    } else if (result_->status != RelayStatus::kSent) {
      channel_.answer(1, "the bridge to Linux could not carry it: " + result_->reason);
    }
  }

  // Sends the bridge's text here and answers with what became of it.
  void relay(const std::string& utf8) {
    std::u16string text;
    std::string why = os::decode_exact(utf8, text, os::kUtf8CodePage);
    if (why.empty()) why = text_problem(text);
    if (!why.empty()) {
      put(bridge::result_frame(RelayStatus::kRefused, why));
      return;
    }
    switch (channel_.send(text)) {
      case mmfcast::SendResult::kSent:
        put(bridge::result_frame(RelayStatus::kSent, ""));
        return;
      case mmfcast::SendResult::kTooLong:
        put(bridge::result_frame(RelayStatus::kTooLong,
                                 "longer than the " + std::to_string(channel_.max_text_bytes()) +
                                     " bytes the channel's area holds here"));
        return;
      case mmfcast::SendResult::kNotAllReached:
        put(bridge::result_frame(
            RelayStatus::kNotAllReached, channel_.error(),
            static_cast<std::uint32_t>(std::max(os::broadcast_unreached(), 1))));
        return;
      case mmfcast::SendResult::kFailed:
        put(bridge::result_frame(RelayStatus::kFailed, channel_.error()));
        return;
    }
  }

  struct Result {
    RelayStatus status;
    std::uint32_t unreached;
    std::string reason;
  };

  mmfcast::Channel& channel_;
  bridge::FrameReader reader_;
  ReadInput read_input_;
  std::deque<std::string> pending_;  // the bridge's texts, to send here in order
  std::size_t written_ = 0;          // texts given to the bridge
  std::size_t answered_ = 0;         // ... whose result has come back (results come in order)
  std::size_t waiting_ = 0;          // the text whose result a line of this side waits for
  std::optional<Result> result_;
  bool crossed_ = false;
  bool relaying_ = false;  // a text of the bridge is being sent here
  bool output_failed_ = false;
  bool input_failed_ = false;
};

#if defined(_WIN32)
// A pipe cannot be waited on with the window messages, so a thread reads standard input and
// wakes the channel's thread with a message of its own for each chunk; a line that waits for
// the bridge's result inside its delivery waits for the thread's chunks directly.
struct Input {
  std::mutex lock;
  std::condition_variable arrived;
  std::string bytes;
  bool ended = false;
  std::string error;
};

int serve(mmfcast::Channel& channel, Agent& agent) {
  auto input = std::make_shared<Input>();
  const DWORD main_thread = ::GetCurrentThreadId();
  std::thread([input, main_thread] {
    const HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
    for (;;) {
      char chunk[65536];
      DWORD got = 0;
      const bool read = ::ReadFile(in, chunk, sizeof chunk, &got, nullptr) != 0;
      const std::lock_guard<std::mutex> guard(input->lock);
      if (!read || got == 0) {
        const DWORD code = read ? 0 : ::GetLastError();
        if (code != 0 && code != ERROR_BROKEN_PIPE && code != ERROR_HANDLE_EOF) {
          input->error = "cannot read standard input: Windows error " + std::to_string(code);
        }
        input->ended = true;
        input->arrived.notify_all();
        ::PostThreadMessageA(main_thread, WM_NULL, 0, 0);
        return;
      }
      input->bytes.append(chunk, got);
      input->arrived.notify_all();
      ::PostThreadMessageA(main_thread, WM_NULL, 0, 0);
    }
  }).detach();
  agent.set_input([input](int timeout_ms, std::string& bytes) {
    std::unique_lock<std::mutex> guard(input->lock);
    input->arrived.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                            [&] { return !input->bytes.empty() || input->ended; });
    bytes.swap(input->bytes);
    return !input->ended || !bytes.empty();
  });
  for (;;) {
    std::string bytes;
    bool ended = false;
    {
      const std::lock_guard<std::mutex> guard(input->lock);
      bytes.swap(input->bytes);
      ended = input->ended;
      if (ended && !input->error.empty()) fail("bridge-agent: " + input->error);
    }
    if (!agent.take(bytes) || agent.input_failed()) return kInputFailed;
    agent.relay_pending();
    if (agent.output_failed()) return kOutputFailed;
    if (ended) return kOk;
    channel.dispatch(500);
  }
}
#else
// What the bridge wrote, read within timeout_ms; false once the input has ended or failed.
bool read_input(int timeout_ms, std::string& bytes) {
  pollfd fd{STDIN_FILENO, POLLIN, 0};
  const int ready = ::poll(&fd, 1, timeout_ms);
  if (ready < 0) return errno == EINTR;
  if (ready == 0) return true;
  char chunk[65536];
  const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  if (got < 0) {
    fail(std::string("bridge-agent: cannot read standard input: ") + std::strerror(errno));
    return false;
  }
  bytes.append(chunk, static_cast<std::size_t>(got));
  return got > 0;
}

int serve(mmfcast::Channel& channel, Agent& agent) {
  agent.set_input(read_input);
  for (;;) {
    if (agent.output_failed()) return kOutputFailed;
    if (agent.input_failed()) return kInputFailed;
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {channel.event_fd(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      fail(std::string("bridge-agent: cannot wait for standard input: ") + std::strerror(errno));
      return kInputFailed;
    }
    if (fds[1].revents != 0) channel.dispatch(0);
    if (fds[0].revents == 0) {
      agent.relay_pending();
      continue;
    }
    char chunk[65536];
    const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got < 0) {
      fail(std::string("bridge-agent: cannot read standard input: ") + std::strerror(errno));
      return kInputFailed;
    }
    if (got == 0) return kOk;
    if (!agent.take(std::string_view(chunk, static_cast<std::size_t>(got)))) return kInputFailed;
    agent.relay_pending();
  }
}
#endif

}  // namespace

int run_bridge_agent(const ChannelChoice& choice) {
  std::unique_ptr<mmfcast::Channel> joined;
  if (const int code = join_for_relay(choice, joined, "bridge-agent: "); code != kOk) return code;
  mmfcast::Channel& channel = *joined;
  Agent agent(channel);
  channel.on_receive([&agent](const std::string& text) { agent.heard(text); });
  agent.hello();
  return serve(channel, agent);
}

}  // namespace cli
