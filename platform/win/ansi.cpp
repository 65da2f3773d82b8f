// Conversions between the program's UTF-16 texts and the system ANSI code page (CP_ACP).
// A character the code page lacks becomes its default character; a lone surrogate becomes '?'
// even where the code page is UTF-8, so both backends agree. Nothing here throws: a text too
// long for the API or a failed allocation gives an empty result.
#include <windows.h>

#include <climits>
#include <new>

#include "platform/platform.h"

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

char* lstrcpynA(char* lpString1, const char* lpString2, int iMaxLength) {
  return ::lstrcpynA(lpString1, lpString2, iMaxLength);
}

}  // namespace mmfcast::platform
