// mmfcast on Linux: one main window drawn with Qt Widgets. --help and --version answer without
// a display. Without a display to draw on it says so and exits, rather than leaving the choice
// of a fallback to Qt.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ui/qt/main_window.h"

namespace {

constexpr char kUsage[] =
    "Usage: mmfcast [--help] [--version] [Qt options such as -platform NAME]\n"
    "\n"
    "Shows a window that exchanges short lines of text with the other copies of mmfcast (and\n"
    "mmfcast-cli) in this user session. Type a line and press Enter, or click Command1, to send\n"
    "it; the lines the other copies send appear in the large box.\n"
    "\n"
    "Environment:\n"
    "  MMFCAST_SESSION_DIR  the session directory (default: $XDG_RUNTIME_DIR/mmfcast,\n"
    "                       else /tmp/mmfcast-UID)\n"
    "\n"
    "When the copy cannot reach its session, its caption says so and why.\n";

bool set(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

bool is(const char* arg, const char* a, const char* b) {
  return std::strcmp(arg, a) == 0 || std::strcmp(arg, b) == 0;
}

}  // namespace

int main(int argc, char** argv) {
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
  ui::MainWindow window;
  ui::run_handler([&] { window.load(); });
  window.show();
  return app.exec();
}
