// The texts the send-many helper command sends, shared with the tests that check them: their
// lengths vary, so a text read while another overwrote the area shows as cut or run on.
#pragma once

#include <string>

namespace child {

inline std::string sent_text(const std::string& tag, int i) {
  return tag + "-" + std::to_string(i) + "-" +
         std::string(static_cast<std::size_t>(i * 7 % 23), 'x');
}

}  // namespace child
