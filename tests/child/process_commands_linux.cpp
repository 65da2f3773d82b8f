// Copies whose process does something to them: forks, or is sent a signal.
//   fork-inherit join|leave CHANNEL
//       joins CHANNEL through the C interface, says "ready" and forks. The forked child tries
//       the handle it inherited ("child send RESULT FAILURE dispatch RESULT FAILURE: ERROR"),
//       then
//         join:  joins CHANNEL itself, says "child joined", and "child text HEX8" for each text
//                it hears, until its parent ends;
//         leave: leaves the inherited handle, says "child left" and ends.
//       The parent says "text HEX8" for each text it hears, until a line "quit" or the end of
//       input.
//   sigbus-ignored
//       ignores SIGBUS, joins the desktop program's channel, sends itself SIGBUS with kill and
//       with sigqueue, and says "alive" (a process killed by it says nothing and ends by it).
#include <mmfcast/mmfcast.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "mmf/channel.h"
#include "platform/linux/transport/internal.h"
#include "tests/child/child_commands.h"
#include "tests/support/hex.h"

namespace {

void say_text(const char* text, std::size_t length, void* prefix) {
  child::say(static_cast<const char*>(prefix) + testsupport::to_hex8(std::string(text, length)));
}

// What the child does with the handle it inherited, and then.
int forked_child(mmfcast_channel* inherited, const std::string& mode, const std::string& name,
                 int parent_alive) {
  const int sent = mmfcast_send(inherited, "from the child", 14);
  const std::string send_failure = std::to_string(mmfcast_last_failure(inherited));
  const int dispatched = mmfcast_dispatch(inherited, 0);
  child::say("child send " + std::to_string(sent) + " " + send_failure + " dispatch " +
             std::to_string(dispatched) + " " + std::to_string(mmfcast_last_failure(inherited)) +
             ": " + mmfcast_error(inherited));
  if (mode == "leave") {
    mmfcast_leave(inherited);
    child::say("child left");
    return 0;
  }
  mmfcast_channel* own = mmfcast_join(name.c_str(), 0, nullptr);
  if (mmfcast_joined(own) != 1) {
    child::say(std::string("child refused ") + mmfcast_error(own));
    return 3;
  }
  static char prefix[] = "child text ";
  mmfcast_on_receive(own, say_text, prefix);
  child::say("child joined");
  // Until the parent ends, which closes the other end of the pipe.
  pollfd parent{parent_alive, POLLIN, 0};
  while (::poll(&parent, 1, 0) == 0) mmfcast_dispatch(own, 20);
  mmfcast_leave(own);
  return 0;
}

int fork_inherit(const std::vector<std::string>& args) {
  if (args.size() != 2 || (args[0] != "join" && args[0] != "leave")) return 2;
  mmfcast_channel* channel = mmfcast_join(args[1].c_str(), 0, nullptr);
  if (mmfcast_joined(channel) != 1) {
    child::say(std::string("refused ") + mmfcast_error(channel));
    return 3;
  }
  static char prefix[] = "text ";
  mmfcast_on_receive(channel, say_text, prefix);
  int alive[2];
  if (::pipe(alive) != 0) return 4;
  child::say("ready");
  const pid_t pid = ::fork();
  if (pid < 0) return 4;
  if (pid == 0) {
    ::close(alive[1]);
    ::_exit(forked_child(channel, args[0], args[1], alive[0]));
  }
  ::close(alive[0]);
  child::BackgroundInput input;
  for (;;) {
    mmfcast_dispatch(channel, 20);
    std::string line;
    const auto got = input.poll(line);
    if (got == child::BackgroundInput::kEnded ||
        (got == child::BackgroundInput::kLine && line == "quit")) {
      break;
    }
  }
  mmfcast_leave(channel);
  ::close(alive[1]);
  int status = 0;
  mmfcast::platform::os::retry_eintr([&] { return ::waitpid(pid, &status, 0); });
  return WIFEXITED(status) ? WEXITSTATUS(status) : 5;
}

int sigbus_ignored(const std::vector<std::string>&) {
  ::signal(SIGBUS, SIG_IGN);
  mmfcast::Channel channel;
  if (!channel.joined()) {
    child::say("refused " + channel.error());
    return 3;
  }
  ::kill(::getpid(), SIGBUS);
  ::sigqueue(::getpid(), SIGBUS, sigval{});
  child::say("alive");
  return 0;
}

const child::Registration fork_registered("fork-inherit", fork_inherit);
const child::Registration sigbus_registered("sigbus-ignored", sigbus_ignored);

}  // namespace
