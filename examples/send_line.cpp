// send_line WORD...: sends the words, joined by spaces, as one line to the other copies of
// mmfcast in this session. Exits 0 once the line is sent, 1 when it cannot be, 2 when it is
// too long for the channel.
#include <mmfcast/mmf/channel.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) line += ' ';
    line += argv[i];
  }

  mmfcast::Channel channel;
  if (!channel.joined()) {
    std::fprintf(stderr, "send_line: %s\n", channel.error().c_str());
    return 1;
  }
  switch (channel.send(line)) {
    case mmfcast::SendResult::kSent:
      return 0;
    case mmfcast::SendResult::kTooLong:
      std::fprintf(stderr, "send_line: the line is longer than %zu bytes\n",
                   channel.max_text_bytes());
      return 2;
    case mmfcast::SendResult::kFailed:         // not sent
    case mmfcast::SendResult::kNotAllReached:  // sent, but some copies missed it
      break;
  }
  std::fprintf(stderr, "send_line: %s\n", channel.error().c_str());
  return 1;
}
