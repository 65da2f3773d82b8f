// Named file mappings on Linux. A mapping is a file in the session directory that every process
// holding it (through a handle or a view) keeps a shared flock on, so a file no one holds any
// more (its holders exited or were killed) counts as absent, as a Windows mapping would be gone.
// Open, create and release run under the session-wide lock, which makes the check whether a
// file is still held and its removal one step for every other process.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "platform/linux/transport/internal.h"
#include "platform/linux/transport/session.h"
#include "platform/platform.h"

namespace mmfcast::platform {
namespace {

using os::check;
using os::MappingTable;
using os::syscalls;
using os::throw_os_error;
using os::UniqueFd;

void retire(int fd, const std::string& dir, const std::string& path, dev_t dev, ino_t ino);

// Where the mapping of one name lives in the session directory, and how a failure names it.
struct Location {
  os::SessionPtr dir;
  std::string name;
  std::string path;
  std::string what;  // "shared area NAME (PATH)"
};

Location locate_in(os::SessionPtr dir, std::string name, const std::string& file) {
  std::string path = dir->file(file);
  std::string what = "shared area " + name + " (" + path + ")";
  return {std::move(dir), std::move(name), std::move(path), std::move(what)};
}

// One open description of a mapping file. The shared flock on fd lasts as long as this object,
// which every handle and view of it shares; when the last one goes the file is removed if no
// other process holds it either.
struct MappingFile {
  UniqueFd fd;
  std::string dir;
  std::string name;
  std::string path;
  std::string what;
  dev_t dev = 0;
  ino_t ino = 0;
  std::size_t size = 0;
  dev_t dir_dev = 0;  // the session directory the file was found or made in
  ino_t dir_ino = 0;
  pid_t opener = os::own_pid();  // a forked child shares the description, and its flock

  MappingFile(UniqueFd f, const Location& loc, const struct stat& info, std::size_t s)
      : fd(std::move(f)),
        dir(loc.dir->path),
        name(loc.name),
        path(loc.path),
        what(loc.what),
        dev(info.st_dev),
        ino(info.st_ino),
        size(s),
        dir_dev(loc.dir->dev),
        dir_ino(loc.dir->ino) {}
  // A forked child only closes its copy: retiring would take the parent's lock in its place.
  ~MappingFile() {
    if (opener == os::own_pid()) retire(fd.get(), dir, path, dev, ino);
  }
  MappingFile(const MappingFile&) = delete;
  MappingFile& operator=(const MappingFile&) = delete;
};

using FilePtr = std::shared_ptr<MappingFile>;

struct View {
  FilePtr file;
  std::size_t size;
  int prot;
  int guard = -1;  // its slot among the regions guarded against truncation
};

MappingTable& mapping_table() { return os::session().mappings(); }

}  // namespace

namespace os {

struct MappingTable {
  std::mutex mutex;
  std::map<Handle, FilePtr> handles;
  std::map<ViewAddr, View> views;
  Handle next_handle = 1;
  pid_t owner = getpid();
  // Set while an operation of this process holds the session lock, so a file released inside
  // it does not wait for the lock a second time.
  bool holding_session_lock = false;
  std::atomic<std::uint64_t> moved_views{0};  // how many views reattach_mappings has moved

  MappingTable() = default;
  // Lets go of the files (removing those no other process holds); the views' memory stays
  // mapped, so addresses handed out stay valid.
  ~MappingTable() {
    std::lock_guard lock(mutex);
    if (getpid() != owner) return;  // a forked child shares our descriptions
    handles.clear();
    for (auto& [addr, view] : views) view.file.reset();
  }
  MappingTable(const MappingTable&) = delete;
  MappingTable& operator=(const MappingTable&) = delete;
};

namespace {

// Runs at normal exit: removes the files of mappings this process still holds that no other
// process holds. Views and handles must stay usable by other static destructors, so the
// table itself stays.
void release_all_at_exit() {
  Session* session = session_if_made();
  if (session == nullptr) return;
  MappingTable& table = session->mappings();
  std::lock_guard lock(table.mutex);
  if (getpid() != table.owner) return;
  table.handles.clear();
  for (auto& [addr, view] : table.views) view.file.reset();  // the memory stays mapped
}

}  // namespace

Part<MappingTable> make_mapping_table() {
  static const bool registered = std::atexit(release_all_at_exit) == 0;
  (void)registered;
  return new_part<MappingTable>();
}

}  // namespace os

namespace {

// Called with the state's mutex held, when the last handle or view of a description goes.
void retire(int fd, const std::string& dir, const std::string& path, dev_t dev, ino_t ino) {
  if (fd < 0) return;
  const os::Syscalls& sys = syscalls();
  try {
    UniqueFd session_lock;
    if (!mapping_table().holding_session_lock) session_lock = os::lock_session(dir);
    if (sys.flock(fd, LOCK_EX | LOCK_NB) == 0) os::unlink_if_same(path, dev, ino);
  } catch (const os::OsError&) {
    // Left in place (the session lock timed out, say), the file has no holder once fd closes
    // and counts as absent: the next copy to open the name removes it or makes the area anew.
  } catch (const std::bad_alloc&) {
    // The same, for want of memory to name the lock file: a destructor calls this.
  }
}

// Holds the session lock for one operation and marks it held.
class SessionLock {
 public:
  SessionLock(MappingTable& table, const std::string& dir)
      : table_(table), fd_(os::lock_session(dir)) {
    table_.holding_session_lock = true;
  }
  ~SessionLock() { table_.holding_session_lock = false; }
  SessionLock(const SessionLock&) = delete;
  SessionLock& operator=(const SessionLock&) = delete;

 private:
  MappingTable& table_;
  UniqueFd fd_;
};

// Call without the table's mutex: attaching to a replaced directory moves views.
Location locate(const char* name) {
  if (name == nullptr) throw_os_error(EINVAL, "shared area", "no name given");
  const auto file = os::mapping_file_name(name);
  if (!file) {
    if (*name == '\0') throw_os_error(EINVAL, "shared area", "empty name");
    throw_os_error(ENAMETOOLONG, "shared area " + std::string(name));
  }
  os::SessionPtr dir = os::current_session();
  if (!dir) os::throw_last_error();
  return locate_in(std::move(dir), name, *file);
}

// The live mapping file at loc, or nullptr when there is none. A file no process holds is
// removed on the way. Call under the session lock.
FilePtr open_existing(const Location& loc) {
  const os::Syscalls& sys = syscalls();
  struct stat info {};
  UniqueFd fd = os::open_session_file(loc.path, os::Create::kNever, loc.what, &info);
  if (!fd.valid()) return nullptr;
  if (sys.flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
    check(sys.unlink(loc.path.c_str()), loc.what);
    return nullptr;
  }
  if (errno != EWOULDBLOCK) throw_os_error(errno, loc.what);
  // Nobody else takes an exclusive lock outside the session lock, so this does not wait.
  check(sys.flock(fd.get(), LOCK_SH | LOCK_NB), loc.what);
  if (info.st_size <= 0 ||
      static_cast<std::uintmax_t>(info.st_size) > std::numeric_limits<std::size_t>::max()) {
    throw_os_error(EINVAL, loc.what, "the file is empty or too large");
  }
  // Made sparse (by hand, or by an older copy), a page written later could meet a full
  // filesystem. A file with all its blocks, as every copy makes it, needs no call.
  os::reserve_blocks(fd.get(), info.st_size, loc.what, info);
  return std::make_shared<MappingFile>(std::move(fd), loc, info,
                                       static_cast<std::size_t>(info.st_size));
}

// A new zero-filled mapping file at loc. On failure the half-made file is removed. Call under
// the session lock, after open_existing found nothing.
FilePtr create_new(const Location& loc, std::size_t size) {
  const os::Syscalls& sys = syscalls();
  struct stat info {};
  UniqueFd fd = os::open_session_file(loc.path, os::Create::kExclusive, loc.what, &info);
  try {
    os::reserve_blocks(fd.get(), static_cast<off_t>(size), loc.what);
    check(sys.flock(fd.get(), LOCK_SH | LOCK_NB), loc.what);
    return std::make_shared<MappingFile>(std::move(fd), loc, info, size);
  } catch (...) {
    sys.unlink(loc.path.c_str());
    throw;
  }
}

Handle add_handle(MappingTable& table, FilePtr file) {
  Handle h = table.next_handle;
  while (h == 0 || h == kInvalidHandleValue || table.handles.count(h) != 0) ++h;
  table.handles.emplace(h, std::move(file));
  table.next_handle = h + 1;
  return h;
}

char hex_digit(unsigned v) { return "0123456789ABCDEF"[v & 0xF]; }

bool is_plain(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

}  // namespace

namespace os {

std::optional<std::string> mapping_file_name(std::string_view name) {
  if (name.empty()) return std::nullopt;
  std::string file = "map-";
  for (const char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (is_plain(c)) {
      file += ch;
    } else {
      file += '%';
      file += hex_digit(c >> 4);
      file += hex_digit(c);
    }
    if (file.size() > NAME_MAX) return std::nullopt;
  }
  return file;
}

std::uint64_t mappings_moved() {
  return mapping_table().moved_views.load(std::memory_order_relaxed);
}

namespace {

// The file each moving view's old file is followed to, found once per file; null: the views
// stay where they are.
using Successors = std::map<MappingFile*, FilePtr>;

// Whether the view's file is one to follow into `now`: it lives in an earlier directory at
// that path, or in `now` but no longer at its name. A file whose name is simply gone is not
// followed (no reason to make the session lock in a directory that may be being emptied).
bool to_follow(const View& view, const SessionDir& now, Successors& moved) {
  const MappingFile& old = *view.file;
  if (old.dir != now.path) return false;
  if (old.dir_dev != now.dev || old.dir_ino != now.ino) return true;
  if (moved.contains(view.file.get())) return true;
  struct stat now_there {};
  if (syscalls().lstat(old.path.c_str(), &now_there) != 0) {
    moved.emplace(view.file.get(), nullptr);
    return false;
  }
  return now_there.st_dev != old.dev || now_there.st_ino != old.ino;
}

// The live file that now has the view's name in `now`, or one made there with the view's
// contents (so a text just written survives); null when the file was removed from `now` itself
// with nothing in its place: the copies that held it still share it, and follow the next one
// made under the name. Throws OsError.
FilePtr successor_of(MappingTable& table, const View& view, ViewAddr addr, const SessionDir& now) {
  const MappingFile& old = *view.file;
  auto target = std::make_shared<SessionDir>();
  target->path = now.path;
  target->dev = now.dev;
  target->ino = now.ino;
  const Location loc =
      locate_in(std::move(target), old.name, old.path.substr(old.path.rfind('/') + 1));
  SessionLock session(table, now.path);
  if (FilePtr next = open_existing(loc)) return next;
  if (old.dir_dev == now.dev && old.dir_ino == now.ino) return nullptr;
  FilePtr next = create_new(loc, old.size);
  write_all_at(next->fd.get(), reinterpret_cast<const void*>(addr), std::min(view.size, next->size),
               0, loc.what);
  return next;
}

// Maps `next` over the view, at the same address. A smaller area made meanwhile by another
// copy cannot back it; the view then stays where it is rather than reach past the end of the
// new file. 1 when it moved. Throws OsError.
int move_view(MappingTable& table, View& view, ViewAddr addr, const FilePtr& next) {
  if (!next || next->size < view.size) return 0;
  void* at = syscalls().mmap(reinterpret_cast<void*>(addr), view.size, view.prot,
                             MAP_SHARED | MAP_FIXED, next->fd.get(), 0);
  if (at == MAP_FAILED) throw_os_error(errno, next->what);
  clear_damage(view.guard);
  view.file = next;
  table.moved_views.fetch_add(1, std::memory_order_relaxed);
  return 1;
}

}  // namespace

int reattach_mappings(const SessionDir& now) {
  MappingTable& table = mapping_table();
  std::lock_guard lock(table.mutex);
  Successors moved;
  int count = 0;
  for (auto& [addr, view] : table.views) {
    if (!to_follow(view, now, moved)) continue;
    MappingFile* const old = view.file.get();
    count += guarded<int>(0, [&, addr = addr, &view = view]() -> int {
      auto found = moved.find(old);
      if (found == moved.end())
        found = moved.emplace(old, successor_of(table, view, addr, now)).first;
      return move_view(table, view, addr, found->second);
    });
  }
  for (auto& [handle, file] : table.handles) {
    if (auto found = moved.find(file.get()); found != moved.end() && found->second) {
      file = found->second;
    }
  }
  return count;
}

int repair_damaged_views() {
  MappingTable& table = mapping_table();
  std::lock_guard lock(table.mutex);
  int count = 0;
  for (auto& entry : table.views) {
    const auto addr = entry.first;
    auto& view = entry.second;
    if (!region_damaged(view.guard)) continue;
    // The file was cut short under the view: grown back to its size (zero-filled where it was
    // cut), it backs the view again. What was written meanwhile went to private pages and is
    // lost, which the damage count tells the writer.
    count += guarded<int>(0, [&]() -> int {
      reserve_blocks(view.file->fd.get(), static_cast<off_t>(view.file->size), view.file->what);
      void* at = syscalls().mmap(reinterpret_cast<void*>(addr), view.size, view.prot,
                                 MAP_SHARED | MAP_FIXED, view.file->fd.get(), 0);
      if (at == MAP_FAILED) throw_os_error(errno, view.file->what);
      clear_damage(view.guard);
      return 1;
    });
  }
  return count;
}

}  // namespace os

Handle OpenFileMappingA(std::uint32_t /*dwDesiredAccess*/, int /*bInheritHandle*/,
                        const char* lpName) {
  return os::guarded<Handle>(0, [&]() -> Handle {
    const Location loc = locate(lpName);
    MappingTable& table = mapping_table();
    std::lock_guard lock(table.mutex);
    SessionLock session(table, loc.dir->path);
    FilePtr file = open_existing(loc);
    if (!file) throw_os_error(ENOENT, loc.what);
    return add_handle(table, std::move(file));
  });
}

Handle CreateFileMappingA(Handle hFile, void* /*lpFileMappingAttributes*/, std::uint32_t flProtect,
                          std::uint32_t dwMaximumSizeHigh, std::uint32_t dwMaximumSizeLow,
                          const char* lpName) {
  return os::guarded<Handle>(0, [&]() -> Handle {
    const std::string area = "shared area " + std::string(lpName != nullptr ? lpName : "");
    if (hFile != kInvalidHandleValue || flProtect != kPageReadWrite) {
      throw_os_error(EINVAL, area, "only a page-file-backed read-write mapping can be made");
    }
    const std::uint64_t size = (std::uint64_t{dwMaximumSizeHigh} << 32) | dwMaximumSizeLow;
    if (size == 0 || size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) ||
        size > std::numeric_limits<std::size_t>::max()) {
      throw_os_error(EINVAL, area, "size " + std::to_string(size) + " is out of range");
    }
    const Location loc = locate(lpName);
    MappingTable& table = mapping_table();
    std::lock_guard lock(table.mutex);
    SessionLock session(table, loc.dir->path);
    FilePtr file = open_existing(loc);
    if (!file) file = create_new(loc, static_cast<std::size_t>(size));
    return add_handle(table, std::move(file));
  });
}

ViewAddr MapViewOfFile(Handle hFileMappingObject, std::uint32_t dwDesiredAccess,
                       std::uint32_t dwFileOffsetHigh, std::uint32_t dwFileOffsetLow,
                       std::size_t dwNumberOfBytesToMap) {
  return os::guarded<ViewAddr>(0, [&]() -> ViewAddr {
    int prot = 0;
    if ((dwDesiredAccess & kFileMapWrite) != 0) {
      prot = PROT_READ | PROT_WRITE;
    } else if ((dwDesiredAccess & kFileMapRead) != 0) {
      prot = PROT_READ;
    } else {
      throw_os_error(EINVAL, "view", "neither read nor write access asked for");
    }
    if (dwFileOffsetHigh != 0 || dwFileOffsetLow != 0) {
      throw_os_error(EINVAL, "view", "only a view from offset 0 can be mapped");
    }
    MappingTable& table = mapping_table();
    std::lock_guard lock(table.mutex);
    const auto found = table.handles.find(hFileMappingObject);
    if (found == table.handles.end()) {
      throw_os_error(EBADF, "mapping handle " + std::to_string(hFileMappingObject));
    }
    const FilePtr& file = found->second;
    const std::size_t size = dwNumberOfBytesToMap == 0 ? file->size : dwNumberOfBytesToMap;
    if (size > file->size) {
      throw_os_error(EINVAL, file->what,
                     "a view of " + std::to_string(size) + " bytes is larger than the area");
    }
    void* addr = syscalls().mmap(nullptr, size, prot, MAP_SHARED, file->fd.get(), 0);
    if (addr == MAP_FAILED) throw_os_error(errno, file->what);
    const auto view = reinterpret_cast<ViewAddr>(addr);
    try {
      table.views.emplace(view, View{file, size, prot, os::guard_region(addr, size)});
    } catch (...) {
      syscalls().munmap(addr, size);
      throw;
    }
    return view;
  });
}

int UnmapViewOfFile(ViewAddr lpBaseAddress) {
  return os::guarded<int>(0, [&]() -> int {
    MappingTable& table = mapping_table();
    std::lock_guard lock(table.mutex);
    const auto found = table.views.find(lpBaseAddress);
    if (found == table.views.end()) throw_os_error(EINVAL, "view", "not a mapped view's address");
    os::unguard_region(found->second.guard);
    found->second.guard = -1;
    check(syscalls().munmap(reinterpret_cast<void*>(lpBaseAddress), found->second.size),
          found->second.file->what);
    table.views.erase(found);
    return 1;
  });
}

int CloseHandle(Handle hObject) {
  return os::guarded<int>(0, [&]() -> int {
    MappingTable& table = mapping_table();
    std::lock_guard lock(table.mutex);
    const auto found = table.handles.find(hObject);
    if (found == table.handles.end()) throw_os_error(EBADF, "handle " + std::to_string(hObject));
    table.handles.erase(found);
    return 1;
  });
}

std::size_t view_size(ViewAddr view) {
  return os::guarded<std::size_t>(0, [&]() -> std::size_t {
    MappingTable& table = mapping_table();
    std::lock_guard lock(table.mutex);
    const auto found = table.views.find(view);
    return found == table.views.end() ? 0 : found->second.size;
  });
}

}  // namespace mmfcast::platform
