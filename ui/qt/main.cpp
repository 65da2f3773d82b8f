// mmfcast on Linux: one main window drawn with Qt Widgets. Without a display to draw on it
// says so and exits, rather than leaving the choice of a fallback to Qt.
#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "ui/qt/main_window.h"

namespace {

bool set(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

}  // namespace

int main(int argc, char** argv) {
  if (!set("DISPLAY") && !set("WAYLAND_DISPLAY") && !set("QT_QPA_PLATFORM")) {
    std::fputs("mmfcast: no display: neither DISPLAY nor WAYLAND_DISPLAY is set\n", stderr);
    return EXIT_FAILURE;
  }
  QApplication app(argc, argv);
  ui::MainWindow window;
  ui::run_handler([&] { window.load(); });
  window.show();
  return app.exec();
}
