// A wait set on Linux: an epoll set of its own over the process's delivery descriptor and an
// eventfd that serves as the mark, so one event loop (a Channel's) can be woken both by
// notifications and by texts already taken in for it. Both descriptors are owned and closed
// through the system-call table.
#include <sys/epoll.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <cstdint>

#include "platform/linux/transport/internal.h"
#include "platform/platform.h"

namespace mmfcast::platform {

struct WaitSet::Descriptors {
  os::UniqueFd set;
  os::UniqueFd mark;
  bool marked = false;
};

namespace {

void add_to(int set, int fd, const char* what) {
  epoll_event event{};
  event.events = EPOLLIN;
  os::check(os::syscalls().epoll_ctl(set, EPOLL_CTL_ADD, fd, &event), what);
}

}  // namespace

WaitSet::WaitSet() = default;
WaitSet::~WaitSet() = default;

bool WaitSet::open() {
  close();
  return os::guarded(false, [&] {
    const int delivery = event_fd();
    if (delivery < 0 && os::last_error() != 0) os::throw_last_error();
    if (delivery < 0) os::throw_os_error(ENOTCONN, "wait set", "the process has no window");
    auto fds = std::make_unique<Descriptors>();
    fds->set.reset(os::check(os::syscalls().epoll_create1(EPOLL_CLOEXEC), "wait set (epoll)"));
    fds->mark.reset(
        os::check(os::syscalls().eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), "wait set (eventfd)"));
    add_to(fds->set.get(), delivery, "wait set (adding the delivery descriptor)");
    add_to(fds->set.get(), fds->mark.get(), "wait set (adding its eventfd)");
    fds_ = std::move(fds);
    return true;
  });
}

void WaitSet::close() { fds_.reset(); }

int WaitSet::fd() const { return fds_ ? fds_->set.get() : -1; }

// The eventfd is non-blocking: a write cannot block (the count stays far below its limit) and a
// read of an unmarked one finds nothing; neither can fail otherwise on a valid eventfd.
void WaitSet::mark(bool set) {
  if (!fds_ || fds_->marked == set) return;
  fds_->marked = set;
  std::uint64_t count = 1;
  if (set) {
    os::retry_eintr([&] { return os::syscalls().write(fds_->mark.get(), &count, sizeof count); });
  } else {
    os::retry_eintr([&] { return os::syscalls().read(fds_->mark.get(), &count, sizeof count); });
  }
}

}  // namespace mmfcast::platform
