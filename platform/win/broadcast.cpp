// BroadcastSystemMessage on Windows, delivered by this process itself: the notification is sent
// to the top-level window of every other process at once with SendMessageCallbackA, then the
// answers are collected against one deadline for all of them, so one slow or hung program delays
// a send by at most the deadline and never holds up the windows behind it. Waiting handles the
// messages other threads and processes send to this thread (never input), as a thread blocked
// in SendMessage does, so two copies that broadcast to each other both finish. A window that
// missed a deadline is marked for the whole session, in a small named area, and every sender of
// every process skips it without waiting (and without queueing more for it) until it answers
// again; a mark that has stood for a while lets one notification through, not waited for, so a
// window whose answer went to a sender that has since ended is heard again.
#include <windows.h>
#undef BroadcastSystemMessage  // the header maps it to the A or W form; ours is the name itself

#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "platform/platform.h"
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
};

// ---- Session-wide marks of windows that missed a deadline ----------------------------------
// Slots of (window, when it was marked, GetTickCount64 ms); a window of 0 is a free slot. Every
// update is one interlocked operation on one value; a race costs at most one wait too many or
// one notification skipped, never a wrong read.
struct HungMark {
  volatile LONG64 window;
  volatile LONG64 since_ms;
};
constexpr int kHungSlots = 64;
struct HungMarks {
  HungMark slot[kHungSlots];
};
constexpr const char* kHungMarksName = "mmfcast.hung-windows";
// How long a mark keeps a window from being sent anything at all.
constexpr LONG64 kHungRecheckMs = 5000;

LONG64 load(volatile LONG64& value) { return InterlockedCompareExchange64(&value, 0, 0); }
LONG64 key_of(HWND hwnd) { return static_cast<LONG64>(reinterpret_cast<ULONG_PTR>(hwnd)); }
LONG64 now_ms() { return static_cast<LONG64>(::GetTickCount64()); }

// The marks, mapped once and kept; null (and every window taken as unmarked) when they cannot be.
HungMarks* hung_marks() {
  static HungMarks* const marks = []() -> HungMarks* {
    HANDLE mapping = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                          sizeof(HungMarks), kHungMarksName);
    if (mapping == nullptr) return nullptr;
    void* view = ::MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0);
    if (view == nullptr) ::CloseHandle(mapping);
    return static_cast<HungMarks*>(view);
  }();
  return marks;
}

// When window was marked; 0 when it is not.
LONG64 marked_since(HWND hwnd) {
  HungMarks* marks = hung_marks();
  if (marks == nullptr) return 0;
  for (HungMark& m : marks->slot) {
    if (load(m.window) == key_of(hwnd)) {
      const LONG64 since = load(m.since_ms);
      return since != 0 ? since : now_ms();
    }
  }
  return 0;
}

void mark_hung(HWND hwnd) {
  HungMarks* marks = hung_marks();
  if (marks == nullptr) return;
  const LONG64 key = key_of(hwnd);
  HungMark* oldest = nullptr;
  for (HungMark& m : marks->slot) {
    const LONG64 held = load(m.window);
    if (held == key || (held == 0 && InterlockedCompareExchange64(&m.window, key, 0) == 0)) {
      InterlockedExchange64(&m.since_ms, now_ms());
      return;
    }
    if (oldest == nullptr || load(m.since_ms) < load(oldest->since_ms)) oldest = &m;
  }
  // All slots taken: the oldest mark (often a window long gone) makes room.
  InterlockedExchange64(&oldest->window, key);
  InterlockedExchange64(&oldest->since_ms, now_ms());
}

void clear_hung(HWND hwnd) {
  HungMarks* marks = hung_marks();
  if (marks == nullptr) return;
  const LONG64 key = key_of(hwnd);
  for (HungMark& m : marks->slot) {
    if (load(m.window) == key) InterlockedCompareExchange64(&m.window, 0, key);
  }
}

struct BroadcastState {
  std::map<HWND, Recipient> recipients;
  std::map<std::uint64_t, std::set<HWND>*> waiting;  // broadcasts in progress, by sequence
  std::uint64_t last_seq = 0;
  int depth = 0;
};

BroadcastState& broadcast_state() { return win::never_destroyed<BroadcastState>(); }

constexpr const char* kBroadcast = "broadcast";

// Runs on this thread when a window has handled one of our notifications.
void CALLBACK answered(HWND hwnd, UINT, ULONG_PTR seq, LRESULT) {
  BroadcastState& s = broadcast_state();
  clear_hung(hwnd);
  auto found = s.recipients.find(hwnd);
  if (found != s.recipients.end() && --found->second.outstanding <= 0) s.recipients.erase(found);
  auto broadcast = s.waiting.find(static_cast<std::uint64_t>(seq));
  if (broadcast != s.waiting.end()) broadcast->second->erase(hwnd);
}

struct Enumerated {
  DWORD own_pid;
  std::vector<HWND> windows;
};

BOOL CALLBACK collect(HWND hwnd, LPARAM param) {
  auto& list = *reinterpret_cast<Enumerated*>(param);
  DWORD pid = 0;
  ::GetWindowThreadProcessId(hwnd, &pid);
  if (pid != list.own_pid) list.windows.push_back(hwnd);
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
  WaitingEntry(std::uint64_t seq, std::set<HWND>& waiting) : seq_(seq) {
    broadcast_state().waiting[seq] = &waiting;
  }
  ~WaitingEntry() { broadcast_state().waiting.erase(seq_); }
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

// Delivers msg to the top-level windows of every other process and waits for their answers.
long broadcast(UINT msg, WPARAM wParam, LPARAM lParam) {
  Enumerated list{::GetCurrentProcessId(), {}};
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
  const WaitingEntry entry(seq, waiting);
  for (HWND hwnd : list.windows) {
    Recipient& r = s.recipients[hwnd];
    // A program the system reports hung would not answer in time; it is left out, not queued.
    // A window marked hung by any sender is skipped; once the mark has stood a while it gets
    // one notification again, not waited for, and the mark is renewed.
    const LONG64 since = marked_since(hwnd);
    const bool marked = since != 0;
    if (r.outstanding >= kMaxOutstanding || ::IsHungAppWindow(hwnd) ||
        (marked && now_ms() - since < kHungRecheckMs)) {
      if (r.outstanding == 0) s.recipients.erase(hwnd);
      continue;
    }
    if (marked) mark_hung(hwnd);
    if (!::SendMessageCallbackA(hwnd, msg, wParam, lParam, answered, static_cast<ULONG_PTR>(seq))) {
      if (r.outstanding == 0) s.recipients.erase(hwnd);
      continue;
    }
    ++r.outstanding;
    if (!marked) waiting.insert(hwnd);
  }

  if (depth.depth() > kMaxWaitDepth) return 1;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kBroadcastDeadlineMs);
  for (;;) {
    win::handle_sent_messages();  // the answers, and whatever else was sent to this thread
    if (waiting.empty()) break;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    const DWORD wait =
        left.count() < kWaitSliceMs ? static_cast<DWORD>(left.count()) : kWaitSliceMs;
    ::MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
  }
  for (HWND late : waiting) mark_hung(late);
  return 1;
}

}  // namespace

void win::clear_hung_mark(HWND hwnd) { clear_hung(hwnd); }

void win::keep_hung_marks() { hung_marks(); }

long BroadcastSystemMessage(std::uint32_t flags, std::uint32_t* lpInfo, std::uint32_t msg,
                            WParam wParam, LParam lParam) {
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
