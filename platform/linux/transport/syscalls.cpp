// The default entries of the system-call table: the C library's functions, with thin adapters
// for the variadic ones so every entry has a fixed signature.
#include "platform/linux/transport/syscalls.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace mmfcast::platform::os {
namespace {

int open_fixed(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int fcntl_fixed(int fd, int cmd, int arg) { return ::fcntl(fd, cmd, arg); }
long futex_bitset(std::uint32_t* word, int op, std::uint32_t value, const struct timespec* until,
                  std::uint32_t bits) {
  return ::syscall(SYS_futex, word, op, value, until, nullptr, bits);
}
int getrlimit_fixed(int resource, struct rlimit* limit) {
  return ::getrlimit(static_cast<__rlimit_resource_t>(resource), limit);
}
int setrlimit_fixed(int resource, const struct rlimit* limit) {
  return ::setrlimit(static_cast<__rlimit_resource_t>(resource), limit);
}
int fallocate_errno(int fd, off_t offset, off_t length) {
  const int error = ::posix_fallocate(fd, offset, length);
  if (error == 0) return 0;
  errno = error;
  return -1;
}

constexpr Syscalls kDefaults{
    .open = open_fixed,
    .close = ::close,
    .read = ::read,
    .write = ::write,
    .fcntl = fcntl_fixed,
    .fchmod = ::fchmod,
    .fstat = ::fstat,
    .lstat = ::lstat,
    .mkdir = ::mkdir,
    .unlink = ::unlink,
    .flock = ::flock,
    .mmap = ::mmap,
    .munmap = ::munmap,
    .poll = ::poll,
    .socket = ::socket,
    .bind = ::bind,
    .connect = ::connect,
    .listen = ::listen,
    .accept4 = ::accept4,
    .sendmsg = ::sendmsg,
    .recvmsg = ::recvmsg,
    .pread = ::pread,
    .pwrite = ::pwrite,
    .getsockopt = ::getsockopt,
    .epoll_create1 = ::epoll_create1,
    .epoll_ctl = ::epoll_ctl,
    .epoll_wait = ::epoll_wait,
    .fallocate = fallocate_errno,
    .rename = ::rename,
    .chmod = ::chmod,
    .opendir = ::opendir,
    .readdir = ::readdir,
    .closedir = ::closedir,
    .memfd_create = ::memfd_create,
    .eventfd = ::eventfd,
    .inotify_init1 = ::inotify_init1,
    .inotify_add_watch = ::inotify_add_watch,
    .timerfd_create = ::timerfd_create,
    .timerfd_settime = ::timerfd_settime,
    .getrandom = ::getrandom,
    .setsockopt = ::setsockopt,
    .futex = futex_bitset,
    .getrlimit = getrlimit_fixed,
    .setrlimit = setrlimit_fixed,
};

constinit Syscalls table = kDefaults;

}  // namespace

Syscalls& syscalls() { return table; }
const Syscalls& default_syscalls() { return kDefaults; }

}  // namespace mmfcast::platform::os
