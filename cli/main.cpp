// Argument parsing for mmfcast-cli; the commands themselves live in commands.cpp.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "cli/commands.h"

int main(int argc, char** argv) {
  CLI::App app{"Send lines to the running mmfcast windows, or print the lines they send."};
  app.set_version_flag("--version", std::string("mmfcast-cli ") + MMFCAST_VERSION);
  app.require_subcommand(1);

  cli::SendOptions send;
  CLI::App* send_cmd = app.add_subcommand(
      "send", "Send TEXT (words joined by one space), or each line of standard input with -");
  send_cmd->add_option("text", send.words, "The text, or - for standard input")->required();
  send_cmd->add_flag("--truncate", send.truncate,
                     "Cut a text that does not fit the area instead of refusing it");

  cli::ListenOptions listen;
  CLI::App* listen_cmd =
      app.add_subcommand("listen", "Print each text that arrives, one line each");
  listen_cmd->add_option("--count", listen.count, "Exit after N texts")
      ->check(CLI::Range(1L, 1000000000L));
  listen_cmd
      ->add_option("--timeout", listen.timeout,
                   "Exit with status 1 when no text arrives within SECONDS")
      ->check(CLI::Range(0.001, 31536000.0));

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help or --version
    std::fprintf(stderr, "mmfcast-cli: %s (see --help)\n", e.what());
    return cli::kBadArguments;
  }
  if (send_cmd->parsed()) return cli::run_send(send);
  return cli::run_listen(listen);
}
