// Copies of the program as the session transport sees them: each joins the channel the way
// mmfcast-cli does (the notification "MyPubMessage", the 4096-byte area "MyPubMemory" through
// cMMF) and sends with mmfcast::platform::send_locked, so the tests exercise exactly what a copy
// does. A failure says "failed CODE REASON" and ends with mmfcast-cli's exit code for it.
//   channel-listen [count=N] [timeout=MS]
//       hooks a hidden window, says "ready PID", then "line TEXT" for each text heard; ends 0
//       after N texts or on "quit" / end of input, 1 when MS pass without N texts.
//   channel-send [TEXT...]
//       says "joined", then sends each TEXT (or each line of input until "quit" or its end),
//       saying "sent MS" after each, MS being how long the send took, or "unreached MS REASON"
//       when it went out but did not reach every copy.
//   channel-stream PREFIX PAUSE_MS
//       says "streaming", then sends PREFIX-1, PREFIX-2, ... PAUSE_MS apart until a line or the
//       end of input arrives; says "streamed SENT failed FAILED".
//   channel-send-paused after-acquire|after-write TEXT
//       sends TEXT with the send lock, stopping at the named point of the first attempt to say
//       "paused" and wait for a line of input; says "sent first-hold", or "sent new-hold" when
//       its first hold was taken over meanwhile and the text went out under a new one.
//   session-lock-hold
//       takes the session lock, says "held", and keeps it until a line or the end of input.
//   endpoint-listen nest=N | no-descriptors
//       opens an endpoint (a hidden window) whose epoll set is nested in N more epoll sets, or
//       that has no descriptor left; says "ready", then "got MSG WPARAM" for each registered
//       message, until a line or the end of input; then "refused N", the senders it refused.
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "hook/ModSubclass.h"
#include "mmf/cMMF.h"
#include "platform/linux/transport/internal.h"
#include "platform/platform.h"
#include "tests/child/child_commands.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char16_t kMessageName[] = u"MyPubMessage";
constexpr std::int32_t kAreaSize = 4096;
constexpr int kTimedOut = 1;
constexpr int kNoSession = 3;
constexpr int kAreaUnusable = 4;
constexpr int kBroadcastFailed = 5;

int fail(int code, const std::string& what) {
  const std::string why = mmfcast::platform::last_error_text();
  child::say("failed " + std::to_string(code) + " " + (why.empty() ? what : what + ": " + why));
  return code;
}

// A full filesystem counts as the area being unusable, whichever step met it first.
int unless_full(int code) {
  return mmfcast::platform::last_error() == ENOSPC ? kAreaUnusable : code;
}

struct Channel {
  cMMF mmf;
  std::int32_t index = 0;
  std::int32_t message = 0;
};

int join(Channel& channel) {
  if (!mmfcast::platform::session_usable()) {
    return fail(unless_full(kNoSession), "no usable session directory");
  }
  channel.message = channel.mmf.RegWindowMsg(kMessageName);
  if (channel.message == 0) {
    return fail(unless_full(kNoSession), "cannot register the notification message");
  }
  channel.index = channel.mmf.AddMMFItem(mmfcast::kPubMemoryName, kAreaSize);
  if (channel.mmf.OpenMMF(channel.index) != 1) {
    return fail(kAreaUnusable, "cannot open the shared area");
  }
  return 0;
}

bool broadcast_text(Channel& channel, const std::u16string& text) {
  return std::holds_alternative<std::int32_t>(channel.mmf.SendMesageAll(
      u"", channel.message, static_cast<std::int32_t>(text.size() + 1), 0));
}

// Sends as mmfcast-cli does and says how long it took.
bool send_text(Channel& channel, const std::string& text) {
  const std::u16string wide = mmfcast::platform::from_ansi(text);
  const Clock::time_point start = Clock::now();
  const bool sent =
      mmfcast::platform::send_locked([&] { channel.mmf.WriteMMF(channel.index, wide); },
                                     [&] { return broadcast_text(channel, wide); });
  const auto took =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  if (!sent && mmfcast::platform::broadcast_unreached() > 0) {
    child::say("unreached " + std::to_string(took) + " " + mmfcast::platform::last_error_text());
    return true;
  }
  if (!sent) return false;
  child::say("sent " + std::to_string(took));
  return true;
}

// Puts a copy that a test may stop into a process group of its own. A process group that has a
// stopped member is sent SIGHUP when it becomes orphaned, which the test runner's group does
// when the shell that started the runner exits; a group of its own, whose parent is the test,
// is not orphaned while the test runs.
void own_process_group() { ::setpgid(0, 0); }

mmfcast::platform::LResult MMFCAST_CALLBACK plain_procedure(mmfcast::platform::Hwnd, std::uint32_t,
                                                            mmfcast::platform::WParam,
                                                            mmfcast::platform::LParam) {
  return 0;
}

int channel_listen(const std::vector<std::string>& args) {
  long count = 0;
  long timeout_ms = -1;
  for (const std::string& arg : args) {
    if (arg.rfind("count=", 0) == 0) {
      count = std::stol(arg.substr(6));
    } else if (arg.rfind("timeout=", 0) == 0) {
      timeout_ms = std::stol(arg.substr(8));
    } else {
      return 2;
    }
  }
  own_process_group();
  Channel channel;
  if (const int code = join(channel); code != 0) return code;
  const mmfcast::platform::Hwnd window = mmfcast::platform::create_window(&plain_procedure);
  if (window == 0 || mmfcast::platform::event_fd() < 0) {
    return fail(unless_full(kNoSession), "cannot create a window to receive on");
  }
  ModSubclass::lMsgID = static_cast<std::uint32_t>(channel.message);
  long heard = 0;
  channel.mmf.DataArrival = [&heard](const std::u16string& text) {
    child::say("line " + mmfcast::platform::to_ansi(text.substr(0, text.find(u'\0'))));
    ++heard;
  };
  channel.mmf.StartSubclass(window);
  child::BackgroundInput input;
  child::say("ready " + std::to_string(::getpid()));

  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  int code = 0;
  while (count == 0 || heard < count) {
    if (timeout_ms >= 0 && Clock::now() >= deadline) {
      code = kTimedOut;
      break;
    }
    pollfd watch{mmfcast::platform::event_fd(), POLLIN, 0};
    if (::poll(&watch, 1, 20) > 0) mmfcast::platform::dispatch_pending();
    std::string line;
    const auto got = input.poll(line);
    if (got != child::BackgroundInput::kNothingYet) break;
  }
  channel.mmf.StopSubclass(window);
  mmfcast::platform::destroy_window(window);
  return code;
}

int channel_send(const std::vector<std::string>& args) {
  Channel channel;
  if (const int code = join(channel); code != 0) return code;
  child::say("joined");
  if (!args.empty()) {
    for (const std::string& text : args) {
      if (!send_text(channel, text)) return fail(kBroadcastFailed, "the broadcast failed");
    }
    return 0;
  }
  std::string line;
  while (child::hear(line) && line != "quit") {
    if (!send_text(channel, line)) return fail(kBroadcastFailed, "the broadcast failed");
  }
  return 0;
}

int channel_stream(const std::vector<std::string>& args) {
  if (args.size() != 2) return 2;
  const auto pause = std::chrono::milliseconds(std::stol(args[1]));
  Channel channel;
  if (const int code = join(channel); code != 0) return code;
  child::BackgroundInput input;
  child::say("streaming");
  long sent = 0, failed = 0;
  for (long i = 1;; ++i) {
    const std::u16string text = mmfcast::platform::from_ansi(args[0] + "-" + std::to_string(i));
    if (mmfcast::platform::send_locked([&] { channel.mmf.WriteMMF(channel.index, text); },
                                       [&] { return broadcast_text(channel, text); })) {
      ++sent;
    } else {
      ++failed;
      std::fprintf(stderr, "send failed: %s\n", mmfcast::platform::last_error_text().c_str());
    }
    std::string line;
    if (input.poll(line) != child::BackgroundInput::kNothingYet) break;
    std::this_thread::sleep_for(pause);
  }
  child::say("streamed " + std::to_string(sent) + " failed " + std::to_string(failed));
  return 0;
}

int channel_send_paused(const std::vector<std::string>& args) {
  if (args.size() != 2 || (args[0] != "after-acquire" && args[0] != "after-write")) return 2;
  const bool after_acquire = args[0] == "after-acquire";
  own_process_group();
  Channel channel;
  if (const int code = join(channel); code != 0) return code;
  const std::u16string text = mmfcast::platform::from_ansi(args[1]);
  int writes = 0;
  bool paused = false;
  // Stops the first attempt at the point the test names, once.
  const auto pause = [&] {
    paused = true;
    child::say("paused");
    std::string go;
    child::hear(go);
  };
  const auto write = [&] {
    channel.mmf.WriteMMF(channel.index, text);
    ++writes;
    if (!after_acquire && !paused) pause();
  };
  const auto broadcast = [&] { return broadcast_text(channel, text); };

  bool sent = false;
  if (after_acquire) {
    // The first attempt by hand, as send_locked makes it, stopping once the lock is held.
    mmfcast::platform::SendLock lock;
    if (!lock.held()) return fail(kBroadcastFailed, "no send lock in this session");
    pause();
    if (lock.still_held()) {
      write();
      sent = lock.still_held() && broadcast();
    }
  }
  if (!sent && !mmfcast::platform::send_locked(write, broadcast)) {
    return fail(kBroadcastFailed, "the broadcast failed");
  }
  const bool new_hold = after_acquire ? !sent : writes > 1;
  child::say(new_hold ? "sent new-hold" : "sent first-hold");
  return 0;
}

int session_lock_hold(const std::vector<std::string>& args) {
  if (!args.empty()) return 2;
  own_process_group();
  const mmfcast::platform::os::SessionPtr dir = mmfcast::platform::os::current_session();
  if (!dir) return fail(kNoSession, "no usable session directory");
  mmfcast::platform::os::UniqueFd lock;
  if (!mmfcast::platform::os::guarded(false, [&] {
        lock = mmfcast::platform::os::lock_session(dir->path);
        return true;
      })) {
    return fail(kNoSession, "cannot take the session lock");
  }
  child::say("held");
  std::string line;
  child::hear(line);
  return 0;
}

mmfcast::platform::LResult MMFCAST_CALLBACK telling_procedure(mmfcast::platform::Hwnd,
                                                              std::uint32_t msg,
                                                              mmfcast::platform::WParam w,
                                                              mmfcast::platform::LParam) {
  if (msg >= 0xC000 && msg <= 0xFFFF) {
    child::say("got " + std::to_string(msg) + " " + std::to_string(w));
  }
  return 0;
}

// Nests the endpoint's epoll set `depth` sets deep; the sets stay open in `held`.
bool nest_endpoint(int depth, std::vector<mmfcast::platform::os::UniqueFd>& held) {
  int inner = mmfcast::platform::event_fd();
  for (int i = 0; i < depth; ++i) {
    held.emplace_back(::epoll_create1(EPOLL_CLOEXEC));
    epoll_event ev{};
    ev.events = EPOLLIN;
    if (!held.back().valid() || ::epoll_ctl(held.back().get(), EPOLL_CTL_ADD, inner, &ev) != 0) {
      return false;
    }
    inner = held.back().get();
  }
  return true;
}

// Lowers the descriptor limit to what is open now, and fills it: no descriptor is left.
void use_every_descriptor(std::vector<mmfcast::platform::os::UniqueFd>& held) {
  const rlimit low{64, 64};
  ::setrlimit(RLIMIT_NOFILE, &low);
  for (;;) {
    mmfcast::platform::os::UniqueFd fd(::dup(STDERR_FILENO));
    if (!fd.valid()) break;
    held.push_back(std::move(fd));
  }
}

int endpoint_listen(const std::vector<std::string>& args) {
  if (args.size() != 1) return 2;
  const mmfcast::platform::Hwnd window = mmfcast::platform::create_window(&telling_procedure);
  if (window == 0) return kNoSession;
  std::vector<mmfcast::platform::os::UniqueFd> held;
  if (args[0] == "no-descriptors") {
    use_every_descriptor(held);
  } else if (args[0].rfind("nest=", 0) != 0 || !nest_endpoint(std::stoi(args[0].substr(5)), held)) {
    return 2;
  }
  child::say("ready");
  for (;;) {
    mmfcast::platform::pump_messages(10);
    pollfd input{STDIN_FILENO, POLLIN, 0};
    if (::poll(&input, 1, 0) > 0) break;  // a line, or the end of input
  }
  child::say("refused " + std::to_string(mmfcast::platform::refused_senders()));
  mmfcast::platform::destroy_window(window);
  return 0;
}

const child::Registration listen_registration("channel-listen", channel_listen);
const child::Registration endpoint_listen_registration("endpoint-listen", endpoint_listen);
const child::Registration send_registration("channel-send", channel_send);
const child::Registration stream_registration("channel-stream", channel_stream);
const child::Registration paused_registration("channel-send-paused", channel_send_paused);
const child::Registration session_lock_registration("session-lock-hold", session_lock_hold);

}  // namespace
