// The operating-system operations the channel relies on, behind one interface.
// On Windows each call is a thin wrapper of the Win32 function of the same name; on Linux the
// same contracts are implemented from scratch over files, flock and Unix-domain sockets kept in
// one per-session directory. Handles, addresses, window procedures, wParam and lParam are
// pointer-sized so one header serves 32- and 64-bit builds.
// Ownership: a mapping handle or view a function returns is the caller's to give back
// (CloseHandle, UnmapViewOfFile), a window create_window made is destroy_window's. Threads:
// each thread has its own recorded failure; a window is used on the thread that made it.
// Errors: a function returns the Win32 failure value (0, a null address) and records why,
// which last_error() and last_error_text() give; nothing throws except where a comment says so.
#pragma once

/* The library's C++ headers need C++20 or newer, which a compiler's default may not be; the
   flags of mmfcast.pc leave the standard to the program, so an older one is named here. */
#if __cplusplus < 202002L && !(defined(_MSVC_LANG) && _MSVC_LANG >= 202002L)
#error "mmfcast's C++ headers need C++20 or newer: compile with -std=c++20 or a later standard"
#endif

#include <mmfcast/export.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#if defined(_WIN32)
#define MMFCAST_CALLBACK __stdcall
#else
#define MMFCAST_CALLBACK
#endif

namespace mmfcast::platform {

using Handle = std::uintptr_t;    // a file-mapping handle; 0 means none
using ViewAddr = std::uintptr_t;  // the address of a mapped view; 0 means none
using Hwnd = std::uintptr_t;      // a top-level window; 0 means none
using WParam = std::uintptr_t;
using LParam = std::intptr_t;
using LResult = std::intptr_t;
using LongPtr = std::intptr_t;  // what SetWindowLongA stores: wide enough for a procedure
using WndProc = LResult(MMFCAST_CALLBACK*)(Hwnd, std::uint32_t, WParam, LParam);

inline constexpr std::uint32_t kFileMapWrite = 0x0002;
inline constexpr std::uint32_t kFileMapRead = 0x0004;
inline constexpr std::uint32_t kPageReadWrite = 0x04;
inline constexpr Handle kInvalidHandleValue = static_cast<Handle>(-1);
inline constexpr std::uint32_t kBsfIgnoreCurrentTask = 0x00000002;
inline constexpr std::uint32_t kBsmApplications = 0x00000008;
inline constexpr int kGwlWndProc = -4;

// ---- Named file mappings -------------------------------------------------------------------

// A handle to the existing mapping named lpName, or 0 when none exists.
MMFCAST_EXPORT Handle OpenFileMappingA(std::uint32_t dwDesiredAccess, int bInheritHandle,
                                       const char* lpName);

// A new zero-filled named mapping of dwMaximumSizeLow bytes, or the existing live mapping of
// that name with its existing size; 0 on failure (also for a size of 0).
MMFCAST_EXPORT Handle CreateFileMappingA(Handle hFile, void* lpFileMappingAttributes,
                                         std::uint32_t flProtect, std::uint32_t dwMaximumSizeHigh,
                                         std::uint32_t dwMaximumSizeLow, const char* lpName);

// Maps the whole mapping (dwNumberOfBytesToMap 0) shared and read-write; 0 on failure.
MMFCAST_EXPORT ViewAddr MapViewOfFile(Handle hFileMappingObject, std::uint32_t dwDesiredAccess,
                                      std::uint32_t dwFileOffsetHigh, std::uint32_t dwFileOffsetLow,
                                      std::size_t dwNumberOfBytesToMap);

// 1 on success, 0 on failure.
MMFCAST_EXPORT int UnmapViewOfFile(ViewAddr lpBaseAddress);
MMFCAST_EXPORT int CloseHandle(Handle hObject);

// The number of bytes that may be read and written at a view this process mapped, 0 for an
// address that is not the start of such a view. On Windows this is the mapped region, the
// mapping's size rounded up to whole pages.
MMFCAST_EXPORT std::size_t view_size(ViewAddr view);

// Copies bytes from lpString2 until its zero byte or until iMaxLength - 1 bytes are copied,
// then writes a zero byte; iMaxLength 0 writes nothing. Returns lpString1.
MMFCAST_EXPORT char* lstrcpynA(char* lpString1, const char* lpString2, int iMaxLength);

// Whether this process can reach its session: on Linux, whether the session directory exists
// (or can be created) and passes its ownership and mode checks; always true on Windows.
MMFCAST_EXPORT bool session_usable();

// Why the calling thread's last failed platform operation failed: the system's error code
// (errno on Linux, the Win32 error code on Windows; 0 when none failed yet), and a short text
// naming what failed, on which path or name, and why ("session directory /tmp/x: Permission
// denied", "shared area A (/tmp/x/map-A): the filesystem is full"), for messages; "" when
// nothing failed. A call that succeeds need not clear them.
MMFCAST_EXPORT int last_error();
MMFCAST_EXPORT std::string last_error_text();
// Forgets the calling thread's recorded failure, so that a step which then fails without
// recording one is not blamed on an earlier, expected failure.
MMFCAST_EXPORT void clear_last_error();

// ---- ANSI (system code page) conversions ---------------------------------------------------
// On Linux the code page is UTF-8 for every process. A lone surrogate becomes '?', an invalid
// byte sequence becomes U+FFFD; neither throws.

MMFCAST_EXPORT std::string to_ansi(std::u16string_view text);
MMFCAST_EXPORT std::u16string from_ansi(std::string_view bytes);
#if !defined(_WIN32)
// to_ansi(from_ansi(bytes)) up to the first byte 0, cut to the characters that fit whole in
// max_units UTF-16 code units, in one pass: well-formed bytes stay as they are and each
// ill-formed subpart becomes U+FFFD's bytes. How a receiver takes a text from an area.
MMFCAST_EXPORT std::string ansi_prefix(std::string_view bytes, std::size_t max_units);
#endif

// ---- Checked conversions -------------------------------------------------------------------
// For texts and names that must arrive exactly as given: each converts exactly or refuses, and
// says what stopped it and where. A byte is named by its offset from 0, a character by its
// place counted from 1 (a surrogate pair is one character). The code page is the session's
// ANSI code page (UTF-8 on Linux) unless another is named; on Windows any installed code page
// may be named (the console's, say), on Linux only UTF-8.

inline constexpr unsigned kAnsiCodePage = 0;      // CP_ACP
inline constexpr unsigned kUtf8CodePage = 65001;  // CP_UTF8

// How messages name the code page: "UTF-8", "code page 1252".
MMFCAST_EXPORT std::string code_page_name(unsigned code_page = kAnsiCodePage);

// Decodes bytes of the code page into `text`: "" when every byte is part of a character that
// converts back to the same bytes, else why not ("byte 0xFF at offset 5 is not UTF-8", "byte
// 0x81 at offset 2 is not valid in code page 932"), `text` then unspecified. A zero byte
// decodes as U+0000; callers that carry texts refuse it themselves.
MMFCAST_EXPORT std::string decode_exact(std::string_view bytes, std::u16string& text,
                                        unsigned code_page = kAnsiCodePage);

// Encodes text into bytes of the code page: "" when every character has a form there that
// decodes back to it, else the first that has none ("U+4E2D at character 1 has no form in code
// page 1252", "U+D800 at character 3 has no form in UTF-8: it is half of a surrogate pair"),
// `bytes` then unspecified.
MMFCAST_EXPORT std::string encode_exact(std::u16string_view text, std::string& bytes,
                                        unsigned code_page = kAnsiCodePage);

// ---- Names of the session's objects --------------------------------------------------------

// What kind of the session's objects a name stands for.
enum class NameKind {
  kMapping,  // a named file mapping (a shared area)
  kMessage,  // a registered window message
};

// Why the session cannot hold an object of this kind under `name`, bytes of the ANSI code page;
// "" when it can. A name is refused when it is empty, holds a byte 0, is not exact in the code
// page (so that two different names never stand for one object), or is longer than the session
// allows; the reason then gives the limit. Linux: a message name holds at most 255 bytes, and a
// mapping's file name ("map-" and the name, each byte outside A-Z, a-z, 0-9, '.', '_' and '-'
// written as three) at most 255. Windows: at most 255 characters for a message, MAX_PATH
// (260) for a mapping.
MMFCAST_EXPORT std::string name_problem(std::string_view name, NameKind kind);

// ---- Registered messages, windows and broadcast --------------------------------------------

// The id registered for the name in this session (0xC000..0xFFFF), or 0 on failure.
MMFCAST_EXPORT std::uint32_t RegisterWindowMessageA(const char* lpString);

// Sends msg to the top-level windows of every other process of the session and returns once
// they have handled it, or once kBroadcastDeadlineMs has passed for those that have not; lpInfo
// is read, not written. 1 on success, -1 on failure (also when some copies could not be
// reached, see broadcast_unreached, when this process's send-lock hold
// was taken over, and on Linux when the session directory was found replaced: the text just
// written went into an area no other copy reads).
MMFCAST_EXPORT long BroadcastSystemMessage(std::uint32_t flags, std::uint32_t* lpInfo,
                                           std::uint32_t msg, WParam wParam, LParam lParam);

// How many copies the calling process's last broadcast could not reach or could not wait for
// (out of descriptors, no acknowledgement slot, a connection that failed while its owner
// lives, a copy that refused the connection); such a broadcast still went to every other copy,
// but returns -1 and last_error_text() reads "N of M copies not reached: reason". On Linux copies
// skipped because they are stopped or hung are not counted. On Windows every other program with
// a top-level window counts: one with a window that did not answer by the deadline, or was
// skipped as not answering, is not reached ("1 of 7 programs not reached: not answering").
MMFCAST_EXPORT int broadcast_unreached();

// The tag in bits 16 to 31 of a window procedure's result that carries a count of copies
// beyond it not reached (see answer_beyond).
inline constexpr std::uint32_t kBeyondAnswerTag = 0x4D46;

// Tells the sender of the notification a window procedure is handling that `unreached` copies
// beyond this process (ones it hands the text on to) were not reached, for `reason`; the
// sender counts them as not reached (see broadcast_unreached) and, on Linux, gives the reason.
// Returns what the procedure is to return: on Windows the count (at most 0xFFFF) tagged with
// kBeyondAnswerTag in bits 16 to 31, which no receiver answering 0 can be taken for and which
// senders of other programs ignore; on Linux 0, since the count travels with the answer.
// Returns 0, telling nothing, for 0 copies or outside a delivery (Linux).
MMFCAST_EXPORT LResult answer_beyond(std::uint32_t unreached, std::string_view reason);

// How many senders' connections this process has refused so far, because it had
// no descriptor left, or could not watch one more sender. Each such sender counts this copy as
// not reached, and this copy does not hear its texts. Always 0 on Windows.
#if defined(_WIN32)
inline std::uint64_t refused_senders() { return 0; }
#else
MMFCAST_EXPORT std::uint64_t refused_senders();
#endif

// With kGwlWndProc: makes dwNewLong the window's procedure and returns the previous one;
// 0 (and nothing changed) for an unknown window or another index.
MMFCAST_EXPORT LongPtr SetWindowLongA(Hwnd hWnd, int nIndex, LongPtr dwNewLong);

// Calls lpPrevWndFunc with the four values and returns its result.
MMFCAST_EXPORT LResult CallWindowProcA(WndProc lpPrevWndFunc, Hwnd hWnd, std::uint32_t Msg,
                                       WParam wParam, LParam lParam);

// A hidden top-level window of this process whose procedure starts as `proc`; 0 on failure.
MMFCAST_EXPORT Hwnd create_window(WndProc proc);
MMFCAST_EXPORT void destroy_window(Hwnd hWnd);

// Handles the notifications that reached this process's windows, waiting up to timeout_ms
// (0: only what is pending, negative: until at least one arrives). Returns how many messages
// were handled, or -1 when the process cannot receive.
MMFCAST_EXPORT int pump_messages(int timeout_ms);

// ---- Session-wide send lock ----------------------------------------------------------------
// Makes one copy's write into the shared area and its broadcast a single step with respect to
// the other copies of the session, so a second sender cannot overwrite a text before its
// receivers have read it. While waiting, the notifications that reach this process keep being
// handled: the holder may be broadcasting to this very process. A holder that keeps one hold
// longer than takeover_ms is taken to have hung; the waiter takes the lock over and later
// waiters queue behind the new holder. One hold per process at a time, on the thread that
// receives the process's notifications.

// How long one broadcast waits, in all, for the receivers to handle its notification; a
// receiver still busy then is skipped (and, on Linux, marked hung for the whole session).
inline constexpr int kBroadcastDeadlineMs = 1000;
// The deadline broadcasts wait: kBroadcastDeadlineMs, unless $MMFCAST_SEND_DEADLINE_MS names
// another from 100 to 60,000 ms (a machine too slow or too loaded for one second). Read once.
MMFCAST_EXPORT int broadcast_deadline_ms();

// Longer than a broadcast waits for its receivers, so a holder whose broadcast waits on an
// unresponsive receiver is not taken for hung.
inline constexpr int kSendLockTakeoverMs = 2000;
// kSendLockTakeoverMs, or twice broadcast_deadline_ms() when that is longer.
MMFCAST_EXPORT int send_lock_takeover_ms();

// 1 once the lock is held (taken over from a hung holder included, and when this process
// already holds it); 0, with the reason recorded, when the lock cannot be used (on Linux its
// file cannot be opened or repaired): the caller does not send, since the other copies would
// believe themselves alone with the area.
MMFCAST_EXPORT int acquire_send_lock(int takeover_ms = send_lock_takeover_ms());
// Releases the lock this process holds; does nothing when it holds none.
MMFCAST_EXPORT void release_send_lock();
// Whether the hold this process acquired is still the session's current one: false when it
// holds none, or once a waiter took the lock over because this process kept it too long (it
// was stopped, say). A sender checks it before writing and before broadcasting; a broadcast
// made under a lost hold sends nothing and fails, and the text should be sent again under a
// new hold.
MMFCAST_EXPORT bool send_lock_still_held();

// Holds the send lock for the lifetime of the object.
class SendLock {
 public:
  explicit SendLock(int takeover_ms = send_lock_takeover_ms())
      : held_(acquire_send_lock(takeover_ms) == 1) {}
  ~SendLock() {
    if (held_) release_send_lock();
  }
  SendLock(const SendLock&) = delete;
  SendLock& operator=(const SendLock&) = delete;
  bool held() const { return held_; }
  bool still_held() const { return held_ && send_lock_still_held(); }

 private:
  bool held_;
};

// Writes and broadcasts one text as a single step for the session: runs write() and then
// broadcast() (which says whether the broadcast succeeded) under the send lock. When this
// process's hold is taken over before it finishes (the process was stopped past the takeover
// time), the text may have been overwritten or its notification discarded, so both run again
// under a fresh hold, at most kSendAttempts times. When the lock cannot be taken neither runs
// and the result is false. Returns what the last broadcast() returned.
inline constexpr int kSendAttempts = 3;
template <typename Write, typename Broadcast>
bool send_locked(Write&& write, Broadcast&& broadcast) {
  for (int attempt = 1;; ++attempt) {
    SendLock lock;
    if (!lock.held()) return false;
    const bool last = attempt >= kSendAttempts;
    if (!last && lock.held() && !lock.still_held()) continue;
    write();
    if (!last && lock.held() && !lock.still_held()) continue;
    if (broadcast()) return true;
    if (last || !lock.held() || lock.still_held()) return false;
  }
}

// ---- Notifications that went stale -------------------------------------------------------
// A receiver that was unresponsive finds, when it resumes, the notifications queued for it
// while it was away, and the area holds only the latest text. Our senders therefore tag each
// notification (its lParam) with the send-lock hold it was sent under. Our receivers read a
// notification of the latest hold its message was sent under once; for one of an ended hold
// they read the area's current text instead, once, and only while no send is in progress. Each
// message (each channel) is judged by its own sends alone. lParam 0 (any other program's
// notification) is read as the contract says.

// What a receiver does with a notification.
enum class NotificationUse {
  kRead,         // read wParam - 1 characters, as the contract says
  kReadCurrent,  // read the area's whole current text, then call current_text_read()
  kSkip,         // read nothing: stale, already shown, or a send is writing a newer text
};

#if defined(_WIN32)
// The tag for notification msg sent now: this process's current send-lock hold, never 0; 0
// when it holds none. Records, session-wide, that msg's latest text is this hold's.
MMFCAST_EXPORT LParam notification_tag(std::uint32_t msg);
// How to use notification msg carrying this tag. Also notes, session-wide, that window answers
// again, so no sender skips it as hung any more. kReadCurrent holds the send lock until
// current_text_read(), so that no sender writes while the text is read.
MMFCAST_EXPORT NotificationUse use_notification(Hwnd window, std::uint32_t msg, LParam tag);
MMFCAST_EXPORT void current_text_read();
#else
// Linux's transport delivers only current, whole text by itself, and its notifications carry 0.
inline LParam notification_tag(std::uint32_t) { return 0; }
// Every notification is read as it says (Linux discards stale ones before they arrive).
inline NotificationUse use_notification(Hwnd, std::uint32_t, LParam) {
  return NotificationUse::kRead;
}
// Nothing to release on Linux.
inline void current_text_read() {}
#endif

// Called by a window procedure after it has copied out the text a notification announced:
// whether that text is still the one the notification was sent with. On Linux false when a
// later send-lock hold has written its message's area (or may be writing it), or the area's
// file was replaced or cut short while it was read; the text is then dropped, not shown. True
// outside a delivery, and always on Windows, where the receivers read while the sender waits under
// its lock.
#if defined(_WIN32)
inline bool notification_current() { return true; }
#else
MMFCAST_EXPORT bool notification_current();
#endif

#if defined(_WIN32)
inline std::uint64_t notifications_missed() { return 0; }
inline std::string notifications_missed_reason() { return {}; }
inline std::string receive_problem() { return {}; }
#else
// How many notifications this process's windows never got since it started: read after a
// later send replaced their text (the process fell behind), skipped because it fell more than
// a sender's ring behind, or damaged. Always 0 on Windows, whose notifications are sent
// messages.
MMFCAST_EXPORT std::uint64_t notifications_missed();
// Why the last of notifications_missed() was missed ("this copy fell behind"); "" when none.
MMFCAST_EXPORT std::string notifications_missed_reason();
// Why no other copy can reach this process now; "" when they can. On Linux: its endpoint left
// the session directory and cannot be published again (the path now names a symlink, or a
// directory that is not ours, say); it keeps trying. Always "" on Windows.
MMFCAST_EXPORT std::string receive_problem();
#endif

#if !defined(_WIN32)
// The descriptor an event loop watches for incoming notifications (readable means call
// dispatch_pending); -1 while the process has no top-level window or no usable session.
MMFCAST_EXPORT int event_fd();
// Handles every notification that can be read without waiting, on the calling thread.
MMFCAST_EXPORT void dispatch_pending();

// This process's id, without a system call once known (read again after a fork): what a
// Channel compares with the process that joined it, since a forked child shares none of its
// parent's channels. Used inside the library, so not exported.
int process_id();

// A descriptor of one event loop's own to watch: readable while notifications of the process
// wait (event_fd()) or while its mark is set. What it is made of is closed when it goes. Used
// inside the library (by Channel), so not exported from the shared library.
class WaitSet {
 public:
  WaitSet();
  ~WaitSet();
  WaitSet(const WaitSet&) = delete;
  WaitSet& operator=(const WaitSet&) = delete;

  // Makes the set over event_fd() and the mark; false, with the reason recorded for
  // last_error_text(), when there is no event_fd() or no descriptor to spare. Nothing stays
  // open then.
  bool open();
  // Closes the set; fd() is -1 afterwards.
  void close();
  // The descriptor to watch; -1 while not open.
  int fd() const;
  // Sets or clears the mark: fd() stays readable while it is set.
  void mark(bool set);

 private:
  struct Descriptors;
  std::unique_ptr<Descriptors> fds_;
};
#endif

}  // namespace mmfcast::platform
