// Helper commands for timing and stressing sends between processes.
//   send-many MSGNAME TAG COUNT
//       registers MSGNAME, opens "MyPubMemory", says "ready", waits for a line on standard input,
//       then sends COUNT texts as a window's send does (send lock, WriteMMF, SendMesageAll) and
//       says "done FAILURES". Text i is sent_text(TAG, i).
//   unresponsive [resume]
//       creates a top-level window, says "ready" and never handles a message again; with
//       resume, not until a line arrives on standard input: then it handles what was sent to it
//       meanwhile and says "got N", the registered messages among them.
//   broadcast-once MSGNAME
//       broadcasts MSGNAME once, wParam 1, and says "sent RESULT UNREACHED LAST_ERROR_TEXT".
//   windows N       creates N top-level windows, says "ready", handles messages until a line
//                   arrives on standard input.
//   window-once     creates a top-level window, destroys it and exits: what starting a program
//                   that makes a window costs, without anything sent.
//   time-broadcast MSGNAME COUNT
//       broadcasts MSGNAME COUNT times and says "median US p90 US max US" in microseconds.
#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "hook/ModSubclass.h"
#include "mmf/cMMF.h"
#include "platform/platform.h"
#include "tests/child/child_commands.h"
#include "tests/child/send_texts.h"

namespace {

int registered_received = 0;

mmfcast::platform::LResult MMFCAST_CALLBACK quiet_procedure(mmfcast::platform::Hwnd,
                                                            std::uint32_t msg,
                                                            mmfcast::platform::WParam,
                                                            mmfcast::platform::LParam) {
  if (msg >= 0xC000 && msg <= 0xFFFF) ++registered_received;
  return 0;
}

int send_many(const std::vector<std::string>& args) {
  if (args.size() != 3) return 2;
  cMMF m;
  const std::int32_t msg = m.RegWindowMsg(mmfcast::platform::from_ansi(args[0]));
  const std::int32_t index = m.AddMMFItem(mmfcast::kPubMemoryName, 4096);
  if (msg == 0 || m.OpenMMF(index) != 1) return 3;
  const int count = std::stoi(args[2]);
  child::say("ready");
  std::string go;
  if (!child::hear(go)) return 2;
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    const std::u16string text = mmfcast::platform::from_ansi(child::sent_text(args[1], i));
    mmfcast::platform::SendLock lock;
    m.WriteMMF(index, text);
    const mmfcast::MMFVariant sent =
        m.SendMesageAll(u"", msg, static_cast<std::int32_t>(text.size() + 1), 0);
    if (!std::holds_alternative<std::int32_t>(sent)) ++failures;
  }
  child::say("done " + std::to_string(failures));
  return 0;
}

int unresponsive(const std::vector<std::string>& args) {
  const bool resume = args.size() == 1 && args[0] == "resume";
  if (!args.empty() && !resume) return 2;
  if (mmfcast::platform::create_window(&quiet_procedure) == 0) return 4;
  mmfcast::platform::pump_messages(0);
  child::say("ready");
  std::string line;
  if (!resume || !child::hear(line)) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
  while (mmfcast::platform::pump_messages(0) > 0) {
  }
  child::say("got " + std::to_string(registered_received));
  return 0;
}

int broadcast_once(const std::vector<std::string>& args) {
  if (args.size() != 1) return 2;
  const std::uint32_t msg = mmfcast::platform::RegisterWindowMessageA(args[0].c_str());
  if (msg == 0) return 3;
  std::uint32_t recipients = mmfcast::platform::kBsmApplications;
  const long result = mmfcast::platform::BroadcastSystemMessage(
      mmfcast::platform::kBsfIgnoreCurrentTask, &recipients, msg, 1, 0);
  child::say("sent " + std::to_string(result) + " " +
             std::to_string(mmfcast::platform::broadcast_unreached()) + " " +
             mmfcast::platform::last_error_text());
  return 0;
}

int windows(const std::vector<std::string>& args) {
  if (args.size() != 1) return 2;
  const int n = std::stoi(args[0]);
  std::vector<mmfcast::platform::Hwnd> made;
  for (int i = 0; i < n; ++i) {
    const mmfcast::platform::Hwnd w = mmfcast::platform::create_window(&quiet_procedure);
    if (w == 0) return 4;
    made.push_back(w);
  }
  child::BackgroundInput input;
  child::say("ready");
  std::string line;
  while (input.poll(line) == child::BackgroundInput::kNothingYet)
    mmfcast::platform::pump_messages(10);
  for (mmfcast::platform::Hwnd w : made) mmfcast::platform::destroy_window(w);
  return 0;
}

int window_once(const std::vector<std::string>& args) {
  if (!args.empty()) return 2;
  const mmfcast::platform::Hwnd w = mmfcast::platform::create_window(&quiet_procedure);
  if (w == 0) return 4;
  mmfcast::platform::destroy_window(w);
  return 0;
}

int time_broadcast(const std::vector<std::string>& args) {
  if (args.size() != 2) return 2;
  const std::uint32_t msg = mmfcast::platform::RegisterWindowMessageA(args[0].c_str());
  const int count = std::stoi(args[1]);
  if (msg == 0 || count <= 0) return 2;
  std::vector<long long> us;
  for (int i = 0; i < count; ++i) {
    std::uint32_t recipients = mmfcast::platform::kBsmApplications;
    const auto start = std::chrono::steady_clock::now();
    if (mmfcast::platform::BroadcastSystemMessage(mmfcast::platform::kBsfIgnoreCurrentTask,
                                                  &recipients, msg, 1, 0) != 1) {
      return 3;
    }
    us.push_back(std::chrono::duration_cast<std::chrono::microseconds>(
                     std::chrono::steady_clock::now() - start)
                     .count());
  }
  std::sort(us.begin(), us.end());
  child::say("median " + std::to_string(us[us.size() / 2]) + " p90 " +
             std::to_string(us[us.size() * 9 / 10]) + " max " + std::to_string(us.back()));
  return 0;
}

const child::Registration registered_send_many("send-many", send_many);
const child::Registration registered_unresponsive("unresponsive", unresponsive);
const child::Registration registered_broadcast_once("broadcast-once", broadcast_once);
const child::Registration registered_windows("windows", windows);
const child::Registration registered_window_once("window-once", window_once);
const child::Registration registered_time("time-broadcast", time_broadcast);

}  // namespace
