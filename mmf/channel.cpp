// The channel object over cMMF and the platform layer. Joining takes the steps every copy takes
// (register the notification, open the area, make a window that hears it). Each Channel has a
// hidden window of its own whose procedure reads its own area, so one process may take part in
// several channels; the process-wide window hook stays with cMMF's StartSubclass and the
// desktop program's window. A table of the joined Channels refuses a channel joined twice and
// finds a window's Channel for its procedure.
#include "mmf/channel.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <filesystem>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <variant>

#include "hook/ModSubclass.h"
#include "mmf/cMMF.h"
#include "mmf/pub_channel.h"
#include "mmf/send_text.h"
#include "platform/platform.h"

namespace mmfcast {

// "what: why", with the reason the platform layer recorded for the failure of the step just
// taken (each step starts with clear_last_error, so an earlier one's is not reported).
static std::string because(const std::string& what) {
  const std::string why = platform::last_error_text();
  return why.empty() ? what : what + ": " + why;
}

struct Channel::State {
  ChannelOptions options;
  cMMF mmf;
  std::int32_t index = 0;
  std::uint32_t message_id = 0;
  std::size_t area_size = 0;
  platform::ViewAddr view = 0;  // the area's, open from join to leave ...
  std::size_t view_bytes = 0;   // ... and its size
  platform::Hwnd window = 0;
  bool joined = false;
  JoinFailure failure = JoinFailure::kNone;
  std::string error;
  ReceiveHandler handler;
  // Texts the window delivered, not yet handed to the handler; a throwing handler leaves the
  // rest here for the next call.
  std::deque<std::string> inbox;
  std::size_t inbox_bytes = 0;
  // Texts missed: the process's count when the Channel joined (the ones before are not its
  // own), texts dropped from the full inbox, and the reason of the latest.
  std::uint64_t missed_before = 0;
  std::uint64_t process_missed_seen = 0;
  std::uint64_t dropped = 0;
  std::string missed_why;
  std::exception_ptr delivery_error;  // raised while the window delivered, not yet rethrown
  // With answer_in_delivery: set while the handler runs inside a delivery, and what it answers.
  bool answering = false;
  std::uint32_t answer_unreached = 0;
  std::string answer_reason;
  long arrived = 0;           // this channel's notifications the window handled
  long arrived_reported = 0;  // ... as of the previous dispatch()
#if !defined(_WIN32)
  // What event_fd() gives: readable while the process's notifications wait, and marked while
  // the inbox holds texts. Another Channel's dispatch may take in this channel's
  // notifications; they still wake this one's watcher.
  platform::WaitSet watch;
#endif
  // While this channel's own dispatch or send runs it hands texts over itself before it
  // returns, so the waiting descriptor is brought in line once, at the end, not per text.
  int busy = 0;
  // Set when the Channel was destroyed while one of its calls ran (from its handler): the
  // state those calls still use is destroyed when the outermost of them returns.
  std::unique_ptr<State> keep_until_idle;
#if !defined(_WIN32)
  // The process that made the Channel: in a child made by fork() the window, the view and the
  // waiting descriptor are its parent's, and the Channel refuses to work.
  int owner = platform::process_id();
#endif

  // The joined Channels of this process, by window, so that a window's procedure finds its
  // Channel. Recursive: a window procedure may run while the table is held. A forked child
  // starts with an empty table: its parent's Channels are not its own.
  struct Table {
    std::recursive_mutex mutex;
    std::map<platform::Hwnd, State*> by_window;
#if !defined(_WIN32)
    int owner = platform::process_id();
#endif
  };
  static Table& table();
  static platform::LResult MMFCAST_CALLBACK procedure(platform::Hwnd hWnd, std::uint32_t uMsg,
                                                      platform::WParam wParam, platform::LParam);

  bool join();
  bool join_steps();
  void fail(JoinFailure step, std::string why) {
    failure = step;
    error = std::move(why);
  }
  void leave();
  void release_area();
  platform::LResult notified(platform::Hwnd hWnd, std::uint32_t msg, platform::WParam length,
                             platform::LParam tag);
  std::optional<std::string> read_line(platform::Hwnd hWnd, std::uint32_t msg,
                                       platform::WParam length, platform::LParam tag);
  void received(std::string text);
  platform::LResult handle_in_delivery(const std::string& text);
  void hand_over();
  void inbox_changed();
  bool inherited() const;
  bool usable();
  void keep(std::string text);
  std::string take();
  void clear_inbox();
  void note_process_missed();

  // Marks the channel's own dispatch or send in progress, and settles its waiting descriptor
  // when it ends.
  class Busy {
   public:
    explicit Busy(State& state) : state_(state) { ++state_.busy; }
    ~Busy() {
      --state_.busy;
      state_.inbox_changed();
      // The Channel went while this call ran: its state goes now, as the last thing done.
      if (state_.busy == 0) state_.keep_until_idle.reset();
    }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

   private:
    State& state_;
  };
};

namespace {

// Whether prefix followed by suffix spells whole.
constexpr bool spells(const char* prefix, const char* suffix, const char16_t* whole) {
  for (; *prefix != '\0'; ++prefix, ++whole) {
    if (*whole != static_cast<char16_t>(*prefix)) return false;
  }
  for (; *suffix != '\0'; ++suffix, ++whole) {
    if (*whole != static_cast<char16_t>(*suffix)) return false;
  }
  return *whole == u'\0';
}
static_assert(spells(kDesktopChannelName, "Memory", kPubMemoryName) &&
                  spells(kDesktopChannelName, "Message", kPubMessageName),
              "the default options must name the desktop program's channel");

// Why the options name no channel that can be joined; "" when they do.
std::string options_problem(const ChannelOptions& o) {
  if (o.area_name.empty() || o.message_name.empty()) return "the channel's name is empty";
  // Each name must stand for one object only: names that the session would store cut, or
  // convert into another name, are refused rather than joined with some other channel.
  if (const std::size_t zero = o.name.find('\0'); zero != std::string::npos) {
    return "the channel name holds a byte 0 at offset " + std::to_string(zero);
  }
  std::u16string decoded;
  if (std::string why = platform::decode_exact(o.name, decoded); !why.empty()) {
    return "the channel name cannot be used: " + why;
  }
  const bool derived_area = o.area_name == o.name + "Memory";
  const bool derived_message = o.message_name == o.name + "Message";
  for (const auto& [name, kind, what] :
       {std::tuple{&o.area_name, platform::NameKind::kMapping,
                   derived_area ? "area name (the channel name and \"Memory\")" : "area name"},
        std::tuple{&o.message_name, platform::NameKind::kMessage,
                   derived_message ? "message name (the channel name and \"Message\")"
                                   : "message name"}}) {
    if (std::string why = platform::name_problem(*name, kind); !why.empty()) {
      return std::string("the channel's ") + what + " cannot be used: " + why;
    }
  }
  // Programs that follow the windows' interface read the windows' area as 4096 bytes.
  if (o.area_name == platform::to_ansi(kPubMemoryName) && o.area_size != kPubMemoryLength) {
    return "the windows' channel is " + std::to_string(kPubMemoryLength) +
           " bytes; another size "
           "needs a channel of its own (--channel NAME)";
  }
  if (o.area_size < kMinAreaSize || o.area_size > kMaxAreaSize) {
    return "area size " + std::to_string(o.area_size) + " is out of range (" +
           std::to_string(kMinAreaSize) + " to " + std::to_string(kMaxAreaSize) + " bytes)";
  }
  return {};
}

#if !defined(_WIN32)
// Makes the process use the options' session directory; "" when it does, else why not. A
// process has one session, so another one is refused while a Channel of it is joined there.
std::string use_session_dir(ChannelOptions& o, bool others_joined) {
  const char* current = std::getenv("MMFCAST_SESSION_DIR");
  if (o.session_dir.empty()) {
    if (current != nullptr) o.session_dir = current;
    return {};
  }
  std::error_code error;
  const std::string wanted = std::filesystem::absolute(o.session_dir, error).string();
  if (error) return "session directory " + o.session_dir + ": " + error.message();
  o.session_dir = wanted;
  if (current != nullptr && wanted == current) return {};
  if (others_joined) {
    return "this process's channels use session directory " +
           std::string(current != nullptr && *current != '\0' ? current : "(the default)") +
           "; a process uses one session";
  }
  if (::setenv("MMFCAST_SESSION_DIR", wanted.c_str(), 1) != 0) {
    return "session directory " + wanted + ": cannot set MMFCAST_SESSION_DIR";
  }
  return {};
}
#endif

}  // namespace

Channel::State::Table& Channel::State::table() {
  static Table* const instance = new Table;  // windows may still be told things at exit
#if !defined(_WIN32)
  if (instance->owner != platform::process_id()) {
    std::lock_guard lock(instance->mutex);
    instance->by_window.clear();
    instance->owner = platform::process_id();
  }
#endif
  return *instance;
}

platform::LResult MMFCAST_CALLBACK Channel::State::procedure(platform::Hwnd hWnd,
                                                             std::uint32_t uMsg,
                                                             platform::WParam wParam,
                                                             platform::LParam lParam) {
  Table& t = table();
  std::lock_guard lock(t.mutex);
  auto found = t.by_window.find(hWnd);
  if (found != t.by_window.end() && uMsg == found->second->message_id) {
    return found->second->notified(hWnd, uMsg, wParam, lParam);
  }
  return 0;
}

bool Channel::State::join() {
  if (options.name.empty() && (options.area_name.empty() || options.message_name.empty())) {
    fail(JoinFailure::kOptions, "the channel's name is empty");
    return false;
  }
  if (options.area_name.empty()) options.area_name = options.name + "Memory";
  if (options.message_name.empty()) options.message_name = options.name + "Message";
  if (std::string problem = options_problem(options); !problem.empty()) {
    fail(JoinFailure::kOptions, std::move(problem));
    return false;
  }
  // The table is held from the check to the entry, so two joins of one channel cannot both
  // pass; nothing here runs a window procedure.
  Table& t = table();
  std::lock_guard lock(t.mutex);
  if (!join_steps()) return false;
  if (window != 0) t.by_window.emplace(window, this);
  joined = true;
  return true;
}

bool Channel::State::join_steps() {
  const std::map<platform::Hwnd, State*>& others = table().by_window;
#if !defined(_WIN32)
  if (std::string problem = use_session_dir(options, !others.empty()); !problem.empty()) {
    fail(JoinFailure::kInUse, std::move(problem));
    return false;
  }
#endif
  platform::clear_last_error();
  if (!platform::session_usable()) {
    fail(JoinFailure::kSession, because("cannot use the session"));
    return false;
  }
  platform::clear_last_error();
  const std::int32_t id = mmf.RegWindowMsg(platform::from_ansi(options.message_name));
  if (id == 0) {
    fail(JoinFailure::kSession,
         because("cannot register the notification message " + options.message_name));
    return false;
  }
  message_id = static_cast<std::uint32_t>(id);
  const std::u16string area = platform::from_ansi(options.area_name);
  // A channel that only sends has no window that could hear a text twice.
  if (options.receive) {
    for (const auto& [window_of_other, other] : others) {
      if (other->message_id == message_id || other->options.area_name == options.area_name) {
        fail(JoinFailure::kInUse, "this process has joined channel " + other->options.name +
                                      " (area " + other->options.area_name + ", message " +
                                      other->options.message_name +
                                      ") already; a process joins a channel once");
        return false;
      }
    }
  }
  if (ModSubclass::objMMF != nullptr &&
      (area == kPubMemoryName || message_id == ModSubclass::lMsgID)) {
    fail(JoinFailure::kInUse,
         "a cMMF object of this process is hooked on the desktop program's channel already; a "
         "process joins a channel once");
    return false;
  }
  platform::clear_last_error();
  index = mmf.AddMMFItem(area, static_cast<std::int32_t>(options.area_size));
  MMFItem item;
  if (mmf.OpenMMF(index) != 1 || mmf.GetMMFItem(index, item) != 1 ||
      (area_size = std::min(platform::view_size(item.lpMapView), options.area_size)) == 0) {
    fail(JoinFailure::kArea, because("cannot open the shared area " + options.area_name));
    return false;
  }
  view = item.lpMapView;
  view_bytes = platform::view_size(view);
  if (!options.receive) return true;
  platform::clear_last_error();
  window = platform::create_window(&procedure);
#if defined(_WIN32)
  const bool can_receive = window != 0;
#else
  const bool can_receive = window != 0 && platform::event_fd() >= 0;
  if (can_receive && !watch.open()) {
    fail(JoinFailure::kSession, because("cannot make a descriptor to watch"));
    return false;
  }
#endif
  if (!can_receive) {
    fail(JoinFailure::kSession, because("cannot create a window to receive on"));
    return false;
  }
  return true;
}

// Takes down what join made, whether it was joined or failed part way.
void Channel::State::leave() {
  if (window != 0) {
    {
      Table& t = table();
      std::lock_guard lock(t.mutex);
      t.by_window.erase(window);
    }
    platform::destroy_window(window);
    window = 0;
  }
  joined = false;
#if !defined(_WIN32)
  watch.close();
#endif
  release_area();
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
  view = 0;
  view_bytes = 0;
}

platform::LResult Channel::State::notified(platform::Hwnd hWnd, std::uint32_t msg,
                                           platform::WParam length, platform::LParam tag) {
  ++arrived;
  std::optional<std::string> text = read_line(hWnd, msg, length, tag);
  if (!text) return 0;
  if (options.answer_in_delivery) return handle_in_delivery(*text);
  received(std::move(*text));
  return 0;
}

// The notified text in the ANSI code page, up to its first character of code 0, as a text box
// shows it; nullopt when there is none to show. Nothing thrown here may cross the system's
// delivery: it is kept for the next dispatch() or send().
std::optional<std::string> Channel::State::read_line(platform::Hwnd hWnd, std::uint32_t msg,
                                                     platform::WParam length,
                                                     platform::LParam tag) {
  try {
#if defined(_WIN32)
    const std::optional<std::u16string> padded =
        read_notified_text(mmf, index, hWnd, msg, length, tag);
    if (!padded) return std::nullopt;
    return platform::to_ansi(std::u16string_view(*padded).substr(0, padded->find(u'\0')));
#else
    // Every notification is read as it says here; the area's view stays until leave().
    (void)hWnd, (void)msg, (void)tag;
    return read_notified_line(view, view_bytes, length);
#endif
  } catch (...) {
    if (!delivery_error) delivery_error = std::current_exception();
    inbox_changed();
    return std::nullopt;
  }
}

// Runs the handler before the sender is answered, and answers with what it said. An exception
// is kept for the next dispatch() or send(): nothing thrown may cross the system's delivery.
platform::LResult Channel::State::handle_in_delivery(const std::string& text) {
  if (!handler) return 0;
  if (answering) {  // the handler dispatched, which it must not: the text cannot be handed over
    ++dropped;
    missed_why = "a text arrived while the handler ran inside its delivery";
    return 0;
  }
  answering = true;
  answer_unreached = 0;
  answer_reason.clear();
  try {
    const ReceiveHandler run = handler;  // the handler may replace itself
    run(text);
  } catch (...) {
    if (!delivery_error) delivery_error = std::current_exception();
    inbox_changed();
  }
  answering = false;
  return platform::answer_beyond(std::exchange(answer_unreached, 0), answer_reason);
}

// Kept for hand_over: nothing thrown here may cross the system's message dispatch.
void Channel::State::received(std::string text) {
  if (!handler) return;
  try {
    keep(std::move(text));
  } catch (...) {
    if (!delivery_error) delivery_error = std::current_exception();
  }
  inbox_changed();
}

// Runs once the platform's delivery has returned: hands the kept texts to the handler in order.
// A text is taken off the queue before its handler runs, so one that throws is not handed over
// twice, and the ones after it stay for the next call.
void Channel::State::hand_over() {
  if (delivery_error) {
    const std::exception_ptr failure = std::exchange(delivery_error, nullptr);
    inbox_changed();
    std::rethrow_exception(failure);
  }
  while (!inbox.empty() && handler && joined) {  // the handler may have destroyed the Channel
    const std::string text = take();
    inbox_changed();
    handler(text);
  }
  if (!handler && !inbox.empty()) {  // the handler was taken away: its texts are dropped
    clear_inbox();
    inbox_changed();
  }
}

// Whether the Channel was joined by this process's parent, before a fork.
bool Channel::State::inherited() const {
#if defined(_WIN32)
  return false;
#else
  return joined && owner != platform::process_id();
#endif
}

// Whether the Channel can send and dispatch in this process; says why not in error.
bool Channel::State::usable() {
  if (inherited()) {
#if !defined(_WIN32)
    error = "this channel was joined by process " + std::to_string(owner) +
            ", the parent of this one; a child made by fork() shares none of its parent's "
            "channels: join the channel anew in the child";
#endif
    return false;
  }
  if (!joined && error.empty()) error = "not joined to the channel";
  return joined;
}

// Queues a text for the handler within the inbox's bounds, dropping the oldest to make room.
void Channel::State::keep(std::string text) {
  while (!inbox.empty() &&
         (inbox.size() >= kInboxMaxTexts || inbox_bytes + text.size() > kInboxMaxBytes)) {
    take();
    ++dropped;
    missed_why = "the channel's inbox was full";
  }
  inbox_bytes += text.size();
  inbox.push_back(std::move(text));
}

std::string Channel::State::take() {
  std::string text = std::move(inbox.front());
  inbox.pop_front();
  inbox_bytes -= text.size();
  return text;
}

void Channel::State::clear_inbox() {
  inbox.clear();
  inbox_bytes = 0;
}

// Takes the process's reason when its count of missed notifications has grown since last seen.
void Channel::State::note_process_missed() {
  const std::uint64_t now = platform::notifications_missed();
  if (now == process_missed_seen) return;
  process_missed_seen = now;
  missed_why = platform::notifications_missed_reason();
}

// Keeps the waiting descriptor readable exactly while texts (or a delivery error) wait.
void Channel::State::inbox_changed() {
#if !defined(_WIN32)
  if (busy == 0) watch.mark(!inbox.empty() || delivery_error);
#endif
}

Channel::Channel() : Channel(ChannelOptions{}) {}

Channel::Channel(const ChannelOptions& options) : state_(std::make_unique<State>()) {
  state_->options = options;
  if (!state_->join()) {
    state_->leave();
    return;
  }
  state_->missed_before = state_->process_missed_seen = platform::notifications_missed();
}

// Destroyed from inside its own dispatch() or send() (by its handler), the Channel leaves at
// once; the state those calls still use goes when they return.
Channel::~Channel() {
  State& s = *state_;
  s.leave();
  if (s.busy > 0) s.keep_until_idle = std::move(state_);
}

bool Channel::joined() const { return state_->joined && !state_->inherited(); }

const std::string& Channel::error() const { return state_->error; }

JoinFailure Channel::join_failure() const { return state_->failure; }

const ChannelOptions& Channel::options() const { return state_->options; }

std::size_t Channel::max_text_bytes() const { return joined() ? state_->area_size - 1 : 0; }

// The bytes are checked before they are converted, so that a refusal names the byte.
SendResult Channel::send(std::string_view text) {
  if (const std::size_t zero = text.find('\0'); zero != std::string_view::npos && joined()) {
    state_->error = "the text holds a byte 0 at offset " + std::to_string(zero) +
                    "; a receiver would see it cut there";
    return SendResult::kFailed;
  }
  std::u16string wide;
  if (std::string why = platform::decode_exact(text, wide); !why.empty() && joined()) {
    state_->error = std::move(why);
    return SendResult::kFailed;
  }
  return send(std::u16string_view(wide));
}

SendResult Channel::send(std::u16string_view text) {
  State& s = *state_;
  if (!s.usable()) return SendResult::kFailed;
  if (text.empty()) {
    s.error = "the text is empty; there is nothing to send";
    return SendResult::kFailed;
  }
  const State::Busy busy(s);
  SentText sent = send_text(s.mmf, s.index, s.message_id, text, max_text_bytes());
  s.error = std::move(sent.error);
  // Texts that arrived while sending go to the handler now; one that throws is raised by the
  // next dispatch, since what was sent must still be reported as sent.
  try {
    s.hand_over();
  } catch (...) {
    if (!s.delivery_error) s.delivery_error = std::current_exception();
    s.inbox_changed();
  }
  return sent.result;
}

void Channel::on_receive(ReceiveHandler handler) { state_->handler = std::move(handler); }

void Channel::answer(std::uint32_t unreached, std::string reason) {
  State& s = *state_;
  if (!s.answering || unreached == 0) return;
  if (s.answer_unreached == 0) s.answer_reason = std::move(reason);
  s.answer_unreached += unreached;
}

int Channel::event_fd() const {
#if defined(_WIN32)
  return -1;
#else
  return joined() ? state_->watch.fd() : -1;
#endif
}

int Channel::dispatch(int timeout_ms) {
  State& s = *state_;
  if (!s.usable()) return -1;
  if (s.window == 0) {  // sends only
    if (timeout_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
    return 0;
  }
  const State::Busy busy(s);
  // Texts taken in by another Channel's dispatch (or this one's send) are handed over at once.
  if (!s.inbox.empty() || s.delivery_error) timeout_ms = 0;
#if defined(_WIN32)
  const int handled = platform::pump_messages(timeout_ms);
#else
  // pump_messages waits as asked and handles what is then ready; without a wait,
  // dispatch_pending alone is enough.
  if (timeout_ms == 0) {
    platform::dispatch_pending();
  } else {
    platform::pump_messages(timeout_ms);
  }
  const int handled = static_cast<int>(s.arrived - s.arrived_reported);
  s.arrived_reported = s.arrived;
#endif
  s.hand_over();
  s.note_process_missed();
  if (std::string problem = platform::receive_problem(); !problem.empty()) {
    s.error = "no other copy can reach this one: " + problem;
    return -1;
  }
  return handled;
}

std::uint64_t Channel::missed() const {
  if (!state_->joined || state_->window == 0) return state_->dropped;
  return platform::notifications_missed() - state_->missed_before + state_->dropped;
}

std::string Channel::missed_reason() const {
  if (state_->joined && state_->window != 0) state_->note_process_missed();
  return state_->missed_why;
}

}  // namespace mmfcast
