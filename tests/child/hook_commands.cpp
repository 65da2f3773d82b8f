// A copy of the receiving side: a window hooked through cMMF::StartSubclass.
//   hooked MSGNAME  registers MSGNAME as lMsgID, opens "MyPubMemory" (4096 bytes), hooks a
//                   window and says "ready ID"; then it says "data HEX16" for each DataArrival
//                   and "proc MSG WPARAM LPARAM" for each message its own procedure receives,
//                   until a line "quit" arrives on standard input. "send HEX16" writes the text
//                   and broadcasts it as a window's send does, then says "sent R".
#include <atomic>
#include <string>

#include "hook/ModSubclass.h"
#include "mmf/cMMF.h"
#include "tests/child/child_commands.h"
#include "tests/support/hex.h"

namespace {

std::atomic<std::uint32_t> ignored_below{0x100};  // only registered and user messages are told

mmfcast::platform::LResult MMFCAST_CALLBACK own_procedure(mmfcast::platform::Hwnd,
                                                          std::uint32_t msg,
                                                          mmfcast::platform::WParam w,
                                                          mmfcast::platform::LParam l) {
  if (msg >= ignored_below.load()) {
    child::say("proc " + std::to_string(msg) + " " + std::to_string(w) + " " + std::to_string(l));
  }
  return 77;
}

int hooked(const std::vector<std::string>& args) {
  if (args.size() != 1) return 2;
  const mmfcast::platform::Hwnd window = mmfcast::platform::create_window(&own_procedure);
  if (window == 0) return 4;
  cMMF m;
  ModSubclass::lMsgID =
      static_cast<std::uint32_t>(m.RegWindowMsg(mmfcast::platform::from_ansi(args[0])));
  m.StartSubclass(window);
  const std::int32_t index = m.AddMMFItem(mmfcast::kPubMemoryName, 4096);
  m.OpenMMF(index);
  m.DataArrival = [](const std::u16string& text) {
    child::say("data " + testsupport::to_hex16(text));
  };

  child::BackgroundInput input;

  child::say("ready " + std::to_string(ModSubclass::lMsgID));
  for (;;) {
    mmfcast::platform::pump_messages(20);
    std::string line;
    const auto got = input.poll(line);
    if (got == child::BackgroundInput::kEnded) break;
    if (got == child::BackgroundInput::kNothingYet) continue;
    if (line == "quit") break;
    if (line.rfind("send ", 0) == 0) {
      const std::u16string text = testsupport::from_hex16(line.substr(5));
      m.WriteMMF(index, text);
      const mmfcast::MMFVariant sent =
          m.SendMesageAll(u"", static_cast<std::int32_t>(ModSubclass::lMsgID),
                          static_cast<std::int32_t>(text.size() + 1), 0);
      const bool ok = std::holds_alternative<std::int32_t>(sent);
      child::say(std::string("sent ") + (ok ? "1" : "0"));
    }
  }
  m.StopSubclass(window);
  mmfcast::platform::destroy_window(window);
  return 0;
}

const child::Registration registered("hooked", hooked);

}  // namespace
