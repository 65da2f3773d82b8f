// The wait for a send lock that another process holds. The waiter registers its token in the
// page, so that a release wakes it, and sleeps on the page's futex word; with an endpoint of
// its own, a helper thread sleeps there instead while the waiting thread keeps answering its
// endpoint (the holder may be broadcasting to this very process). At each wake-up one decision
// is made: take the lock (free, offered, or held past the takeover time by a hung holder), end
// this process's own offer, or sleep again how long; at each look while nothing moves, whether
// the page was replaced or the holder died.
#include <poll.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/linux/transport/internal.h"
#include "platform/linux/transport/send_lock.h"
#include "platform/platform.h"

namespace mmfcast::platform::os {

void register_waiter(SharedState& shared, std::uint64_t token) {
  if (token == 0) return;
  for (auto& slot : shared.waiting) {
    if (slot.load() == token) return;
  }
  for (auto& slot : shared.waiting) {
    std::uint64_t expected = 0;
    if (slot.load() == 0 && slot.compare_exchange_strong(expected, token)) return;
  }
  // Every slot taken: this waiter is not woken, and finds the lock at its next look.
}

void unregister_waiter(SharedState& shared, std::uint64_t token) {
  if (token == 0) return;
  for (auto& slot : shared.waiting) {
    std::uint64_t expected = token;
    if (slot.load() == token) slot.compare_exchange_strong(expected, 0);
  }
}

bool others_waiting(const SharedState& shared, std::uint64_t token) {
  for (const auto& slot : shared.waiting) {
    const std::uint64_t value = slot.load();
    if (value != 0 && value != token) return true;
  }
  return false;
}

namespace {

// A helper thread that sleeps on the lock's futex word, as a waiter of this process's class,
// and writes its eventfd when the word moved and the lock may be taken, so that the waiting
// thread can sleep in poll on the eventfd and its own endpoint together.
class Helper {
 public:
  Helper(std::shared_ptr<Page> page, std::uint32_t seen, std::uint64_t token)
      : page_(std::move(page)), token_(token), bits_(token_bit(token)), seen_(seen) {}
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;

  // Starts the thread; false when there is no eventfd or thread to spare.
  bool start() {
    wake_.reset(syscalls().eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wake_.valid()) return false;
    try {
      thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
      return false;
    }
    return true;
  }
  int wake_fd() const { return wake_.get(); }
  bool serves(const std::shared_ptr<Page>& page, std::uint64_t token) const {
    return page == page_ && token == token_;
  }
  void drain() {
    std::uint64_t count = 0;
    while (syscalls().read(wake_.get(), &count, sizeof count) > 0) {
    }
  }

  // Stops the thread: the word is moved and this process's class woken, so that it returns
  // from its sleep at once (other processes' waiters see a change and look again).
  ~Helper() {
    if (!thread_.joinable()) return;
    stop_.store(true);
    page_->shared()->turn.fetch_add(1);
    futex_wake(*page_->shared(), INT_MAX, bits_);
    thread_.join();
  }

 private:
  void run() {
    SharedState& shared = *page_->shared();
    while (!stop_.load()) {
      futex_wait(shared, seen_, kLookMs, bits_);
      const std::uint32_t now = shared.turn.load();
      if (stop_.load()) break;
      if (now == seen_) continue;
      seen_ = now;
      // Read after the turn: a lock freed later moves the turn again.
      if (takeable(shared.owner.load(), token_)) {
        const std::uint64_t one = 1;
        syscalls().write(wake_.get(), &one, sizeof one);
      }
    }
  }

  std::shared_ptr<Page> page_;
  std::uint64_t token_;
  std::uint32_t bits_;
  std::uint32_t seen_;
  std::atomic<bool> stop_{false};
  UniqueFd wake_;
  std::thread thread_;
};

// Sleeps until the lock word may have moved since turn read `seen`, the own endpoint has
// notifications (they are handled, since the holder may be broadcasting to this very process)
// or timeout_ms pass. Without an endpoint the calling thread sleeps on the futex itself.
void wait_for_turn(LockState& s, std::unique_ptr<Helper>& helper, std::uint32_t seen,
                   int timeout_ms) {
  const int events = event_fd();
  if (events < 0) {
    helper.reset();
    futex_wait(*s.shared, seen, timeout_ms, token_bit(s.token.value));
    return;
  }
  if (helper && !helper->serves(s.page, s.token.value)) helper.reset();
  if (!helper) {
    helper = std::make_unique<Helper>(s.page, seen, s.token.value);
    if (!helper->start()) helper.reset();
  }
  pollfd watch[2] = {{helper ? helper->wake_fd() : -1, POLLIN, 0}, {events, POLLIN, 0}};
  // No thread to spare: look again shortly.
  const int ready = syscalls().poll(watch, 2, helper ? timeout_ms : std::min(timeout_ms, 10));
  if (helper) helper->drain();
  if (ready > 0 && watch[1].revents != 0) dispatch_pending();
}

// What a waiter does next with the lock word holding `owner`.
struct Step {
  bool take = false;            // try to take the word now
  bool forget_waiters = false;  // ... ending this process's own offer
  int wait_ms = kLookMs;        // else sleep at most this long
};

// The decision at one wake-up. `since` is when the word or the count of holds last moved.
Step next_step(const LockState& s, const SharedState& shared, std::uint64_t owner,
               Clock::time_point since, Clock::time_point now, int takeover_ms) {
  const std::uint64_t token = s.token.value;
  if (owner == (kOffered | token)) {
    // This process's own offer: the waiters it saw have had their chance.
    const auto offered_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now - s.offered_at).count();
    const bool over = offered_ms >= kOfferMs || offered_ms < 0;
    return {over, over,
            static_cast<int>(std::clamp<long long>(kOfferMs - offered_ms, 1, kOfferMs))};
  }
  if (takeable(owner, token)) return {true, false, kLookMs};
  // The same hold has lasted past the deadline: its holder has hung.
  if (now - since >= std::chrono::milliseconds(takeover_ms)) return {true, false, kLookMs};
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                        since + std::chrono::milliseconds(takeover_ms) - now)
                        .count();
  // The holder's releases wake nobody until its run ends. A hold just begun may not have
  // published its run yet: the first sleep on it is no longer than a run. The page may
  // have been scribbled on, so the end is compared before it is subtracted.
  const std::int64_t ends = shared.run_ends.load();
  const std::int64_t now_ns = steady_ns(now);
  const long long bound = ends > now_ns  ? (ends - now_ns) / 1'000'000 + 1
                          : since == now ? kRunMs
                                         : kLookMs;
  return {false, false,
          static_cast<int>(std::clamp<long long>(std::min<long long>(left, bound), 1, kLookMs))};
}

enum class Outcome { kGot, kFailed, kGoOn };

// One process's wait: what it saw of the word, since when, and when it last looked at the
// holder.
struct Wait {
  Wait(LockState& state, int takeover)
      : s(state),
        takeover_ms(takeover),
        seen_owner(state.shared->owner.load()),
        seen_holds(state.shared->holds.load()) {}

  LockState& s;
  int takeover_ms;
  std::unique_ptr<Helper> helper;
  std::uint64_t seen_owner = 0;
  std::uint64_t seen_holds = 0;
  Clock::time_point since = Clock::now();
  Clock::time_point looked = since;

  void saw(std::uint64_t owner, std::uint64_t holds, Clock::time_point now) {
    if (owner == seen_owner && holds == seen_holds) return;
    seen_owner = owner;
    seen_holds = holds;
    since = now;
  }
};

// The page and the token again, after a take or at a look: the files may have been removed or
// replaced meanwhile. A hold this process began in a page it cannot reach is let go.
bool reopen(LockState& s) {
  if (open_state(s) && ensure_token(s)) return true;
  end_hold(s);
  return false;
}

// Takes the word from `owner`. The files may have been removed or replaced while this process
// waited: a lock it got in a page nobody else uses any more is let go, and the wait goes on.
Outcome take_from_wait(Wait& w, SharedState& shared, std::uint64_t owner, bool forget_waiters) {
  LockState& s = w.s;
  if (!shared.owner.compare_exchange_strong(owner, s.token.value)) return Outcome::kGoOn;
  if (forget_waiters) {
    for (auto& slot : shared.waiting) slot.store(0);
  }
  if (!begin_hold(s)) return Outcome::kGoOn;
  if (!reopen(s)) return Outcome::kFailed;
  if (s.shared == &shared) return Outcome::kGot;
  w.since = Clock::now();
  return Outcome::kGoOn;
}

// At each look while the word stays the same: the page may have been replaced (the others
// moved on to the new one), or the holder may have died.
Outcome look_at_holder(Wait& w, SharedState& shared, std::uint64_t owner) {
  LockState& s = w.s;
  if (Clock::now() - w.looked < std::chrono::milliseconds(kLookMs)) return Outcome::kGoOn;
  w.looked = Clock::now();
  if (!reopen(s)) return Outcome::kFailed;
  if (s.shared != &shared) {
    w.since = w.looked;
    return Outcome::kGoOn;
  }
  if (shared.owner.load() == owner && holder_gone(s.dir, owner) &&
      shared.owner.compare_exchange_strong(owner, s.token.value) && begin_hold(s)) {
    return Outcome::kGot;
  }
  return Outcome::kGoOn;
}

bool wait_loop(Wait& w) {
  LockState& s = w.s;
  for (;;) {
    if (s.page->mapping.damaged()) {
      w.helper.reset();
      if (!reopen(s)) return false;
      w.since = Clock::now();
    }
    SharedState& shared = *s.shared;
    register_waiter(shared, s.token.value);
    const std::uint32_t turn = shared.turn.load();
    const std::uint64_t owner = shared.owner.load();
    const Clock::time_point now = Clock::now();
    w.saw(owner, shared.holds.load(), now);
    const Step step = next_step(s, shared, owner, w.since, now, w.takeover_ms);
    const Outcome outcome =
        step.take ? take_from_wait(w, shared, owner, step.forget_waiters) : Outcome::kGoOn;
    if (outcome != Outcome::kGoOn) return outcome == Outcome::kGot;
    if (step.take) continue;
    wait_for_turn(s, w.helper, turn, step.wait_ms);
    if (s.shared != &shared || shared.turn.load() != turn) continue;
    const Outcome looked = look_at_holder(w, shared, owner);
    if (looked != Outcome::kGoOn) return looked == Outcome::kGot;
  }
}

}  // namespace

bool wait_for_send_lock(LockState& s, int takeover_ms) {
  Wait w(s, takeover_ms);
  const bool got = wait_loop(w);
  w.helper.reset();
  if (s.shared != nullptr) unregister_waiter(*s.shared, s.token.value);
  return got;
}

}  // namespace mmfcast::platform::os
