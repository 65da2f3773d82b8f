// Texts pass between the tests and the helper program as hex of their UTF-16 code units, so
// no console code page or locale can change them on the way.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace testsupport {

inline std::string to_hex16(std::u16string_view text) {
  std::string out;
  char buf[5];
  for (char16_t c : text) {
    std::snprintf(buf, sizeof buf, "%04x", static_cast<unsigned>(c));
    out += buf;
  }
  return out.empty() ? "-" : out;
}

inline std::u16string from_hex16(std::string_view hex) {
  std::u16string out;
  if (hex == "-") return out;
  for (std::size_t i = 0; i + 4 <= hex.size(); i += 4) {
    out.push_back(static_cast<char16_t>(std::stoul(std::string(hex.substr(i, 4)), nullptr, 16)));
  }
  return out;
}

inline std::string to_hex8(std::string_view bytes) {
  std::string out;
  char buf[3];
  for (unsigned char c : bytes) {
    std::snprintf(buf, sizeof buf, "%02x", c);
    out += buf;
  }
  return out.empty() ? "-" : out;
}

inline std::string from_hex8(std::string_view hex) {
  std::string out;
  if (hex == "-") return out;
  for (std::size_t i = 0; i + 2 <= hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoul(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

}  // namespace testsupport
