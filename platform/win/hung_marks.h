// Session-wide marks of windows that did not answer a broadcast in time. They live in a volatile
// registry key of the user's, which lasts exactly as long as the logon session whether or not a
// copy is running, so a sender that ends at once (mmfcast-cli send) leaves its marks to the next
// one. One value per window: its name is the window handle in hex, its data a HungMarkRecord.
// Any process of the user may write there, so everything read back is checked, and a mark that
// does not hold up (damaged, from the future, of a window gone or now another process's) is
// dropped and counts as none.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>

namespace mmfcast::platform::win {

// The key of the session's marks, under HKEY_CURRENT_USER.
inline constexpr const char* kHungMarksKey = "Software\\mmfcast.hung-windows";
// How many values one clean-up looks at, whatever the key holds.
inline constexpr DWORD kHungMarksScanned = 256;

// A mark's value data (REG_BINARY, exactly this size).
struct HungMarkRecord {
  std::uint64_t window;    // the window handle, as in the value's name
  std::uint32_t pid;       // the process the window belonged to when it was marked
  std::uint32_t magic;     // kHungMarkMagic
  std::uint64_t since_ms;  // when it was marked (GetTickCount64), never 0
};
static_assert(sizeof(HungMarkRecord) == 24);
inline constexpr std::uint32_t kHungMarkMagic = 0x6B72616D;  // "mark"

// The name of window's mark: its handle as 16 upper-case hex digits and a zero.
std::array<char, 17> hung_mark_name(HWND window);

class HungMarks {
 public:
  // Opens subkey of HKEY_CURRENT_USER, creating it volatile when it does not exist. When it
  // cannot be opened every window counts as unmarked and marking does nothing: each sender
  // then waits out a hung window once, and still reports it.
  explicit HungMarks(const char* subkey);
  ~HungMarks();
  HungMarks(const HungMarks&) = delete;
  HungMarks& operator=(const HungMarks&) = delete;

  bool open() const { return key_ != nullptr; }
  // Whether the key holds any value at all: one call, so a broadcast looks up each window only
  // when some window is marked.
  bool any() const;
  // When window was marked (GetTickCount64 ms, at most now), or 0 when it is not marked.
  ULONGLONG since(HWND window, ULONGLONG now) const;
  // Marks window, of the process it belongs to now, as not answering since now. Before that
  // drops the marks that no longer hold up, so the key keeps only marks of live windows.
  void mark(HWND window, ULONGLONG now) const;
  // Notes that window answers again.
  void clear(HWND window) const;
  // Drops values that are no mark, and marks that no longer hold up, among the first
  // kHungMarksScanned values of the key.
  void prune(ULONGLONG now) const;

 private:
  HKEY key_ = nullptr;
};

// The session's marks (kHungMarksKey), opened on first use and kept for the process's life;
// allocates nothing, so window procedures and exit-time callers may use it.
const HungMarks& session_hung_marks();

}  // namespace mmfcast::platform::win
