// Named file mappings on POSIX. A mapping is a file in the session directory that every process
// holding it (through a handle or a view) keeps a shared flock on, so a file no one holds any
// more (its holders exited or were killed) counts as absent, as a Windows mapping would be gone.
// Open, create and release run under the session-wide lock, which makes the check whether a
// file is still held and its removal one step for every other process.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <mutex>

#include "platform/linux/internal.h"
#include "platform/platform.h"

namespace mmfcast::platform {
namespace {

using os::check;
using os::syscalls;
using os::throw_os_error;
using os::UniqueFd;

void retire(int fd, const std::string& dir, const std::string& path, dev_t dev, ino_t ino);

// One open description of a mapping file. The shared flock on fd lasts as long as this object,
// which every handle and view of it shares; when the last one goes the file is removed if no
// other process holds it either.
struct MappingFile {
  UniqueFd fd;
  std::string dir;
  std::string path;
  dev_t dev = 0;
  ino_t ino = 0;
  std::size_t size = 0;
  dev_t dir_dev = 0;  // the session directory the file was found or made in
  ino_t dir_ino = 0;

  MappingFile(UniqueFd f, const os::SessionDir& d, std::string p, const struct stat& st,
              std::size_t s)
      : fd(std::move(f)),
        dir(d.path),
        path(std::move(p)),
        dev(st.st_dev),
        ino(st.st_ino),
        size(s),
        dir_dev(d.dev),
        dir_ino(d.ino) {}
  ~MappingFile() { retire(fd.get(), dir, path, dev, ino); }
  MappingFile(const MappingFile&) = delete;
  MappingFile& operator=(const MappingFile&) = delete;
};

using FilePtr = std::shared_ptr<MappingFile>;

struct View {
  FilePtr file;
  std::size_t size;
  int prot;
};

struct State {
  std::mutex mutex;
  std::map<Handle, FilePtr> handles;
  std::map<ViewAddr, View> views;
  Handle next_handle = 1;
  pid_t owner = getpid();
  // Set while an operation of this process holds the session lock, so a file released inside
  // it does not wait for the lock a second time.
  bool holding_session_lock = false;
};

void release_all_at_exit();

// Never destroyed: views and handles must stay usable by other static destructors, and the
// exit handler releases the files instead.
State& state() {
  static State* const instance = [] {
    auto* created = new State;
    std::atexit(release_all_at_exit);
    return created;
  }();
  return *instance;
}

// Runs at normal exit: removes the files of mappings this process still holds that no other
// process holds. A child forked without exec shares our descriptions and must not do this.
void release_all_at_exit() {
  State& st = state();
  std::lock_guard lock(st.mutex);
  if (getpid() != st.owner) return;
  st.handles.clear();
  for (auto& [addr, view] : st.views) view.file.reset();  // the memory stays mapped
}

// Called with the state's mutex held, when the last handle or view of a description goes.
void retire(int fd, const std::string& dir, const std::string& path, dev_t dev, ino_t ino) {
  if (fd < 0) return;
  const os::Syscalls& sys = syscalls();
  try {
    UniqueFd session_lock;
    if (!state().holding_session_lock) session_lock = os::lock_session(dir);
    if (sys.flock(fd, LOCK_EX | LOCK_NB) == 0) os::unlink_if_same(path, dev, ino);
  } catch (...) {
    // Left in place, the file has no holder once fd closes and counts as absent.
  }
}

// Holds the session lock for one operation and marks it held.
class SessionLock {
 public:
  SessionLock(State& st, const std::string& dir) : st_(st), fd_(os::lock_session(dir)) {
    st_.holding_session_lock = true;
  }
  ~SessionLock() { st_.holding_session_lock = false; }
  SessionLock(const SessionLock&) = delete;
  SessionLock& operator=(const SessionLock&) = delete;

 private:
  State& st_;
  UniqueFd fd_;
};

struct Location {
  os::SessionPtr dir;
  std::string path;
};

// Call without the state's mutex: attaching to a replaced directory moves views.
Location locate(const char* name) {
  if (name == nullptr) throw_os_error(EINVAL, "mapping name");
  const auto file = os::mapping_file_name(name);
  if (!file) throw_os_error(*name == '\0' ? EINVAL : ENAMETOOLONG, "mapping name");
  os::SessionPtr dir = os::current_session();
  if (!dir) os::throw_last_error();
  std::string path = dir->file(*file);
  return {std::move(dir), std::move(path)};
}

// The live mapping file at loc, or nullptr when there is none. A file no process holds is
// removed on the way. Call under the session lock.
FilePtr open_existing(const Location& loc) {
  const os::Syscalls& sys = syscalls();
  const int raw = sys.open(loc.path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0);
  if (raw < 0) {
    if (errno == ENOENT) return nullptr;
    throw_os_error(errno, loc.path);
  }
  UniqueFd fd(raw);
  struct stat st {};
  check(sys.fstat(fd.get(), &st), loc.path.c_str());
  if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1) {
    throw_os_error(EPERM, loc.path + " (not a private file of this user)");
  }
  if (sys.flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
    check(sys.unlink(loc.path.c_str()), loc.path.c_str());
    return nullptr;
  }
  if (errno != EWOULDBLOCK) throw_os_error(errno, loc.path);
  // Nobody else takes an exclusive lock outside the session lock, so this does not wait.
  check(sys.flock(fd.get(), LOCK_SH | LOCK_NB), loc.path.c_str());
  if (st.st_size <= 0 ||
      static_cast<std::uintmax_t>(st.st_size) > std::numeric_limits<std::size_t>::max()) {
    throw_os_error(EINVAL, loc.path + " (empty or too large)");
  }
  // Made sparse (by hand, or by an older copy), a page written later could meet a full
  // filesystem; reserving what is already reserved costs nothing.
  os::reserve_blocks(fd.get(), st.st_size, loc.path);
  return std::make_shared<MappingFile>(std::move(fd), *loc.dir, loc.path, st,
                                       static_cast<std::size_t>(st.st_size));
}

// A new zero-filled mapping file at loc. On failure the half-made file is removed. Call under
// the session lock, after open_existing found nothing.
FilePtr create_new(const Location& loc, std::size_t size) {
  const os::Syscalls& sys = syscalls();
  const char* what = loc.path.c_str();
  UniqueFd fd(check(
      sys.open(loc.path.c_str(), O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_RDWR, 0600), what));
  try {
    check(sys.fchmod(fd.get(), 0600), what);  // independent of the umask
    os::reserve_blocks(fd.get(), static_cast<off_t>(size), loc.path);
    check(sys.flock(fd.get(), LOCK_SH | LOCK_NB), what);
    struct stat st {};
    check(sys.fstat(fd.get(), &st), what);
    return std::make_shared<MappingFile>(std::move(fd), *loc.dir, loc.path, st, size);
  } catch (...) {
    sys.unlink(loc.path.c_str());
    throw;
  }
}

Handle add_handle(State& st, FilePtr file) {
  Handle h = st.next_handle;
  while (h == 0 || h == kInvalidHandleValue || st.handles.count(h) != 0) ++h;
  st.handles.emplace(h, std::move(file));
  st.next_handle = h + 1;
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

void reattach_mappings(const SessionDir& now) {
  State& st = state();
  std::lock_guard lock(st.mutex);
  std::map<MappingFile*, FilePtr> moved;  // old description -> its successor in `now`
  for (auto& entry : st.views) {
    const ViewAddr addr = entry.first;
    View& view = entry.second;
    const FilePtr old = view.file;
    if (old->dir != now.path || (old->dir_dev == now.dev && old->dir_ino == now.ino)) continue;
    guarded<int>(0, [&]() -> int {
      FilePtr next;
      if (auto found = moved.find(old.get()); found != moved.end()) {
        next = found->second;
      } else {
        const std::string name = old->path.substr(old->path.rfind('/') + 1);
        auto target = std::make_shared<SessionDir>();
        target->path = now.path;
        target->dev = now.dev;
        target->ino = now.ino;
        const Location loc{std::move(target), now.file(name)};
        SessionLock session(st, now.path);
        next = open_existing(loc);
        if (!next) {
          // Made here: it starts with what the old one held, so a text just written survives.
          next = create_new(loc, old->size);
          std::size_t done = 0;
          const auto* bytes = reinterpret_cast<const std::uint8_t*>(addr);
          while (done < std::min(view.size, next->size)) {
            const ssize_t put = retry_eintr([&] {
              return syscalls().pwrite(next->fd.get(), bytes + done,
                                       std::min(view.size, next->size) - done,
                                       static_cast<off_t>(done));
            });
            if (put <= 0) throw_os_error(errno, loc.path);
            done += static_cast<std::size_t>(put);
          }
        }
        moved.emplace(old.get(), next);
      }
      // A smaller area made meanwhile by another copy cannot back this view; it stays where it
      // is rather than reach past the end of the new file.
      if (next->size < view.size) return 0;
      void* at = syscalls().mmap(reinterpret_cast<void*>(addr), view.size, view.prot,
                                 MAP_SHARED | MAP_FIXED, next->fd.get(), 0);
      if (at == MAP_FAILED) throw_os_error(errno, next->path);
      view.file = next;
      return 1;
    });
  }
  for (auto& [handle, file] : st.handles) {
    if (auto found = moved.find(file.get()); found != moved.end()) file = found->second;
  }
}

}  // namespace os

Handle OpenFileMappingA(std::uint32_t /*dwDesiredAccess*/, int /*bInheritHandle*/,
                        const char* lpName) {
  return os::guarded<Handle>(0, [&]() -> Handle {
    const Location loc = locate(lpName);
    State& st = state();
    std::lock_guard lock(st.mutex);
    SessionLock session(st, loc.dir->path);
    FilePtr file = open_existing(loc);
    if (!file) throw_os_error(ENOENT, loc.path);
    return add_handle(st, std::move(file));
  });
}

Handle CreateFileMappingA(Handle hFile, void* /*lpFileMappingAttributes*/, std::uint32_t flProtect,
                          std::uint32_t dwMaximumSizeHigh, std::uint32_t dwMaximumSizeLow,
                          const char* lpName) {
  return os::guarded<Handle>(0, [&]() -> Handle {
    if (hFile != kInvalidHandleValue || flProtect != kPageReadWrite) throw_os_error(EINVAL);
    const std::uint64_t size = (std::uint64_t{dwMaximumSizeHigh} << 32) | dwMaximumSizeLow;
    if (size == 0 || size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) ||
        size > std::numeric_limits<std::size_t>::max()) {
      throw_os_error(EINVAL);
    }
    const Location loc = locate(lpName);
    State& st = state();
    std::lock_guard lock(st.mutex);
    SessionLock session(st, loc.dir->path);
    FilePtr file = open_existing(loc);
    if (!file) file = create_new(loc, static_cast<std::size_t>(size));
    return add_handle(st, std::move(file));
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
      throw_os_error(EINVAL);
    }
    if (dwFileOffsetHigh != 0 || dwFileOffsetLow != 0) throw_os_error(EINVAL);
    State& st = state();
    std::lock_guard lock(st.mutex);
    const auto found = st.handles.find(hFileMappingObject);
    if (found == st.handles.end()) throw_os_error(EBADF);
    const FilePtr& file = found->second;
    const std::size_t size = dwNumberOfBytesToMap == 0 ? file->size : dwNumberOfBytesToMap;
    if (size > file->size) throw_os_error(EINVAL);
    void* addr = syscalls().mmap(nullptr, size, prot, MAP_SHARED, file->fd.get(), 0);
    if (addr == MAP_FAILED) throw_os_error(errno);
    const auto view = reinterpret_cast<ViewAddr>(addr);
    try {
      st.views.emplace(view, View{file, size, prot});
    } catch (...) {
      syscalls().munmap(addr, size);
      throw;
    }
    return view;
  });
}

int UnmapViewOfFile(ViewAddr lpBaseAddress) {
  return os::guarded<int>(0, [&]() -> int {
    State& st = state();
    std::lock_guard lock(st.mutex);
    const auto found = st.views.find(lpBaseAddress);
    if (found == st.views.end()) throw_os_error(EINVAL);
    check(syscalls().munmap(reinterpret_cast<void*>(lpBaseAddress), found->second.size));
    st.views.erase(found);
    return 1;
  });
}

int CloseHandle(Handle hObject) {
  return os::guarded<int>(0, [&]() -> int {
    State& st = state();
    std::lock_guard lock(st.mutex);
    const auto found = st.handles.find(hObject);
    if (found == st.handles.end()) throw_os_error(EBADF);
    st.handles.erase(found);
    return 1;
  });
}

std::size_t view_size(ViewAddr view) {
  return os::guarded<std::size_t>(0, [&]() -> std::size_t {
    State& st = state();
    std::lock_guard lock(st.mutex);
    const auto found = st.views.find(view);
    return found == st.views.end() ? 0 : found->second.size;
  });
}

}  // namespace mmfcast::platform
