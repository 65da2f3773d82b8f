// Conversions between the program's UTF-16 texts and the system ANSI code page (CP_ACP).
// A character the code page lacks becomes its default character; a lone surrogate becomes '?'
// even where the code page is UTF-8, so both backends agree. Nothing here throws: a text too
// long for the API or a failed allocation gives an empty result. The checked conversions
// instead refuse what does not convert back to what it came from, naming where; UTF-8 follows
// the same strict rules as on Linux.
#include <windows.h>

#include <climits>
#include <new>

#include "platform/platform.h"
#include "platform/utf8.h"

namespace mmfcast::platform {

namespace {

bool is_high(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool is_low(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

std::u16string without_lone_surrogates(std::u16string_view text) {
  std::u16string out(text);
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (is_high(out[i]) && i + 1 < out.size() && is_low(out[i + 1])) {
      ++i;
    } else if (is_high(out[i]) || is_low(out[i])) {
      out[i] = u'?';
    }
  }
  return out;
}

}  // namespace

std::string to_ansi(std::u16string_view text) {
  if (text.empty() || text.size() > INT_MAX) return {};
  try {
    const std::u16string clean = without_lone_surrogates(text);
    const auto* wide = reinterpret_cast<const wchar_t*>(clean.data());
    const int units = static_cast<int>(clean.size());
    const int bytes = ::WideCharToMultiByte(CP_ACP, 0, wide, units, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::string out(static_cast<std::size_t>(bytes), '\0');
    const int written =
        ::WideCharToMultiByte(CP_ACP, 0, wide, units, out.data(), bytes, nullptr, nullptr);
    out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return out;
  } catch (const std::bad_alloc&) {
    return {};
  }
}

std::u16string from_ansi(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > INT_MAX) return {};
  try {
    const int length = static_cast<int>(bytes.size());
    const int units = ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, nullptr, 0);
    if (units <= 0) return {};
    std::u16string out(static_cast<std::size_t>(units), u'\0');
    const int written = ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), length,
                                              reinterpret_cast<wchar_t*>(out.data()), units);
    out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return out;
  } catch (const std::bad_alloc&) {
    return {};
  }
}

namespace {

unsigned resolved(unsigned code_page) {
  return code_page == kAnsiCodePage ? ::GetACP() : code_page;
}

// The code page's characters for bytes; false when the system refuses them.
bool decode_with(unsigned code_page, std::string_view bytes, std::u16string& text) {
  text.clear();
  if (bytes.empty()) return true;
  if (bytes.size() > INT_MAX) return false;
  const int length = static_cast<int>(bytes.size());
  DWORD flags = MB_ERR_INVALID_CHARS;
  int units = ::MultiByteToWideChar(code_page, flags, bytes.data(), length, nullptr, 0);
  if (units <= 0 && ::GetLastError() == ERROR_INVALID_FLAGS) {  // code pages without the check
    flags = 0;
    units = ::MultiByteToWideChar(code_page, flags, bytes.data(), length, nullptr, 0);
  }
  if (units <= 0) return false;
  text.resize(static_cast<std::size_t>(units));
  const int written = ::MultiByteToWideChar(code_page, flags, bytes.data(), length,
                                            reinterpret_cast<wchar_t*>(text.data()), units);
  text.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
  return written == units;
}

// The code page's bytes for text, without best-fit or default characters where the code page
// allows asking for none; false when the system refuses it.
bool encode_with(unsigned code_page, std::u16string_view text, std::string& bytes) {
  bytes.clear();
  if (text.empty()) return true;
  if (text.size() > INT_MAX) return false;
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int units = static_cast<int>(text.size());
  DWORD flags = WC_NO_BEST_FIT_CHARS;
  int length = ::WideCharToMultiByte(code_page, flags, wide, units, nullptr, 0, nullptr, nullptr);
  if (length <= 0 && ::GetLastError() == ERROR_INVALID_FLAGS) {
    flags = 0;
    length = ::WideCharToMultiByte(code_page, flags, wide, units, nullptr, 0, nullptr, nullptr);
  }
  if (length <= 0) return false;
  bytes.resize(static_cast<std::size_t>(length));
  const int written =
      ::WideCharToMultiByte(code_page, flags, wide, units, bytes.data(), length, nullptr, nullptr);
  return written == length;
}

// Whether bytes are a whole number of characters of the code page that convert back to them.
bool decodes_exactly(unsigned code_page, std::string_view bytes, std::u16string& text) {
  std::string back;
  return decode_with(code_page, bytes, text) && encode_with(code_page, text, back) && back == bytes;
}

bool encodes_exactly(unsigned code_page, std::u16string_view text, std::string& bytes) {
  std::u16string back;
  return encode_with(code_page, text, bytes) && decode_with(code_page, bytes, back) && back == text;
}

}  // namespace

std::string code_page_name(unsigned code_page) {
  const unsigned cp = resolved(code_page);
  return cp == kUtf8CodePage ? "UTF-8" : "code page " + std::to_string(cp);
}

std::string decode_exact(std::string_view bytes, std::u16string& text, unsigned code_page) {
  const unsigned cp = resolved(code_page);
  if (cp == kUtf8CodePage) {
    const std::size_t bad = utf8::decode(bytes, text);
    return bad == std::string_view::npos ? std::string()
                                         : utf8::byte_name(bytes, bad) + " is not UTF-8";
  }
  try {
    if (decodes_exactly(cp, bytes, text)) return {};
    if (!::IsValidCodePage(cp)) return code_page_name(cp) + " is not installed";
    // The first character (one byte, or a lead byte and its trail) that does not convert back.
    std::u16string one;
    std::size_t i = 0;
    while (i < bytes.size()) {
      const std::size_t size =
          ::IsDBCSLeadByteEx(cp, static_cast<BYTE>(bytes[i])) && i + 1 < bytes.size() ? 2 : 1;
      if (!decodes_exactly(cp, bytes.substr(i, size), one)) break;
      i += size;
    }
    if (i == bytes.size()) i = 0;  // only the whole fails: a stateful code page
    return utf8::byte_name(bytes, i) + " is not valid in " + code_page_name(cp);
  } catch (const std::bad_alloc&) {
    return "out of memory converting the text";
  }
}

std::string encode_exact(std::u16string_view text, std::string& bytes, unsigned code_page) {
  const unsigned cp = resolved(code_page);
  const std::size_t lone = utf8::encode(text, bytes);
  if (lone != std::u16string_view::npos) {
    return utf8::code_point_name(text[lone]) + " at character " +
           std::to_string(utf8::character_ordinal(text, lone)) + " has no form in " +
           code_page_name(cp) + ": it is half of a surrogate pair";
  }
  if (cp == kUtf8CodePage) return {};
  try {
    if (encodes_exactly(cp, text, bytes)) return {};
    if (!::IsValidCodePage(cp)) return code_page_name(cp) + " is not installed";
    std::string one;
    std::size_t i = 0;
    while (i < text.size()) {
      const std::size_t size = text[i] >= 0xD800 && text[i] <= 0xDBFF ? 2 : 1;
      if (!encodes_exactly(cp, text.substr(i, size), one)) break;
      i += size;
    }
    if (i == text.size()) i = 0;
    return utf8::code_point_name(utf8::character_at(text, i)) + " at character " +
           std::to_string(utf8::character_ordinal(text, i)) + " has no form in " +
           code_page_name(cp);
  } catch (const std::bad_alloc&) {
    return "out of memory converting the text";
  }
}

char* lstrcpynA(char* lpString1, const char* lpString2, int iMaxLength) {
  return ::lstrcpynA(lpString1, lpString2, iMaxLength);
}

}  // namespace mmfcast::platform
