// Helper commands that use one cMMF area the way a running copy does.
//   area NAME SIZE  registers and opens the area, says "open R", then takes lines:
//     write HEX16   -> says WriteMMF's result
//     read N        -> says the hex of ReadMMF(N)
//     bytes N       -> says the hex of the area's first N bytes
//     quit
#include <algorithm>
#include <string>

#include "mmf/cMMF.h"
#include "tests/child/child_commands.h"
#include "tests/support/hex.h"

namespace {

int area(const std::vector<std::string>& args) {
  if (args.size() != 2) return 2;
  cMMF m;
  const std::int32_t index =
      m.AddMMFItem(mmfcast::platform::from_ansi(args[0]), std::stoi(args[1]));
  child::say("open " + std::to_string(m.OpenMMF(index)));
  std::string line;
  while (child::hear(line)) {
    const auto space = line.find(' ');
    const std::string verb = line.substr(0, space);
    const std::string arg = space == std::string::npos ? "" : line.substr(space + 1);
    if (verb == "write") {
      child::say(std::to_string(m.WriteMMF(index, testsupport::from_hex16(arg))));
    } else if (verb == "read") {
      child::say(testsupport::to_hex16(m.ReadMMF(index, std::stoi(arg))));
    } else if (verb == "bytes") {
      MMFItem item;
      m.GetMMFItem(index, item);
      const auto n =
          std::min<std::size_t>(std::stoul(arg), mmfcast::platform::view_size(item.lpMapView));
      child::say(testsupport::to_hex8(
          std::string_view(reinterpret_cast<const char*>(item.lpMapView), item.lpMapView ? n : 0)));
    } else if (verb == "quit") {
      return 0;
    } else {
      return 3;
    }
  }
  return 0;
}

const child::Registration registered("area", area);

}  // namespace
