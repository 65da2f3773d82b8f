// mmfcast::Channel: one named channel of the session, in one object. By default it is the
// channel every copy of the desktop program joins; ChannelOptions names another one, for a
// program whose own copies tell each other things. Joining registers the notification, opens
// (or creates) the shared area and creates a hidden window of this process with the channel's
// own procedure; send() writes a text and announces it under the session's send lock; each text
// another process sends on the channel reaches the on_receive handler from dispatch(), which an
// event loop calls when event_fd() is readable (Linux) or in its idle time (Windows). Texts
// cross the channel as bytes of the system code page (UTF-8 on Linux), up to the area's first
// zero byte; send() carries a text exactly or refuses it and says why.
//
// A process may join several channels, each with its own handler, but each channel once. All
// the Channels of a process are used on one thread: the one that constructs them sends and
// dispatches (on Windows their windows belong to that thread). A child made with fork() shares
// none of its parent's Channels: there a Channel made before the fork is not joined(), its
// send() and dispatch() fail saying so, and destroying it leaves the parent's channel as it
// was; the child joins anew. A Channel may be destroyed from inside its own handler: it leaves
// the channel at once (the handler is given no further text), and what the running dispatch()
// or send() still uses goes when that call returns.
// Ownership: a Channel owns its window, its view of the area and (on Linux) the descriptor
// event_fd() gives, until it is destroyed; the texts handed to the handler are the handler's
// to copy. Errors: failures are results (joined(), join_failure(), SendResult) with error()
// saying what failed and why; only an exception of the handler leaves dispatch() or send().
#pragma once

#include <mmfcast/export.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "pub_channel.h"

namespace mmfcast {

// What Channel::send did with a text.
enum class SendResult {
  kSent,           // written into the area and announced to the other copies
  kTooLong,        // not sent: longer than max_text_bytes()
  kFailed,         // not sent, or not announced: error() says why
  kNotAllReached,  // sent, but some copies were not reached: error() says how many and why
                   // (on Linux "2 of 300 copies not reached: Too many open files"); sending it
                   // again would give the others a second copy
};

// The step at which a Channel failed to join.
enum class JoinFailure {
  kNone,     // joined
  kInUse,    // this process already takes part in the channel, or uses another session
  kSession,  // the session, the notification's registration or the receiving window
  kArea,     // the shared area could not be opened
  kOptions,  // the options name no usable channel (an empty name, a size out of range)
};

// The name of the desktop program's channel: its area is "MyPubMemory", its message
// "MyPubMessage".
inline constexpr char kDesktopChannelName[] = "MyPub";
// The sizes an area may be given, in bytes, its zero byte included.
inline constexpr std::size_t kMinAreaSize = 2;
inline constexpr std::size_t kMaxAreaSize = std::size_t{16} << 20;  // 16 MiB
// The desktop program's area size, and the default.
inline constexpr std::size_t kDefaultAreaSize = static_cast<std::size_t>(kPubMemoryLength);

// How many texts a Channel keeps for its handler until dispatch() hands them over, and how
// many bytes they may hold together. Past either, the oldest waiting text is dropped (the
// newest show what the other copies say now, as a copy that fell behind sees only the latest)
// and counted in missed(). The newest text is always kept, whatever its size.
inline constexpr std::size_t kInboxMaxTexts = 1024;
inline constexpr std::size_t kInboxMaxBytes = std::size_t{32} << 20;  // 32 MiB

// Which channel a Channel joins. The defaults are the desktop program's channel, so a Channel
// made without options talks to the windows and to mmfcast-cli.
struct ChannelOptions {
  // The channel's name. Its shared area is called name + "Memory" and its notification
  // name + "Message", unless area_name or message_name say otherwise. Names are bytes of the
  // system code page without a byte 0; joining refuses (kOptions) a name that is not valid in
  // the code page, so that two different names never meet on one channel, and one longer than
  // the session holds (platform::name_problem gives the limits).
  std::string name = kDesktopChannelName;
  std::string area_name;     // "" for name + "Memory"
  std::string message_name;  // "" for name + "Message"
  // The size the area is created with when no process has created it yet, from kMinAreaSize
  // to kMaxAreaSize. When it exists already, its existing size counts, up to this one.
  std::size_t area_size = kDefaultAreaSize;
  // Linux: the session directory, where the areas and the notifications' sockets live; "" for
  // the one the environment names ($MMFCAST_SESSION_DIR, else $XDG_RUNTIME_DIR/mmfcast, else
  // /tmp/mmfcast-UID). A relative path is taken from the current directory. A process uses one
  // session: joining with a directory sets $MMFCAST_SESSION_DIR for the whole process (and the
  // children it starts later), and is refused (kInUse) while a Channel of the process is joined
  // in another one. Ignored on Windows, whose session is the desktop's.
  std::string session_dir;
  // false: the channel only sends. It makes no window, so no copy waits for it or sends to it;
  // on_receive() has nothing to hand over and dispatch() handles nothing (it waits out a
  // positive timeout and returns 0).
  bool receive = true;
  // true: the handler runs inside the platform's delivery, before this copy answers the
  // sender, so the sender's send returns only after the handler has returned (or after its
  // deadline, one second in all, when the handler takes longer). The handler may then call
  // answer(). For a program that hands each text on elsewhere (a bridge to another session):
  // its handler must not dispatch(), send() or destroy the Channel, and returns in well under
  // the deadline. Texts are not kept in an inbox; one that arrives while no handler is set is
  // dropped.
  bool answer_in_delivery = false;
};

// One joined channel: its area, its notification and a hidden window that hears it.
class MMFCAST_EXPORT Channel {
 public:
  // Receives one text another copy sent, in the system code page, without the area's padding.
  using ReceiveHandler = std::function<void(const std::string& text)>;

  // Joins the desktop program's channel.
  Channel();
  // Joins the channel the options name. Check joined() afterwards; when it is false, error()
  // says what failed and why. A channel that a Channel of this process has joined already, or
  // (the desktop program's) that a hooked cMMF object serves, is refused with kInUse.
  explicit Channel(const ChannelOptions& options);
  // Leaves the channel: the window and the view of the area are taken down, so that the
  // channel can be joined again.
  ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // Whether the Channel joined; nothing is sent or received while it is not.
  bool joined() const;
  // Why joining or the last send failed, naming what was being done; "" when nothing failed.
  const std::string& error() const;
  // Which step joining failed at, for callers that treat a missing session and an unusable
  // area differently.
  JoinFailure join_failure() const;
  // The options the Channel was made with, area_name and message_name filled in.
  const ChannelOptions& options() const;

  // The longest text, in bytes of the system code page, that fits the area with its zero byte.
  std::size_t max_text_bytes() const;

  // Sends one line to every other process of the session that joined the channel, exactly as
  // given. A text longer than max_text_bytes() is not sent (kTooLong). These are refused
  // (kFailed), error() saying what and where: an empty text; one holding a byte 0 (the area
  // carries a text up to its first zero byte, so the receivers would see it cut there); bytes
  // that are not valid in the system code page ("byte 0xFF at offset 5 is not UTF-8"). Returns
  // when the receivers have handled it, or when the broadcast's deadline for an unresponsive
  // one has passed. A successful send clears error().
  SendResult send(std::string_view text);
  // The same for a UTF-16 text, which is converted to the system code page first; a character
  // that has no form there, or a lone surrogate, is refused (kFailed): "U+4E2D at character 1
  // has no form in code page 1252".
  SendResult send(std::u16string_view text);

  // The handler each received text is handed to, in the order they arrived, from dispatch()
  // (and from send(), which keeps handling notifications while it waits), after the platform's
  // delivery has returned (inside it with answer_in_delivery). When the handler throws, the
  // exception leaves that dispatch() or send(), and the texts not yet handed over wait for the next
  // call. Texts that arrive while no handler is set are dropped.
  void on_receive(ReceiveHandler handler);
  // From the handler of a Channel joined with answer_in_delivery: tells the sender of the text
  // being handled that `unreached` copies beyond this one (the ones the text was handed on to)
  // were not reached, and why. The sender counts them (kNotAllReached; on Linux its error()
  // gives the reason). Ignored anywhere else, and for 0.
  void answer(std::uint32_t unreached, std::string reason);

  // On Linux, the descriptor to watch: when it is readable, call dispatch(0). Each Channel has
  // its own; it stays readable while texts of the channel wait for its handler. -1 on Windows,
  // where dispatch() pumps the calling thread's messages, and while not joined.
  int event_fd() const;
  // Handles the notifications that reached this process, waiting up to timeout_ms (0: only
  // what is pending; negative: until one arrives) unless texts of this channel wait already,
  // and hands this channel's texts to its handler; the other Channels' texts wait for their
  // own dispatch(). Returns how many messages were handled (on Linux, the notifications of
  // this channel that arrived since the previous dispatch(); on Windows, every message the
  // calling thread's pump handled), or -1 while not joined.
  // Returns -1 too, error() saying why, while no other copy can reach this process (its
  // session directory was replaced by something it refuses, say); it keeps trying to be
  // reachable again meanwhile.
  int dispatch(int timeout_ms = 0);

  // How many texts this Channel missed since it joined: texts of the session this process
  // read too late (a later send had replaced them: it fell behind), skipped or found damaged,
  // and texts dropped from its full inbox (see kInboxMaxTexts). The process's receiving is
  // shared by its Channels, and a text that was never read cannot be told apart by channel, so
  // every Channel of the process counts those. missed_reason() says why the last one was
  // missed ("" when none was).
  std::uint64_t missed() const;
  // Why the last text counted in missed() was missed: "this copy fell behind", "the channel's
  // inbox was full", "a sender's ring entry failed its check"; "" when none was.
  std::string missed_reason() const;

 private:
  struct MMFCAST_NO_EXPORT State;
  std::unique_ptr<State> state_;
};

}  // namespace mmfcast
