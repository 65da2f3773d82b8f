// Strict UTF-8 for the checked conversions of both backends: a text either converts exactly or
// the first thing that stops it is named. Linux's ANSI code page is UTF-8, and Windows uses the
// same rules when UTF-8 is asked for, so both say the same about the same bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace mmfcast::platform::utf8 {

// The offset of the first byte of `bytes` that does not begin a well-formed UTF-8 sequence
// (overlong forms, surrogates and values above U+10FFFF are not well formed, nor is a sequence
// cut short), or npos when all are well formed; `text` then holds them as UTF-16.
std::size_t decode(std::string_view bytes, std::u16string& text);

// The index of the first lone surrogate of `text`, or npos when there is none; `bytes` then
// holds the text as UTF-8.
std::size_t encode(std::u16string_view text, std::string& bytes);

// "U+4E2D", "U+1F600": how messages name a character.
std::string code_point_name(char32_t c);

// The ordinal (counted from 1, a surrogate pair as one character) of the character that starts
// at code unit `index` of text.
std::size_t character_ordinal(std::u16string_view text, std::size_t index);

// The character that starts at code unit `index` (a pair's whole value), for messages.
char32_t character_at(std::u16string_view text, std::size_t index);

// "byte 0xFF at offset 5": how messages name a byte.
std::string byte_name(std::string_view bytes, std::size_t offset);

}  // namespace mmfcast::platform::utf8
