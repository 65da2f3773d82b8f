// Helper commands for the mapping lifetime tests, on the platform calls themselves.
//   view-only NAME SIZE  creates (or opens) the mapping, maps it, writes "held" at its start,
//                        closes the handle so that only the view holds the mapping, says
//                        "ready", then takes lines: "unmap" (says "unmapped <result>"), "quit".
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "tests/child/child_commands.h"

namespace {

int view_only(const std::vector<std::string>& args) {
  if (args.size() != 2) return 2;
  const mmfcast::platform::Handle h = mmfcast::platform::CreateFileMappingA(
      mmfcast::platform::kInvalidHandleValue, nullptr, mmfcast::platform::kPageReadWrite, 0,
      static_cast<std::uint32_t>(std::stoul(args[1])), args[0].c_str());
  const mmfcast::platform::ViewAddr view =
      h == 0 ? 0
             : mmfcast::platform::MapViewOfFile(
                   h, mmfcast::platform::kFileMapRead | mmfcast::platform::kFileMapWrite, 0, 0, 0);
  if (view == 0 || mmfcast::platform::CloseHandle(h) != 1) {
    child::say("failed");
    return 1;
  }
  std::memcpy(reinterpret_cast<char*>(view), "held", 5);
  child::say("ready");
  std::string line;
  while (child::hear(line)) {
    if (line == "unmap") {
      child::say("unmapped " + std::to_string(mmfcast::platform::UnmapViewOfFile(view)));
    } else if (line == "quit") {
      return 0;
    } else {
      return 3;
    }
  }
  return 0;
}

const child::Registration registered("view-only", view_only);

}  // namespace
