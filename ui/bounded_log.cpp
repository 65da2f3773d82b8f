#include "ui/bounded_log.h"

#include <algorithm>
#include <charconv>

namespace ui {

std::optional<std::size_t> parse_max_lines(std::string_view text) {
  std::size_t value = 0;
  const char* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || at != end) return std::nullopt;
  if (value < kMinMaxLines || value > kMaxMaxLines) return std::nullopt;
  return value;
}

BoundedLog::BoundedLog(std::size_t max_lines) : max_lines_(std::max(max_lines, kMinMaxLines)) {}

std::size_t BoundedLog::appended(std::u16string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'\n' && (i > 0 ? text[i - 1] == u'\r' : ends_with_cr_)) {
      breaks_.push_back(length_ + i - 1);
    }
  }
  if (!text.empty()) ends_with_cr_ = text.back() == u'\r';
  length_ += text.size();
  if (breaks_.size() <= max_lines_) return 0;
  const std::size_t keep = std::max<std::size_t>(max_lines_ - max_lines_ / 10, 1);
  const std::size_t drop = breaks_.size() - keep;
  const std::uint64_t to = breaks_[drop];
  breaks_.erase(breaks_.begin(), breaks_.begin() + static_cast<std::ptrdiff_t>(drop));
  const auto cut = static_cast<std::size_t>(to - cut_);
  cut_ = to;
  return cut;
}

}  // namespace ui
