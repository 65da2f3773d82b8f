// bridge-agent: the bridge's end inside a Wine prefix. It joins the channel there, says hello,
// then sends on its side each text frame the bridge writes to its standard input, answering
// each with a result, and writes each line its side sends as a text frame to its standard
// output. Texts are UTF-8 on the pipe and the session's code page on the channel; both
// conversions are checked, so a text arrives exactly or is refused with the reason.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "cli/bridge_frame.h"
#include "cli/commands.h"
#include "mmf/channel.h"
#include "platform/platform.h"

#if defined(_WIN32)
#include <windows.h>

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

class Agent {
 public:
  explicit Agent(mmfcast::Channel& channel) : channel_(channel) {}

  // A line this side sent: to the bridge, in UTF-8. A line whose bytes are not valid in the
  // code page (only a program not of ours writes such) cannot be carried exactly and is told.
  void heard(const std::string& text) {
    std::u16string wide;
    std::string utf8;
    std::string why = os::decode_exact(text, wide);
    if (why.empty()) why = os::encode_exact(wide, utf8, os::kUtf8CodePage);
    if (!why.empty()) {
      fail("bridge-agent: a line was not relayed: " + why);
      return;
    }
    put(bridge::encode(FrameKind::kText, utf8));
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
      if (frame.kind == FrameKind::kPing) {
        put(bridge::encode(FrameKind::kPing, ""));
        continue;
      }
      if (frame.kind != FrameKind::kText) {
        fail("bridge-agent: the bridge sent a frame only an agent sends");
        return false;
      }
      relay(frame.payload);
    }
  }

  void hello() {
    put(bridge::hello_frame(static_cast<std::uint32_t>(channel_.max_text_bytes()),
                            os::code_page_name()));
  }
  bool output_failed() const { return output_failed_; }

 private:
  void put(const std::string& bytes) {
    if (!output_failed_ && !write_all(bytes)) output_failed_ = true;
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

  mmfcast::Channel& channel_;
  bridge::FrameReader reader_;
  bool output_failed_ = false;
};

#if defined(_WIN32)
// A pipe cannot be waited on with the window messages, so a thread reads standard input and
// wakes the channel's thread with a message of its own for each chunk.
struct Input {
  std::mutex lock;
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
        ::PostThreadMessageA(main_thread, WM_NULL, 0, 0);
        return;
      }
      input->bytes.append(chunk, got);
      ::PostThreadMessageA(main_thread, WM_NULL, 0, 0);
    }
  }).detach();
  for (;;) {
    std::string bytes;
    bool ended = false;
    {
      const std::lock_guard<std::mutex> guard(input->lock);
      bytes.swap(input->bytes);
      ended = input->ended;
      if (ended && !input->error.empty()) fail("bridge-agent: " + input->error);
    }
    if (!agent.take(bytes)) return kInputFailed;
    if (agent.output_failed()) return kOutputFailed;
    if (ended) return kOk;
    channel.dispatch(500);
  }
}
#else
int serve(mmfcast::Channel& channel, Agent& agent) {
  for (;;) {
    if (agent.output_failed()) return kOutputFailed;
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {channel.event_fd(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      fail(std::string("bridge-agent: cannot wait for standard input: ") + std::strerror(errno));
      return kInputFailed;
    }
    if (fds[1].revents != 0) channel.dispatch(0);
    if (fds[0].revents == 0) continue;
    char chunk[65536];
    const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got < 0) {
      fail(std::string("bridge-agent: cannot read standard input: ") + std::strerror(errno));
      return kInputFailed;
    }
    if (got == 0) return kOk;
    if (!agent.take(std::string_view(chunk, static_cast<std::size_t>(got)))) return kInputFailed;
  }
}
#endif

}  // namespace

int run_bridge_agent(const ChannelChoice& choice) {
  mmfcast::ChannelOptions options;
  if (const std::string why = channel_options(choice, options); !why.empty()) {
    fail("bridge-agent: " + why);
    return kBadArguments;
  }
  const std::unique_ptr<mmfcast::Channel> joined = open_channel(choice, options);
  mmfcast::Channel& channel = *joined;
  if (const int code = join(channel); code != kOk) return code;
  Agent agent(channel);
  channel.on_receive([&agent](const std::string& text) { agent.heard(text); });
  agent.hello();
  return serve(channel, agent);
}

}  // namespace cli
