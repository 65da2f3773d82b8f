// The C interface over mmfcast::Channel. Nothing thrown may cross into C: each entry point
// catches what the Channel or the caller's function could raise and reports it through the
// handle's error text and failure code.
#include <mmfcast/mmfcast.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "mmf/channel.h"
#include "platform/platform.h"

struct mmfcast_channel {
  explicit mmfcast_channel(const mmfcast::ChannelOptions& options) : channel(options) {}
  mmfcast::Channel channel;
  std::string error;  // what failed outside the Channel (the handler, the options), else its own
  bool own_error = false;
  std::string missed_reason;             // what mmfcast_missed_reason last gave
  mmfcast_failure failure = MMFCAST_OK;  // of joining, then of the last send or dispatch
  int running = 0;  // sends and dispatches of this handle under way: its function may run
};

namespace {

// Counts a send or dispatch of the handle as under way for as long as it lasts.
class Running {
 public:
  explicit Running(mmfcast_channel& channel) : channel_(channel) { ++channel_.running; }
  ~Running() { --channel_.running; }
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;

 private:
  mmfcast_channel& channel_;
};

void set_text(std::string& field, const char* text) {
  if (text != nullptr) field = text;
}

mmfcast::ChannelOptions options_for(const char* name, size_t area_size, const char* session_dir) {
  mmfcast::ChannelOptions options;
  set_text(options.name, name);
  if (area_size != 0) options.area_size = area_size;
  set_text(options.session_dir, session_dir);
  return options;
}

// The caller's options, as many fields as its struct_size holds; "" when they can be used,
// else why not. A struct from a newer header is accepted when the fields this library does not
// know are all zero, so that a program rebuilt against a newer header still runs here.
std::string read_options(const mmfcast_options* in, mmfcast::ChannelOptions& out) {
  mmfcast_options known{};
  if (in != nullptr) {
    const std::size_t size = in->struct_size;
    if (size < sizeof(std::size_t)) {
      return "the options' struct_size is " + std::to_string(size) +
             "; set it to sizeof(mmfcast_options)";
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(in);
    if (size > sizeof known &&
        std::any_of(bytes + sizeof known, bytes + size, [](unsigned char b) { return b != 0; })) {
      return "the options set fields that mmfcast " MMFCAST_VERSION_STRING
             " does not know (struct_size " +
             std::to_string(size) + ", this library's is " + std::to_string(sizeof known) + ")";
    }
    std::memcpy(&known, in, std::min(size, sizeof known));
  }
  out = options_for(known.name, known.area_size, known.session_dir);
  set_text(out.area_name, known.area_name);
  set_text(out.message_name, known.message_name);
  out.receive = known.send_only == 0;
  return {};
}

mmfcast_failure failure_of(mmfcast::JoinFailure step) {
  switch (step) {
    case mmfcast::JoinFailure::kNone:
      return MMFCAST_OK;
    case mmfcast::JoinFailure::kInUse:
      return MMFCAST_E_IN_USE;
    case mmfcast::JoinFailure::kSession:
      return MMFCAST_E_SESSION;
    case mmfcast::JoinFailure::kArea:
      return MMFCAST_E_AREA;
    case mmfcast::JoinFailure::kOptions:
      break;
  }
  return MMFCAST_E_OPTIONS;
}

std::string what_of(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown exception";
  }
}

mmfcast_channel* join(const mmfcast::ChannelOptions& options) {
  try {
    auto* channel = new mmfcast_channel(options);
    channel->failure = failure_of(channel->channel.join_failure());
    return channel;
  } catch (...) {
    return nullptr;
  }
}

// Whether a text the Channel refused with kFailed was refused for what it holds (rather than
// for the lock, the write or the broadcast). Only asked after a refusal, so a text that is
// sent is checked once.
template <typename Char>
bool text_refused(std::basic_string_view<Char> text) {
  if (text.empty() || text.find(Char{0}) != text.npos) return true;
  std::string bytes;
  std::u16string wide;
  if constexpr (sizeof(Char) == 1) {
    return !mmfcast::platform::decode_exact(text, wide).empty();
  } else {
    return !mmfcast::platform::encode_exact(text, bytes).empty();
  }
}

// Sends through the Channel and records what failed, if anything.
template <typename Char>
mmfcast_send_result send(mmfcast_channel* channel, std::basic_string_view<Char> text) {
  if (channel == nullptr) return MMFCAST_FAILED;
  channel->own_error = false;
  const Running running(*channel);
  try {
    switch (channel->channel.send(text)) {
      case mmfcast::SendResult::kSent:
        channel->failure = MMFCAST_OK;
        return MMFCAST_SENT;
      case mmfcast::SendResult::kTooLong:
        channel->failure = MMFCAST_E_TOO_LONG;
        return MMFCAST_TOO_LONG;
      case mmfcast::SendResult::kNotAllReached:
        channel->failure = MMFCAST_E_NOT_ALL_REACHED;
        return MMFCAST_NOT_ALL_REACHED;
      case mmfcast::SendResult::kFailed:
        break;
    }
    channel->failure = !channel->channel.joined() ? MMFCAST_E_NOT_JOINED
                       : text_refused(text)       ? MMFCAST_E_TEXT
                                                  : MMFCAST_E_SEND;
    return MMFCAST_FAILED;
  } catch (...) {
    channel->error = "receiving while sending: " + what_of(std::current_exception());
    channel->own_error = true;
    channel->failure = MMFCAST_E_RECEIVE;
    return MMFCAST_FAILED;
  }
}

}  // namespace

extern "C" {

mmfcast_channel* mmfcast_join(const char* name, size_t area_size, const char* session_dir) {
  try {
    return join(options_for(name, area_size, session_dir));
  } catch (...) {
    return nullptr;
  }
}

mmfcast_channel* mmfcast_join_options(const mmfcast_options* options) {
  try {
    mmfcast::ChannelOptions read;
    if (std::string problem = read_options(options, read); !problem.empty()) {
      // A handle that did not join, as for any refused option: the Channel is given an empty
      // name, which it refuses without touching the session, and the message is ours.
      read = mmfcast::ChannelOptions{};
      read.name.clear();
      mmfcast_channel* channel = join(read);
      if (channel != nullptr) {
        channel->error = std::move(problem);
        channel->own_error = true;
      }
      return channel;
    }
    return join(read);
  } catch (...) {
    return nullptr;
  }
}

const char* mmfcast_version(void) { return MMFCAST_VERSION_STRING; }

int mmfcast_leave(mmfcast_channel* channel) {
  if (channel == nullptr) return 0;
  if (channel->running > 0) {
    channel->error =
        "cannot leave the channel from inside its own send or dispatch (its receive function); "
        "leave it once that call has returned";
    channel->own_error = true;
    channel->failure = MMFCAST_E_IN_USE_BY_CALL;
    return -1;
  }
  delete channel;
  return 0;
}

int mmfcast_joined(const mmfcast_channel* channel) {
  return channel != nullptr && channel->channel.joined() ? 1 : 0;
}

const char* mmfcast_error(const mmfcast_channel* channel) {
  if (channel == nullptr) return "no channel";
  return channel->own_error ? channel->error.c_str() : channel->channel.error().c_str();
}

mmfcast_failure mmfcast_last_failure(const mmfcast_channel* channel) {
  return channel == nullptr ? MMFCAST_E_NO_CHANNEL : channel->failure;
}

size_t mmfcast_max_text_bytes(const mmfcast_channel* channel) {
  return channel == nullptr ? 0 : channel->channel.max_text_bytes();
}

mmfcast_send_result mmfcast_send(mmfcast_channel* channel, const char* text, size_t length) {
  return send(channel, std::string_view(text == nullptr ? "" : text, text == nullptr ? 0 : length));
}

mmfcast_send_result mmfcast_send_utf16(mmfcast_channel* channel, const uint16_t* text,
                                       size_t length) {
  try {
    // char16_t and uint16_t are distinct types: the units are copied, not reinterpreted.
    const std::u16string units(text == nullptr ? nullptr : text,
                               text == nullptr ? nullptr : text + length);
    return send(channel, std::u16string_view(units));
  } catch (...) {
    if (channel == nullptr) return MMFCAST_FAILED;
    channel->error = "sending: " + what_of(std::current_exception());
    channel->own_error = true;
    channel->failure = MMFCAST_E_SEND;
    return MMFCAST_FAILED;
  }
}

void mmfcast_on_receive(mmfcast_channel* channel, mmfcast_receive_fn receive, void* user) {
  if (channel == nullptr) return;
  if (receive == nullptr) {
    channel->channel.on_receive(nullptr);
    return;
  }
  // Two pointers, which std::function keeps without allocating in the libraries we build
  // with; should one allocate and fail, the texts are dropped as for NULL, and the error says so.
  try {
    channel->channel.on_receive(
        [receive, user](const std::string& text) { receive(text.c_str(), text.size(), user); });
  } catch (...) {
    channel->channel.on_receive(nullptr);
    channel->error = "setting the receive function: " + what_of(std::current_exception());
    channel->own_error = true;
    channel->failure = MMFCAST_E_RECEIVE;
  }
}

int mmfcast_event_fd(const mmfcast_channel* channel) {
  return channel == nullptr ? -1 : channel->channel.event_fd();
}

int mmfcast_dispatch(mmfcast_channel* channel, int timeout_ms) {
  if (channel == nullptr) return -1;
  channel->own_error = false;
  const Running running(*channel);
  try {
    const int handled = channel->channel.dispatch(timeout_ms);
    channel->failure = handled >= 0                ? MMFCAST_OK
                       : channel->channel.joined() ? MMFCAST_E_SESSION
                                                   : MMFCAST_E_NOT_JOINED;
    return handled;
  } catch (...) {
    channel->error = "receiving: " + what_of(std::current_exception());
    channel->own_error = true;
    channel->failure = MMFCAST_E_RECEIVE;
    return -1;
  }
}

uint64_t mmfcast_missed(const mmfcast_channel* channel) {
  return channel == nullptr ? 0 : channel->channel.missed();
}

const char* mmfcast_missed_reason(mmfcast_channel* channel) {
  if (channel == nullptr) return "";
  try {
    channel->missed_reason = channel->channel.missed_reason();
  } catch (...) {
    channel->missed_reason = "texts were missed";
  }
  return channel->missed_reason.c_str();
}

}  // extern "C"
