// Strict UTF-8 for the checked conversions of both backends: a text either converts exactly or
// the first thing that stops it is named. Linux's ANSI code page is UTF-8, and Windows uses the
// same rules when UTF-8 is asked for, so both say the same about the same bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace mmfcast::platform::utf8 {

// What a lead byte says: how many trailing bytes follow (0: it begins no sequence), the range
// allowed for the first of them (which is what rules out overlong forms, surrogates and values
// above U+10FFFF) and the value bits it carries.
struct Lead {
  int trail = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  char32_t bits = 0;
};

inline Lead lead_of(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return {1, 0x80, 0xBF, static_cast<char32_t>(lead & 0x1F)};
  if (lead >= 0xE0 && lead <= 0xEF) {
    return {2, static_cast<unsigned char>(lead == 0xE0 ? 0xA0 : 0x80),
            static_cast<unsigned char>(lead == 0xED ? 0x9F : 0xBF),
            static_cast<char32_t>(lead & 0x0F)};
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    return {3, static_cast<unsigned char>(lead == 0xF0 ? 0x90 : 0x80),
            static_cast<unsigned char>(lead == 0xF4 ? 0x8F : 0xBF),
            static_cast<char32_t>(lead & 0x07)};
  }
  return {};
}

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

// Why `name` (bytes of the ANSI code page) cannot stand for one object of the session whatever
// the backend's length limits: it is empty, holds a byte 0, or is not exact in the code page;
// "" when none of these, `text` then holding the name decoded.
std::string name_form_problem(std::string_view name, std::u16string& text);

}  // namespace mmfcast::platform::utf8
