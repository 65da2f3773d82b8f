// Fuzzes what mmfcast-cli does with the bytes of its standard input and the texts it prints.
// Input: a byte that sets the size of the reads and the area's limit, then standard input.
// The input, read in pieces of that size, must come out as exactly its lines; each line, cut
// to the limit, must be the longest beginning in whole characters that fits; its JSON string
// must escape every character JSON or a JavaScript reader needs escaped and decode back to the
// text (a lone surrogate as U+FFFD).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "cli/text.h"
#include "platform/platform.h"

namespace {

void require(bool ok) {
  if (!ok) std::abort();
}

bool is_high(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool is_low(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// The UTF-8 a JSON string literal stands for, or "!" when it is not one a strict reader takes
// or holds a character that should have been escaped.
std::string json_decoded(std::string_view json) {
  if (json.size() < 2 || json.front() != '"' || json.back() != '"') return "!";
  std::u16string units;
  std::string raw;  // unescaped bytes waiting to be decoded
  const auto flush = [&] {
    units += mmfcast::platform::from_ansi(raw);
    raw.clear();
  };
  for (std::size_t i = 1; i + 1 < json.size(); ++i) {
    const auto c = static_cast<unsigned char>(json[i]);
    if (c < 0x20 || c == 0x7F || c == '"') return "!";
    if (json.substr(i, 3) == "\xE2\x80\xA8" || json.substr(i, 3) == "\xE2\x80\xA9") return "!";
    if (c != '\\') {
      raw += json[i];
      continue;
    }
    flush();
    if (++i + 1 >= json.size()) return "!";
    const std::string_view simple = "\"\"\\\\//b\bf\fn\nr\rt\t";
    const std::size_t at = simple.find(json[i]);
    if (json[i] == 'u' && i + 5 < json.size()) {
      units += static_cast<char16_t>(std::stoul(std::string(json.substr(i + 1, 4)), nullptr, 16));
      i += 4;
    } else if (at != simple.npos && at % 2 == 0) {
      units += static_cast<char16_t>(simple[at + 1]);
    } else {
      return "!";
    }
  }
  flush();
  return mmfcast::platform::to_ansi(units);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > 4096) return 0;
  const std::size_t piece = (data[0] & 0x0F) + 1;
  const std::size_t limit = data[0] >> 2;
  const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);

  std::vector<std::string> lines;
  std::string pending, line;
  for (std::size_t at = 0; at < input.size() + piece; at += piece) {
    const bool ended = at >= input.size();
    if (!ended) pending += input.substr(at, piece);
    while (cli::take_line(pending, ended, line)) lines.push_back(line);
  }
  std::string joined;
  for (const std::string& each : lines) joined += each + "\n";
  require(pending.empty() && (joined == input || joined == input + "\n"));

  for (const std::string& each : lines) {
    const std::u16string text = mmfcast::platform::from_ansi(each);
    const std::u16string cut = cli::cut_to_fit(text, limit);
    require(text.starts_with(cut) && mmfcast::platform::to_ansi(cut).size() <= limit);
    if (cut.size() < text.size()) {
      const std::size_t next = cut.size() + 1;
      require(!is_low(text[cut.size()]) || cut.empty() || !is_high(cut.back()));
      const bool pair = is_high(text[cut.size()]) && next < text.size() && is_low(text[next]);
      require(mmfcast::platform::to_ansi(text.substr(0, next + (pair ? 1 : 0))).size() > limit);
    }

    std::u16string expected = text;
    for (std::size_t i = 0; i < expected.size(); ++i) {
      if (is_high(expected[i]) && i + 1 < expected.size() && is_low(expected[i + 1])) {
        ++i;
      } else if (is_high(expected[i]) || is_low(expected[i])) {
        expected[i] = u'\uFFFD';
      }
    }
    require(json_decoded(cli::json_string(text)) == mmfcast::platform::to_ansi(expected));
  }
  return 0;
}
