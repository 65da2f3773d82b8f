// print_lines: prints each line the other copies of mmfcast in this session send, one per
// line, as it arrives, until interrupted. It waits in poll() on the channel's descriptor, as
// any event loop would; on Windows, where there is none, dispatch() waits itself.
#include <mmfcast/mmf/channel.h>

#include <cstdio>
#include <string>

#if !defined(_WIN32)
#include <poll.h>
#endif

int main() {
  mmfcast::Channel channel;
  if (!channel.joined()) {
    std::fprintf(stderr, "print_lines: %s\n", channel.error().c_str());
    return 1;
  }
  channel.on_receive([](const std::string& text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
  });

  for (;;) {
#if !defined(_WIN32)
    pollfd watched{channel.event_fd(), POLLIN, 0};
    if (poll(&watched, 1, -1) < 0) continue;  // a signal without a handler ends the program
    channel.dispatch(0);
#else
    channel.dispatch(-1);
#endif
  }
}
