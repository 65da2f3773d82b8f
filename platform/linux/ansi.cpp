// The ANSI side of the Linux backend: the code page is UTF-8. Conversions run on every send and
// receive, so they are single passes into a buffer sized for the worst case. Bytes that are not
// UTF-8 become U+FFFD, one per maximal subpart of an ill-formed sequence (the usual practice),
// and a lone surrogate becomes '?', as a Windows conversion with a default character would.
// The checked conversions refuse both instead, naming where.
#include <cstring>

#include "platform/platform.h"
#include "platform/utf8.h"

namespace mmfcast::platform {
namespace {

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

std::string to_ansi(std::u16string_view text) {
  std::string out(text.size() * 3, '\0');  // no code unit gives more than 3 bytes
  char* o = out.data();
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n; ++i) {
    char32_t c = text[i];
    if (c < 0x80) {
      *o++ = static_cast<char>(c);
      continue;
    }
    if (c >= 0xD800 && c <= 0xDFFF) {
      if (c <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
        ++i;
      } else {
        *o++ = '?';
        continue;
      }
    }
    if (c < 0x800) {
      *o++ = static_cast<char>(0xC0 | (c >> 6));
    } else if (c < 0x10000) {
      *o++ = static_cast<char>(0xE0 | (c >> 12));
      *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    } else {
      *o++ = static_cast<char>(0xF0 | (c >> 18));
      *o++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    }
    *o++ = static_cast<char>(0x80 | (c & 0x3F));
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
  return out;
}

namespace {

// Walks bytes character by character, as the code page reads them: each well-formed sequence is
// one character, each ill-formed subpart (the lead and the trailing bytes valid so far) one
// U+FFFD. `each(c, begin, end, well_formed)` gets the character, the bytes it came from and
// whether they spell it, and returns false to stop.
template <typename Each>
void for_each_character(std::string_view bytes, Each each) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char lead = s[i];
    if (lead < 0x80) {
      if (!each(static_cast<char32_t>(lead), i, i + 1, true)) return;
      ++i;
      continue;
    }
    const utf8::Lead l = utf8::lead_of(lead);
    const int trail = l.trail;
    const unsigned char lo = l.lo, hi = l.hi;
    char32_t c = l.bits;
    std::size_t j = i + 1;
    int got = 0;
    for (; got < trail && j < n; ++got, ++j) {
      const unsigned char b = s[j];
      if (got == 0 ? (b < lo || b > hi) : !is_continuation(b)) break;
      c = (c << 6) | (b & 0x3F);
    }
    const bool well_formed = trail != 0 && got == trail;
    // An ill-formed one ends past the lead and the trailing bytes that were valid so far.
    if (!each(well_formed ? c : U'\uFFFD', i, j, well_formed)) return;
    i = j;
  }
}

}  // namespace

std::u16string from_ansi(std::string_view bytes) {
  std::u16string out(bytes.size(), u'\0');  // no byte gives more than one code unit
  char16_t* o = out.data();
  for_each_character(bytes, [&](char32_t c, std::size_t, std::size_t, bool) {
    if (c >= 0x10000) {
      c -= 0x10000;
      *o++ = static_cast<char16_t>(0xD800 + (c >> 10));
      *o++ = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      *o++ = static_cast<char16_t>(c);
    }
    return true;
  });
  out.resize(static_cast<std::size_t>(o - out.data()));
  return out;
}

std::string ansi_prefix(std::string_view bytes, std::size_t max_units) {
  std::string out;
  out.reserve(bytes.size());  // more only for ill-formed bytes
  std::size_t units = 0;
  for_each_character(bytes, [&](char32_t c, std::size_t begin, std::size_t end, bool well_formed) {
    const std::size_t need = c >= 0x10000 ? 2 : 1;
    if (c == 0 || units + need > max_units) return false;
    units += need;
    if (well_formed) {
      out.append(bytes.substr(begin, end - begin));
    } else {
      out += "\xEF\xBF\xBD";
    }
    return true;
  });
  return out;
}

std::string code_page_name(unsigned code_page) {
  return code_page == kAnsiCodePage || code_page == kUtf8CodePage
             ? "UTF-8"
             : "code page " + std::to_string(code_page);
}

std::string decode_exact(std::string_view bytes, std::u16string& text, unsigned code_page) {
  if (code_page != kAnsiCodePage && code_page != kUtf8CodePage) {
    return code_page_name(code_page) + " is not available on this system";
  }
  const std::size_t bad = utf8::decode(bytes, text);
  if (bad == std::string_view::npos) return {};
  return utf8::byte_name(bytes, bad) + " is not UTF-8";
}

std::string encode_exact(std::u16string_view text, std::string& bytes, unsigned code_page) {
  if (code_page != kAnsiCodePage && code_page != kUtf8CodePage) {
    return code_page_name(code_page) + " is not available on this system";
  }
  const std::size_t bad = utf8::encode(text, bytes);
  if (bad == std::u16string_view::npos) return {};
  return utf8::code_point_name(text[bad]) + " at character " +
         std::to_string(utf8::character_ordinal(text, bad)) +
         " has no form in UTF-8: it is half of a surrogate pair";
}

char* lstrcpynA(char* lpString1, const char* lpString2, int iMaxLength) {
  if (iMaxLength <= 0) return lpString1;
  if (lpString1 == nullptr || lpString2 == nullptr) return nullptr;
  const std::size_t len = strnlen(lpString2, static_cast<std::size_t>(iMaxLength) - 1);
  std::memmove(lpString1, lpString2, len);
  lpString1[len] = '\0';
  return lpString1;
}

}  // namespace mmfcast::platform
