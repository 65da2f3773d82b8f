// The command-line companion's two commands and their exit codes. Each command joins the same
// channel a window joins (the message "MyPubMessage" and the 4096-byte area "MyPubMemory"),
// unless it is given another channel's name and area size.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mmfcast {
class Channel;
struct ChannelOptions;
}  // namespace mmfcast

namespace cli {

enum ExitCode : int {
  kOk = 0,
  kTimedOut = 1,      // listen: nothing arrived within the idle time allowed
  kBadArguments = 2,  // also: send was given an empty text
  kNoSession = 3,     // no usable session (directory missing, unsafe or unwritable); listen:
                      // also when it becomes so while listening, so no copy can reach it
  kAreaUnusable = 4,  // the shared area could not be opened
  kBroadcastFailed = 5,
  kTooLong = 6,         // send: the text does not fit the area and --truncate was not given
  kOutputFailed = 7,    // listen: standard output is closed or a write to it failed
  kLinesSkipped = 8,    // send -: one or more lines did not fit and were skipped; the rest went
  kTextRefused = 9,     // send: a text (send -: one or more lines, skipped; the rest went) was
                        // not sent because it cannot arrive exactly: it holds a zero byte, bytes
                        // that are not UTF-8 (or not of the input's code page), or characters
                        // the session's code page has no form for
  kInputFailed = 10,    // send -: reading standard input failed; the lines before went
  kInternalError = 70,  // an unexpected failure, such as running out of memory
  kInterrupted = 130,   // listen: ended by SIGINT (128 + the signal's number)
  kTerminated = 143,    // listen: ended by SIGTERM

  // bridge: no Wine, no prefix or no Windows agent to start, another bridge for the prefix and
  // channel, or the agent ended again and again before it joined its channel; with a broker:
  // another bridge for the session and channel, libmosquitto could not be loaded, or the broker
  // refused the login or the TLS handshake
  kBridgeCannotStart = 11,
};

// Which channel a command joins.
struct ChannelChoice {
  std::optional<std::string> name;  // none for the desktop program's channel
  std::size_t area_size = 0;        // 0 for the default size
  std::string session_dir;          // when not empty, the session directory to use
};

// Words, the channel's name and every other argument are UTF-8 (on Windows the command line's
// UTF-16 converted). Standard input is read as UTF-8 on Linux; on Windows in the console's
// input code page, or as UTF-8 when utf8_input is set.
struct SendOptions {
  std::vector<std::string> words;  // joined by one space; a single "-" reads standard input
  bool truncate = false;
  bool utf8_input = false;
  ChannelChoice channel;
};

// How listen writes each text it hears.
enum class Framing {
  kLine,  // the text and a newline
  kNul,   // the text and a byte 0, so a text holding newlines stays one record
  kJson,  // one JSON object and a newline
};

struct ListenOptions {
  std::optional<long> count;      // exit after this many texts
  std::optional<double> timeout;  // seconds allowed with nothing arriving
  Framing framing = Framing::kLine;
  ChannelChoice channel;
};

// bridge --mqtt: the broker and how to log in; each unset one may come from the settings file.
struct MqttOptions {
  std::optional<std::string> url;  // mqtt[s]://[USER[:PASSWORD]@]HOST[:PORT][/TOPIC]
  std::optional<std::string> username;
  std::optional<std::string> password;
  std::optional<std::string> cafile;  // the CA certificates that vouch for the broker (mqtts)
  std::optional<std::string> cert;    // this client's certificate and its key
  std::optional<std::string> key;
  std::optional<std::string> settings_file;  // --config: key = value lines
};

// bridge (Linux): relays each line between this session's channel and the same channel in a
// Wine prefix, through an agent (mmfcast-cli.exe bridge-agent) it runs there; or, with an MQTT
// broker, a topic that the bridges of other sessions (on other machines) share.
struct BridgeOptions {
  std::string prefix;  // the Wine prefix; "" for a bridge to a broker
  std::string agent;   // the agent's .exe; "" for $MMFCAST_BRIDGE_AGENT, else next to this program
  MqttOptions mqtt;
  ChannelChoice channel;
};

int run_send(const SendOptions& options);
int run_listen(const ListenOptions& options);
int run_bridge(const BridgeOptions& options);
// The bridge to an MQTT broker (mqtt_bridge.cpp, or a stand-in that says the build lacks it).
int run_mqtt_bridge(const BridgeOptions& options);
// The agent's side: joins the channel and speaks the bridge's frames on standard input and
// output until standard input ends.
int run_bridge_agent(const ChannelChoice& channel);

// What the commands share.
void fail(const std::string& what);  // one line on standard error, after "mmfcast-cli: "
// The Channel's options for the choice made on the command line; "" or why the name cannot be
// used.
std::string channel_options(const ChannelChoice& choice, mmfcast::ChannelOptions& options);
// Why a text cannot be carried exactly; "" when it can.
std::string text_problem(std::u16string_view text);
// Joins the channel, taking the size of an area that exists already (see listen's --size).
std::unique_ptr<mmfcast::Channel> open_channel(const ChannelChoice& choice,
                                               mmfcast::ChannelOptions options);
// kOk when the channel joined, else says why and gives the exit code.
int join(mmfcast::Channel& channel);
// Joins the channel for a bridge, whose handler answers each sender inside its delivery: kOk,
// else says why (a bad choice after `who`) and gives the exit code.
int join_for_relay(const ChannelChoice& choice, std::unique_ptr<mmfcast::Channel>& channel,
                   const std::string& who = "");
// SIGINT and SIGTERM (and on Linux SIGHUP) end a long-running command: they are caught and
// stop_signal() gives the first one's number, 0 before any; SIGPIPE is ignored.
void catch_stop_signals();
int stop_signal();
// How long a bridge holds a line of its side, inside its sender's delivery, for the far side's
// answer: three quarters of the sender's deadline, so that the bridge answers in time.
int relay_wait_ms();

}  // namespace cli
