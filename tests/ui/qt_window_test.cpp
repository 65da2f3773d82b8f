// The Qt main window with real widgets and real key events: its layout and keyboard focus in
// this process, and the exchange of lines between copies, each a mmfcast_form_host process in
// one private session.
#include <QApplication>
#include <QElapsedTimer>
#include <QIcon>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <map>
#include <memory>
#include <vector>

#include "tests/support/child_process.h"
#include "ui/qt/main_window.h"

namespace {

QString host_path;

QString unescaped(const QString& text) {
  QString out;
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (text[i] != u'\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const QChar next = text[++i];
    out += next == u'r'   ? QChar(u'\r')
           : next == u'n' ? QChar(u'\n')
           : next == u'0' ? QChar(0)
                          : next;
  }
  return out;
}

// One copy of the window in its own process.
class Copy {
 public:
  Copy() {
    process_.setProgram(host_path);
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start();
    ok_ = process_.waitForStarted(20000) && reply(u"ready") == u"ready";
  }
  ~Copy() {
    if (process_.state() == QProcess::NotRunning) return;
    process_.write("quit\n");
    if (!process_.waitForFinished(5000)) process_.kill();
    process_.waitForFinished(5000);
  }
  Copy(const Copy&) = delete;
  Copy& operator=(const Copy&) = delete;

  bool ok() const { return ok_; }
  void send(const QString& command) { process_.write((command + u'\n').toUtf8()); }

  // The next line that starts with prefix, collecting the texts added to Text1 meanwhile;
  // a null string when none comes within the timeout.
  QString reply(QStringView prefix, int timeout_ms = 20000) {
    QElapsedTimer timer;
    timer.start();
    for (;;) {
      while (process_.canReadLine()) {
        const QString line = QString::fromUtf8(process_.readLine()).chopped(1);
        if (line.startsWith(u"line ")) {
          lines.push_back(unescaped(line.mid(5)));
        } else if (line.startsWith(prefix)) {
          return line;
        }
      }
      if (timer.elapsed() > timeout_ms || process_.state() == QProcess::NotRunning) return {};
      process_.waitForReadyRead(20);
    }
  }
  // Reads what has arrived so far without waiting for anything.
  void drain() { reply(u"\x01", 0); }

  bool command(const QString& command) {
    send(command);
    return reply(u"ok") == u"ok";
  }
  QString text1() {
    send(QStringLiteral("text1"));
    return unescaped(reply(u"text1 ").mid(6));
  }
  QString text2() {
    send(QStringLiteral("text2"));
    return unescaped(reply(u"text2 ").mid(6));
  }
  // Waits until at least count texts have been added to Text1.
  bool wait_for_lines(std::size_t count, int timeout_ms = 20000) {
    QElapsedTimer timer;
    timer.start();
    for (;;) {
      drain();
      if (lines.size() >= count) return true;
      if (timer.elapsed() > timeout_ms) return false;
      process_.waitForReadyRead(20);
    }
  }
  void type_and_enter(const QString& text) {
    QVERIFY(command(QStringLiteral("type ") + text));
    QVERIFY(command(QStringLiteral("enter")));
  }

  std::vector<QString> lines;  // texts added to Text1, in order

 private:
  QProcess process_;
  bool ok_ = false;
};

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { session_ = std::make_unique<testsupport::ScopedSession>(); }
  void cleanup() { session_.reset(); }

  void layout_matches_the_table_at_96_dpi() {
    ui::MainWindow window;
    window.load();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.screen()->logicalDotsPerInchX(), 96.0);
    // 1 twip = 1/15 pixel at 96 dpi.
    QCOMPARE(window.size(), QSize(303, 423));
    QCOMPARE(window.text1_box()->geometry(), QRect(3, 6, 295, 334));
    QCOMPARE(window.text2_box()->geometry(), QRect(3, 348, 295, 25));
    QCOMPARE(window.command1_button()->geometry(), QRect(198, 384, 100, 34));
    QCOMPARE(window.command1_button()->text(), QStringLiteral("Command1"));
    QVERIFY(window.text1_box()->toPlainText().isEmpty());
    QVERIFY(window.text2_box()->text().isEmpty());
    QVERIFY(window.windowTitle().contains(QStringLiteral("mmfcast")));
    QVERIFY(window.windowTitle().contains(QString::number(QCoreApplication::applicationPid())));
    const QList<QSize> sizes = window.windowIcon().availableSizes();
    QVERIFY(sizes.contains(QSize(16, 16)));
    QVERIFY(sizes.contains(QSize(32, 32)));
  }

  void tab_cycles_from_every_control_starting_at_the_button() {
    ui::MainWindow window;
    window.load();
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QCOMPARE(QApplication::focusWidget(), window.command1_button());
    const std::vector<QWidget*> order{window.text1_box(), window.text2_box(),
                                      window.command1_button(), window.text1_box()};
    for (QWidget* expected : order) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QCOMPARE(QApplication::focusWidget(), expected);
    }
    QVERIFY(window.text1_box()->toPlainText().isEmpty());  // no tab character went in
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    QCOMPARE(QApplication::focusWidget(), window.command1_button());
  }

  void a_line_reaches_the_other_copy_and_not_the_sender() {
    Copy a, b;
    QVERIFY(a.ok() && b.ok());
    a.type_and_enter(QStringLiteral("abc"));
    QVERIFY(b.wait_for_lines(1));
    QCOMPARE(b.lines[0], QStringLiteral("abc"));
    QCOMPARE(b.text1(), QStringLiteral("\r\nabc"));
    QCOMPARE(a.text2(), QString());
    QCOMPARE(a.text1(), QString());

    QVERIFY(b.command(QStringLiteral("type def")));
    QVERIFY(b.command(QStringLiteral("click")));
    QVERIFY(a.wait_for_lines(1));
    a.type_and_enter(QStringLiteral("ghi"));
    QVERIFY(b.wait_for_lines(2));
    QCOMPARE(b.text1(), QStringLiteral("\r\nabc\r\nghi"));
    QCOMPARE(a.text1(), QStringLiteral("\r\ndef"));
    QCOMPARE(a.lines.size(), std::size_t{1});
  }

  void an_empty_input_sends_nothing() {
    Copy a, b;
    QVERIFY(a.ok() && b.ok());
    QVERIFY(a.command(QStringLiteral("enter")));
    QVERIFY(a.command(QStringLiteral("click")));
    a.type_and_enter(QStringLiteral("x"));
    QVERIFY(b.wait_for_lines(1));
    QCOMPARE(b.text1(), QStringLiteral("\r\nx"));
    QCOMPARE(b.lines, std::vector<QString>{QStringLiteral("x")});
  }

  void a_late_copy_shows_only_what_comes_after_it() {
    Copy a, b;
    QVERIFY(a.ok() && b.ok());
    a.type_and_enter(QStringLiteral("first"));
    QVERIFY(b.wait_for_lines(1));
    Copy late;
    QVERIFY(late.ok());
    QCOMPARE(late.text1(), QString());
    a.type_and_enter(QStringLiteral("second"));
    QVERIFY(late.wait_for_lines(1));
    QCOMPARE(late.text1(), QStringLiteral("\r\nsecond"));
    QVERIFY(b.wait_for_lines(2));
    QCOMPARE(b.text1(), QStringLiteral("\r\nfirst\r\nsecond"));
  }

  void a_non_ascii_line_arrives_whole() {
    Copy a, b;
    QVERIFY(a.ok() && b.ok());
    const QString text = QStringLiteral("Grüße, 你好 😀");
    a.type_and_enter(text);
    QVERIFY(b.wait_for_lines(1));
    QCOMPARE(b.lines[0], text);
    QCOMPARE(b.text1(), QStringLiteral("\r\n") + text);
  }

  void copies_sending_at_once_lose_and_double_nothing() {
    constexpr int kCopies = 4;
    constexpr int kLinesEach = 500;
    std::vector<std::unique_ptr<Copy>> copies;
    for (int i = 0; i < kCopies; ++i) {
      copies.push_back(std::make_unique<Copy>());
      QVERIFY(copies.back()->ok());
    }
    for (int i = 0; i < kCopies; ++i) {
      copies[static_cast<std::size_t>(i)]->send(
          QStringLiteral("burst %1 c%2-").arg(kLinesEach).arg(i));
    }
    const std::size_t expected = static_cast<std::size_t>((kCopies - 1) * kLinesEach);
    for (auto& copy : copies) QVERIFY(copy->reply(u"burst-done", 180000) == u"burst-done");
    for (auto& copy : copies) QVERIFY(copy->wait_for_lines(expected, 60000));
    QTest::qWait(200);
    for (int i = 0; i < kCopies; ++i) {
      Copy& copy = *copies[static_cast<std::size_t>(i)];
      copy.drain();
      QCOMPARE(copy.lines.size(), expected);
      std::map<int, int> next;  // sender -> the number its next line must carry
      for (const QString& line : copy.lines) {
        const int sender = line.section(u'-', 0, 0).mid(1).toInt();
        const int number = line.section(u'-', 1).toInt();
        QVERIFY2(sender != i, qPrintable(QStringLiteral("copy %1 heard itself").arg(i)));
        QCOMPARE(number, next[sender]);
        next[sender] = number + 1;
      }
    }
  }

 private:
  std::unique_ptr<testsupport::ScopedSession> session_;
};

int main(int argc, char** argv) {
  // The layout is checked at 96 dpi, whatever the test machine's screen says.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("QT_FONT_DPI", "96");
  QApplication app(argc, argv);
  host_path = QCoreApplication::applicationDirPath() + QStringLiteral("/mmfcast_form_host");
  MainWindowTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "qt_window_test.moc"
