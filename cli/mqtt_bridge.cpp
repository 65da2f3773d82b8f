// bridge --mqtt (Linux): joins this session's channel and one topic of an MQTT broker. Each line
// heard here is published there (MQTT 5, QoS 1, the text's UTF-8 bytes, user properties origin
// and seq), inside its sender's delivery, so the sender learns whether the broker took it; each
// message on the topic from elsewhere is sent here. The bridges of other sessions, on this
// machine or others, do the same, so each such session hears every other one's lines.
// libmosquitto's own thread runs the connection (and reconnects); this thread runs the channel.
#include <fcntl.h>
#include <mqtt_protocol.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <unordered_map>
#include <utility>

#include "cli/commands.h"
#include "cli/mosquitto_library.h"
#include "cli/mqtt_settings.h"
#include "mmf/channel.h"
#include "platform/platform.h"

namespace cli {
namespace {

using Clock = std::chrono::steady_clock;

// Lines published and not yet accepted by the broker (while it is away) are kept up to these
// bounds; past them a line is refused.
constexpr std::size_t kMaxKeptLines = 1024;
constexpr std::size_t kMaxKeptBytes = std::size_t{16} << 20;
// Lines from the broker not yet sent here (many sessions may publish at once, and each line
// here waits for this session's copies) are kept up to these; past them they are dropped.
constexpr std::size_t kMaxIncomingLines = 65536;
constexpr std::size_t kMaxIncomingBytes = std::size_t{64} << 20;
// Lines from the broker are sent here in runs while this session sends too. Each send takes
// the session's send lock, and a copy waiting for that lock (a local sender) is woken only once
// the holder's run of holds has lasted 2 ms: a bridge that took the lock for each line as it
// came would cost a busy local sender up to 2 ms for each line relayed, and both directions
// would crawl. So while lines of this session came within kQuietTime, a line from the broker
// waits up to kGatherTime for the ones behind it, and they are sent back to back; otherwise,
// or once kGatherLines wait, they go at once.
constexpr std::chrono::milliseconds kGatherTime{10};
constexpr std::chrono::milliseconds kQuietTime{20};
constexpr std::size_t kGatherLines = 32;
// How long the bridge's thread sleeps at most when nothing happens (it then looks for a signal).
constexpr std::chrono::milliseconds kIdleWait{100};
constexpr int kKeepAliveSeconds = 30;
// What the broker keeps of this bridge's subscription while the connection is down.
constexpr std::uint32_t kSessionExpirySeconds = 300;
constexpr char kSystemCaDirectory[] = "/etc/ssl/certs";
// The largest settings file read.
constexpr std::size_t kMaxSettingsBytes = std::size_t{64} * 1024;

struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int given) : fd(given) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

struct PropertiesFree {
  decltype(&::mosquitto_property_free_all) free_all = nullptr;
  void operator()(mosquitto_property* list) const { free_all(&list); }
};
using Properties = std::unique_ptr<mosquitto_property, PropertiesFree>;

struct MosquittoDestroy {
  decltype(&::mosquitto_destroy) destroy = nullptr;
  void operator()(mosquitto* client) const { destroy(client); }
};

// What the bridge uses, once the command line, the URL and the settings file are put together.
struct Settings {
  mqtt::BrokerUrl url;
  std::optional<std::string> username, password, cafile, cert, key;
  ChannelChoice channel;
  std::string where;  // mqtt://HOST:PORT/TOPIC, without the login, for messages
};

// Puts the settings together: the command line first, then the URL's login, then the file.
// kOk, or says why not and gives the exit code.
int resolve(const BridgeOptions& given, Settings& out) {
  mqtt::SettingsFile file;
  if (given.mqtt.settings_file) {
    std::ifstream in(*given.mqtt.settings_file, std::ios::binary);
    std::string text(kMaxSettingsBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad() || (!in && in.gcount() == 0 && !in.eof())) {
      fail("bridge: cannot read " + *given.mqtt.settings_file + ": " + std::strerror(errno));
      return kBadArguments;
    }
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.size() > kMaxSettingsBytes) {
      fail("bridge: " + *given.mqtt.settings_file + " is longer than 64 KiB");
      return kBadArguments;
    }
    if (const std::string why = mqtt::parse_settings(text, file); !why.empty()) {
      fail("bridge: " + *given.mqtt.settings_file + ": " + why);
      return kBadArguments;
    }
  }
  const std::optional<std::string> url = given.mqtt.url ? given.mqtt.url : file.url;
  if (!url) {
    fail("bridge: no broker: give --mqtt URL, or url = in the --config file");
    return kBadArguments;
  }
  if (const std::string why = mqtt::parse_broker_url(*url, out.url); !why.empty()) {
    fail("bridge: --mqtt " + *url + ": " + why);
    return kBadArguments;
  }
  const auto first = [](const std::optional<std::string>& a, const std::optional<std::string>& b,
                        const std::optional<std::string>& c = std::nullopt) {
    return a ? a : b ? b : c;
  };
  out.username = first(given.mqtt.username, out.url.username, file.username);
  out.password = first(given.mqtt.password, out.url.password, file.password);
  out.cafile = first(given.mqtt.cafile, file.cafile);
  out.cert = first(given.mqtt.cert, file.cert);
  out.key = first(given.mqtt.key, file.key);
  if (out.cert.has_value() != out.key.has_value()) {
    fail("bridge: a client certificate needs both --cert and --key");
    return kBadArguments;
  }
  if ((out.cafile || out.cert) && !out.url.tls) {
    fail("bridge: --cafile, --cert and --key need an mqtts:// URL");
    return kBadArguments;
  }
  out.channel = given.channel;
  if (!out.channel.name) out.channel.name = file.channel;
  if (out.url.topic.empty()) {
    out.url.topic = "mmfcast/" + out.channel.name.value_or(mmfcast::kDesktopChannelName);
    if (const std::string why = mqtt::topic_problem(out.url.topic); !why.empty()) {
      fail("bridge: the channel's name makes no topic (" + why + "); name one in the URL");
      return kBadArguments;
    }
  }
  const bool ipv6 = out.url.host.find(':') != std::string::npos;
  out.where = std::string(out.url.tls ? "mqtts://" : "mqtt://") + (ipv6 ? "[" : "") + out.url.host +
              (ipv6 ? "]" : "") + ":" + std::to_string(out.url.port) + "/" + out.url.topic;
  return kOk;
}

// The session directory the joined channel uses (see the transport's session_dir_path).
std::string session_directory() {
  if (const char* own = std::getenv("MMFCAST_SESSION_DIR"); own != nullptr && *own != '\0') {
    return own;
  }
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime == '/') {
    return std::string(runtime) + "/mmfcast";
  }
  return "/tmp/mmfcast-" + std::to_string(::geteuid());
}

// Takes the session's lock for the channel's bridge to a broker, held until the bridge exits.
// Two such bridges in one session would hear each other's sends and publish each line twice,
// and, on two topics, carry lines in a circle. -1 and why when it is held or cannot be made.
int lock_session(const std::string& channel_name, std::string& why) {
  std::uint64_t hash = 14695981039346656037u;  // FNV-1a: the file's name stays short and fixed
  for (const char c : channel_name) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211u;
  char name[64];
  std::snprintf(name, sizeof name, "/.mqtt-bridge-%016llx.lock",
                static_cast<unsigned long long>(hash));
  const std::string path = session_directory() + name;
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    why = "cannot make the bridge's lock " + path + ": " + std::strerror(errno);
    return -1;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    why = errno == EWOULDBLOCK ? "another bridge to a broker relays channel " + channel_name +
                                     " of this session already (it holds " + path + ")"
                               : "cannot lock " + path + ": " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

// CONNACK reasons that another attempt would meet again: the bridge ends on them.
bool login_refused(int reason) {
  return reason == MQTT_RC_BAD_USERNAME_OR_PASSWORD || reason == MQTT_RC_NOT_AUTHORIZED ||
         reason == MQTT_RC_BANNED || reason == MQTT_RC_BAD_AUTHENTICATION_METHOD ||
         reason == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION || reason == MQTT_RC_CLIENTID_NOT_VALID;
}

std::string random_origin() {
  std::random_device device;
  const std::uint64_t value = (std::uint64_t{device()} << 32) ^ device();
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

class MqttBridge {
 public:
  MqttBridge(Settings settings, const MosquittoLibrary& library)
      : lib_(library),
        s_(std::move(settings)),
        origin_(random_origin()),
        client_(nullptr, {library.mosquitto_destroy}),
        wake_(::eventfd(0, EFD_CLOEXEC)) {}
  int run();

 private:
  int connect();
  void disconnect();
  // libmosquitto's thread.
  void connected(int reason);
  void subscribed(int qos);
  void disconnected(int reason);
  void published(int mid, int reason);
  void arrived(const mosquitto_message& message, const mosquitto_property* properties);
  void logged(int level, const char* text);
  // This thread.
  void heard_here(const std::string& text);
  void refuse(const std::string& why);
  void relay_to_here();
  std::optional<Clock::duration> relay_due();
  void wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t wrote = ::write(wake_.fd, &one, sizeof one);
  }

  const MosquittoLibrary& lib_;
  Settings s_;
  const std::string origin_;
  std::uint64_t sequence_ = 0;
  std::unique_ptr<mmfcast::Channel> channel_;
  std::unique_ptr<mosquitto, MosquittoDestroy> client_;
  Fd wake_;
  mqtt::OriginSequences sequences_;  // libmosquitto's thread only
  bool full_told_ = false;           // this thread: a refusal for want of room was said

  std::mutex mutex_;
  std::condition_variable changed_;
  bool connected_ = false;  // the broker acknowledged the connection
  bool ever_relayed_ = false;
  bool away_told_ = false;      // the broker's absence was said, and its return is not yet
  std::string fatal_;           // why the bridge ends
  std::string last_error_;      // the library's latest error, for a TLS failure's reason
  std::size_t kept_lines_ = 0;  // published, not yet accepted by the broker
  std::size_t kept_bytes_ = 0;
  std::unordered_map<int, std::size_t> in_flight_;  // message id: its bytes
  std::unordered_map<int, int> early_;  // PUBACK reasons that came before publish() returned
  int awaited_ = 0;                     // the message id a sender waits for
  std::optional<int> awaited_reason_;
  std::deque<std::string> incoming_;  // from the broker, for this session
  Clock::time_point incoming_since_;  // when the first line in incoming_ came
  std::size_t incoming_bytes_ = 0;
  std::uint64_t incoming_dropped_ = 0;
  Clock::time_point last_heard_;  // this thread: when a line of this session last came
};

void MqttBridge::logged(int level, const char* text) {
  if (level != MOSQ_LOG_ERR || text == nullptr) return;
  std::lock_guard lock(mutex_);
  last_error_ = text;
  // A TLS handshake that fails is seen only here; before the first connection it ends the
  // bridge, as a broker that cannot be trusted would not become so on the next attempt.
  if (!ever_relayed_ && fatal_.empty() && last_error_.find("OpenSSL") != std::string::npos) {
    fatal_ = "the TLS handshake with " + s_.where + " failed: " + last_error_;
    wake();
  }
}

void MqttBridge::connected(int reason) {
  if (reason == 0) {
    const int rc = lib_.mosquitto_subscribe_v5(client_.get(), nullptr, s_.url.topic.c_str(), 1,
                                               MQTT_SUB_OPT_NO_LOCAL, nullptr);
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN) {
      std::lock_guard lock(mutex_);
      fatal_ = std::string("cannot subscribe to ") + s_.where + ": " + lib_.mosquitto_strerror(rc);
      wake();
    }
    return;
  }
  std::lock_guard lock(mutex_);
  if (login_refused(reason)) {
    if (fatal_.empty()) {
      fatal_ = std::string("the broker at ") + s_.where +
               " refused the login: " + lib_.mosquitto_reason_string(reason);
    }
    wake();
  } else if (!away_told_) {
    away_told_ = true;
    fail(std::string("bridge: the broker at ") + s_.where + " refused the connection for now: " +
         lib_.mosquitto_reason_string(reason) + "; trying again");
  }
}

void MqttBridge::subscribed(int qos) {
  std::lock_guard lock(mutex_);
  if (qos >= 0x80) {
    if (fatal_.empty()) {
      fatal_ = "the broker at " + s_.where +
               " refused the subscription: " + lib_.mosquitto_reason_string(qos);
    }
    wake();
    return;
  }
  connected_ = true;
  if (!ever_relayed_) {
    ever_relayed_ = true;
    fail("bridge: relaying " + channel_->options().name + " between this session and " + s_.where +
         " (origin " + origin_ + ")");
  } else if (away_told_) {
    fail("bridge: connected to " + s_.where + " again" +
         (kept_lines_ > 0 ? "; " + std::to_string(kept_lines_) +
                                " line(s) from this session kept for it go to it now"
                          : std::string()));
  }
  away_told_ = false;
  changed_.notify_all();
}

void MqttBridge::disconnected(int reason) {
  std::lock_guard lock(mutex_);
  connected_ = false;
  changed_.notify_all();
  if (reason == 0 || away_told_ || !fatal_.empty()) return;  // asked for, or said already
  away_told_ = true;
  fail("bridge: lost the broker at " + s_.where + " (" + lib_.mosquitto_strerror(reason) +
       "); connecting again, and keeping up to " + std::to_string(kMaxKeptLines) +
       " lines from this session for it meanwhile");
}

void MqttBridge::published(int mid, int reason) {
  std::lock_guard lock(mutex_);
  if (kept_lines_ > 0) --kept_lines_;
  if (const auto found = in_flight_.find(mid); found != in_flight_.end()) {
    kept_bytes_ -= std::min(kept_bytes_, found->second);
    in_flight_.erase(found);
    if (mid == awaited_) {
      awaited_reason_ = reason;
      changed_.notify_all();
    } else if (reason >= 0x80) {
      fail(std::string("bridge: the broker refused a line from this session: ") +
           lib_.mosquitto_reason_string(reason));
    }
  } else if (early_.size() < kMaxKeptLines) {
    early_[mid] = reason;
  }
}

// A message from the broker: dropped when it is this bridge's own or one already taken from
// its origin; kept for this thread otherwise, within the bounds.
void MqttBridge::arrived(const mosquitto_message& message, const mosquitto_property* properties) {
  std::optional<std::string> origin;
  std::optional<std::string> sequence;
  const mosquitto_property* at = properties;
  for (bool skip = false;; skip = true) {
    char* name = nullptr;
    char* value = nullptr;
    at = lib_.mosquitto_property_read_string_pair(at, MQTT_PROP_USER_PROPERTY, &name, &value, skip);
    if (at == nullptr) break;
    if (std::strcmp(name, mqtt::kOriginProperty) == 0) origin = value;
    if (std::strcmp(name, mqtt::kSequenceProperty) == 0) sequence = value;
    std::free(name);
    std::free(value);
  }
  if (origin && *origin == origin_) return;
  if (origin || sequence) {
    // 0 stands for none: a sequence number is positive.
    const std::uint64_t number =
        sequence ? mqtt::parse_sequence(*sequence).value_or(0) : std::uint64_t{0};
    if (!origin || origin->empty() || origin->size() > mqtt::kMaxOriginBytes || number == 0) {
      fail(
          "bridge: a message from the broker was not relayed: its origin and seq properties "
          "are malformed");
      return;
    }
    std::uint64_t skipped = 0;
    if (!sequences_.take(*origin, number, skipped)) return;
    if (skipped > 0) {
      fail("bridge: " + std::to_string(skipped) + " line(s) from bridge " + *origin +
           " never arrived (the ones before its line " + std::to_string(number) + ")");
    }
  }
  const auto size = static_cast<std::size_t>(std::max(message.payloadlen, 0));
  std::lock_guard lock(mutex_);
  if (incoming_.size() >= kMaxIncomingLines || incoming_bytes_ + size > kMaxIncomingBytes) {
    if (incoming_dropped_++ == 0) {
      fail("bridge: lines from the broker are dropped: " + std::to_string(incoming_.size()) +
           " wait to be sent in this session already");
    }
    return;
  }
  if (incoming_.empty()) incoming_since_ = Clock::now();
  incoming_.emplace_back(static_cast<const char*>(message.payload), size);
  incoming_bytes_ += size;
  wake();
}

// Says on stderr, and to the sender, why a line of this session did not go to the broker.
void MqttBridge::refuse(const std::string& why) {
  fail("bridge: a line from this session was not relayed to " + s_.where + ": " + why);
  channel_->answer(1, "the bridge to " + s_.where + ": " + why);
}

// A line of this session, inside its sender's delivery: published, and the sender answered
// once the broker has accepted it, or relay_wait_ms() have passed, or the broker is away (the line
// is then kept and published when it is back).
void MqttBridge::heard_here(const std::string& text) {
  last_heard_ = Clock::now();
  {
    std::lock_guard lock(mutex_);
    if (kept_lines_ >= kMaxKeptLines || kept_bytes_ + text.size() > kMaxKeptBytes) {
      const std::string why = std::to_string(kept_lines_) + " lines (" +
                              std::to_string(kept_bytes_) + " bytes) wait for the broker already";
      if (!full_told_) fail("bridge: lines from this session are refused: " + why);
      full_told_ = true;
      channel_->answer(1, "the bridge to " + s_.where + ": " + why);
      return;
    }
    ++kept_lines_;
    kept_bytes_ += text.size();
  }
  full_told_ = false;
  mosquitto_property* list = nullptr;
  const std::string sequence = std::to_string(++sequence_);
  lib_.mosquitto_property_add_byte(&list, MQTT_PROP_PAYLOAD_FORMAT_INDICATOR, 1);
  lib_.mosquitto_property_add_string_pair(&list, MQTT_PROP_USER_PROPERTY, mqtt::kOriginProperty,
                                          origin_.c_str());
  lib_.mosquitto_property_add_string_pair(&list, MQTT_PROP_USER_PROPERTY, mqtt::kSequenceProperty,
                                          sequence.c_str());
  const Properties properties(list, {lib_.mosquitto_property_free_all});
  int mid = 0;
  const int rc = lib_.mosquitto_publish_v5(client_.get(), &mid, s_.url.topic.c_str(),
                                           static_cast<int>(text.size()), text.data(), 1, false,
                                           properties.get());
  std::unique_lock lock(mutex_);
  if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN) {
    --kept_lines_;
    kept_bytes_ -= text.size();
    lock.unlock();
    refuse(lib_.mosquitto_strerror(rc));
    return;
  }
  std::optional<int> reason;
  if (const auto found = early_.find(mid); found != early_.end()) {
    reason = found->second;
    early_.erase(found);
    kept_bytes_ -= std::min(kept_bytes_, text.size());
  } else {
    in_flight_[mid] = text.size();
    if (connected_ && rc == MOSQ_ERR_SUCCESS) {
      awaited_ = mid;
      awaited_reason_.reset();
      changed_.wait_until(lock, Clock::now() + std::chrono::milliseconds(relay_wait_ms()),
                          [&] { return awaited_reason_.has_value() || !connected_; });
      reason = std::exchange(awaited_reason_, std::nullopt);
      awaited_ = 0;
    }
  }
  const bool away = !connected_;
  lock.unlock();
  if (!reason) {
    // Not said on stderr: the broker's absence is said once, and a slow broker is no fault of
    // the line's. The line stays with the library, which publishes it when it can.
    channel_->answer(1, "the bridge to " + s_.where +
                            (away ? ": the broker is away; the line goes to it when it is back"
                                  : ": the broker had not accepted the line in time"));
  } else if (*reason >= 0x80) {
    refuse(std::string("the broker refused it: ") + lib_.mosquitto_reason_string(*reason));
  }
}

// How long until the lines from the broker are to be sent here (zero: now); none when there
// are none.
std::optional<Clock::duration> MqttBridge::relay_due() {
  std::lock_guard lock(mutex_);
  if (incoming_.empty()) return std::nullopt;
  const Clock::time_point now = Clock::now();
  if (incoming_.size() >= kGatherLines || now - last_heard_ >= kQuietTime) {
    return Clock::duration::zero();
  }
  return std::max(Clock::duration::zero(), incoming_since_ + kGatherTime - now);
}

// Sends here the lines from the broker, in the order they came; one that cannot be carried
// exactly is said and passed over.
void MqttBridge::relay_to_here() {
  for (;;) {
    std::string text;
    {
      std::lock_guard lock(mutex_);
      if (incoming_dropped_ > 0 && incoming_.empty()) {
        fail("bridge: " + std::to_string(incoming_dropped_) +
             " line(s) from the broker were dropped: this session took them too slowly");
        incoming_dropped_ = 0;
      }
      if (incoming_.empty()) return;
      text = std::move(incoming_.front());
      incoming_.pop_front();
      incoming_bytes_ -= text.size();
    }
    std::string why;
    std::u16string decoded;
    if (const std::size_t zero = text.find('\0'); zero != std::string::npos) {
      why = "a byte 0 at offset " + std::to_string(zero) + " would end the text there";
    } else if (text.empty()) {
      why = "it is empty";
    } else {
      why = mmfcast::platform::decode_exact(text, decoded, mmfcast::platform::kUtf8CodePage);
      if (why.empty()) why = text_problem(decoded);
    }
    if (!why.empty()) {
      fail("bridge: a line from the broker was not relayed: " + why);
      continue;
    }
    const mmfcast::SendResult sent = channel_->send(decoded);
    if (sent == mmfcast::SendResult::kTooLong) {
      fail("bridge: a line from the broker was not relayed: longer than the " +
           std::to_string(channel_->max_text_bytes()) + " bytes this session's area holds");
    } else if (sent != mmfcast::SendResult::kSent) {
      fail("bridge: a line from the broker: " + channel_->error());
    }
  }
}

// Sets up the client and starts connecting; kOk, or says why not and gives the exit code.
int MqttBridge::connect() {
  client_.reset(lib_.mosquitto_new(("mmfcast-" + origin_).c_str(), false, this));
  if (!client_ || wake_.fd < 0) {
    fail("bridge: cannot make the broker's client: " + std::string(std::strerror(errno)));
    return kInternalError;
  }
  mosquitto* client = client_.get();
  lib_.mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  // Each line waits for its PUBACK: small packets go out at once, not after the peer's ACK.
  lib_.mosquitto_int_option(client, MOSQ_OPT_TCP_NODELAY, 1);
  if (s_.username || s_.password) {
    lib_.mosquitto_username_pw_set(client, s_.username ? s_.username->c_str() : "",
                                   s_.password ? s_.password->c_str() : nullptr);
  }
  if (s_.url.tls) {
    // Without --cafile the system's CAs vouch for the broker (Debian keeps them here).
    const int rc = lib_.mosquitto_tls_set(
        client, s_.cafile ? s_.cafile->c_str() : nullptr, s_.cafile ? nullptr : kSystemCaDirectory,
        s_.cert ? s_.cert->c_str() : nullptr, s_.key ? s_.key->c_str() : nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      fail(std::string("bridge: cannot use the TLS files given (--cafile, --cert, --key): ") +
           lib_.mosquitto_strerror(rc));
      return kBridgeCannotStart;
    }
  }
  lib_.mosquitto_reconnect_delay_set(client, 1, 30, true);
  lib_.mosquitto_connect_v5_callback_set(
      client, [](mosquitto*, void* self, int reason, int, const mosquitto_property*) {
        static_cast<MqttBridge*>(self)->connected(reason);
      });
  lib_.mosquitto_subscribe_v5_callback_set(
      client,
      [](mosquitto*, void* self, int, int count, const int* granted, const mosquitto_property*) {
        static_cast<MqttBridge*>(self)->subscribed(count > 0 ? granted[0] : 0x80);
      });
  lib_.mosquitto_disconnect_v5_callback_set(
      client, [](mosquitto*, void* self, int reason, const mosquitto_property*) {
        static_cast<MqttBridge*>(self)->disconnected(reason);
      });
  lib_.mosquitto_publish_v5_callback_set(
      client, [](mosquitto*, void* self, int mid, int reason, const mosquitto_property*) {
        static_cast<MqttBridge*>(self)->published(mid, reason);
      });
  lib_.mosquitto_message_v5_callback_set(
      client,
      [](mosquitto*, void* self, const mosquitto_message* m, const mosquitto_property* properties) {
        if (m != nullptr) static_cast<MqttBridge*>(self)->arrived(*m, properties);
      });
  lib_.mosquitto_log_callback_set(client, [](mosquitto*, void* self, int level, const char* text) {
    static_cast<MqttBridge*>(self)->logged(level, text);
  });

  mosquitto_property* list = nullptr;
  lib_.mosquitto_property_add_int32(&list, MQTT_PROP_SESSION_EXPIRY_INTERVAL,
                                    kSessionExpirySeconds);
  // The broker sends nothing larger, so a message is bounded before it is read.
  lib_.mosquitto_property_add_int32(&list, MQTT_PROP_MAXIMUM_PACKET_SIZE,
                                    static_cast<std::uint32_t>(mmfcast::kMaxAreaSize + 65536));
  const Properties properties(list, {lib_.mosquitto_property_free_all});
  const int rc = lib_.mosquitto_connect_bind_v5(client, s_.url.host.c_str(), s_.url.port,
                                                kKeepAliveSeconds, nullptr, properties.get());
  if (rc == MOSQ_ERR_TLS) {
    std::lock_guard lock(mutex_);
    fail("bridge: the TLS handshake with " + s_.where + " failed: " + last_error_);
    return kBridgeCannotStart;
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    std::lock_guard lock(mutex_);
    away_told_ = true;
    fail("bridge: cannot reach the broker at " + s_.where + ": " +
         (rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : lib_.mosquitto_strerror(rc)) +
         "; trying again");
  }
  if (const int started = lib_.mosquitto_loop_start(client); started != MOSQ_ERR_SUCCESS) {
    fail(std::string("bridge: cannot start the broker's client: ") +
         lib_.mosquitto_strerror(started));
    return kInternalError;
  }
  return kOk;
}

// Leaves the broker cleanly (it forgets this bridge's subscription) and stops the library's
// thread; says how many lines of this session it never accepted.
void MqttBridge::disconnect() {
  mosquitto_property* list = nullptr;
  lib_.mosquitto_property_add_int32(&list, MQTT_PROP_SESSION_EXPIRY_INTERVAL, 0);
  const Properties properties(list, {lib_.mosquitto_property_free_all});
  lib_.mosquitto_disconnect_v5(client_.get(), 0, properties.get());
  lib_.mosquitto_loop_stop(client_.get(), false);
  std::lock_guard lock(mutex_);
  if (kept_lines_ > 0) {
    fail("bridge: " + std::to_string(kept_lines_) +
         " line(s) from this session were not accepted by the broker before the bridge stopped");
  }
}

int MqttBridge::run() {
  if (const int code = join_for_relay(s_.channel, channel_); code != kOk) return code;
  std::string why;
  const Fd lock(lock_session(channel_->options().name, why));
  if (lock.fd < 0) {
    fail("bridge: " + why);
    return kBridgeCannotStart;
  }
  channel_->on_receive([this](const std::string& text) { heard_here(text); });
  if (const int code = connect(); code != kOk) return code;

  int code = kOk;
  while (code == kOk) {
    if (const int signal = stop_signal(); signal != 0) {
      code = 128 + signal;
      break;
    }
    std::optional<Clock::duration> due = relay_due();
    if (due && *due == Clock::duration::zero()) {
      relay_to_here();
      due = relay_due();
    }
    const auto wait_ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(due.value_or(kIdleWait)).count();
    const timespec timeout{static_cast<time_t>(wait_ns / 1000000000), wait_ns % 1000000000};
    pollfd fds[2] = {{channel_->event_fd(), POLLIN, 0}, {wake_.fd, POLLIN, 0}};
    if (::ppoll(fds, 2, &timeout, nullptr) < 0 && errno != EINTR) {
      fail(std::string("bridge: cannot wait: ") + std::strerror(errno));
      code = kInternalError;
      break;
    }
    if (fds[1].revents != 0) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t got = ::read(wake_.fd, &count, sizeof count);
    }
    if (fds[0].revents != 0 && channel_->dispatch(0) < 0) {
      fail(channel_->error());
      code = kNoSession;
      break;
    }
    {
      std::lock_guard guard(mutex_);
      if (!fatal_.empty()) {
        fail("bridge: " + fatal_);
        code = kBridgeCannotStart;
        break;
      }
    }
  }
  disconnect();
  relay_to_here();
  return code;
}

}  // namespace

int run_mqtt_bridge(const BridgeOptions& options) {
  Settings settings;
  if (const int code = resolve(options, settings); code != kOk) return code;
  MosquittoLibrary library;
  if (const std::string why = load_mosquitto(library); !why.empty()) {
    fail("bridge: " + why);
    return kBridgeCannotStart;
  }
  catch_stop_signals();
  library.mosquitto_lib_init();
  int code = kOk;
  {
    MqttBridge bridge(std::move(settings), library);
    code = bridge.run();
  }
  library.mosquitto_lib_cleanup();
  return code;
}

}  // namespace cli
