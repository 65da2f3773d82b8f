// The received-lines box keeps a bounded number of lines: the oldest are dropped as new ones
// come, so a copy left running for days neither grows without end nor slows down. A line is a
// CR LF line break and what follows it, as the form appends each text; dropping lines from the
// start leaves the box's text still made of such lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace ui {

inline constexpr std::size_t kDefaultMaxLines = 10000;
inline constexpr std::size_t kMinMaxLines = 1;
inline constexpr std::size_t kMaxMaxLines = 10000000;

// Reads a line limit as given on the command line or in the settings: a whole number from
// kMinMaxLines to kMaxMaxLines; nothing when the text is not one.
std::optional<std::size_t> parse_max_lines(std::string_view text);

// Follows what is appended to a box that shows the text as it is (CR LF kept) and says how much
// to cut from its start. Once the box holds more than max_lines line breaks, it asks to cut it
// down to nine tenths of max_lines (at least one line kept), so the cost of a cut, which moves
// the whole text, is shared by a tenth of max_lines appends.
class BoundedLog {
 public:
  explicit BoundedLog(std::size_t max_lines);

  // Notes text added at the end of the box; returns how many characters to remove from the
  // box's start now, 0 when none.
  std::size_t appended(std::u16string_view text);
  // The line breaks the box holds after the last cut.
  std::size_t lines() const { return breaks_.size(); }
  std::size_t max_lines() const { return max_lines_; }

 private:
  std::size_t max_lines_;
  std::deque<std::uint64_t> breaks_;  // where each CR LF starts, counted from the first append
  std::uint64_t length_ = 0;          // characters appended in all
  std::uint64_t cut_ = 0;             // characters cut from the start in all
  bool ends_with_cr_ = false;
};

}  // namespace ui
