// send: writes each text into the shared area and broadcasts the notification, exactly as a
// window's send does. listen: hooks a hidden top-level window and prints each text it hears,
// as a line, a NUL-ended record or a JSON object.
#include "cli/commands.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
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
  const std::string why = mmfcast::platform::last_error_text();
  return why.empty() ? what : what + ": " + why;
}

// A full filesystem is reported as the area being unusable, whichever step met it first.
int no_session_unless_full() {
#if !defined(_WIN32)
  if (mmfcast::platform::last_error() == ENOSPC) return kAreaUnusable;
#endif
  return kNoSession;
}

// Points this process at another session directory; the platform layer reads the variable on
// every use. A relative DIR is taken from the current directory.
bool use_session_dir(const std::string& dir) {
  if (dir.empty()) return true;
#if defined(_WIN32)
  return true;
#else
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(dir, error);
  if (error || ::setenv("MMFCAST_SESSION_DIR", absolute.c_str(), 1) != 0) {
    fail("--session-dir " + dir + ": " + (error ? error.message() : std::strerror(errno)));
    return false;
  }
  return true;
#endif
}

int join(Channel& channel, const std::string& session_dir) {
  if (!use_session_dir(session_dir)) return kBadArguments;
  if (!mmfcast::platform::session_usable()) {
    fail(because("cannot use the session"));
    return no_session_unless_full();
  }
  channel.message = channel.mmf.RegWindowMsg(mmfcast::kPubMessageName);
  if (channel.message == 0) {
    fail(because("cannot register the notification message"));
    return no_session_unless_full();
  }
  channel.index = channel.mmf.AddMMFItem(mmfcast::kPubMemoryName, mmfcast::kPubMemoryLength);
  MMFItem item;
  if (channel.mmf.OpenMMF(channel.index) != 1 || channel.mmf.GetMMFItem(channel.index, item) != 1) {
    fail(because("cannot open the shared area"));
    return kAreaUnusable;
  }
  channel.area_size = mmfcast::platform::view_size(item.lpMapView);
  return kOk;
}

bool fits(const Channel& channel, const std::u16string& text) {
  return mmfcast::platform::to_ansi(text).size() + 1 <= channel.area_size;
}

std::string too_long_message(const Channel& channel) {
  return "text too long for the shared area (" + std::to_string(channel.area_size - 1) +
         " bytes at most; --truncate cuts it)";
}

int send_one(Channel& channel, const std::u16string& text) {
  // One write-and-broadcast at a time across the session.
  const bool sent = mmfcast::platform::send_locked(
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

// Each line of standard input as one text. An empty line is passed over, as a window sends
// nothing for an empty input; a line too long for the area is reported and skipped.
int send_lines(Channel& channel, bool truncate) {
  std::string line;
  long number = 0;
  bool skipped = false;
  while (std::getline(std::cin, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const std::u16string text = mmfcast::platform::from_ansi(line);
    if (!truncate && !fits(channel, text)) {
      fail("line " + std::to_string(number) + " of standard input: " + too_long_message(channel) +
           "; skipped");
      skipped = true;
      continue;
    }
    if (const int code = send_one(channel, text); code != kOk) return code;
  }
  return skipped ? kLinesSkipped : kOk;
}

std::atomic<int> stop_signal{0};
extern "C" void on_stop_signal(int signal) { stop_signal = signal; }

void catch_stop_signals() {
#if defined(_WIN32)
  std::signal(SIGINT, on_stop_signal);
  std::signal(SIGTERM, on_stop_signal);
#else
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  // A reader that went away shows as a failed write (EPIPE), handled below.
  std::signal(SIGPIPE, SIG_IGN);
#endif
}

// The current time as RFC 3339 in UTC with milliseconds: 2024-05-01T12:34:56.789Z.
std::string utc_now() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm parts{};
#if defined(_WIN32)
  gmtime_s(&parts, &seconds);
#else
  gmtime_r(&seconds, &parts);
#endif
  char text[40];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(millis));
  return text;
}

// One received text as listen writes it. The sender's process id is included only where the
// platform reports it with the notification; neither platform does so today.
std::string record(std::u16string_view text, Framing framing,
                   std::optional<long> sender_pid = std::nullopt) {
  switch (framing) {
    case Framing::kLine:
      return mmfcast::platform::to_ansi(text) + "\n";
    case Framing::kNul:
      return mmfcast::platform::to_ansi(text) + std::string(1, '\0');
    case Framing::kJson: {
      std::string out = "{\"text\":" + json_string(text) + ",\"time\":\"" + utc_now() + "\"";
      if (sender_pid) out += ",\"pid\":" + std::to_string(*sender_pid);
      return out + "}\n";
    }
  }
  return {};
}

struct Output {
  long texts_written = 0;
  bool reader_gone = false;  // a pipe whose reader closed it: the listener just ends
  int error = 0;             // any other failed write: reported, and the status says so
};

void write_out(Output& output, const std::string& bytes) {
  if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() &&
      std::fflush(stdout) == 0) {
    ++output.texts_written;
    return;
  }
  const int error = errno != 0 ? errno : EIO;
#if !defined(_WIN32)
  if (error == EPIPE) {
    output.reader_gone = true;
    return;
  }
#endif
  output.error = error;
}

mmfcast::platform::LResult MMFCAST_CALLBACK listener_procedure(mmfcast::platform::Hwnd,
                                                               std::uint32_t,
                                                               mmfcast::platform::WParam,
                                                               mmfcast::platform::LParam) {
  return 0;
}

}  // namespace

std::string json_string(std::u16string_view text) {
  std::string out = "\"";
  auto put_utf8 = [&out](char32_t c) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        if (c < 0x20 || c == 0x7F || c == 0x2028 || c == 0x2029) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
          out += escape;
        } else {
          put_utf8(c);
        }
    }
  }
  return out + "\"";
}

int run_send(const SendOptions& options) {
  const bool from_stdin = options.words.size() == 1 && options.words[0] == "-";
  std::string joined;
  for (const auto& word : options.words) {
    if (!joined.empty()) joined += ' ';
    joined += word;
  }
  if (!from_stdin && joined.empty()) {
    fail("nothing to send: the text is empty");
    return kBadArguments;
  }
  Channel channel;
  if (const int code = join(channel, options.session_dir); code != kOk) return code;
  if (from_stdin) return send_lines(channel, options.truncate);
  const std::u16string text = mmfcast::platform::from_ansi(joined);
  if (!options.truncate && !fits(channel, text)) {
    fail(too_long_message(channel));
    return kTooLong;
  }
  return send_one(channel, text);
}

int run_listen(const ListenOptions& options) {
  Channel channel;
  if (const int code = join(channel, options.session_dir); code != kOk) return code;
  const mmfcast::platform::Hwnd window = mmfcast::platform::create_window(&listener_procedure);
#if defined(_WIN32)
  const bool can_receive = window != 0;
#else
  const bool can_receive = window != 0 && mmfcast::platform::event_fd() >= 0;
#endif
  if (!can_receive) {
    fail(because("cannot create a window to receive on"));
    if (window != 0) mmfcast::platform::destroy_window(window);
    return no_session_unless_full();
  }
  Output output;
  ModSubclass::lMsgID = static_cast<std::uint32_t>(channel.message);
  channel.mmf.DataArrival = [&](const std::u16string& text) {
    // A text box shows its text up to the first character of code 0; so does this.
    if (output.error == 0 && !output.reader_gone) {
      write_out(output, record(text.substr(0, text.find(u'\0')), options.framing));
    }
  };
  channel.mmf.StartSubclass(window);
  catch_stop_signals();

  using Clock = std::chrono::steady_clock;
  const auto idle_allowed = [&] {
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(*options.timeout));
  };
  auto deadline = options.timeout ? idle_allowed() : Clock::time_point::max();
  int code = kOk;
  long last_heard = 0;
  for (;;) {
    if (const int signal = stop_signal.load(); signal != 0) {
      code = 128 + signal;
      break;
    }
    if (output.error != 0 || output.reader_gone) break;
    if (options.count && output.texts_written >= *options.count) break;
    if (output.texts_written != last_heard) {
      last_heard = output.texts_written;
      if (options.timeout) deadline = idle_allowed();
    }
    const auto now = Clock::now();
    if (now >= deadline) {
      code = kTimedOut;
      break;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    const int wait_ms = static_cast<int>(std::min<long long>(left + 1, 200));
#if defined(_WIN32)
    mmfcast::platform::pump_messages(wait_ms);
#else
    // Watch standard output too, so a reader that went away ends the listener at once.
    pollfd fds[2] = {{mmfcast::platform::event_fd(), POLLIN, 0}, {STDOUT_FILENO, 0, 0}};
    if (poll(fds, 2, wait_ms) > 0) {
      if (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) {
        output.reader_gone = true;
        break;
      }
      if (fds[0].revents) mmfcast::platform::dispatch_pending();
    }
#endif
  }
  channel.mmf.StopSubclass(window);
  mmfcast::platform::destroy_window(window);
  if (output.error != 0) {
    fail(std::string("cannot write to standard output: ") + std::strerror(output.error));
    return kOutputFailed;
  }
  return code;
}

}  // namespace cli
