// mmfcast on Linux: one main window drawn with Qt Widgets. --help and --version answer without
// a display; --max-lines is checked before one is needed. Without a display to draw on it says so
// and exits, rather than leaving the choice of a fallback to Qt.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "ui/bounded_log.h"
#include "ui/qt/main_window.h"

namespace {

constexpr char kUsage[] =
    "Usage: mmfcast [--help] [--version] [--max-lines N] [Qt options such as -platform NAME]\n"
    "\n"
    "Shows a window that exchanges short lines of text with the other copies of mmfcast (and\n"
    "mmfcast-cli) in this user session. Type a line and press Enter, or click Command1, to send\n"
    "it; the lines the other copies send appear in the large box.\n"
    "\n"
    "Options:\n"
    "  --max-lines N        keep the last N received lines (1 to 10000000; default: the\n"
    "                       setting, else 10000), for this run\n"
    "\n"
    "Keys: Ctrl+Q quits, Ctrl+W closes the window, F1 tells about the program. Right-click\n"
    "the received lines to change how many are kept, or whether the window is marked when a\n"
    "line arrives while it is in the background. Settings, with the window's size and place:\n"
    "~/.config/mmfcast/mmfcast.conf.\n"
    "\n"
    "Environment:\n"
    "  MMFCAST_SESSION_DIR  the session directory (default: $XDG_RUNTIME_DIR/mmfcast,\n"
    "                       else /tmp/mmfcast-UID)\n"
    "\n"
    "When the copy cannot reach its session, or a line was not sent, the line under the input\n"
    "says so, why, and what to do.\n"
    "\n"
    "Exit status: 0 when the window was closed, 1 on a failure to start (no display, or the\n"
    "window cannot be made; the message says which), 2 for an unknown or bad argument.\n";

bool set(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

bool is(const char* arg, const char* a, const char* b) {
  return std::strcmp(arg, a) == 0 || std::strcmp(arg, b) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<std::size_t> max_lines;
  std::vector<char*> args(argv, argv + argc);
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg != "--max-lines" && arg.substr(0, 12) != "--max-lines=") continue;
    const bool separate = arg == "--max-lines";
    if (separate && i + 1 == args.size()) {
      std::fputs("mmfcast: --max-lines needs a number (see --help)\n", stderr);
      return 2;
    }
    const std::string_view value = separate ? std::string_view(args[i + 1]) : arg.substr(12);
    max_lines = ui::parse_max_lines(value);
    if (!max_lines) {
      std::fprintf(stderr,
                   "mmfcast: --max-lines takes a whole number from 1 to 10000000, not '%.*s'\n",
                   static_cast<int>(value.size()), value.data());
      return 2;
    }
    args.erase(args.begin() + static_cast<std::ptrdiff_t>(i),
               args.begin() + static_cast<std::ptrdiff_t>(i + (separate ? 2 : 1)));
    --i;
  }
  argc = static_cast<int>(args.size());
  args.push_back(nullptr);
  argv = args.data();
  for (int i = 1; i < argc; ++i) {
    if (is(argv[i], "--help", "-h")) {
      std::fputs(kUsage, stdout);
      return EXIT_SUCCESS;
    }
    if (is(argv[i], "--version", "-v")) {
      std::printf("mmfcast %s\n", MMFCAST_VERSION);
      return EXIT_SUCCESS;
    }
  }
  if (!set("DISPLAY") && !set("WAYLAND_DISPLAY") && !set("QT_QPA_PLATFORM")) {
    std::fputs("mmfcast: no display: neither DISPLAY nor WAYLAND_DISPLAY is set\n", stderr);
    return EXIT_FAILURE;
  }
  QApplication app(argc, argv);
  // Qt has taken the options it knows out of argv; the program itself takes no others.
  if (argc > 1) {
    std::fprintf(stderr, "mmfcast: unknown argument '%s' (see --help)\n", argv[1]);
    return 2;
  }
  QCoreApplication::setOrganizationName(QStringLiteral("mmfcast"));
  QCoreApplication::setApplicationName(QStringLiteral("mmfcast"));
  QCoreApplication::setApplicationVersion(QStringLiteral(MMFCAST_VERSION));
  ui::MainWindow window;
  ui::run_handler([&] {
    window.use_settings(max_lines);
    window.load();
  });
  window.show();
  return app.exec();
}
