// The raw system calls of the Linux backend, gathered in one table of function pointers.
// Backends call only through syscalls(), so a test can replace one entry (make the third mmap
// fail, say) and check that the caller cleans up and returns its documented failure value.
// Variadic calls (open, fcntl) take their optional argument explicitly.
#pragma once

#include <dirent.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <type_traits>

namespace mmfcast::platform::os {

struct Syscalls {
  int (*open)(const char* path, int flags, mode_t mode);
  int (*close)(int fd);
  ssize_t (*read)(int fd, void* buf, std::size_t count);
  ssize_t (*write)(int fd, const void* buf, std::size_t count);
  int (*fcntl)(int fd, int cmd, int arg);
  int (*fchmod)(int fd, mode_t mode);
  int (*fstat)(int fd, struct stat* st);
  int (*lstat)(const char* path, struct stat* st);
  int (*mkdir)(const char* path, mode_t mode);
  int (*unlink)(const char* path);
  int (*flock)(int fd, int operation);
  void* (*mmap)(void* addr, std::size_t length, int prot, int flags, int fd, off_t offset);
  int (*munmap)(void* addr, std::size_t length);
  int (*poll)(struct pollfd* fds, nfds_t nfds, int timeout);
  int (*socket)(int domain, int type, int protocol);
  int (*bind)(int fd, const struct sockaddr* addr, socklen_t len);
  int (*connect)(int fd, const struct sockaddr* addr, socklen_t len);
  int (*listen)(int fd, int backlog);
  int (*accept4)(int fd, struct sockaddr* addr, socklen_t* len, int flags);
  ssize_t (*sendmsg)(int fd, const struct msghdr* msg, int flags);
  ssize_t (*recvmsg)(int fd, struct msghdr* msg, int flags);
  ssize_t (*pread)(int fd, void* buf, std::size_t count, off_t offset);
  ssize_t (*pwrite)(int fd, const void* buf, std::size_t count, off_t offset);
  int (*getsockopt)(int fd, int level, int name, void* value, socklen_t* length);
  int (*epoll_create1)(int flags);
  int (*epoll_ctl)(int epfd, int op, int fd, struct epoll_event* event);
  int (*epoll_wait)(int epfd, struct epoll_event* events, int maxevents, int timeout);
  // Reserves the blocks of [offset, offset + length), growing the file; 0, or -1 with errno
  // set (unlike posix_fallocate, which returns the error).
  int (*fallocate)(int fd, off_t offset, off_t length);
  int (*rename)(const char* from, const char* to);
  int (*chmod)(const char* path, mode_t mode);
  DIR* (*opendir)(const char* path);
  struct dirent* (*readdir)(DIR* dir);
  int (*closedir)(DIR* dir);
  int (*memfd_create)(const char* name, unsigned flags);
  int (*eventfd)(unsigned initial, int flags);
  int (*inotify_init1)(int flags);
  int (*inotify_add_watch)(int fd, const char* path, std::uint32_t mask);
  int (*timerfd_create)(int clock, int flags);
  int (*timerfd_settime)(int fd, int flags, const struct itimerspec* value, struct itimerspec* old);
  ssize_t (*getrandom)(void* buffer, std::size_t length, unsigned flags);
  int (*setsockopt)(int fd, int level, int name, const void* value, socklen_t length);
  // FUTEX_WAIT_BITSET / FUTEX_WAKE_BITSET on a shared word: what the futex call returns.
  long (*futex)(std::uint32_t* word, int op, std::uint32_t value, const struct timespec* until,
                std::uint32_t bits);
  int (*getrlimit)(int resource, struct rlimit* limit);
  int (*setrlimit)(int resource, const struct rlimit* limit);
};

// The table every backend calls through; starts out as default_syscalls().
Syscalls& syscalls();
// The real system calls, for a replacement that fails only some calls and passes the rest on.
const Syscalls& default_syscalls();

// Replaces one entry of the table for its lifetime and restores the previous one afterwards:
//   ScopedSyscall fail_mmap(&Syscalls::mmap, [](void*, std::size_t, int, int, int, off_t) {
//     errno = ENOMEM; return MAP_FAILED; });
// Not synchronized: swap entries only while no other thread is inside a backend.
template <typename Fn>
class ScopedSyscall {
 public:
  ScopedSyscall(Fn Syscalls::*slot, std::type_identity_t<Fn> replacement)
      : slot_(slot), saved_(syscalls().*slot) {
    syscalls().*slot_ = replacement;
  }
  ~ScopedSyscall() { syscalls().*slot_ = saved_; }
  ScopedSyscall(const ScopedSyscall&) = delete;
  ScopedSyscall& operator=(const ScopedSyscall&) = delete;

 private:
  Fn Syscalls::*slot_;
  Fn saved_;
};

}  // namespace mmfcast::platform::os
