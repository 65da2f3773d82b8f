// RegisterWindowMessageA on POSIX: a session-wide table of message names in the file "messages"
// of the session directory, read and extended under an exclusive flock. The table is a sequence
// of fixed-size checksummed records that is only ever appended to; record i stands for id
// 0xC000 + i. A record that fails its checks (a writer killed mid-write, a damaged file) keeps
// its slot but matches no name, so its id is never handed out for another name.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/syscalls.h"
#include "platform/linux/transport.h"
#include "platform/platform.h"

namespace mmfcast::platform::os {
namespace {

// Record layout (little-endian):
//   0 magic u32 | 4 name length u16 | 6 reserved u16 (0) | 8 name, zero-padded to 256 bytes
//   264 crc32 of bytes 0..263 u32 | 268 reserved u32 (0)
constexpr std::uint32_t kRecordMagic = 0x4d464d4d;  // "MMFM"
constexpr std::size_t kRecordSize = 272;
constexpr std::size_t kNameOffset = 8;
constexpr std::size_t kNameField = 256;
constexpr std::size_t kCrcOffset = kNameOffset + kNameField;
constexpr std::size_t kMaxName = 255;
constexpr std::uint32_t kFirstId = 0xC000;
constexpr std::size_t kSlots = 0x10000 - kFirstId;
constexpr char kTableName[] = "messages";

using Record = std::array<std::uint8_t, kRecordSize>;

std::uint32_t read_u32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void write_u32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t record_crc(const std::uint8_t* record) {
  return static_cast<std::uint32_t>(crc32(0L, record, static_cast<uInt>(kCrcOffset)));
}

Record encode_record(std::string_view name) {
  Record r{};
  write_u32(r.data(), kRecordMagic);
  r[4] = static_cast<std::uint8_t>(name.size());
  r[5] = static_cast<std::uint8_t>(name.size() >> 8);
  std::memcpy(r.data() + kNameOffset, name.data(), name.size());
  write_u32(r.data() + kCrcOffset, record_crc(r.data()));
  return r;
}

// The name a record holds, or nullopt when any check fails.
std::optional<std::string_view> decode_record(const std::uint8_t* r) {
  if (read_u32(r) != kRecordMagic || r[6] != 0 || r[7] != 0) return std::nullopt;
  if (read_u32(r + kCrcOffset + 4) != 0 || read_u32(r + kCrcOffset) != record_crc(r)) {
    return std::nullopt;
  }
  const std::size_t length = static_cast<std::size_t>(r[4]) | static_cast<std::size_t>(r[5]) << 8;
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

bool read_all(int fd, std::uint8_t* out, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = retry_eintr(
        [&] { return syscalls().pread(fd, out + done, size - done, static_cast<off_t>(done)); });
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

bool write_all(int fd, const std::uint8_t* in, std::size_t size, off_t offset,
               const std::string& path) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t put = retry_eintr([&] {
      return syscalls().pwrite(fd, in + done, size - done, offset + static_cast<off_t>(done));
    });
    if (put <= 0) {
      set_last_error(put < 0 ? errno : EIO, "message table " + path);
      return false;
    }
    done += static_cast<std::size_t>(put);
  }
  return true;
}

// The id the session's table holds for the name, appending it when missing; 0 on failure.
std::uint32_t register_name(std::string_view name) {
  const SessionPtr dir = current_session();
  if (!dir) return 0;
  const std::string path = dir->file(kTableName);
  const UniqueFd table(open_private_file(path));
  if (!table.valid()) return 0;
  struct stat st {};
  try {
    bounded_flock(table.get(), LOCK_EX, "waiting for the message table's lock " + path);
    check(syscalls().fstat(table.get(), &st), path.c_str());
  } catch (OsError& e) {
    set_last_error(e.code, std::move(e.what));
    return 0;
  }

  // A trailing partial record is a slot of its own: the next record goes after it.
  const auto size = static_cast<std::size_t>(st.st_size);
  const std::size_t used = (size + kRecordSize - 1) / kRecordSize;
  const std::size_t whole = std::min(size / kRecordSize, kSlots);
  std::vector<std::uint8_t> records(whole * kRecordSize);
  if (!read_all(table.get(), records.data(), records.size())) return 0;
  for (std::size_t slot = 0; slot < whole; ++slot) {
    // Only a record that spells the name is checked in full: the scan stays cheap.
    const std::uint8_t* record = records.data() + slot * kRecordSize;
    if (record[4] != static_cast<std::uint8_t>(name.size()) || record[5] != 0) continue;
    const std::string_view spelled(reinterpret_cast<const char*>(record + kNameOffset),
                                   name.size());
    if (!same_name(spelled, name)) continue;
    std::optional<std::string_view> held = decode_record(record);
    if (held && same_name(*held, name)) return kFirstId + static_cast<std::uint32_t>(slot);
  }

  if (used >= kSlots) return 0;
  const Record record = encode_record(name);
  if (!write_all(table.get(), record.data(), record.size(), static_cast<off_t>(used * kRecordSize),
                 path)) {
    return 0;
  }
  return kFirstId + static_cast<std::uint32_t>(used);
}

// The names this process registered and the ids it handed out for them, which stay its ids
// for the life of the process. When the session directory is removed and made again, the new
// table may give the same names other ids (another copy registered first); the names are then
// registered again and the ids translated on the way out and in, so that running copies and
// new ones still understand each other.
struct Known {
  std::string name;
  std::uint32_t local = 0;    // what RegisterWindowMessageA returned
  std::uint32_t session = 0;  // its id in the current table; 0 when it could not be registered
  bool pinned = false;        // handed out before the directory was made again: never changes
};

struct Ids {
  std::mutex mutex;
  std::string path;  // the session directory the names belong to
  std::uint64_t epoch = 0;
  std::vector<Known> known;
};

Ids& ids() {
  static Ids* instance = new Ids;  // usable by exit-time callers
  return *instance;
}

// Brings the ids in line with `dir`; call with the mutex held.
void follow(Ids& t, const SessionDir& dir) {
  if (t.epoch == dir.epoch) return;
  t.epoch = dir.epoch;
  if (t.path != dir.path) {
    t.path = dir.path;  // another session altogether: its ids owe nothing to the last one's
    t.known.clear();
    return;
  }
  for (Known& k : t.known) {
    k.session = register_name(k.name);
    k.pinned = true;
  }
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
  if (lpString == nullptr) return 0;
  const std::size_t length = strnlen(lpString, os::kMaxName + 1);
  if (length == 0 || length > os::kMaxName) return 0;
  const std::string_view name(lpString, length);
  const os::SessionPtr dir = os::current_session();
  if (!dir) return 0;
  os::Ids& t = os::ids();
  std::lock_guard lock(t.mutex);
  os::follow(t, *dir);
  for (os::Known& k : t.known) {
    if (!os::same_name(k.name, name)) continue;
    k.session = os::register_name(name);
    if (!k.pinned && k.session != 0) k.local = k.session;  // the table is the truth until then
    return k.session != 0 ? k.local : 0;
  }
  const std::uint32_t session = os::register_name(name);
  if (session == 0) return 0;
  // The session's id, unless this process already hands it out for another name.
  std::uint32_t local = session;
  const auto taken = [&](std::uint32_t id) {
    return std::any_of(t.known.begin(), t.known.end(),
                       [id](const os::Known& k) { return k.local == id; });
  };
  while (taken(local)) local = local == 0xFFFF ? os::kFirstId : local + 1;
  try {
    t.known.push_back({std::string(name), local, session});
  } catch (...) {
    return 0;
  }
  return local;
}

}  // namespace mmfcast::platform
