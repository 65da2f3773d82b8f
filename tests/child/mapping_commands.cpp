// Helper commands for the mapping tests: a process that holds a named area through cMMF and
// writes, reads or dumps it on request, so tests can watch an area from a second process and
// end its holder normally or by force.
#include <algorithm>
#include <cstdio>
#include <string>

#include "mmf/cMMF.h"
#include "tests/child/child_commands.h"

namespace {

std::string hex(const unsigned char* bytes, std::size_t n) {
  std::string out;
  char two[3];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(two, sizeof two, "%02x", bytes[i]);
    out += two;
  }
  return out;
}

// hold NAME SIZE: opens or creates the area through cMMF, says "ready" (or "failed" and ends
// with 1), then serves lines from stdin until "quit" or end of input:
//   write TEXT  stores TEXT with WriteMMF and says "wrote <result>"
//   read N      says what ReadMMF(N) returns, without its padding of characters of code 0
//   dump N      says the first N bytes of the view (at most its size) in hex
//   size        says the view's size
int hold(const std::vector<std::string>& args) {
  if (args.size() != 2) {
    child::say("usage: hold NAME SIZE");
    return 2;
  }
  cMMF mmf;
  const std::int32_t index = mmf.AddMMFItem(platform::from_ansi(args[0]), std::stoi(args[1]));
  if (index == 0 || mmf.OpenMMF(index) != 1) {
    child::say("failed");
    return 1;
  }
  MMFItem item;
  mmf.GetMMFItem(index, item);
  const std::size_t size = platform::view_size(item.lpMapView);
  child::say("ready");
  std::string line;
  while (child::hear(line)) {
    const auto space = line.find(' ');
    const std::string verb = line.substr(0, space);
    const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
    if (verb == "quit") return 0;
    if (verb == "write") {
      child::say("wrote " + std::to_string(mmf.WriteMMF(index, platform::from_ansi(rest))));
    } else if (verb == "read") {
      std::u16string text = mmf.ReadMMF(index, std::stoi(rest));
      text.erase(std::find(text.begin(), text.end(), u'\0'), text.end());
      child::say(platform::to_ansi(text));
    } else if (verb == "dump") {
      const std::size_t n = std::min<std::size_t>(std::stoul(rest), size);
      child::say(hex(reinterpret_cast<const unsigned char*>(item.lpMapView), n));
    } else if (verb == "size") {
      child::say(std::to_string(size));
    } else {
      child::say("unknown " + verb);
    }
  }
  return 0;
}

const child::Registration kHold("hold", hold);

}  // namespace
