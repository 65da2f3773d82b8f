// BroadcastSystemMessage on Windows, delivered by this process itself: the notification is sent
// to the top-level window of every other process at once with SendMessageCallbackA, then the
// answers are collected against one deadline for all of them, so one slow or hung program delays
// a send by at most the deadline and never holds up the windows behind it. Waiting handles the
// messages other threads and processes send to this thread (never input), as a thread blocked
// in SendMessage does, so two copies that broadcast to each other both finish. A window that
// missed a deadline is marked for the whole logon session (platform/win/hung_marks.h), and every
// sender of every process skips it without waiting (and without queueing more for it) until it
// answers again; once a mark has stood a while the window is waited for again, unless the system
// reports it hung. Every window skipped or not answering counts as not reached.
#include <windows.h>
#undef BroadcastSystemMessage  // the header maps it to the A or W form; ours is the name itself

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "platform/platform.h"
#include "platform/win/hung_marks.h"
#include "platform/win/internal.h"

namespace mmfcast::platform {

namespace {

using Clock = std::chrono::steady_clock;

// Notifications a window may owe this process answers for; past that it is sent nothing until it
// catches up, so an unresponsive window finds at most one of ours queued.
constexpr int kMaxOutstanding = 1;
// Broadcasts nested deeper than this (procedures broadcasting from within a delivery) do not
// wait, so the nesting cannot grow without bound.
constexpr int kMaxWaitDepth = 8;
// The longest single sleep while waiting: the answers arrive with the messages sent to this
// thread, and a wake-up that the system does not signal costs at most this much.
constexpr DWORD kWaitSliceMs = 50;

struct Recipient {
  int outstanding = 0;  // notifications sent and not yet answered
  bool marked = false;  // sent while it was marked: its answer clears the mark
};

// How long a mark keeps a window from being sent anything at all; after that it is sent to and
// waited for again, unless the system reports it hung.
constexpr ULONGLONG kHungRecheckMs = 5000;

struct BroadcastState {
  std::map<HWND, Recipient> recipients;
  std::map<std::uint64_t, std::set<HWND>*> waiting;  // broadcasts in progress, by sequence
  std::map<std::uint64_t, int*> beyond;  // ... and the copies beyond their receivers not reached
  std::uint64_t last_seq = 0;
  int depth = 0;
  int last_unreached = 0;  // of the broadcast that ended last
};

BroadcastState& broadcast_state() { return win::never_destroyed<BroadcastState>(); }

constexpr const char* kBroadcast = "broadcast";

// Runs on this thread when a window has handled one of our notifications.
void CALLBACK answered(HWND hwnd, UINT, ULONG_PTR seq, LRESULT result) {
  BroadcastState& s = broadcast_state();
  auto found = s.recipients.find(hwnd);
  if (found != s.recipients.end()) {
    if (found->second.marked) win::session_hung_marks().clear(hwnd);
    if (--found->second.outstanding <= 0) s.recipients.erase(found);
  }
  auto broadcast = s.waiting.find(static_cast<std::uint64_t>(seq));
  if (broadcast != s.waiting.end()) broadcast->second->erase(hwnd);
  // A receiver of ours that hands the text on tells how many copies beyond it were not reached.
  const auto answer = static_cast<std::uintptr_t>(result);
  auto counted = s.beyond.find(static_cast<std::uint64_t>(seq));
  if (counted != s.beyond.end() && ((answer >> 16) & 0xFFFF) == kBeyondAnswerTag) {
    *counted->second += static_cast<int>(answer & 0xFFFF);
  }
}

struct Enumerated {
  DWORD own_pid;
  std::vector<HWND> windows;
  std::set<DWORD> processes;  // the windows' processes
};

BOOL CALLBACK collect(HWND hwnd, LPARAM param) {
  auto& list = *reinterpret_cast<Enumerated*>(param);
  DWORD pid = 0;
  ::GetWindowThreadProcessId(hwnd, &pid);
  if (pid != list.own_pid) {
    list.windows.push_back(hwnd);
    list.processes.insert(pid);
  }
  return TRUE;
}

// Forgets windows that have gone, whose answers will never come.
void drop_destroyed(BroadcastState& s) {
  for (auto it = s.recipients.begin(); it != s.recipients.end();) {
    it = ::IsWindow(it->first) ? std::next(it) : s.recipients.erase(it);
  }
}

// Keeps one broadcast's waiting set reachable from the answers while it runs, and no longer.
class WaitingEntry {
 public:
  WaitingEntry(std::uint64_t seq, std::set<HWND>& waiting, int& beyond) : seq_(seq) {
    broadcast_state().waiting[seq] = &waiting;
    broadcast_state().beyond[seq] = &beyond;
  }
  ~WaitingEntry() {
    broadcast_state().waiting.erase(seq_);
    broadcast_state().beyond.erase(seq_);
  }
  WaitingEntry(const WaitingEntry&) = delete;
  WaitingEntry& operator=(const WaitingEntry&) = delete;

 private:
  std::uint64_t seq_;
};

class DepthGuard {
 public:
  DepthGuard() : depth_(++broadcast_state().depth) {}
  ~DepthGuard() { --broadcast_state().depth; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;
  int depth() const { return depth_; }

 private:
  int depth_;
};

// The programs one broadcast did not reach (a program with any window not reached), and why the
// first of them was not. A program counts once however many windows it has: a thread's
// windows answer or hang together, and the system gives each thread a window of its own
// besides the program's.
struct Unreached {
  std::set<DWORD> processes;
  DWORD error = 0;  // why a window could not be sent to; 0 for one that does not answer
  int beyond = 0;   // copies beyond the receivers that they say were not reached

  void add(HWND hwnd, DWORD why) {
    DWORD pid = 0;
    ::GetWindowThreadProcessId(hwnd, &pid);
    if (processes.insert(pid).second && processes.size() == 1) error = why;
  }
};

// Records the broadcast's outcome for broadcast_unreached() and last_error_text(): 1 when every
// program was reached, else -1.
long finish(const Unreached& unreached, const Enumerated& list) {
  const int count = static_cast<int>(unreached.processes.size()) + unreached.beyond;
  broadcast_state().last_unreached = count;
  if (count == 0) return 1;
  const std::size_t total = list.processes.size() + static_cast<std::size_t>(unreached.beyond);
  const std::string why = unreached.processes.empty() ? "not reached beyond a receiver"
                          : unreached.error == 0      ? "not answering"
                                                      : win::system_message(unreached.error);
  win::record_reason(unreached.error == 0 ? ERROR_TIMEOUT : unreached.error,
                     std::to_string(count) + " of " + std::to_string(total) +
                         (total == 1 ? " program" : " programs") + " not reached: " + why);
  return -1;
}

// Whether this broadcast leaves hwnd out: it still owes this process an answer, the system
// reports it hung, or some sender marked it a short while ago. Notes whether it is marked.
bool left_out(const Recipient& r, HWND hwnd, bool any_marked, bool& marked) {
  if (r.outstanding >= kMaxOutstanding || ::IsHungAppWindow(hwnd)) return true;
  if (!any_marked) return false;
  const ULONGLONG now = ::GetTickCount64();
  const ULONGLONG since = win::session_hung_marks().since(hwnd, now);
  marked = since != 0;
  return marked && now - since < kHungRecheckMs;
}

// Delivers msg to the top-level windows of every other process and waits for their answers.
long broadcast(UINT msg, WPARAM wParam, LPARAM lParam) {
  Enumerated list{::GetCurrentProcessId(), {}, {}};
  if (!::EnumWindows(collect, reinterpret_cast<LPARAM>(&list))) {
    win::record_failure(kBroadcast);
    return -1;
  }

  BroadcastState& s = broadcast_state();
  DepthGuard depth;
  win::handle_sent_messages();  // answers that came in since the last broadcast
  drop_destroyed(s);
  const std::uint64_t seq = ++s.last_seq;
  std::set<HWND> waiting;
  Unreached unreached;
  const WaitingEntry entry(seq, waiting, unreached.beyond);
  const bool any_marked = win::session_hung_marks().any();
  for (HWND hwnd : list.windows) {
    Recipient& r = s.recipients[hwnd];
    bool marked = false;
    if (left_out(r, hwnd, any_marked, marked)) {
      if (r.outstanding == 0) s.recipients.erase(hwnd);
      unreached.add(hwnd, 0);
      continue;
    }
    if (!::SendMessageCallbackA(hwnd, msg, wParam, lParam, answered, static_cast<ULONG_PTR>(seq))) {
      const DWORD error = ::GetLastError();
      if (r.outstanding == 0) s.recipients.erase(hwnd);
      if (::IsWindow(hwnd)) unreached.add(hwnd, error != 0 ? error : ERROR_INVALID_WINDOW_HANDLE);
      continue;
    }
    ++r.outstanding;
    r.marked = r.marked || marked;
    waiting.insert(hwnd);
  }

  if (depth.depth() > kMaxWaitDepth) return finish(unreached, list);
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(broadcast_deadline_ms());
  for (;;) {
    win::handle_sent_messages();  // the answers, and whatever else was sent to this thread
    if (waiting.empty()) break;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    const DWORD wait =
        left.count() < kWaitSliceMs ? static_cast<DWORD>(left.count()) : kWaitSliceMs;
    ::MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
  }
  for (HWND late : waiting) {
    win::session_hung_marks().mark(late, ::GetTickCount64());
    s.recipients[late].marked = true;
    unreached.add(late, 0);
  }
  return finish(unreached, list);
}

}  // namespace

int broadcast_unreached() { return broadcast_state().last_unreached; }

LResult answer_beyond(std::uint32_t unreached, std::string_view) {
  if (unreached == 0) return 0;
  return static_cast<LResult>((std::uintptr_t{kBeyondAnswerTag} << 16) |
                              std::min<std::uintptr_t>(unreached, 0xFFFF));
}

long BroadcastSystemMessage(std::uint32_t flags, std::uint32_t* lpInfo, std::uint32_t msg,
                            WParam wParam, LParam lParam) {
  broadcast_state().last_unreached = 0;
  // Only the notification's own form is delivered here; every other request is the system's.
  if (flags != kBsfIgnoreCurrentTask || lpInfo == nullptr || (*lpInfo & kBsmApplications) == 0) {
    DWORD recipients = lpInfo != nullptr ? *lpInfo : 0;
    const long sent =
        ::BroadcastSystemMessageA(flags, lpInfo != nullptr ? &recipients : nullptr, msg,
                                  static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam));
    if (sent < 0) win::record_failure(kBroadcast);
    return sent;
  }

  try {
    return broadcast(msg, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam));
  } catch (...) {  // out of memory: nothing here may throw past the contract
    win::record_failure(ERROR_NOT_ENOUGH_MEMORY, kBroadcast);
    return -1;
  }
}

}  // namespace mmfcast::platform
