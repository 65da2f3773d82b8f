// Fuzzes the parsing of the names a sender lists in the session directory, where any process
// of the user can create any file. The parser must accept exactly the names
// "peer-<16 lower-case hex digits>.sock|.state|.new" (checked against a regular expression) and
// give back the id and kind that name the same file again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>
#include <string_view>

#include "platform/linux/transport/frame.h"

namespace os = mmfcast::platform::os;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 255) return 0;  // longer than a file name can be
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  static const std::regex valid("peer-[0-9a-f]{16}\\.(sock|state|new)");
  const auto name = os::parse_endpoint_name(text);
  if (name.has_value() != std::regex_match(text.begin(), text.end(), valid)) std::abort();
  if (name && os::endpoint_file_name(name->id, name->file) != text) std::abort();
  return 0;
}
