// What the bridge to an MQTT broker reads before it connects (the broker's URL, a settings file
// for a service) and what it checks in each message of other bridges (their origin and sequence
// number). Pure functions and one bounded table, so that each rule is tested without a broker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace cli::mqtt {

// mqtt://[USER[:PASSWORD]@]HOST[:PORT][/TOPIC], or mqtts:// for TLS. %XX escapes are decoded in
// the user, the password and the topic.
struct BrokerUrl {
  bool tls = false;
  std::string host;
  int port = 0;       // 1883, or 8883 with TLS, when the URL names none
  std::string topic;  // "" when the URL names none
  std::optional<std::string> username;
  std::optional<std::string> password;
};

// "" and the URL's parts, or why the URL cannot be used.
std::string parse_broker_url(std::string_view url, BrokerUrl& parsed);

// Why a topic cannot carry the channel's lines ("" when it can): empty, a wildcard (+ or #) or
// a byte 0 in it, or longer than MQTT allows.
std::string topic_problem(std::string_view topic);

// What a settings file may give; the command line's choice wins over each.
struct SettingsFile {
  std::optional<std::string> url;
  std::optional<std::string> channel;
  std::optional<std::string> username;
  std::optional<std::string> password;
  std::optional<std::string> cafile;
  std::optional<std::string> cert;
  std::optional<std::string> key;
};

// Reads "key = value" lines (url, channel, username, password, cafile, cert, key); blank lines
// and lines starting with # are passed over, spaces around the key and the value dropped. ""
// or why not, naming the line.
std::string parse_settings(std::string_view text, SettingsFile& settings);

// The user properties a bridge puts on each message it publishes.
inline constexpr char kOriginProperty[] = "origin";
inline constexpr char kSequenceProperty[] = "seq";
inline constexpr std::size_t kMaxOriginBytes = 64;

// The sequence number in a seq property: decimal digits, 1 or more; nullopt when malformed.
std::optional<std::uint64_t> parse_sequence(std::string_view value);

// The last sequence number taken from each origin, for at most max_origins origins (the
// oldest seen is forgotten first: an origin's messages come from one untrusted broker).
class OriginSequences {
 public:
  explicit OriginSequences(std::size_t max_origins = 4096) : max_origins_(max_origins) {}
  // Whether message `sequence` of `origin` is new: above the last one taken from that origin.
  // When it is, `skipped` is how many numbers between the two never came (0 for the first
  // message heard from an origin).
  bool take(const std::string& origin, std::uint64_t sequence, std::uint64_t& skipped);

 private:
  std::size_t max_origins_;
  std::unordered_map<std::string, std::uint64_t> last_;
  std::deque<std::string> order_;  // origins in the order first heard
};

}  // namespace cli::mqtt
