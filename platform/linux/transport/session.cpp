// The process's current session: made on first use, ended only by tests.
#include "platform/linux/transport/session.h"

#include <atomic>
#include <mutex>
#include <utility>

namespace mmfcast::platform::os {
namespace {

// The session itself, and a copy of its address that session() reads without the mutex.
std::unique_ptr<Session>& owned() {
  static auto* const holder = new std::unique_ptr<Session>;  // outlives static destruction
  return *holder;
}
std::atomic<Session*> current{nullptr};
std::mutex making;

}  // namespace

Session::Session()
    : attached_(make_attached()),
      timed_out_(make_timed_out()),
      mappings_(make_mapping_table()),
      ids_(make_ids()),
      lock_(make_lock_state()),
      broadcast_(make_broadcast_state()),
      endpoint_(make_endpoint()),
      windows_(make_window_table()) {}

Session::~Session() = default;

Session& session() {
  Session* s = current.load(std::memory_order_acquire);
  if (s != nullptr) return *s;
  std::lock_guard lock(making);
  if (!owned()) {
    owned() = std::make_unique<Session>();
    current.store(owned().get(), std::memory_order_release);
  }
  return *owned();
}

Session* session_if_made() { return current.load(std::memory_order_acquire); }

void end_session() {
  std::lock_guard lock(making);
  // Destroyed while it is still the current one: its parts reach each other through session()
  // as they close.
  owned().reset();
  current.store(nullptr, std::memory_order_release);
}

}  // namespace mmfcast::platform::os
