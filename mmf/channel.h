// mmfcast::Channel: the channel every copy of the program joins, in one object. Joining
// registers the notification, opens (or creates) the shared area and hooks a hidden window of
// this process; send() writes a text and announces it under the session's send lock; each text
// another copy sends reaches the on_receive handler from dispatch(), which an event loop calls
// when event_fd() is readable (Linux) or in its idle time (Windows). Texts cross the channel in
// the system code page: UTF-8 on Linux.
//
// A Channel is used on one thread: the one that constructs it sends and dispatches (on Windows
// its window belongs to that thread). It is not inherited by a child made with fork(), and it
// must not be destroyed from inside its own handler.
#pragma once

#include <mmfcast/export.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace mmfcast {

// What Channel::send did with a text.
enum class SendResult {
  kSent,     // written into the area and announced to the other copies
  kTooLong,  // not sent: longer than max_text_bytes()
  kFailed,   // not sent, or not announced to every copy: error() says why (on Linux "2 of
             // 300 copies not reached: Too many open files" when only some were reached)
};

// The step at which a Channel failed to join.
enum class JoinFailure {
  kNone,     // joined
  kInUse,    // this process already has a joined channel or a hooked cMMF object
  kSession,  // the session, the notification's registration or the receiving window
  kArea,     // the shared area could not be opened
};

class MMFCAST_EXPORT Channel {
 public:
  // Receives one text another copy sent, in the system code page, without the area's padding.
  using ReceiveHandler = std::function<void(const std::string& text)>;

  // Joins the session's channel. Check joined() afterwards; when it is false, error() says what
  // failed and why. A process joins one channel at a time: while one is joined (or a cMMF
  // object is hooked with StartSubclass), another Channel does not join.
  Channel();
  // Leaves the channel: the hook, the window and the view of the area are taken down and the
  // hook's globals cleared, so that another Channel (or a cMMF object) can be hooked after it.
  ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  bool joined() const;
  // Why joining or the last send failed, naming what was being done; "" when nothing failed.
  const std::string& error() const;
  // Which step joining failed at, for callers that treat a missing session and an unusable
  // area differently.
  JoinFailure join_failure() const;

  // The longest text, in bytes of the system code page, that fits the area with its zero byte.
  std::size_t max_text_bytes() const;

  // Sends one line to every other copy of the session. A text longer than max_text_bytes() is
  // not sent (kTooLong). A text holding a character of code 0 is refused (kFailed): the area
  // carries a text up to its first zero byte, so the receivers would see it cut there. Returns
  // when the receivers have handled it, or when the broadcast's deadline for an unresponsive one
  // has passed. A successful send clears error().
  SendResult send(std::string_view text);
  SendResult send(std::u16string_view text);

  // The handler each received text is handed to, in the order they arrived, from dispatch()
  // (and from send(), which keeps handling notifications while it waits), after the platform's
  // delivery has returned. When the handler throws, the exception leaves that dispatch() or
  // send(), and the texts not yet handed over wait for the next call. Texts that arrive while
  // no handler is set are dropped.
  void on_receive(ReceiveHandler handler);

  // On Linux, the descriptor to watch: when it is readable, call dispatch(0). -1 on Windows,
  // where dispatch() pumps the calling thread's messages, and while not joined.
  int event_fd() const;
  // Handles the notifications that reached this process, waiting up to timeout_ms (0: only
  // what is pending; negative: until one arrives), and hands the texts to the handler. Returns
  // how many messages were handled (on Linux, those that reached the channel; on Windows,
  // every message the calling thread's pump handled), or -1 while not joined.
  int dispatch(int timeout_ms = 0);

 private:
  struct MMFCAST_NO_EXPORT State;
  std::unique_ptr<State> state_;
};

}  // namespace mmfcast
