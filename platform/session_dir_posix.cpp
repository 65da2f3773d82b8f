// The per-session directory every POSIX backend keeps its files in, its session-wide lock, and
// the record of the last OS error. The directory is checked on every use because its safety
// (ours alone, mode 0700, not a symlink) is what lets the backends trust the files inside it.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/posix_internal.h"

namespace platform::posix {
namespace {

thread_local int last_os_error = 0;

}  // namespace

int last_error() { return last_os_error; }
void set_last_error(int code) { last_os_error = code; }

std::string session_dir_path() {
  std::string path;
  const char* own = std::getenv("MMFCAST_SESSION_DIR");
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (own != nullptr && *own != '\0') {
    path = own;
  } else if (runtime != nullptr && runtime[0] == '/') {
    path = std::string(runtime) + "/mmfcast";
  } else {
    path = "/tmp/mmfcast-" + std::to_string(geteuid());
  }
  // "link/" would make lstat look through a symlink named link.
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::optional<std::string> session_dir() {
  std::string path = session_dir_path();
  if (path.empty() || path.front() != '/') {
    errno = EINVAL;
    return std::nullopt;
  }
  const Syscalls& sys = syscalls();
  if (sys.mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return std::nullopt;
  struct stat st {};
  if (sys.lstat(path.c_str(), &st) != 0) return std::nullopt;
  if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 07777) != 0700) {
    errno = EACCES;
    return std::nullopt;
  }
  return path;
}

UniqueFd lock_session(const std::string& dir) {
  const std::string path = dir + "/lock";
  const Syscalls& sys = syscalls();
  UniqueFd fd(check(sys.open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600)));
  while (sys.flock(fd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) throw_os_error(errno);
  }
  return fd;
}

}  // namespace platform::posix
