// The broker's URL, the settings file and the origins' sequence numbers (see mqtt_settings.h).
#include "cli/mqtt_settings.h"

#include <charconv>

namespace cli::mqtt {
namespace {

// The largest topic MQTT carries: its length travels in two bytes.
constexpr std::size_t kMaxTopicBytes = 65535;

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// `part` with each %XX decoded; nullopt when a % is not followed by two hex digits.
std::optional<std::string> percent_decoded(std::string_view part) {
  std::string out;
  for (std::size_t i = 0; i < part.size(); ++i) {
    if (part[i] != '%') {
      out += part[i];
      continue;
    }
    if (i + 2 >= part.size()) return std::nullopt;
    const int high = hex_digit(part[i + 1]);
    const int low = hex_digit(part[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

}  // namespace

std::string parse_broker_url(std::string_view url, BrokerUrl& parsed) {
  parsed = BrokerUrl{};
  if (url.rfind("mqtt://", 0) == 0) {
    url.remove_prefix(7);
  } else if (url.rfind("mqtts://", 0) == 0) {
    parsed.tls = true;
    url.remove_prefix(8);
  } else {
    return "the broker's URL must start with mqtt:// or mqtts://";
  }
  std::string_view authority = url.substr(0, url.find('/'));
  if (authority.size() < url.size()) {
    const auto topic = percent_decoded(url.substr(authority.size() + 1));
    if (!topic) return "the topic holds a % that is not followed by two hex digits";
    parsed.topic = *topic;
    if (!parsed.topic.empty()) {
      if (std::string why = topic_problem(parsed.topic); !why.empty()) return why;
    }
  }
  if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
    const std::string_view user_info = authority.substr(0, at);
    authority.remove_prefix(at + 1);
    const auto colon = user_info.find(':');
    const auto user = percent_decoded(user_info.substr(0, colon));
    if (!user) return "the user name holds a % that is not followed by two hex digits";
    parsed.username = *user;
    if (colon != std::string_view::npos) {
      const auto password = percent_decoded(user_info.substr(colon + 1));
      if (!password) return "the password holds a % that is not followed by two hex digits";
      parsed.password = *password;
    }
  }
  std::string_view port;
  if (!authority.empty() && authority.front() == '[') {
    const auto close = authority.find(']');
    if (close == std::string_view::npos) return "the host's [ has no ]";
    parsed.host = authority.substr(1, close - 1);
    const std::string_view rest = authority.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') return "only :PORT may follow the host's ]";
    if (!rest.empty()) port = rest.substr(1);
    if (rest.size() == 1) return "the URL has a : but no port";
  } else {
    const auto colon = authority.find(':');
    parsed.host = authority.substr(0, colon);
    if (colon != std::string_view::npos) {
      port = authority.substr(colon + 1);
      if (port.empty()) return "the URL has a : but no port";
    }
  }
  if (parsed.host.empty()) return "the URL names no host";
  parsed.port = parsed.tls ? 8883 : 1883;
  if (!port.empty()) {
    int number = 0;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
    if (error != std::errc() || end != port.data() + port.size() || number < 1 || number > 65535) {
      return "the port " + std::string(port) + " is not a number from 1 to 65535";
    }
    parsed.port = number;
  }
  return {};
}

std::string topic_problem(std::string_view topic) {
  if (topic.empty()) return "the topic is empty";
  if (topic.size() > kMaxTopicBytes) return "the topic is longer than MQTT's 65,535 bytes";
  if (topic.find_first_of("+#") != std::string_view::npos) {
    return "the topic " + std::string(topic) + " holds a wildcard (+ or #); lines go to one topic";
  }
  if (topic.find('\0') != std::string_view::npos) return "the topic holds a byte 0";
  return {};
}

std::string parse_settings(std::string_view text, SettingsFile& settings) {
  int number = 0;
  while (!text.empty()) {
    ++number;
    const auto end = text.find('\n');
    const std::string_view line = trimmed(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty() || line.front() == '#') continue;
    const auto equals = line.find('=');
    const std::string where = "line " + std::to_string(number) + ": ";
    if (equals == std::string_view::npos) return where + "not of the form key = value";
    const std::string_view key = trimmed(line.substr(0, equals));
    std::string value(trimmed(line.substr(equals + 1)));
    std::optional<std::string>* field = key == "url"        ? &settings.url
                                        : key == "channel"  ? &settings.channel
                                        : key == "username" ? &settings.username
                                        : key == "password" ? &settings.password
                                        : key == "cafile"   ? &settings.cafile
                                        : key == "cert"     ? &settings.cert
                                        : key == "key"      ? &settings.key
                                                            : nullptr;
    if (field == nullptr) {
      return where + "unknown key " + std::string(key) +
             " (the keys are url, channel, username, password, cafile, cert and key)";
    }
    *field = std::move(value);
  }
  return {};
}

std::optional<std::uint64_t> parse_sequence(std::string_view value) {
  std::uint64_t number = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (value.empty() || error != std::errc() || end != value.data() + value.size() || number == 0) {
    return std::nullopt;
  }
  return number;
}

bool OriginSequences::take(const std::string& origin, std::uint64_t sequence,
                           std::uint64_t& skipped) {
  skipped = 0;
  const auto found = last_.find(origin);
  if (found != last_.end()) {
    if (sequence <= found->second) return false;
    skipped = sequence - found->second - 1;
    found->second = sequence;
    return true;
  }
  if (last_.size() >= max_origins_ && !order_.empty()) {
    last_.erase(order_.front());
    order_.pop_front();
  }
  last_.emplace(origin, sequence);
  order_.push_back(origin);
  return true;
}

}  // namespace cli::mqtt
