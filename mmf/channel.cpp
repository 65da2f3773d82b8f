// The channel object over cMMF, the window hook and the platform layer. Joining takes the
// steps every copy takes (register the notification, open the area, hook a hidden window);
// the window hook serves one cMMF object per process, so one Channel per process is joined.
#include "mmf/channel.h"

#include <atomic>
#include <deque>
#include <exception>
#include <utility>
#include <variant>

#include "hook/ModSubclass.h"
#include "mmf/cMMF.h"
#include "mmf/pub_channel.h"
#include "platform/platform.h"

namespace mmfcast {
namespace {

// Whether a Channel of this process is joined.
std::atomic<bool> channel_joined{false};

// The messages that reached the channel's window, through the hook; Linux's dispatch counts
// with it what it handled.
std::atomic<long> messages_seen{0};

platform::LResult MMFCAST_CALLBACK channel_procedure(platform::Hwnd, std::uint32_t,
                                                     platform::WParam, platform::LParam) {
  messages_seen.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

// "what: why", with the reason the platform layer recorded for the failure of the step just
// taken (each step starts with clear_last_error, so an earlier one's is not reported).
std::string because(const std::string& what) {
  const std::string why = platform::last_error_text();
  return why.empty() ? what : what + ": " + why;
}

// Whether the hook sits on window. StartSubclass hooks nothing while another window of this
// process is still hooked (its object gone without StopSubclass); this looks by putting the
// hook in place and, when it was not there, putting back what was.
bool hook_is_on(platform::Hwnd window) {
  const auto hook = reinterpret_cast<platform::LongPtr>(&ModSubclass::WindowProc);
  const platform::LongPtr installed = platform::SetWindowLongA(window, platform::kGwlWndProc, hook);
  if (installed == hook) return true;
  platform::SetWindowLongA(window, platform::kGwlWndProc, installed);
  return false;
}

}  // namespace

struct Channel::State {
  cMMF mmf;
  std::int32_t index = 0;
  std::size_t area_size = 0;
  platform::Hwnd window = 0;
  bool joined = false;
  JoinFailure failure = JoinFailure::kNone;
  std::string error;
  ReceiveHandler handler;
  // Texts the hook delivered, not yet handed to the handler; a throwing handler leaves the
  // rest here for the next call.
  std::deque<std::string> inbox;
  std::exception_ptr delivery_error;  // raised while the hook delivered, not yet rethrown

  bool join();
  void fail(JoinFailure step, std::string why) {
    failure = step;
    error = std::move(why);
  }
  void release_area();
  void received(const std::u16string& padded);
  void hand_over();
};

bool Channel::State::join() {
  if (channel_joined.load()) {
    fail(JoinFailure::kInUse,
         "this process already has a joined channel; only one is served per process");
    return false;
  }
  if (ModSubclass::objMMF != nullptr) {
    fail(JoinFailure::kInUse,
         "a cMMF object of this process is already hooked; only one is served per process");
    return false;
  }
  platform::clear_last_error();
  if (!platform::session_usable()) {
    fail(JoinFailure::kSession, because("cannot use the session"));
    return false;
  }
  platform::clear_last_error();
  const std::int32_t id = mmf.RegWindowMsg(kPubMessageName);
  if (id == 0) {
    fail(JoinFailure::kSession, because("cannot register the notification message"));
    return false;
  }
  platform::clear_last_error();
  index = mmf.AddMMFItem(kPubMemoryName, kPubMemoryLength);
  MMFItem item;
  if (mmf.OpenMMF(index) != 1 || mmf.GetMMFItem(index, item) != 1 ||
      (area_size = platform::view_size(item.lpMapView)) == 0) {
    fail(JoinFailure::kArea, because("cannot open the shared area"));
    return false;
  }
  platform::clear_last_error();
  window = platform::create_window(&channel_procedure);
#if defined(_WIN32)
  const bool can_receive = window != 0;
#else
  const bool can_receive = window != 0 && platform::event_fd() >= 0;
#endif
  if (!can_receive) {
    fail(JoinFailure::kSession, because("cannot create a window to receive on"));
    return false;
  }
  if (channel_joined.exchange(true)) {
    fail(JoinFailure::kInUse,
         "this process already has a joined channel; only one is served per process");
    return false;
  }
  mmf.DataArrival = [this](const std::u16string& text) { received(text); };
  ModSubclass::lMsgID = static_cast<std::uint32_t>(id);
  mmf.StartSubclass(window);
  if (!hook_is_on(window)) {
    mmf.StopSubclass(window);
    ModSubclass::lMsgID = 0;
    channel_joined = false;
    fail(JoinFailure::kInUse,
         "another window of this process is still hooked; only one is served per process");
    return false;
  }
  joined = true;
  return true;
}

// cMMF keeps an area open until the process ends; a Channel gives its view back when it goes,
// so that joining again and again does not map the area again and again.
void Channel::State::release_area() {
  MMFItem item;
  if (index == 0 || mmf.GetMMFItem(index, item) != 1) return;
  if (item.lpMapView != 0) platform::UnmapViewOfFile(item.lpMapView);
  if (item.hMapFile != 0) platform::CloseHandle(item.hMapFile);
  mmf.RemoveMMFItem(index);
  index = 0;
}

// The area's text arrives padded with characters of code 0 to the sender's length; the text
// ends at the first of them, as a text box shows it. It is kept for hand_over: nothing thrown
// here may cross the system's message dispatch.
void Channel::State::received(const std::u16string& padded) {
  if (!handler) return;
  try {
    inbox.push_back(platform::to_ansi(std::u16string_view(padded).substr(0, padded.find(u'\0'))));
  } catch (...) {
    if (!delivery_error) delivery_error = std::current_exception();
  }
}

// Runs once the platform's delivery has returned: hands the kept texts to the handler in order.
// A text is taken off the queue before its handler runs, so one that throws is not handed over
// twice, and the ones after it stay for the next call.
void Channel::State::hand_over() {
  if (delivery_error) std::rethrow_exception(std::exchange(delivery_error, nullptr));
  while (!inbox.empty() && handler) {
    const std::string text = std::move(inbox.front());
    inbox.pop_front();
    handler(text);
  }
}

Channel::Channel() : state_(std::make_unique<State>()) {
  if (!state_->join()) {
    if (state_->window != 0) platform::destroy_window(state_->window);
    state_->window = 0;
    state_->release_area();
  }
}

Channel::~Channel() {
  State& s = *state_;
  if (s.joined) {
    s.mmf.StopSubclass(s.window);
    ModSubclass::lMsgID = 0;
    platform::destroy_window(s.window);
    channel_joined = false;
  }
  s.release_area();
}

bool Channel::joined() const { return state_->joined; }

const std::string& Channel::error() const { return state_->error; }

JoinFailure Channel::join_failure() const { return state_->failure; }

std::size_t Channel::max_text_bytes() const { return state_->joined ? state_->area_size - 1 : 0; }

SendResult Channel::send(std::string_view text) { return send(platform::from_ansi(text)); }

SendResult Channel::send(std::u16string_view text) {
  State& s = *state_;
  if (!s.joined) {
    if (s.error.empty()) s.error = "not joined to the channel";
    return SendResult::kFailed;
  }
  if (text.find(u'\0') != std::u16string_view::npos) {
    s.error = "the text holds a character of code 0; a receiver would see it cut there";
    return SendResult::kFailed;
  }
  const std::u16string whole(text);
  const std::size_t bytes = platform::to_ansi(whole).size();
  if (bytes > max_text_bytes()) {
    s.error = "text too long for the shared area (" + std::to_string(bytes) + " bytes, " +
              std::to_string(max_text_bytes()) + " at most)";
    return SendResult::kTooLong;
  }
  const auto length = static_cast<std::int32_t>(whole.size() + 1);
  platform::clear_last_error();
  bool tried = false;
  bool written = false;
  const bool sent = platform::send_locked(
      [&] {
        tried = true;
        written = s.mmf.WriteMMF(s.index, whole) != 0;
      },
      [&] {
        return written && std::holds_alternative<std::int32_t>(s.mmf.SendMesageAll(
                              u"", static_cast<std::int32_t>(ModSubclass::lMsgID), length, 0));
      });
  if (!tried) {
    s.error = because("cannot take the send lock");
  } else if (!written) {
    s.error = because("cannot write the text into the shared area");
  } else if (!sent && platform::broadcast_unreached() > 0) {
    // The others have it; the reason says how many did not.
    s.error = platform::last_error_text();
  } else if (!sent) {
    s.error = because("the broadcast failed");
  } else {
    s.error.clear();
  }
  s.hand_over();
  return sent ? SendResult::kSent : SendResult::kFailed;
}

void Channel::on_receive(ReceiveHandler handler) { state_->handler = std::move(handler); }

int Channel::event_fd() const {
#if defined(_WIN32)
  return -1;
#else
  return state_->joined ? platform::event_fd() : -1;
#endif
}

int Channel::dispatch(int timeout_ms) {
  State& s = *state_;
  if (!s.joined) return -1;
#if defined(_WIN32)
  const int handled = platform::pump_messages(timeout_ms);
#else
  // pump_messages waits as asked but handles one batch of what is ready; dispatch_pending
  // handles all of it, so without a wait it alone is enough. What was handled is counted at
  // the window.
  const long before = messages_seen.load(std::memory_order_relaxed);
  int handled =
      timeout_ms == 0 ? (platform::event_fd() < 0 ? -1 : 0) : platform::pump_messages(timeout_ms);
  if (handled >= 0) {
    platform::dispatch_pending();
    handled = static_cast<int>(messages_seen.load(std::memory_order_relaxed) - before);
  }
#endif
  s.hand_over();
  return handled;
}

}  // namespace mmfcast
