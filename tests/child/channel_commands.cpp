// A copy that receives through mmfcast::Channel.
//   channel-receive [NAME SIZE] joins the desktop program's channel, or the channel NAME
//                   with an area of SIZE bytes, and says "ready MAX" (MAX: max_text_bytes()), or
//                   "refused ERROR"; then says "text HEX8" for each text it receives, sends
//                   the text of each line "send HEX8" (saying "sent", "unreached ERROR" or
//                   "failed ERROR"), says "missed N REASON" for "missed", until a line "quit"
//                   or the end of standard input.
#include <string>

#include "mmf/channel.h"
#include "tests/child/child_commands.h"
#include "tests/support/hex.h"

namespace {

int channel_listen(const std::vector<std::string>& args) {
  mmfcast::ChannelOptions options;
  if (args.size() == 2) {
    options.name = args[0];
    options.area_size = std::stoul(args[1]);
  } else if (!args.empty()) {
    return 2;
  }
  mmfcast::Channel channel(options);
  if (!channel.joined()) {
    child::say("refused " + channel.error());
    return 3;
  }
  channel.on_receive(
      [](const std::string& text) { child::say("text " + testsupport::to_hex8(text)); });
  child::BackgroundInput input;
  child::say("ready " + std::to_string(channel.max_text_bytes()));
  for (;;) {
    channel.dispatch(20);
    std::string line;
    const auto got = input.poll(line);
    if (got == child::BackgroundInput::kEnded ||
        (got == child::BackgroundInput::kLine && line == "quit")) {
      return 0;
    }
    if (got == child::BackgroundInput::kLine && line.rfind("send ", 0) == 0) {
      const mmfcast::SendResult result = channel.send(testsupport::from_hex8(line.substr(5)));
      child::say(result == mmfcast::SendResult::kSent            ? std::string("sent")
                 : result == mmfcast::SendResult::kNotAllReached ? "unreached " + channel.error()
                                                                 : "failed " + channel.error());
    }
    if (got == child::BackgroundInput::kLine && line == "missed") {
      child::say("missed " + std::to_string(channel.missed()) + " " + channel.missed_reason());
    }
  }
}

const child::Registration registered("channel-receive", channel_listen);

}  // namespace
