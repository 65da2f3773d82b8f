// mmfcast_append_timing: how long 10,000 arrivals take in one Qt window, thousand by thousand.
// Each arrival goes the receiving path in this process: the text is written into the shared
// area, the hook's procedure handles the notification, reads the area and raises DataArrival,
// the form appends the line to Text1, and the event loop then lays out and paints the box.
#include <QApplication>
#include <QElapsedTimer>
#include <cstdio>
#include <string>

#include "hook/ModSubclass.h"
#include "ui/qt/main_window.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ui::MainWindow window;
  window.load();
  window.show();
  QCoreApplication::processEvents();

  cMMF sender;
  const std::int32_t index = sender.AddMMFItem(mmfcast::kPubMemoryName, 4096);
  if (sender.OpenMMF(index) != 1) {
    std::fputs("mmfcast_append_timing: the shared area cannot be opened\n", stderr);
    return 1;
  }
  constexpr int kArrivals = 10000;
  constexpr int kGroup = 1000;
  std::printf("%-14s %10s %14s\n", "arrivals", "ms", "us/arrival");
  QElapsedTimer total;
  total.start();
  double first = 0, last = 0;
  for (int group = 0; group < kArrivals / kGroup; ++group) {
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < kGroup; ++i) {
      const std::u16string text =
          u"line " + std::u16string(1, u'A' + static_cast<char16_t>(i % 26)) +
          u" of the timing run, number " + QString::number(group * kGroup + i).toStdU16String();
      sender.WriteMMF(index, text);
      ModSubclass::WindowProc(0, ModSubclass::lMsgID,
                              static_cast<mmfcast::platform::WParam>(text.size() + 1), 0);
      QCoreApplication::processEvents();
    }
    const double ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    if (group == 0) first = ms;
    last = ms;
    std::printf("%5d - %-6d %10.1f %14.1f\n", group * kGroup + 1, (group + 1) * kGroup, ms,
                ms * 1000.0 / kGroup);
  }
  std::printf("total %.1f ms; last thousand / first thousand = %.2f; Text1 holds %lld characters\n",
              static_cast<double>(total.nsecsElapsed()) / 1e6, last / first,
              static_cast<long long>(window.text1_text().size()));
  return 0;
}
