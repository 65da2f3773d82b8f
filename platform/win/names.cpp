// Which names the Windows session can hold: the system's limits on a registered message's name
// (an atom, 255 characters) and on a named mapping's (MAX_PATH).
#include <windows.h>

#include <string>

#include "platform/platform.h"
#include "platform/utf8.h"

namespace mmfcast::platform {

std::string name_problem(std::string_view name, NameKind kind) {
  std::u16string text;
  if (std::string why = utf8::name_form_problem(name, text); !why.empty()) return why;
  const std::size_t limit = kind == NameKind::kMessage ? 255 : MAX_PATH;
  if (text.size() <= limit) return {};
  return "the name is " + std::to_string(text.size()) + " characters long; a " +
         (kind == NameKind::kMessage ? "message" : "shared area") + " name may have " +
         std::to_string(limit) + " at most";
}

}  // namespace mmfcast::platform
