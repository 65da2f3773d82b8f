// The endpoints a session directory holds, for tests that look at or talk to them directly.
#pragma once

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/transport/frame.h"

namespace testsupport {

// The published endpoint sockets in dir ("peer-<id>.sock"), full paths, sorted.
inline std::vector<std::string> endpoint_sockets(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    const auto name = mmfcast::platform::os::parse_endpoint_name(entry.path().filename().string());
    if (name && name->file == mmfcast::platform::os::EndpointFile::kSocket) {
      out.push_back(entry.path().string());
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Waits up to `timeout` until dir holds at least `count` endpoint sockets.
inline bool wait_for_endpoints(const std::string& dir, std::size_t count,
                               std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  while (endpoint_sockets(dir).size() < count) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace testsupport
