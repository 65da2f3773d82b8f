// Strict UTF-8 decoding and encoding, and the names messages give bytes and characters.
#include "platform/utf8.h"

#include <cstdio>

#include "platform/platform.h"

namespace mmfcast::platform::utf8 {

namespace {

bool is_high(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool is_low(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

std::size_t decode(std::string_view bytes, std::u16string& text) {
  text.clear();
  text.reserve(bytes.size());
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char lead = s[i];
    if (lead < 0x80) {
      text += static_cast<char16_t>(lead);
      ++i;
      continue;
    }
    const Lead l = lead_of(lead);
    if (l.trail == 0) return i;
    const int trail = l.trail;
    const unsigned char lo = l.lo, hi = l.hi;
    char32_t c = l.bits;
    for (int got = 0; got < trail; ++got) {
      const std::size_t j = i + 1 + static_cast<std::size_t>(got);
      // Cut short or broken off: the lead byte begins no well-formed sequence.
      if (j >= n) return i;
      const unsigned char b = s[j];
      if (got == 0 ? (b < lo || b > hi) : (b & 0xC0) != 0x80) return i;
      c = (c << 6) | (b & 0x3F);
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      text += static_cast<char16_t>(0xD800 + (c >> 10));
      text += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      text += static_cast<char16_t>(c);
    }
    i += 1 + static_cast<std::size_t>(trail);
  }
  return std::string_view::npos;
}

std::size_t encode(std::u16string_view text, std::string& bytes) {
  bytes.clear();
  bytes.reserve(text.size() * 3);
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n; ++i) {
    char32_t c = text[i];
    if (is_high(text[i]) && i + 1 < n && is_low(text[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (is_high(text[i]) || is_low(text[i])) {
      return i;
    }
    if (c < 0x80) {
      bytes += static_cast<char>(c);
      continue;
    }
    if (c < 0x800) {
      bytes += static_cast<char>(0xC0 | (c >> 6));
    } else if (c < 0x10000) {
      bytes += static_cast<char>(0xE0 | (c >> 12));
      bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    } else {
      bytes += static_cast<char>(0xF0 | (c >> 18));
      bytes += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    }
    bytes += static_cast<char>(0x80 | (c & 0x3F));
  }
  return std::u16string_view::npos;
}

std::string code_point_name(char32_t c) {
  char name[16];
  std::snprintf(name, sizeof name, "U+%04X", static_cast<unsigned>(c));
  return name;
}

std::size_t character_ordinal(std::u16string_view text, std::size_t index) {
  std::size_t ordinal = 1;
  for (std::size_t i = 0; i < index && i < text.size(); ++i, ++ordinal) {
    if (is_high(text[i]) && i + 1 < index && is_low(text[i + 1])) ++i;
  }
  return ordinal;
}

char32_t character_at(std::u16string_view text, std::size_t index) {
  if (index >= text.size()) return 0;
  if (is_high(text[index]) && index + 1 < text.size() && is_low(text[index + 1])) {
    return 0x10000 + ((char32_t{text[index]} - 0xD800) << 10) + (text[index + 1] - 0xDC00);
  }
  return text[index];
}

std::string byte_name(std::string_view bytes, std::size_t offset) {
  char name[48];
  std::snprintf(name, sizeof name, "byte 0x%02X at offset %zu",
                offset < bytes.size() ? static_cast<unsigned char>(bytes[offset]) : 0u, offset);
  return name;
}

std::string name_form_problem(std::string_view name, std::u16string& text) {
  if (name.empty()) return "the name is empty";
  if (const std::size_t zero = name.find('\0'); zero != std::string_view::npos) {
    return "the name holds a byte 0 at offset " + std::to_string(zero);
  }
  if (std::string why = decode_exact(name, text); !why.empty()) return "the name: " + why;
  return {};
}

}  // namespace mmfcast::platform::utf8
