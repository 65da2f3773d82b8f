// Argument parsing for mmfcast-cli; the commands themselves live in commands.cpp.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "cli/commands.h"
#include "mmf/channel.h"
#include "platform/platform.h"

#if defined(_WIN32)
// shellapi.h needs windows.h first.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that no file the
// commands open later takes its number and receives what is meant for standard output.
// Returns whether standard output was closed.
bool standard_output_was_closed() {
#if defined(_WIN32)
  return false;
#else
  bool output_closed = false;
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1) continue;
    if (fd == STDOUT_FILENO) output_closed = true;
    const int null_fd = ::open("/dev/null", O_RDWR);
    if (null_fd >= 0 && null_fd != fd) {
      ::dup2(null_fd, fd);
      ::close(null_fd);
    }
  }
  return output_closed;
#endif
}

// The first argument that is not an option: the subcommand the user meant.
std::string first_word(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '-') return argv[i];
  }
  return {};
}

}  // namespace

namespace {

int run(int argc, char** argv) {
  const bool output_closed = standard_output_was_closed();

  CLI::App app{"Send lines to the running mmfcast windows, or print the lines they send."};
  app.set_version_flag("--version", std::string("mmfcast-cli ") + MMFCAST_VERSION);
  app.require_subcommand(1);

  cli::SendOptions send;
  CLI::App* send_cmd = app.add_subcommand(
      "send", "Send TEXT (words joined by one space), or each line of standard input with -");
  send_cmd->add_option("text", send.words, "The text, or - for standard input")->required();
  send_cmd->add_flag("--truncate", send.truncate,
                     "Cut a text that does not fit the area instead of refusing it");
  send_cmd->add_flag("--utf8", send.utf8_input,
#if defined(_WIN32)
                     "Read standard input as UTF-8 instead of the console's input code page"
#else
                     "Read standard input as UTF-8 (always so on Linux)"
#endif
  );

  cli::ListenOptions listen;
  CLI::App* listen_cmd =
      app.add_subcommand("listen", "Print each text that arrives, one line each");
  listen_cmd->add_option("--count", listen.count, "Exit after N texts")
      ->check(CLI::Range(1L, 1000000000L));
  listen_cmd
      ->add_option("--timeout", listen.timeout,
                   "Idle time allowed: exit with status 1 once SECONDS pass with no text "
                   "(counted again from each text)")
      ->check(CLI::Range(0.001, 31536000.0));
  bool json = false;
  bool nul = false;
  CLI::Option* json_flag = listen_cmd->add_flag(
      "--json", json, "Print each text as one JSON object a line: text and time (UTC)");
  listen_cmd
      ->add_flag("-0,--null", nul,
                 "End each text with a byte 0 instead of a newline, so texts holding newlines "
                 "stay whole")
      ->excludes(json_flag);

#if !defined(_WIN32)
  cli::BridgeOptions bridge;
  CLI::App* bridge_cmd = app.add_subcommand(
      "bridge",
      "Relay every line between this session and the same channel in a Wine prefix, or "
      "other sessions through an MQTT broker, until stopped");
  CLI::Option* wine_option =
      bridge_cmd->add_option("--wine", bridge.prefix, "The Wine prefix")->option_text("PREFIX");
  bridge_cmd
      ->add_option("--mqtt", bridge.mqtt.url,
                   "Instead of a Wine prefix, an MQTT broker and topic (default topic: "
                   "mmfcast/ and the channel's name) that bridges of other sessions share")
      ->option_text("mqtt[s]://[USER[:PASSWORD]@]HOST[:PORT][/TOPIC]")
      ->excludes(wine_option);
  bridge_cmd->add_option("-u,--username", bridge.mqtt.username, "The broker's user name")
      ->option_text("USER");
  bridge_cmd->add_option("-P,--password", bridge.mqtt.password, "The broker's password")
      ->option_text("PASSWORD");
  bridge_cmd
      ->add_option("--cafile", bridge.mqtt.cafile,
                   "The CA certificates that vouch for the broker (mqtts; default: the system's)")
      ->option_text("FILE");
  bridge_cmd->add_option("--cert", bridge.mqtt.cert, "This client's certificate (mqtts)")
      ->option_text("FILE");
  bridge_cmd->add_option("--key", bridge.mqtt.key, "The key of --cert")->option_text("FILE");
  bridge_cmd
      ->add_option("--config", bridge.mqtt.settings_file,
                   "Settings for the broker as key = value lines (url, channel, username, "
                   "password, cafile, cert, key); the command line's win")
      ->option_text("FILE")
      ->excludes(wine_option);
  bridge_cmd
      ->add_option("--agent", bridge.agent,
                   "The Windows mmfcast-cli.exe run in the prefix (default: "
                   "$MMFCAST_BRIDGE_AGENT, else mmfcast-cli.exe next to this program); "
                   "MMFCAST_WINE names Wine's loader")
      ->option_text("EXE");
#endif
  // The bridge's other end, which the bridge starts in the prefix; not for typing.
  cli::ChannelChoice agent_channel;
  CLI::App* agent_cmd = app.add_subcommand("bridge-agent", "");
  agent_cmd->group("");

  app.footer(
      "Exit status:\n"
      "  0    done\n"
      "  1    listen: the idle time allowed (--timeout) passed with nothing received\n"
      "  2    bad arguments (the message says which), an empty text, or an unusable channel name\n"
      "  3    no usable session (directory missing, unsafe or unwritable; listen: also\n"
      "       when it becomes so while listening)\n"
      "  4    the shared area cannot be opened (also when the filesystem is full)\n"
      "  5    the broadcast failed, or did not reach every copy\n"
      "  6    send: the text is too long for the area (--truncate cuts it)\n"
      "  7    listen: standard output is closed, or writing to it failed\n"
      "  8    send -: one or more lines were too long and were skipped; the others were sent\n"
      "  9    not sent: a zero byte, bytes not valid in the input's encoding, or a character\n"
      "       the code page lacks (send -: such lines skipped, the others sent)\n"
      "  10   send -: reading standard input failed; the lines before it were sent\n"
#if !defined(_WIN32)
      "  11   bridge: no Wine, no prefix or no Windows agent, another bridge for the prefix\n"
      "       and channel, or the agent kept ending before it joined; --mqtt: another such\n"
      "       bridge for the session and channel, or the broker refused the login or TLS\n"
#endif
      "  70   an unexpected failure, such as running out of memory\n"
#if defined(_WIN32)
      "  130  listen: ended by Ctrl+C\n"
      "\n"
      "On Windows the copies always meet in the user's desktop session: the option "
      "--session-dir and the variable MMFCAST_SESSION_DIR do not apply, and listen never ends "
      "with 143 (SIGTERM)."
#else
      "  129, 130, 143  listen: ended by SIGHUP, SIGINT, SIGTERM\n"
      "\n"
      "A copy that joins an area another process made uses its size; --size counts only for "
      "the copy that makes it."
#endif
  );

  std::vector<std::pair<CLI::App*, cli::ChannelChoice*>> channel_commands = {
      {send_cmd, &send.channel}, {listen_cmd, &listen.channel}, {agent_cmd, &agent_channel}};
#if !defined(_WIN32)
  channel_commands.emplace_back(bridge_cmd, &bridge.channel);
#endif
  for (auto [command, choice] : channel_commands) {
    command
        ->add_option("--channel", choice->name,
                     "The channel NAME (area NAMEMemory, message NAMEMessage) instead of the "
                     "windows' channel, MyPub")
        ->option_text("NAME");
    command
        ->add_option("--size", choice->area_size,
                     "The channel's area size in bytes, with which it is created if no process "
                     "has made it yet (default 4096; an existing area keeps its size)")
        ->option_text("BYTES")
        ->check(CLI::Range(mmfcast::kMinAreaSize, mmfcast::kMaxAreaSize));
#if !defined(_WIN32)
    command
        ->add_option("--session-dir", choice->session_dir,
                     "The session directory (default: $MMFCAST_SESSION_DIR, else "
                     "$XDG_RUNTIME_DIR/mmfcast, else /tmp/mmfcast-UID)")
        ->option_text("DIR");
#endif
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help or --version
    const std::string word = first_word(argc, argv);
    if (!word.empty() && word != "send" && word != "listen" && word != "bridge" &&
        word != "bridge-agent") {
      std::fprintf(stderr,
                   "mmfcast-cli: unknown command '%s' (the commands are send, listen and "
                   "bridge; see --help)\n",
                   word.c_str());
    } else {
      std::fprintf(stderr, "mmfcast-cli: %s (see --help)\n", e.what());
    }
    return cli::kBadArguments;
  }
  if (send_cmd->parsed()) return cli::run_send(send);
  if (agent_cmd->parsed()) return cli::run_bridge_agent(agent_channel);
#if !defined(_WIN32)
  if (bridge_cmd->parsed()) {
    if (!bridge.prefix.empty()) return cli::run_bridge(bridge);
    if (bridge.mqtt.url || bridge.mqtt.settings_file) return cli::run_mqtt_bridge(bridge);
    std::fputs(
        "mmfcast-cli: bridge needs --wine PREFIX, or --mqtt URL or --config FILE (see --help)\n",
        stderr);
    return cli::kBadArguments;
  }
#endif
  if (output_closed) {
    std::fputs("mmfcast-cli: cannot write to standard output: it is closed\n", stderr);
    return cli::kOutputFailed;
  }
  listen.framing = json ? cli::Framing::kJson : nul ? cli::Framing::kNul : cli::Framing::kLine;
  return cli::run_listen(listen);
}

#if defined(_WIN32)
// The command line as the user typed it: the system's UTF-16 arguments in UTF-8, not the ANSI
// ones, which turn every character the code page lacks into '?'. Empty with a message on
// stderr when an argument cannot be converted exactly.
std::vector<std::string> utf8_arguments() {
  int argc = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  std::vector<std::string> args;
  for (int i = 0; i < argc && wide != nullptr; ++i) {
    const std::u16string_view arg(reinterpret_cast<const char16_t*>(wide[i]));
    std::string bytes;
    if (const std::string why =
            mmfcast::platform::encode_exact(arg, bytes, mmfcast::platform::kUtf8CodePage);
        !why.empty()) {
      std::fprintf(stderr, "mmfcast-cli: argument %d: %s\n", i, why.c_str());
      args.clear();
      break;
    }
    args.push_back(std::move(bytes));
  }
  if (wide != nullptr) ::LocalFree(wide);
  return args;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  // Nothing is expected to throw here but running out of memory; it is reported, not aborted on.
  try {
#if defined(_WIN32)
    std::vector<std::string> args = utf8_arguments();
    if (args.empty()) return cli::kBadArguments;
    std::vector<char*> pointers;
    for (std::string& arg : args) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    argc = static_cast<int>(args.size());
    argv = pointers.data();
#endif
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mmfcast-cli: %s\n", e.what());
    return cli::kInternalError;
  }
}
