// Fuzzes the reading of the session's message table, a file any process of the user can write.
// Input: a mode byte (bit 0: give every whole record a correct checksum, so that the field
// checks are reached), the length of a name and the name, then the table's bytes. Every record
// the decoder accepts must be in the canonical encoding of its name; the search must find the
// first record that a full decoding of every record finds for the name, whatever its shortcut.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/linux/transport/message_record.h"
#include "platform/linux/transport/record_encoding.h"

namespace os = mmfcast::platform::os;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2 || size - 2 < data[1]) return 0;
  const std::string_view name(reinterpret_cast<const char*>(data + 2), data[1]);
  std::vector<std::uint8_t> table(data + 2 + name.size(), data + size);
  const std::size_t whole = table.size() / os::kRecordSize;
  std::optional<std::size_t> first;
  for (std::size_t slot = 0; slot < whole; ++slot) {
    std::uint8_t* record = table.data() + slot * os::kRecordSize;
    if ((data[0] & 1) != 0) {
      os::store_le<std::uint32_t>(record + 264, os::record_crc(record, 264));
    }
    const std::optional<std::string_view> held = os::decode_record(record);
    if (!held) continue;
    if (held->empty() || held->size() > os::kMaxName || held->find('\0') != held->npos) {
      std::abort();
    }
    const os::Record again = os::encode_record(*held);
    if (std::memcmp(again.data(), record, os::kRecordSize) != 0) std::abort();
    if (!first && !name.empty() && os::same_name(*held, name)) first = slot;
  }
  if (os::find_record(table, name) != first) std::abort();
  return 0;
}
