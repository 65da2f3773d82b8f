// What mmfcast-cli does with the bytes it reads and writes, apart from the reading and writing:
// standard input cut into lines, a text cut to the area's size, a text as a JSON string.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace cli {

// Takes the next line, without its newline, from the front of `pending`; after the end of the
// input (`ended`) whatever is left is the last line. False when no whole line is there yet, or
// nothing is left at the end.
bool take_line(std::string& pending, bool ended, std::string& line);

// The longest beginning of text, in whole characters, whose code-page form takes at most
// `limit` bytes.
std::u16string cut_to_fit(std::u16string_view text, std::size_t limit);

// The text as a JSON string literal, quotes included: UTF-8, with quotes, backslashes, control
// characters and the line separators U+2028/U+2029 escaped; a lone surrogate becomes U+FFFD.
std::string json_string(std::u16string_view text);

}  // namespace cli
