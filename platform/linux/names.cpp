// Which names the Linux session can hold: a message name is stored as up to 255 bytes in the
// message table, a mapping is a file named after it in the session directory.
#include <climits>
#include <string>

#include "platform/linux/transport/internal.h"
#include "platform/platform.h"
#include "platform/utf8.h"

namespace mmfcast::platform {

namespace {

constexpr std::size_t kMaxMessageName = 255;

// The length of the mapping's file name: "map-" and the name, each byte outside the characters
// a file name keeps as they are written as %XX.
std::size_t mapping_file_length(std::string_view name) {
  std::size_t length = 4;
  for (const char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '_' || c == '-';
    length += plain ? 1 : 3;
  }
  return length;
}

}  // namespace

std::string name_problem(std::string_view name, NameKind kind) {
  std::u16string text;
  if (std::string why = utf8::name_form_problem(name, text); !why.empty()) return why;
  if (kind == NameKind::kMessage) {
    if (name.size() <= kMaxMessageName) return {};
    return "the name is " + std::to_string(name.size()) + " bytes long; a message name may have " +
           std::to_string(kMaxMessageName) + " at most";
  }
  if (os::mapping_file_name(name)) return {};
  return "the name's file in the session directory would be " +
         std::to_string(mapping_file_length(name)) + " bytes long (\"map-\" and the name, each " +
         "byte outside A-Z, a-z, 0-9, '.', '_' and '-' as three); a file name may have " +
         std::to_string(NAME_MAX) + " at most";
}

}  // namespace mmfcast::platform
