// send: joins the channel (the desktop program's, or the one named) and sends each text, exactly
// as a window's send does. listen: joins the channel and prints each text it hears, as a line, a
// NUL-ended record or a JSON object.
#include "cli/commands.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "cli/text.h"
#include "mmf/channel.h"
#include "mmf/pub_channel.h"
#include "platform/platform.h"
#include "platform/utf8.h"

#if defined(_WIN32)
#include <windows.h>

#include <deque>
#include <mutex>
#include <thread>
#else
#include <poll.h>
#include <unistd.h>
#endif

namespace cli {

void fail(const std::string& what) { std::fprintf(stderr, "mmfcast-cli: %s\n", what.c_str()); }

// The Channel's options for the choice made on the command line: the name, given in UTF-8, in
// the session's code page. A relative session directory is taken from the current directory.
// "" when the options are made, else why the name cannot be used.
std::string channel_options(const ChannelChoice& choice, mmfcast::ChannelOptions& options) {
  if (choice.name) {
    std::u16string name;
    std::string why =
        mmfcast::platform::decode_exact(*choice.name, name, mmfcast::platform::kUtf8CodePage);
    if (why.empty()) why = mmfcast::platform::encode_exact(name, options.name);
    if (!why.empty()) return "--channel: " + why;
  }
  if (choice.area_size != 0) options.area_size = choice.area_size;
  options.session_dir = choice.session_dir;
  return {};
}

// Why a text cannot be carried exactly; "" when it can.
std::string text_problem(std::u16string_view text) {
  if (const std::size_t zero = text.find(u'\0'); zero != std::u16string_view::npos) {
    return "a character of code 0 at character " +
           std::to_string(mmfcast::platform::utf8::character_ordinal(text, zero)) +
           " would end the text there";
  }
  std::string bytes;
  return mmfcast::platform::encode_exact(text, bytes);
}

// The exit code for a channel that did not join. A full filesystem is reported as the area
// being unusable, whichever step met it first.
int join_failure_code(const mmfcast::Channel& channel) {
  if (channel.join_failure() == mmfcast::JoinFailure::kOptions) return kBadArguments;
  if (channel.join_failure() == mmfcast::JoinFailure::kArea) return kAreaUnusable;
#if !defined(_WIN32)
  if (mmfcast::platform::last_error() == ENOSPC) return kAreaUnusable;
#endif
  return kNoSession;
}

int relay_wait_ms() { return mmfcast::platform::broadcast_deadline_ms() * 3 / 4; }

// Joins the session's channel, or says why not and gives the exit code.
int join(mmfcast::Channel& channel) {
  if (channel.joined()) return kOk;
  const int code = join_failure_code(channel);
  fail(channel.error());
  return code;
}

// The size of the area named area_name when a process has made it already, else 0. On Windows
// it is the mapped region, a whole number of pages.
std::size_t existing_area_size(const std::string& area_name) {
  namespace os = mmfcast::platform;
  const os::Handle mapping =
      os::OpenFileMappingA(os::kFileMapRead | os::kFileMapWrite, 0, area_name.c_str());
  if (mapping == 0) return 0;
  std::size_t size = 0;
  if (const os::ViewAddr view =
          os::MapViewOfFile(mapping, os::kFileMapRead | os::kFileMapWrite, 0, 0, 0)) {
    size = os::view_size(view);
    os::UnmapViewOfFile(view);
  }
  os::CloseHandle(mapping);
  return size;
}

// Joins the channel. A copy that joins an area another process made uses the area's size
// without --size; with a --size that the existing area does not have, it says so on stderr and
// uses the area as it is. The windows' area has one size, which the Channel holds to, so it
// is not opened a second time to learn it.
std::unique_ptr<mmfcast::Channel> open_channel(const ChannelChoice& choice,
                                               mmfcast::ChannelOptions options) {
  auto channel = std::make_unique<mmfcast::Channel>(options);
  if (!channel->joined()) return channel;
  if (channel->options().area_name == mmfcast::platform::to_ansi(mmfcast::kPubMemoryName)) {
    return channel;
  }
  const std::size_t existing = existing_area_size(channel->options().area_name);
  if (existing == 0) return channel;
  if (choice.area_size == 0) {
    if (existing > options.area_size) {
      channel.reset();
      options.area_size = std::min(existing, mmfcast::kMaxAreaSize);
      channel = std::make_unique<mmfcast::Channel>(options);
    }
    return channel;
  }
#if defined(_WIN32)
  constexpr std::size_t kPage = 4096;
  const std::size_t asked = (choice.area_size + kPage - 1) / kPage * kPage;
#else
  const std::size_t asked = choice.area_size;
#endif
  if (existing != asked) {
    std::fprintf(stderr,
                 "mmfcast-cli: note: the channel's area exists already with %zu bytes; it is "
                 "used as it is, not with --size %zu\n",
                 existing, choice.area_size);
  }
  return channel;
}

namespace {
std::atomic<int> caught_signal{0};
extern "C" void on_stop_signal(int signal) { caught_signal = signal; }
}  // namespace

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
  ::sigaction(SIGHUP, &action, nullptr);
  // A reader or a peer that went away shows as a failed write (EPIPE).
  std::signal(SIGPIPE, SIG_IGN);
#endif
}

int stop_signal() { return caught_signal.load(); }

int join_for_relay(const ChannelChoice& choice, std::unique_ptr<mmfcast::Channel>& channel,
                   const std::string& who) {
  mmfcast::ChannelOptions options;
  if (const std::string why = channel_options(choice, options); !why.empty()) {
    fail(who + why);
    return kBadArguments;
  }
  options.answer_in_delivery = true;
  channel = open_channel(choice, options);
  return join(*channel);
}

namespace {

std::string too_long_message(const mmfcast::Channel& channel) {
  return "text too long for the shared area (" + std::to_string(channel.max_text_bytes()) +
         " bytes at most; --truncate cuts it)";
}

// Sends one text that text_problem accepts. With truncate, a text too long for the area is cut
// to fit on a character boundary, and one whose first character does not fit is too long.
mmfcast::SendResult send_one(mmfcast::Channel& channel, std::u16string text, bool truncate) {
  if (truncate) {
    text = cut_to_fit(text, channel.max_text_bytes());
    if (text.empty()) return mmfcast::SendResult::kTooLong;
  }
  return channel.send(text);
}

// Standard input line by line, read while the channel keeps handling the notifications that
// reach this process, so that the other copies' sends are not held up by a sender that waits
// for its next line. A read that fails ends the input; error() then says why.
class InputLines {
 public:
  explicit InputLines(mmfcast::Channel& channel);
  // The next line without its newline; false at the end of input or once a read failed.
  bool next(std::string& line);
  // Why reading failed; "" at a plain end of input.
  const std::string& error() const { return error_; }

 private:
  mmfcast::Channel& channel_;
  std::string error_;
#if defined(_WIN32)
  // A console or pipe cannot be waited on with the messages, so a thread reads it, as bytes.
  struct Shared {
    std::mutex lock;
    std::deque<std::string> lines;
    bool ended = false;
    std::string error;
  };
  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
#else
  std::string pending_;
  bool ended_ = false;
#endif
};

#if defined(_WIN32)
InputLines::InputLines(mmfcast::Channel& channel) : channel_(channel) {
  std::thread([shared = shared_] {
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    std::string pending;
    std::string line;
    std::string error;
    for (bool ended = false; !ended;) {
      char chunk[65536];
      DWORD got = 0;
      if (!::ReadFile(input, chunk, sizeof chunk, &got, nullptr)) {
        const DWORD code = ::GetLastError();
        if (code != ERROR_BROKEN_PIPE && code != ERROR_HANDLE_EOF) {
          error = "cannot read standard input: Windows error " + std::to_string(code);
        }
        got = 0;
      }
      ended = got == 0;
      pending.append(chunk, got);
      const std::lock_guard<std::mutex> guard(shared->lock);
      while (take_line(pending, ended, line)) shared->lines.push_back(std::move(line));
    }
    const std::lock_guard<std::mutex> guard(shared->lock);
    shared->ended = true;
    shared->error = std::move(error);
  }).detach();
}

bool InputLines::next(std::string& line) {
  for (;;) {
    {
      const std::lock_guard<std::mutex> guard(shared_->lock);
      if (!shared_->lines.empty()) {
        line = std::move(shared_->lines.front());
        shared_->lines.pop_front();
        return true;
      }
      if (shared_->ended) {
        error_ = shared_->error;
        return false;
      }
    }
    channel_.dispatch(20);
  }
}
#else
InputLines::InputLines(mmfcast::Channel& channel) : channel_(channel) {}

bool InputLines::next(std::string& line) {
  for (;;) {
    if (take_line(pending_, ended_, line)) return true;
    if (ended_) return false;
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {channel_.event_fd(), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      error_ = std::string("cannot wait for standard input: ") + std::strerror(errno);
      ended_ = true;
      continue;
    }
    if (fds[1].revents != 0) channel_.dispatch(0);
    if (fds[0].revents == 0) continue;
    char chunk[65536];
    const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (got > 0) {
      pending_.append(chunk, static_cast<std::size_t>(got));
    } else if (got == 0) {
      ended_ = true;
    } else if (errno != EINTR && errno != EAGAIN) {
      error_ = std::string("cannot read standard input: ") + std::strerror(errno);
      ended_ = true;
    }
  }
}
#endif

// The code page standard input is read in, and how refusals name it.
struct InputCodePage {
  unsigned code_page = mmfcast::platform::kUtf8CodePage;
  std::string told;  // added to a refusal: which code page was used, and how to choose another
};

InputCodePage input_code_page([[maybe_unused]] bool utf8) {
  InputCodePage input;
#if defined(_WIN32)
  if (utf8) {
    input.told = " (standard input read as UTF-8, as --utf8 asks)";
    return input;
  }
  const UINT console = ::GetConsoleCP();
  input.code_page = console != 0 ? console : ::GetACP();
  input.told = " (standard input read in " + mmfcast::platform::code_page_name(input.code_page) +
               (console != 0 ? ", the console's input code page" : ", the ANSI code page") +
               "; --utf8 reads it as UTF-8)";
#endif
  return input;
}

// The line's text, or why it cannot be sent exactly.
std::string line_text(const std::string& line, const InputCodePage& input, std::u16string& text) {
  if (const std::size_t zero = line.find('\0'); zero != std::string::npos) {
    return "a byte 0 at offset " + std::to_string(zero) + " would end the text there";
  }
  std::string why = mmfcast::platform::decode_exact(line, text, input.code_page);
  if (!why.empty()) return why + input.told;
  return text_problem(text);
}

// Each line of standard input as one text. An empty line is passed over, as a window sends
// nothing for an empty input; a line too long for the area, or one that cannot be sent
// exactly, is reported and skipped.
int send_lines(mmfcast::Channel& channel, const SendOptions& options) {
  InputLines input(channel);
  const InputCodePage code_page = input_code_page(options.utf8_input);
  std::string line;
  long number = 0;
  bool skipped = false;
  bool refused = false;
  bool missed = false;
  while (input.next(line)) {
    ++number;
    const std::string where = "line " + std::to_string(number) + " of standard input: ";
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::u16string text;
    if (const std::string why = line_text(line, code_page, text); !why.empty()) {
      std::string message = where;
      message += "not sent: ";
      message += why;
      fail(message + "; skipped");
      refused = true;
      continue;
    }
    switch (send_one(channel, text, options.truncate)) {
      case mmfcast::SendResult::kSent:
        break;
      case mmfcast::SendResult::kNotAllReached:
        // The others have it: sending it again would double it, and the lines after it go on.
        fail(where + channel.error());
        missed = true;
        break;
      case mmfcast::SendResult::kTooLong:
        fail(where + too_long_message(channel) + "; skipped");
        skipped = true;
        break;
      case mmfcast::SendResult::kFailed:
        fail(channel.error());
        return kBroadcastFailed;
    }
  }
  if (!input.error().empty()) {
    fail(input.error() + (number > 0 ? " after line " + std::to_string(number) : std::string()));
    return kInputFailed;
  }
  if (missed) return kBroadcastFailed;
  if (refused) return kTextRefused;
  return skipped ? kLinesSkipped : kOk;
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
std::string record(const std::string& text, Framing framing,
                   std::optional<long> sender_pid = std::nullopt) {
  switch (framing) {
    case Framing::kLine:
      return text + "\n";
    case Framing::kNul:
      return text + std::string(1, '\0');
    case Framing::kJson: {
      std::string out = "{\"text\":" + json_string(mmfcast::platform::from_ansi(text)) +
                        ",\"time\":\"" + utc_now() + "\"";
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

// Says on standard error how many more texts the channel missed since the last look, and why.
void report_missed(const mmfcast::Channel& channel, std::uint64_t& reported) {
  const std::uint64_t missed = channel.missed();
  if (missed <= reported) return;
  const std::uint64_t more = missed - reported;
  reported = missed;
  fail(std::to_string(more) + (more == 1 ? " line" : " lines") +
       " missed: " + channel.missed_reason());
}

}  // namespace

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
  std::u16string text;
  if (!from_stdin) {
    std::string why =
        mmfcast::platform::decode_exact(joined, text, mmfcast::platform::kUtf8CodePage);
    if (why.empty()) why = text_problem(text);
    if (!why.empty()) {
      fail("not sent: " + why);
      return kTextRefused;
    }
  }
  mmfcast::ChannelOptions send_options;
  if (const std::string why = channel_options(options.channel, send_options); !why.empty()) {
    fail(why);
    return kBadArguments;
  }
  // Sending needs no window: the other copies neither send to this one nor wait for it.
  send_options.receive = false;
  const std::unique_ptr<mmfcast::Channel> joined_channel =
      open_channel(options.channel, send_options);
  mmfcast::Channel& channel = *joined_channel;
  if (const int code = join(channel); code != kOk) return code;
  if (from_stdin) return send_lines(channel, options);
  switch (send_one(channel, text, options.truncate)) {
    case mmfcast::SendResult::kSent:
      return kOk;
    case mmfcast::SendResult::kNotAllReached:
      break;
    case mmfcast::SendResult::kTooLong:
      fail(too_long_message(channel));
      return kTooLong;
    case mmfcast::SendResult::kFailed:
      break;
  }
  fail(channel.error());
  return kBroadcastFailed;
}

// Says on standard error how many more senders this listener could not take since it last
// looked (`told`); returns the count it has now told.
std::uint64_t tell_refused_senders(std::uint64_t told) {
  const std::uint64_t refused = mmfcast::platform::refused_senders();
  if (refused > told) {
    fail("could not take the connection of " + std::to_string(refused - told) +
         (refused - told == 1 ? " sender" : " senders") +
         " (no descriptor left, or no room to watch it): " +
         (refused - told == 1 ? "its" : "their") + " texts are not heard here");
  }
  return refused;
}

int run_listen(const ListenOptions& options) {
  mmfcast::ChannelOptions listen_options;
  if (const std::string why = channel_options(options.channel, listen_options); !why.empty()) {
    fail(why);
    return kBadArguments;
  }
  // Caught from before the join: a copy that can reach this one ends through the loop below.
  catch_stop_signals();
  const std::unique_ptr<mmfcast::Channel> joined_channel =
      open_channel(options.channel, listen_options);
  mmfcast::Channel& channel = *joined_channel;
  if (const int code = join(channel); code != kOk) return code;
  Output output;
  channel.on_receive([&](const std::string& text) {
    if (output.error == 0 && !output.reader_gone) write_out(output, record(text, options.framing));
  });

  using Clock = std::chrono::steady_clock;
  const auto idle_allowed = [&] {
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(*options.timeout));
  };
  auto deadline = options.timeout ? idle_allowed() : Clock::time_point::max();
  int code = kOk;
  long last_heard = 0;
  std::uint64_t refused = 0;
  std::uint64_t missed_reported = 0;
  int dispatched = 0;
  for (;;) {
    refused = tell_refused_senders(refused);
    report_missed(channel, missed_reported);
    if (dispatched < 0) {
      fail(channel.error());
      code = kNoSession;
      break;
    }
    if (const int signal = stop_signal(); signal != 0) {
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
    dispatched = channel.dispatch(wait_ms);
#else
    // Watch standard output too, so a reader that went away ends the listener at once.
    pollfd fds[2] = {{channel.event_fd(), POLLIN, 0}, {STDOUT_FILENO, 0, 0}};
    if (poll(fds, 2, wait_ms) > 0) {
      if (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) {
        output.reader_gone = true;
        break;
      }
      if (fds[0].revents) dispatched = channel.dispatch(0);
    }
#endif
  }
  if (output.error != 0) {
    fail(std::string("cannot write to standard output: ") + std::strerror(output.error));
    return kOutputFailed;
  }
  return code;
}

}  // namespace cli
