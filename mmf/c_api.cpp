// The C interface over mmfcast::Channel. Nothing thrown may cross into C: each entry point
// catches what the Channel or the caller's function could raise and reports it through the
// handle's error text.
#include <mmfcast/mmfcast.h>

#include <exception>
#include <new>
#include <string>

#include "mmf/channel.h"

struct mmfcast_channel {
  explicit mmfcast_channel(const mmfcast::ChannelOptions& options) : channel(options) {}
  mmfcast::Channel channel;
  std::string error;  // what failed outside the Channel (the handler), else the Channel's
  bool own_error = false;
};

namespace {

mmfcast::ChannelOptions options_for(const char* name, size_t area_size, const char* session_dir) {
  mmfcast::ChannelOptions options;
  if (name != nullptr) options.name = name;
  if (area_size != 0) options.area_size = area_size;
  if (session_dir != nullptr) options.session_dir = session_dir;
  return options;
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

}  // namespace

extern "C" {

mmfcast_channel* mmfcast_join(const char* name, size_t area_size, const char* session_dir) {
  try {
    return new mmfcast_channel(options_for(name, area_size, session_dir));
  } catch (...) {
    return nullptr;
  }
}

void mmfcast_leave(mmfcast_channel* channel) { delete channel; }

int mmfcast_joined(const mmfcast_channel* channel) {
  return channel != nullptr && channel->channel.joined() ? 1 : 0;
}

const char* mmfcast_error(const mmfcast_channel* channel) {
  if (channel == nullptr) return "no channel";
  return channel->own_error ? channel->error.c_str() : channel->channel.error().c_str();
}

size_t mmfcast_max_text_bytes(const mmfcast_channel* channel) {
  return channel == nullptr ? 0 : channel->channel.max_text_bytes();
}

mmfcast_send_result mmfcast_send(mmfcast_channel* channel, const char* text, size_t length) {
  if (channel == nullptr) return MMFCAST_FAILED;
  channel->own_error = false;
  try {
    switch (channel->channel.send(
        std::string_view(text == nullptr ? "" : text, text == nullptr ? 0 : length))) {
      case mmfcast::SendResult::kSent:
        return MMFCAST_SENT;
      case mmfcast::SendResult::kTooLong:
        return MMFCAST_TOO_LONG;
      case mmfcast::SendResult::kNotAllReached:
        return MMFCAST_NOT_ALL_REACHED;
      default:
        return MMFCAST_FAILED;
    }
  } catch (...) {
    channel->error = "receiving while sending: " + what_of(std::current_exception());
    channel->own_error = true;
    return MMFCAST_FAILED;
  }
}

void mmfcast_on_receive(mmfcast_channel* channel, mmfcast_receive_fn receive, void* user) {
  if (channel == nullptr) return;
  if (receive == nullptr) {
    channel->channel.on_receive(nullptr);
    return;
  }
  channel->channel.on_receive(
      [receive, user](const std::string& text) { receive(text.c_str(), text.size(), user); });
}

int mmfcast_event_fd(const mmfcast_channel* channel) {
  return channel == nullptr ? -1 : channel->channel.event_fd();
}

int mmfcast_dispatch(mmfcast_channel* channel, int timeout_ms) {
  if (channel == nullptr) return -1;
  channel->own_error = false;
  try {
    return channel->channel.dispatch(timeout_ms);
  } catch (...) {
    channel->error = "receiving: " + what_of(std::current_exception());
    channel->own_error = true;
    return -1;
  }
}

}  // extern "C"
