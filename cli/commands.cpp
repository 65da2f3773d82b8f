// send: writes each text into the shared area and broadcasts the notification, exactly as a
// window's send does. listen: hooks a hidden top-level window and prints each text it hears.
#include "cli/commands.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>

#include "hook/ModSubclass.h"
#include "mmf/cMMF.h"
#include "platform/platform.h"

#if !defined(_WIN32)
#include <poll.h>
#include <unistd.h>
#endif

namespace cli {
namespace {

constexpr char16_t kMessageName[] = u"MyPubMessage";
constexpr std::int32_t kAreaSize = 4096;

void fail(const std::string& what) { std::fprintf(stderr, "mmfcast-cli: %s\n", what.c_str()); }

// The channel one command joins: the notification's id and the open area.
struct Channel {
  cMMF mmf;
  std::int32_t index = 0;
  std::int32_t message = 0;
  std::size_t area_size = 0;
};

// "what: why", with the reason the platform layer recorded for the last failure.
std::string because(const std::string& what) {
  const std::string why = platform::last_error_text();
  return why.empty() ? what : what + ": " + why;
}

// A full filesystem is reported as the area being unusable, whichever step met it first.
int no_session_unless_full() {
#if !defined(_WIN32)
  if (platform::last_error() == ENOSPC) return kAreaUnusable;
#endif
  return kNoSession;
}

int join(Channel& channel) {
  if (!platform::session_usable()) {
    fail(because("no usable session directory (see MMFCAST_SESSION_DIR)"));
    return no_session_unless_full();
  }
  channel.message = channel.mmf.RegWindowMsg(kMessageName);
  if (channel.message == 0) {
    fail(because("cannot register the notification message"));
    return no_session_unless_full();
  }
  channel.index = channel.mmf.AddMMFItem(ModSubclass::kPubMemoryName, kAreaSize);
  MMFItem item;
  if (channel.mmf.OpenMMF(channel.index) != 1 || channel.mmf.GetMMFItem(channel.index, item) != 1) {
    fail(because("cannot open the shared area"));
    return kAreaUnusable;
  }
  channel.area_size = platform::view_size(item.lpMapView);
  return kOk;
}

int send_one(Channel& channel, const std::u16string& text, bool truncate) {
  if (!truncate && platform::to_ansi(text).size() + 1 > channel.area_size) {
    fail("text too long for the shared area (" + std::to_string(channel.area_size - 1) +
         " bytes at most; --truncate cuts it)");
    return kTooLong;
  }
  // One write-and-broadcast at a time across the session.
  const bool sent = platform::send_locked(
      [&] { channel.mmf.WriteMMF(channel.index, text); },
      [&] {
        return std::holds_alternative<std::int32_t>(channel.mmf.SendMesageAll(
            u"", channel.message, static_cast<std::int32_t>(text.size() + 1), 0));
      });
  if (!sent) {
    fail(because("the broadcast failed"));
    return kBroadcastFailed;
  }
  return kOk;
}

std::atomic<bool> stop_requested{false};
extern "C" void on_stop_signal(int) { stop_requested = true; }

long texts_heard = 0;
bool output_failed = false;

platform::LResult MMF_CALLBACK listener_procedure(platform::Hwnd, std::uint32_t, platform::WParam,
                                                  platform::LParam) {
  return 0;
}

}  // namespace

int run_send(const SendOptions& options) {
  Channel channel;
  if (int code = join(channel); code != kOk) return code;
  if (options.words.size() == 1 && options.words[0] == "-") {
    std::string line;
    while (std::getline(std::cin, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (int code = send_one(channel, platform::from_ansi(line), options.truncate); code != kOk) {
        return code;
      }
    }
    return kOk;
  }
  std::string joined;
  for (const auto& word : options.words) {
    if (!joined.empty()) joined += ' ';
    joined += word;
  }
  return send_one(channel, platform::from_ansi(joined), options.truncate);
}

int run_listen(const ListenOptions& options) {
  Channel channel;
  if (int code = join(channel); code != kOk) return code;
  const platform::Hwnd window = platform::create_window(&listener_procedure);
#if defined(_WIN32)
  const bool can_receive = window != 0;
#else
  const bool can_receive = window != 0 && platform::event_fd() >= 0;
#endif
  if (!can_receive) {
    fail(because("cannot create a window to receive on"));
    if (window != 0) platform::destroy_window(window);
    return no_session_unless_full();
  }
  ModSubclass::lMsgID = static_cast<std::uint32_t>(channel.message);
  channel.mmf.DataArrival = [](const std::u16string& text) {
    // A text box shows its text up to the first character of code 0; so does this.
    const std::string line = platform::to_ansi(text.substr(0, text.find(u'\0'))) + "\n";
    if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() ||
        std::fflush(stdout) != 0) {
      output_failed = true;
    }
    ++texts_heard;
  };
  channel.mmf.StartSubclass(window);

  std::signal(SIGINT, on_stop_signal);
  std::signal(SIGTERM, on_stop_signal);
#if !defined(_WIN32)
  std::signal(SIGPIPE, SIG_IGN);
#endif
  using Clock = std::chrono::steady_clock;
  auto deadline = options.timeout
                      ? Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(*options.timeout))
                      : Clock::time_point::max();
  int code = kOk;
  long last_heard = 0;
  while (!stop_requested && !output_failed && !(options.count && texts_heard >= *options.count)) {
    if (texts_heard != last_heard) {
      last_heard = texts_heard;
      if (options.timeout) {
        deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(*options.timeout));
      }
    }
    const auto now = Clock::now();
    if (now >= deadline) {
      code = kTimedOut;
      break;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    const int wait_ms = static_cast<int>(std::min<long long>(left + 1, 200));
#if defined(_WIN32)
    platform::pump_messages(wait_ms);
#else
    // Watch standard output too, so a reader that went away ends the listener at once.
    pollfd fds[2] = {{platform::event_fd(), POLLIN, 0}, {STDOUT_FILENO, 0, 0}};
    if (poll(fds, 2, wait_ms) > 0) {
      if (fds[1].revents & (POLLERR | POLLHUP)) break;
      if (fds[0].revents) platform::dispatch_pending();
    }
#endif
  }
  channel.mmf.StopSubclass(window);
  platform::destroy_window(window);
  return code;
}

}  // namespace cli
