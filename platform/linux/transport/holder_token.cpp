// The send lock's holder tokens: each process that takes the lock makes a file
// "holder-<token>" in the session directory and keeps an exclusive flock on it for its whole
// life, so a waiter that can take that flock knows the holder is dead. Tokens of dead
// processes (and lock files of older builds) are swept away when a token is made, and a
// process removes its own at exit; a forked child lets go of its parent's.
#include <dirent.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/transport/internal.h"
#include "platform/linux/transport/send_lock.h"
#include "platform/linux/transport/session.h"
#include "platform/linux/transport/transport.h"

namespace mmfcast::platform::os {
namespace {

constexpr std::string_view kTokenPrefix = "holder-";
constexpr int kTokenAttempts = 8;

std::string token_name(std::uint64_t token) {
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(token));
  return std::string(kTokenPrefix) + hex;
}

// What the at-exit handler removes, in storage that exit-time destruction leaves alone.
struct TokenExitRecord {
  pid_t pid = 0;
  dev_t dev = 0;
  ino_t ino = 0;
  char path[4096] = {};
};
TokenExitRecord token_exit_record;

// A forked child shares the open file description of its parent's token, whose lock would then
// outlive the parent: the child lets go of it at once and makes its own when it needs one.
void forget_token_in_child() {
  if (Session* session = session_if_made()) session->lock().token = Token{};
}

void remove_token_at_exit() {
  const TokenExitRecord& r = token_exit_record;
  if (r.pid != getpid() || r.path[0] == '\0') return;
  // A lock left in the word would outlive the file that tells the others its holder is gone.
  if (Session* session = session_if_made()) {
    const LockState& s = session->lock();
    if (s.shared != nullptr && s.opener == r.pid && s.token.value != 0) {
      free_dead_holder(*s.shared, s.token.value);
    }
  }
  unlink_if_same(r.path, r.dev, r.ino);
}

void remember_for_exit(const Token& token) {
  TokenExitRecord& r = token_exit_record;
  r.pid = getpid();
  r.path[0] = '\0';
  if (token.path.size() < sizeof r.path) {
    r.dev = token.st.st_dev;
    r.ino = token.st.st_ino;
    std::memcpy(r.path, token.path.c_str(), token.path.size() + 1);
  }
}

// Removes the file at path, a token or an old lock file, when the flock `mode` (LOCK_SH or
// LOCK_EX) can be taken on it: no live process holds it. True when it did.
bool remove_if_unlocked(const std::string& path, int mode) {
  try {
    struct stat info {};
    const UniqueFd fd = open_session_file(path, Create::kNever, path, &info);
    if (!fd.valid()) return false;
    if (retry_eintr([&] { return syscalls().flock(fd.get(), mode | LOCK_NB); }) != 0) {
      return false;
    }
    unlink_if_same(path, info.st_dev, info.st_ino);
    return true;
  } catch (const OsError&) {
    // Not a private file (then not one of ours to remove) or not openable now: it stays, and
    // the next sweep looks at it again.
    return false;
  }
}

bool is_token_name(std::string_view name) {
  return name.starts_with(kTokenPrefix) && name.size() == kTokenPrefix.size() + 16 &&
         name.find_first_not_of("0123456789abcdef", kTokenPrefix.size()) == std::string_view::npos;
}

bool is_old_lock_name(std::string_view name) {
  return name.starts_with("send-lock.") && name.size() > 10 &&
         name.find_first_not_of("0123456789", 10) == std::string_view::npos;
}

// Removes the tokens of processes that died, and the lock files of older builds ("send-lock."
// and a number) that nobody holds. A dead token that still holds the lock frees it.
void sweep(LockState& s) {
  DIR* stream = syscalls().opendir(s.dir.c_str());
  if (stream == nullptr) return;  // a sweep is tidying only: the next token's sweep tries again
  std::vector<std::string> names;
  while (const dirent* entry = syscalls().readdir(stream)) {
    const std::string_view name = entry->d_name;
    if (is_token_name(name) || is_old_lock_name(name)) names.emplace_back(name);
  }
  syscalls().closedir(stream);
  for (const std::string& name : names) {
    if (!is_token_name(name)) {
      remove_if_unlocked(s.dir + "/" + name, LOCK_EX);
      continue;
    }
    if (remove_if_unlocked(s.dir + "/" + name, LOCK_SH) && s.shared != nullptr) {
      const std::uint64_t token = std::strtoull(name.c_str() + kTokenPrefix.size(), nullptr, 16);
      if (token != 0 && (token & kOffered) == 0) free_dead_holder(*s.shared, token);
    }
  }
}

// One attempt at the token file at path, flocked; an invalid descriptor when the attempt
// should be made again under another id, or OsError naming the file.
UniqueFd try_token(const std::string& path, struct stat& st, bool last) {
  const std::string what = "send lock holder token " + path;
  UniqueFd fd;
  try {
    fd = open_session_file(path, Create::kExclusive, what, &st);
  } catch (const OsError& e) {
    // Taken, or removed or replaced right after it was made (see below): another id.
    if ((e.code == EEXIST || e.code == EPERM) && !last) return {};
    throw;
  }
  // A copy sweeping the directory may take the fresh file for a dead one before it is
  // locked (it then holds a shared lock on it, or has removed it): made again under a new id.
  if (syscalls().flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    unlink_if_same(path, st.st_dev, st.st_ino);
    if (error == EWOULDBLOCK && !last) return {};
    throw_os_error(error, what);
  }
  if (!is_same_file(path, st.st_dev, st.st_ino)) {
    if (!last) return {};
    throw_os_error(ENOENT, what, "removed while it was made");
  }
  return fd;
}

// Makes this process's token in the current directory: a new file "holder-<token>", flocked
// exclusively for the life of the process. Throws OsError naming it when it cannot.
void make_token(LockState& s) {
  static const bool registered = [] {
    std::atexit(remove_token_at_exit);
    pthread_atfork(nullptr, nullptr, forget_token_in_child);
    return true;
  }();
  (void)registered;
  drop_token(s);
  for (int attempt = 1;; ++attempt) {
    std::uint64_t value = 0;
    if (syscalls().getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value)) {
      throw_os_error(errno, "send lock holder token (getrandom)");
    }
    value &= ~kOffered;
    if (value == 0) continue;
    const std::string path = s.dir + "/" + token_name(value);
    struct stat st {};
    UniqueFd fd = try_token(path, st, attempt == kTokenAttempts);
    if (!fd.valid()) continue;
    s.token = Token{value, std::move(fd), path, st};
    remember_for_exit(s.token);
    sweep(s);
    return;
  }
}

}  // namespace

bool ensure_token(LockState& s) {
  if (s.token.fd.valid()) return true;
  return guarded(false, [&] {
    make_token(s);
    return true;
  });
}

void drop_token(LockState& s) {
  if (s.token.fd.valid()) unlink_if_same(s.token.path, s.token.st.st_dev, s.token.st.st_ino);
  s.token = Token{};
  token_exit_record.path[0] = '\0';
}

bool free_dead_holder(SharedState& shared, std::uint64_t token) {
  std::uint64_t expected = token;
  if (!shared.owner.compare_exchange_strong(expected, 0)) return false;
  shared.turn.fetch_add(1);
  futex_wake(shared, 1);
  return true;
}

bool holder_gone(const std::string& dir, std::uint64_t owner) {
  if (owner == 0 || (owner & kOffered) != 0) return false;
  return remove_if_unlocked(dir + "/" + token_name(owner), LOCK_SH);
}

void remove_send_lock_token() { remove_token_at_exit(); }

}  // namespace mmfcast::platform::os
