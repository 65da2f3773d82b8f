// Fuzzes the ANSI (UTF-8) <-> UTF-16 conversions. The input is read both ways: as bytes for
// from_ansi and as 16-bit units for to_ansi. Checked against glibc's iconv: valid UTF-8
// decodes to what iconv gives and encodes back to itself; any UTF-16 encodes to valid UTF-8
// that decodes to the input with each lone surrogate replaced by '?'; any byte string decodes
// to text whose encoding is valid UTF-8. The checked conversions accept exactly what iconv finds
// valid (and lone-surrogate-free UTF-16), give the same result, and otherwise name a byte or a
// character that is there.
#include <iconv.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace {

// The bytes converted by iconv, or nullopt when iconv finds the input invalid.
std::optional<std::string> convert(const char* to, const char* from, const void* in,
                                   std::size_t size) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) std::abort();
  std::string out(size * 4 + 16, '\0');
  char* src = const_cast<char*>(static_cast<const char*>(in));
  std::size_t src_left = size;
  char* dst = out.data();
  std::size_t dst_left = out.size();
  const std::size_t rc = iconv(cd, &src, &src_left, &dst, &dst_left);
  iconv_close(cd);
  if (rc == static_cast<std::size_t>(-1) || src_left != 0) return std::nullopt;
  out.resize(out.size() - dst_left);
  return out;
}

bool valid_utf8(const std::string& bytes) {
  return convert("UTF-16LE", "UTF-8", bytes.data(), bytes.size()).has_value();
}

std::u16string utf16_of(const std::string& le_bytes) {
  std::u16string out(le_bytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<char16_t>(static_cast<unsigned char>(le_bytes[2 * i]) |
                                   static_cast<unsigned char>(le_bytes[2 * i + 1]) << 8);
  }
  return out;
}

std::u16string lone_surrogates_replaced(std::u16string text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool high = text[i] >= 0xD800 && text[i] <= 0xDBFF;
    const bool low = text[i] >= 0xDC00 && text[i] <= 0xDFFF;
    if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      ++i;
    } else if (high || low) {
      text[i] = u'?';
    }
  }
  return text;
}

void check_bytes(const std::string& bytes) {
  const std::u16string text = mmfcast::platform::from_ansi(bytes);
  const std::string back = mmfcast::platform::to_ansi(text);
  if (!valid_utf8(back)) std::abort();
  std::u16string exact;
  const std::string why = mmfcast::platform::decode_exact(bytes, exact);
  if (std::optional<std::string> expected =
          convert("UTF-16LE", "UTF-8", bytes.data(), bytes.size())) {
    if (text != utf16_of(*expected) || back != bytes) std::abort();
    if (!why.empty() || exact != text) std::abort();
  } else {
    // "byte 0xXX at offset N is not UTF-8": a byte of the input, after which nothing decodes.
    unsigned byte = 0;
    std::size_t offset = 0;
    if (std::sscanf(why.c_str(), "byte 0x%X at offset %zu", &byte, &offset) != 2 ||
        offset >= bytes.size() || static_cast<unsigned char>(bytes[offset]) != byte ||
        !valid_utf8(bytes.substr(0, offset))) {
      std::abort();
    }
  }
}

void check_units(const std::u16string& units) {
  const std::string bytes = mmfcast::platform::to_ansi(units);
  if (!valid_utf8(bytes)) std::abort();
  if (mmfcast::platform::from_ansi(bytes) != lone_surrogates_replaced(units)) std::abort();
  std::string exact;
  const std::string why = mmfcast::platform::encode_exact(units, exact);
  if (lone_surrogates_replaced(units) == units) {
    if (!why.empty() || exact != bytes) std::abort();
  } else if (why.rfind("U+D", 0) != 0 || why.find(" has no form in UTF-8") == std::string::npos) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  check_bytes(bytes);
  check_units(utf16_of(bytes));
  return 0;
}
