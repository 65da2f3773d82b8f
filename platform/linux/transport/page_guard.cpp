// Shared pages that another process of this user can take away. A file that backs shared
// memory (an area, the send lock's page, an endpoint's state page) may be truncated by any
// process of the user; touching a page past the new end raises SIGBUS, which would kill the
// copy. Every such mapping is registered here. A SIGBUS inside a registered region replaces the
// whole region with private zero pages, so the interrupted access completes on them, and marks
// it damaged; the owner of the region finds the mark at its next check and maps the file again
// (grown back to its size) or opens it anew. A SIGBUS anywhere else goes to the handler that was
// in place before, or ends the process as it would have.
#include <signal.h>
#include <sys/mman.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <utility>

#include "platform/linux/transport/internal.h"

namespace mmfcast::platform::os {
namespace {

constexpr std::size_t kMaxRegions = 8192;

struct Region {
  std::atomic<std::uintptr_t> start{0};
  std::atomic<std::size_t> size{0};
  std::atomic<bool> damaged{false};
};

// The handler reads these words; only lock-free atomics are safe to use in it.
static_assert(std::atomic<std::uintptr_t>::is_always_lock_free);
static_assert(std::atomic<std::size_t>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

Region regions[kMaxRegions];
std::atomic<std::uint64_t> damage_events{0};
struct sigaction previous_action {};

void on_sigbus(int signal, siginfo_t* info, void* context) {
  const int saved_errno = errno;  // the interrupted code may be about to read it
  // A SIGBUS sent by a process (kill) is no fault: no access runs again to raise it a second
  // time, so it is never taken for a region's damage.
  const bool sent = info->si_code <= 0;
  const auto at = reinterpret_cast<std::uintptr_t>(info->si_addr);
  for (Region& r : sent ? std::span<Region>() : std::span<Region>(regions)) {
    const std::uintptr_t start = r.start.load(std::memory_order_acquire);
    const std::size_t size = r.size.load(std::memory_order_acquire);
    if (start == 0 || at < start || at - start >= size) continue;
    void* zero = ::mmap(reinterpret_cast<void*>(start), size, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (zero == MAP_FAILED) break;
    r.damaged.store(true, std::memory_order_release);
    damage_events.fetch_add(1, std::memory_order_acq_rel);
    errno = saved_errno;
    return;
  }
  if ((previous_action.sa_flags & SA_SIGINFO) != 0 && previous_action.sa_sigaction != nullptr) {
    previous_action.sa_sigaction(signal, info, context);
  } else if (sent && previous_action.sa_handler == SIG_IGN) {
    // The program ignores SIGBUS: one sent to it is ignored, as it was before the guard. (A
    // fault is not: the access runs again and the kernel delivers it at its default action.)
  } else if (previous_action.sa_handler != SIG_DFL && previous_action.sa_handler != SIG_IGN &&
             previous_action.sa_handler != nullptr) {
    previous_action.sa_handler(signal);
  } else {
    // A faulting access runs again on return and faults with the default action in place; a
    // sent signal is raised again, as it would have ended the process without this handler.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    ::sigaction(SIGBUS, &fallback, nullptr);
    if (sent) ::raise(SIGBUS);
  }
  errno = saved_errno;
}

void install_handler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_sigaction = on_sigbus;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, &previous_action);
  });
}

}  // namespace

int guard_region(const void* start, std::size_t size) {
  install_handler();
  const auto at = reinterpret_cast<std::uintptr_t>(start);
  for (std::size_t i = 0; i < kMaxRegions; ++i) {
    std::uintptr_t expected = 0;
    if (regions[i].start.load(std::memory_order_relaxed) != 0) continue;
    regions[i].size.store(0, std::memory_order_relaxed);
    regions[i].damaged.store(false, std::memory_order_relaxed);
    if (!regions[i].start.compare_exchange_strong(expected, at)) continue;
    regions[i].size.store(size, std::memory_order_release);
    return static_cast<int>(i);
  }
  return -1;
}

void unguard_region(int slot) {
  if (slot < 0 || static_cast<std::size_t>(slot) >= kMaxRegions) return;
  regions[slot].size.store(0, std::memory_order_release);
  regions[slot].start.store(0, std::memory_order_release);
}

bool region_damaged(int slot) {
  if (slot < 0 || static_cast<std::size_t>(slot) >= kMaxRegions) return false;
  return regions[slot].damaged.load(std::memory_order_acquire);
}

void clear_damage(int slot) {
  if (slot < 0 || static_cast<std::size_t>(slot) >= kMaxRegions) return;
  regions[slot].damaged.store(false, std::memory_order_release);
}

std::uint64_t damage_count() { return damage_events.load(std::memory_order_acquire); }

SharedMapping SharedMapping::map(int fd, std::size_t size, const std::string& what) {
  void* at = syscalls().mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (at == MAP_FAILED) throw_os_error(errno, what);
  SharedMapping mapping;
  mapping.address_ = at;
  mapping.size_ = size;
  return mapping;
}

SharedMapping SharedMapping::map_guarded(int fd, std::size_t size, const std::string& what) {
  SharedMapping mapping = map(fd, size, what);
  mapping.guard_ = guard_region(mapping.address_, size);  // before the first access
  return mapping;
}

void SharedMapping::reset() {
  unguard_region(std::exchange(guard_, -1));
  if (address_ != nullptr) syscalls().munmap(std::exchange(address_, nullptr), size_);
  size_ = 0;
}

}  // namespace mmfcast::platform::os
