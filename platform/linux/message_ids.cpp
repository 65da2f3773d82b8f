// RegisterWindowMessageA on Linux: a session-wide table of message names in the file "messages"
// of the session directory, read and extended under an exclusive flock. The table is a sequence
// of fixed-size checksummed records that is only ever appended to; record i stands for id
// 0xC000 + i. A record that fails its checks (a writer killed mid-write, a damaged file) keeps
// its slot but matches no name, so its id is never handed out for another name.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/transport/message_record.h"
#include "platform/linux/transport/record_encoding.h"
#include "platform/linux/transport/session.h"
#include "platform/linux/transport/transport.h"
#include "platform/platform.h"

namespace mmfcast::platform::os {
namespace {

// Record layout (little-endian):
//   0 magic u32 | 4 name length u16 | 6 reserved u16 (0) | 8 name, zero-padded to 256 bytes
//   264 crc32 of bytes 0..263 u32 | 268 reserved u32 (0)
constexpr std::uint32_t kRecordMagic = 0x4d464d4d;  // "MMFM"
constexpr std::size_t kNameOffset = 8;
constexpr std::size_t kNameField = 256;
constexpr std::size_t kCrcOffset = kNameOffset + kNameField;
static_assert(kCrcOffset + 8 == kRecordSize);
constexpr std::uint32_t kFirstId = 0xC000;
constexpr std::size_t kSlots = 0x10000 - kFirstId;
constexpr char kTableName[] = "messages";

}  // namespace

// The names this process registered and the ids it handed out for them, which stay its ids
// for the life of the process. When the session directory is removed and made again, the new
// table may give the same names other ids (another copy registered first); the names are then
// registered again and the ids translated on the way out and in, so that running copies and
// new ones still understand each other.
struct Known {
  std::string name;
  std::uint32_t local = 0;    // what RegisterWindowMessageA returned: never changes
  std::uint32_t session = 0;  // its id in the current table; 0 when it could not be registered
};

// What this process has read of the table file: its whole records, so that a look-up reads only
// the records appended since. A record found here is read again before it is trusted, so one
// damaged since still shows; a table replaced (another file) or cut short is read anew.
struct TableCache {
  std::uint64_t epoch = 0;
  dev_t dev = 0;
  ino_t ino = 0;
  std::vector<std::uint8_t> records;  // whole records from the start of the file
};

struct Ids {
  std::mutex mutex;
  TableCache cache;
  std::string path;  // the session directory the names belong to
  std::uint64_t epoch = 0;
  std::uint64_t changes = 0;  // session_changes() when the table was last looked at
  dev_t table_dev = 0;        // the table file as it was then
  ino_t table_ino = 0;
  off_t table_size = 0;
  std::vector<Known> known;
};

Part<Ids> make_ids() { return new_part<Ids>(); }

Record encode_record(std::string_view name) {
  Record r{};
  store_le<std::uint32_t>(r.data(), kRecordMagic);
  store_le<std::uint16_t>(r.data() + 4, static_cast<std::uint16_t>(name.size()));
  std::memcpy(r.data() + kNameOffset, name.data(), name.size());
  store_le<std::uint32_t>(r.data() + kCrcOffset, record_crc(r.data(), kCrcOffset));
  return r;
}

std::optional<std::string_view> decode_record(const std::uint8_t* r) {
  if (load_le<std::uint32_t>(r) != kRecordMagic || load_le<std::uint16_t>(r + 6) != 0) {
    return std::nullopt;
  }
  if (load_le<std::uint32_t>(r + kCrcOffset + 4) != 0 ||
      load_le<std::uint32_t>(r + kCrcOffset) != record_crc(r, kCrcOffset)) {
    return std::nullopt;
  }
  const std::size_t length = load_le<std::uint16_t>(r + 4);
  if (length == 0 || length > kMaxName) return std::nullopt;
  const auto* name = reinterpret_cast<const char*>(r + kNameOffset);
  if (std::memchr(name, 0, length) != nullptr) return std::nullopt;
  for (std::size_t i = length; i < kNameField; ++i) {
    if (name[i] != 0) return std::nullopt;
  }
  return std::string_view(name, length);
}

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

std::optional<std::size_t> find_record(std::span<const std::uint8_t> records,
                                       std::string_view name) {
  if (name.empty() || name.size() > kMaxName) return std::nullopt;
  for (std::size_t slot = 0; slot < records.size() / kRecordSize; ++slot) {
    // Only a record that spells the name is checked in full: the scan stays cheap.
    const std::uint8_t* record = records.data() + slot * kRecordSize;
    if (record[4] != static_cast<std::uint8_t>(name.size()) || record[5] != 0) continue;
    const std::string_view spelled(reinterpret_cast<const char*>(record + kNameOffset),
                                   name.size());
    if (!same_name(spelled, name)) continue;
    std::optional<std::string_view> held = decode_record(record);
    if (held && same_name(*held, name)) return slot;
  }
  return std::nullopt;
}

namespace {

// The table file of a directory, open and locked, with the records appended since the last
// look read into the cache.
struct OpenTable {
  UniqueFd fd;
  std::string what;
  std::size_t used = 0;       // slots the file holds, a trailing partial record included
  std::size_t first_new = 0;  // the first record this look read
};

// Opens and locks the table of `dir` and reads what is new in it. Throws OsError.
OpenTable open_table(TableCache& cache, const SessionDir& dir) {
  OpenTable table;
  const std::string path = dir.file(kTableName);
  table.what = "message table " + path;
  table.fd = open_session_file(path, Create::kIfMissing, table.what);
  bounded_flock(table.fd.get(), LOCK_EX, table.what);
  struct stat info {};
  check(syscalls().fstat(table.fd.get(), &info), table.what);
  // A trailing partial record is a slot of its own: the next record goes after it.
  const auto size = static_cast<std::size_t>(info.st_size);
  table.used = (size + kRecordSize - 1) / kRecordSize;
  const std::size_t whole = std::min(size / kRecordSize, kSlots) * kRecordSize;
  if (cache.epoch != dir.epoch || cache.dev != info.st_dev || cache.ino != info.st_ino ||
      cache.records.size() > whole) {
    cache = TableCache{dir.epoch, info.st_dev, info.st_ino, {}};
  }
  const std::size_t known = cache.records.size();
  table.first_new = known / kRecordSize;
  cache.records.resize(whole);
  try {
    read_all_at(table.fd.get(), cache.records.data() + known, whole - known,
                static_cast<off_t>(known), table.what);
  } catch (...) {
    cache.records.resize(known);
    throw;
  }
  return table;
}

// The slot of the first record that holds the name, each candidate read again from the file:
// a record damaged since it was cached is taken as it is now.
std::optional<std::size_t> find_current(TableCache& cache, const OpenTable& table,
                                        std::string_view name) {
  std::size_t from = 0;
  for (;;) {
    const std::optional<std::size_t> found =
        find_record(std::span<const std::uint8_t>(cache.records).subspan(from * kRecordSize), name);
    if (!found) return std::nullopt;
    const std::size_t slot = from + *found;
    std::uint8_t* record = cache.records.data() + slot * kRecordSize;
    read_all_at(table.fd.get(), record, kRecordSize, static_cast<off_t>(slot * kRecordSize),
                table.what);
    const std::optional<std::string_view> held = decode_record(record);
    if (held && same_name(*held, name)) return slot;
    from = slot + 1;
  }
}

// The id the open table holds for the name, appending it when missing. Throws OsError.
std::uint32_t id_in(TableCache& cache, OpenTable& table, std::string_view name) {
  if (const std::optional<std::size_t> slot = find_current(cache, table, name)) {
    return kFirstId + static_cast<std::uint32_t>(*slot);
  }
  if (table.used >= kSlots) throw_os_error(EOVERFLOW, table.what, "every id is taken");
  const Record record = encode_record(name);
  const std::size_t slot = table.used;
  write_all_at(table.fd.get(), record.data(), record.size(), static_cast<off_t>(slot * kRecordSize),
               table.what);
  ++table.used;
  if (cache.records.size() == slot * kRecordSize) {
    cache.records.insert(cache.records.end(), record.begin(), record.end());
  }
  return kFirstId + static_cast<std::uint32_t>(slot);
}

// Whether one of the records the open table's last look read spells the name.
bool spelled_in_new(const TableCache& cache, const OpenTable& table, std::string_view name) {
  return find_record(
             std::span<const std::uint8_t>(cache.records).subspan(table.first_new * kRecordSize),
             name)
      .has_value();
}

Ids& ids() { return session().ids(); }

// The id the session's table holds for the name, appending it when missing. Throws OsError.
std::uint32_t register_name(Ids& t, std::string_view name) {
  const SessionPtr dir = current_session();
  if (!dir) throw_last_error();
  OpenTable table = open_table(t.cache, *dir);
  return id_in(t.cache, table, name);
}

// Looks the known names up again in the table of `dir`: all of them when it is read anew, else
// those that a record read now spells (a copy registered one again, after a damaged record)
// and those that could not be registered before. One that fails gets 0.
void look_up_again(Ids& t, const SessionDir& dir) {
  std::optional<OpenTable> table;
  guarded(false, [&] {
    table = open_table(t.cache, dir);
    return true;
  });
  for (Known& k : t.known) {
    if (!table) {
      k.session = 0;
    } else if (table->first_new == 0 || k.session == 0 || spelled_in_new(t.cache, *table, k.name)) {
      k.session = guarded<std::uint32_t>(0, [&] { return id_in(t.cache, *table, k.name); });
    }
  }
}

// Whether the table file is another one, or has grown, since the last look.
bool table_changed(Ids& t, const SessionDir& dir) {
  struct stat st {};
  if (syscalls().lstat(dir.file(kTableName).c_str(), &st) != 0) st = {};
  const bool changed =
      st.st_dev != t.table_dev || st.st_ino != t.table_ino || st.st_size != t.table_size;
  t.table_dev = st.st_dev;
  t.table_ino = st.st_ino;
  t.table_size = st.st_size;
  return changed;
}

// Brings the ids in line with `dir`; call with the mutex held. When the table was replaced or
// has grown since (another copy registered a name: perhaps again, after a damaged record, at
// another id), the names are looked up again, and a name whose record was lost is registered
// anew; this process's own ids stay as they were and are translated.
void follow(Ids& t, const SessionDir& dir) {
  const std::uint64_t changes = session_changes();
  if (t.epoch == dir.epoch) {
    if (t.changes == changes) return;
    t.changes = changes;
    if (!table_changed(t, dir) || t.known.empty()) return;
    look_up_again(t, dir);
    table_changed(t, dir);  // what this process may have appended is not news
    return;
  }
  t.changes = changes;
  table_changed(t, dir);
  t.epoch = dir.epoch;
  if (t.path != dir.path) {
    t.path = dir.path;  // another session altogether: its ids owe nothing to the last one's
    t.known.clear();
    return;
  }
  look_up_again(t, dir);
}

}  // namespace

std::uint32_t message_id_out(std::uint32_t msg, const SessionDir& dir) {
  Ids& t = ids();
  std::lock_guard lock(t.mutex);
  follow(t, dir);
  for (const Known& k : t.known) {
    if (k.local == msg) return k.session != 0 ? k.session : msg;
  }
  return msg;
}

std::uint32_t message_id_in(std::uint32_t msg, const SessionDir& dir) {
  Ids& t = ids();
  std::lock_guard lock(t.mutex);
  follow(t, dir);
  for (const Known& k : t.known) {
    if (k.session == msg) return k.local;
  }
  return msg;
}

}  // namespace mmfcast::platform::os

namespace mmfcast::platform {

std::uint32_t RegisterWindowMessageA(const char* lpString) {
  return os::guarded<std::uint32_t>(0, [&]() -> std::uint32_t {
    if (lpString == nullptr) os::throw_os_error(EINVAL, "message name", "missing");
    const std::size_t length = strnlen(lpString, os::kMaxName + 1);
    if (length == 0 || length > os::kMaxName) {
      os::throw_os_error(EINVAL, "message name", "empty or longer than 255 bytes");
    }
    const std::string_view name(lpString, length);
    const os::SessionPtr dir = os::current_session();
    if (!dir) os::throw_last_error();
    os::Ids& t = os::ids();
    std::lock_guard lock(t.mutex);
    os::follow(t, *dir);
    for (os::Known& k : t.known) {
      if (!os::same_name(k.name, name)) continue;
      // The id handed out stays this process's; the table's, if it moved (a damaged record),
      // is translated to.
      k.session = 0;  // until the table has the name again
      k.session = os::register_name(t, name);
      return k.local;
    }
    const std::uint32_t session = os::register_name(t, name);
    // The session's id, unless this process already hands it out for another name.
    std::uint32_t local = session;
    const auto taken = [&](std::uint32_t id) {
      return std::any_of(t.known.begin(), t.known.end(),
                         [id](const os::Known& k) { return k.local == id; });
    };
    while (taken(local)) local = local == 0xFFFF ? os::kFirstId : local + 1;
    t.known.push_back({std::string(name), local, session});
    return local;
  });
}

}  // namespace mmfcast::platform
