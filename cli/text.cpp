// Line splitting, cutting to size and JSON escaping for mmfcast-cli.
#include "cli/text.h"

#include <cstdio>
#include <utility>

#include "platform/platform.h"

namespace cli {

bool take_line(std::string& pending, bool ended, std::string& line) {
  const std::size_t newline = pending.find('\n');
  if (newline != std::string::npos) {
    line = pending.substr(0, newline);
    pending.erase(0, newline + 1);
    return true;
  }
  if (!ended || pending.empty()) return false;
  line = std::move(pending);
  pending.clear();
  return true;
}

std::u16string cut_to_fit(std::u16string_view text, std::size_t limit) {
  std::size_t bytes = 0;
  std::size_t end = 0;
  while (end < text.size()) {
    std::size_t next = end + 1;
    if (text[end] >= 0xD800 && text[end] <= 0xDBFF && next < text.size() && text[next] >= 0xDC00 &&
        text[next] <= 0xDFFF) {
      ++next;
    }
    bytes += mmfcast::platform::to_ansi(text.substr(end, next - end)).size();
    if (bytes > limit) break;
    end = next;
  }
  return std::u16string(text.substr(0, end));
}

std::string json_string(std::u16string_view text) {
  std::string out = "\"";
  auto put_utf8 = [&out](char32_t c) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        if (c < 0x20 || c == 0x7F || c == 0x2028 || c == 0x2029) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
          out += escape;
        } else {
          put_utf8(c);
        }
    }
  }
  return out + "\"";
}

}  // namespace cli
