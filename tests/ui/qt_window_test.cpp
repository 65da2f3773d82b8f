// The Qt main window with real widgets and real key events: its layout, resizing, keyboard
// focus, read-only display box, scrolling and caption in this process, and the exchange of
// lines between copies, each a mmfcast_form_host process in one private session.
#include <sys/stat.h>

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTextCursor>
#include <map>
#include <memory>
#include <vector>

#include "hook/ModSubclass.h"
#include "tests/support/child_process.h"
#include "ui/bounded_log.h"
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

// Delivers text to the window in this process the way a notification does: written into the
// shared area, then handled by the hook's window procedure; then the window shows it.
bool arrive(ui::MainWindow& window, const QString& text) {
  cMMF sender;
  const std::int32_t index = sender.AddMMFItem(mmfcast::kPubMemoryName, 4096);
  if (sender.OpenMMF(index) != 1) return false;
  const std::u16string data = text.toStdU16String();
  sender.WriteMMF(index, data);
  ModSubclass::WindowProc(0, ModSubclass::lMsgID,
                          static_cast<mmfcast::platform::WParam>(data.size() + 1), 0);
  window.show_arrived();
  QTest::qWait(20);  // the box lays the new line out and paints
  return true;
}

// Whether the end of Text1's text is inside the box's visible area.
bool end_in_view(const ui::MainWindow& window) {
  QTextCursor end(window.text1_box()->document());
  end.movePosition(QTextCursor::End);
  const QRect caret = window.text1_box()->cursorRect(end);
  return caret.top() >= 0 && caret.bottom() <= window.text1_box()->viewport()->height();
}

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

  void resizing_stretches_the_boxes_and_keeps_the_button_at_the_bottom_right() {
    ui::MainWindow window;
    window.load();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.resize(503, 623);
    QTRY_COMPARE(window.size(), QSize(503, 623));
    QCOMPARE(window.text1_box()->geometry(), QRect(3, 6, 495, 534));
    QCOMPARE(window.text2_box()->geometry(), QRect(3, 548, 495, 25));
    QCOMPARE(window.command1_button()->geometry(), QRect(398, 584, 100, 34));
    // Smaller than the form's layout, as on a small screen: the box gives up height, the input
    // line and the button stay whole and inside the window.
    window.resize(200, 150);
    QTRY_VERIFY(window.height() < 423);
    QVERIFY(window.text1_box()->height() > 0);
    QCOMPARE(window.text2_box()->height(), 25);
    QCOMPARE(window.command1_button()->size(), QSize(100, 34));
    QCOMPARE(window.command1_button()->geometry().bottomRight(),
             QPoint(window.width() - 6, window.height() - 6));
    QVERIFY(window.text2_box()->geometry().bottom() < window.command1_button()->y());
    // No smaller than what keeps the button, the input line and a line of the box whole.
    window.resize(1, 1);
    QTRY_COMPARE(window.size(), QSize(106, 114));
    QCOMPARE(window.text1_box()->height(), 25);
    QCOMPARE(window.command1_button()->geometry().bottomRight(), QPoint(100, 108));
    // Back to the initial size, back to the form's layout.
    window.resize(303, 423);
    QTRY_COMPARE(window.size(), QSize(303, 423));
    QCOMPARE(window.text1_box()->geometry(), QRect(3, 6, 295, 334));
    QCOMPARE(window.command1_button()->geometry(), QRect(198, 384, 100, 34));
  }

  void typing_into_text1_changes_nothing_but_its_lines_can_be_copied() {
    ui::MainWindow window;
    window.load();
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QVERIFY(arrive(window, QStringLiteral("received")));
    const QString before = window.text1_box()->toPlainText();
    QApplication::clipboard()->setText(QStringLiteral("pasted"));
    QPlainTextEdit* box = window.text1_box();
    box->setFocus();
    QTest::keyClicks(box, QStringLiteral("typed"));
    for (auto key : {Qt::Key_Return, Qt::Key_Backspace, Qt::Key_Delete}) QTest::keyClick(box, key);
    QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier);
    QTest::keyClick(box, Qt::Key_X, Qt::ControlModifier);
    QCOMPARE(box->toPlainText(), before);
    // Selecting with the keyboard and copying still work.
    QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(box, Qt::Key_C, Qt::ControlModifier);
    // The box does not show the form's first line break, so a copy starts with the first line.
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("received"));
    QCOMPARE(window.text1_text(), std::u16string(u"\r\nreceived"));
  }

  void the_last_line_is_in_view_after_a_long_wrapped_line() {
    ui::MainWindow window;
    window.load();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    for (int i = 0; i < 40; ++i) QVERIFY(arrive(window, QStringLiteral("line %1").arg(i)));
    QVERIFY(end_in_view(window));
    QString long_line;
    for (int i = 0; i < 30; ++i) long_line += QStringLiteral("word%1 ").arg(i);
    long_line += QStringLiteral("END");
    QVERIFY(arrive(window, long_line));
    QVERIFY(end_in_view(window));
    QVERIFY(arrive(window, QStringLiteral("short after it")));
    QVERIFY(end_in_view(window));
    // A narrower window wraps the lines again; a view at the end stays there.
    window.resize(200, 423);
    QTest::qWait(50);
    QVERIFY(end_in_view(window));
    // A view scrolled back by the user stays put until the next line arrives.
    QScrollBar* scroll = window.text1_box()->verticalScrollBar();
    scroll->setValue(0);
    window.resize(260, 423);
    QTest::qWait(50);
    QCOMPARE(scroll->value(), 0);
    QVERIFY(arrive(window, long_line));
    QVERIFY(end_in_view(window));
  }

  void the_status_line_says_in_full_why_a_line_was_not_sent_which_stays_and_the_copy_recovers() {
    const std::string dir = qEnvironmentVariable("MMFCAST_SESSION_DIR").toStdString();
    const QString pid = QString::number(QCoreApplication::applicationPid());
    const QString base = QStringLiteral("mmfcast (pid ") + pid + u')';
    {
      // Reachable at load, then not: a send finds out and keeps the line; the copy notices the
      // repair by itself, and the line can then go.
      ui::MainWindow window;
      window.load();
      window.show();
      QVERIFY(QTest::qWaitForWindowExposed(&window));
      QCOMPARE(window.windowTitle(), base);
      QVERIFY(window.status_line()->isHidden());
      QVERIFY(::chmod(dir.c_str(), 0755) == 0);
      window.text2_box()->setText(QStringLiteral("x"));
      QTest::keyClick(window.text2_box(), Qt::Key_Return);
      QString state = window.status_line()->text();
      QCOMPARE(window.text2_box()->text(), QStringLiteral("x"));
      QVERIFY(::chmod(dir.c_str(), 0700) == 0);
      QCOMPARE(window.windowTitle(), base + QStringLiteral(" - not connected"));
      QVERIFY2(state.startsWith(QStringLiteral("not connected")), qPrintable(state));
      QVERIFY2(state.contains(QString::fromStdString(dir)), qPrintable(state));
      QVERIFY2(state.contains(QStringLiteral("mode 0700")), qPrintable(state));
      // The whole message is shown, wrapped under the input line and above the button; the
      // received-lines box gives up the room.
      const QRect status = window.status_line()->geometry();
      QVERIFY(window.status_line()->isVisible());
      QVERIFY(status.height() >= window.status_line()->heightForWidth(status.width()));
      QVERIFY(status.top() > window.text2_box()->geometry().bottom());
      QVERIFY(status.bottom() < window.command1_button()->y());
      QVERIFY(status.right() < window.width());
      QCOMPARE(window.text1_box()->geometry().bottom() + 1 + (status.height() + 3), 334 + 6);
      QTRY_COMPARE_WITH_TIMEOUT(window.windowTitle(), base, 10000);
      QVERIFY(window.status_line()->isHidden());
      QCOMPARE(window.text1_box()->geometry(), QRect(3, 6, 295, 334));
      QTest::mouseClick(window.command1_button(), Qt::LeftButton);
      QCOMPARE(window.text2_box()->text(), QString());
      QCOMPARE(window.windowTitle(), base);
      // A line longer than the area holds is not cut: it stays, and the status says why.
      const QString pasted(5000, u'p');
      window.text2_box()->setText(pasted);
      QTest::mouseClick(window.command1_button(), Qt::LeftButton);
      QCOMPARE(window.text2_box()->text(), pasted);
      state = window.status_line()->text();
      QVERIFY2(state.contains(QStringLiteral("not sent")), qPrintable(state));
      QVERIFY2(state.contains(QStringLiteral("too long")), qPrintable(state));
      window.text2_box()->setText(QStringLiteral("z"));
      QTest::mouseClick(window.command1_button(), Qt::LeftButton);
      QCOMPARE(window.windowTitle(), base);
    }
    // Unreachable at load: a directory that cannot be made because its parent is missing.
    const QByteArray missing = QByteArray::fromStdString(dir) + "/missing/session";
    qputenv("MMFCAST_SESSION_DIR", missing);
    ui::MainWindow window;
    window.load();
    QVERIFY(window.windowTitle().contains(pid));
    const QString state = window.status_line()->text();
    QVERIFY2(state.contains(QString::fromUtf8(missing)), qPrintable(state));
    QVERIFY2(state.contains(QStringLiteral("No such file or directory")), qPrintable(state));
  }

  // The box keeps the newest lines up to its limit, and what it keeps still reads as the
  // form's text: each kept text after a CR LF.
  void the_box_keeps_the_newest_lines_up_to_its_limit() {
    ui::MainWindow window;
    window.load();
    window.set_max_lines(5);
    for (int i = 0; i < 8; ++i) QVERIFY(arrive(window, QStringLiteral("line %1").arg(i)));
    QCOMPARE(window.text1_box()->document()->blockCount(), 5);
    QCOMPARE(window.text1_text(),
             std::u16string(u"\r\nline 3\r\nline 4\r\nline 5\r\nline 6\r\nline 7"));
    // A text holding a line break counts as two lines.
    QVERIFY(arrive(window, QStringLiteral("two\r\nlines")));
    QCOMPARE(window.text1_text(),
             std::u16string(u"\r\nline 5\r\nline 6\r\nline 7\r\ntwo\r\nlines"));
    // Texts not shown yet are part of the form's text already.
    cMMF sender;
    const std::int32_t index = sender.AddMMFItem(mmfcast::kPubMemoryName, 4096);
    QCOMPARE(sender.OpenMMF(index), 1);
    sender.WriteMMF(index, u"pending");
    ModSubclass::WindowProc(0, ModSubclass::lMsgID, 8, 0);
    const std::u16string text = window.text1_text();
    QVERIFY(text.ends_with(u"\r\nlines\r\npending"));
  }

  // Ctrl+W closes the window, Ctrl+Q every window; the About box names the version, the
  // licence and the session directory.
  void keys_close_and_quit_and_about_tells_what_and_where() {
    ui::MainWindow window;
    window.load();
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QTest::keyClick(&window, Qt::Key_W, Qt::ControlModifier);
    QVERIFY(!window.isVisible());
    ui::MainWindow other;
    other.load();
    other.show();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    QTest::keyClick(other.text2_box(), Qt::Key_Q, Qt::ControlModifier);
    QVERIFY(!other.isVisible());
    const QString about = other.about_text();
    QVERIFY(about.contains(QStringLiteral(MMFCAST_VERSION)));
    QVERIFY(about.contains(QStringLiteral("MIT License")));
    QVERIFY(about.contains(qEnvironmentVariable("MMFCAST_SESSION_DIR")));
  }

  // A line that arrives while the window is in the background marks it, unless switched off.
  void a_line_arriving_in_the_background_marks_the_window_unless_switched_off() {
    ui::MainWindow window;
    window.load();
    int signs = 0;
    window.on_arrival_sign = [&] { ++signs; };
    QVERIFY(arrive(window, QStringLiteral("in the background")));
    QCOMPARE(signs, 1);
    window.set_arrival_sign(false);
    QVERIFY(arrive(window, QStringLiteral("switched off")));
    QCOMPARE(signs, 1);
    window.set_arrival_sign(true);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QVERIFY(arrive(window, QStringLiteral("in front")));
    QCOMPARE(signs, 1);
  }

  // Size, position, the line limit and the sign come back in the next run; a limit given on the
  // command line is for that run only.
  void settings_survive_a_restart() {
    {
      ui::MainWindow window;
      window.use_settings();
      QCOMPARE(window.max_lines(), ui::kDefaultMaxLines);
      QVERIFY(window.arrival_sign());
      window.load();
      window.show();
      QVERIFY(QTest::qWaitForWindowExposed(&window));
      window.resize(700, 600);
      QTRY_COMPARE(window.size(), QSize(700, 600));
      window.close();
    }
    {
      QSettings settings(QStringLiteral("mmfcast"), QStringLiteral("mmfcast"));
      QVERIFY(settings.fileName().startsWith(qEnvironmentVariable("XDG_CONFIG_HOME")));
      settings.setValue(QStringLiteral("log/maxLines"), QStringLiteral("250"));
      settings.setValue(QStringLiteral("window/arrivalSign"), false);
    }
    ui::MainWindow again;
    again.use_settings();
    QCOMPARE(again.size(), QSize(700, 600));
    QCOMPARE(again.max_lines(), std::size_t{250});
    QVERIFY(!again.arrival_sign());
    ui::MainWindow for_this_run;
    for_this_run.use_settings(std::size_t{42});
    QCOMPARE(for_this_run.max_lines(), std::size_t{42});
  }

  // What a screen reader is told, and the keys a keyboard user sends with.
  void enter_and_space_on_the_button_send_and_screen_readers_name_the_controls() {
    ui::MainWindow window;
    window.load();
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    struct Named {
      QWidget* control;
      QString name;
    };
    for (const Named& n : {Named{window.text1_box(), QStringLiteral("Received lines")},
                           Named{window.text2_box(), QStringLiteral("Line to send")},
                           Named{window.command1_button(), QStringLiteral("Send")}}) {
      QAccessibleInterface* seen = QAccessible::queryAccessibleInterface(n.control);
      QVERIFY(seen != nullptr);
      QCOMPARE(seen->text(QAccessible::Name), n.name);
      QVERIFY(!seen->text(QAccessible::Description).isEmpty());
    }
    QCOMPARE(window.command1_button()->text(), QStringLiteral("Command1"));

    QCOMPARE(QApplication::focusWidget(), window.command1_button());
    window.text2_box()->setText(QStringLiteral("by enter"));
    QTest::keyClick(window.command1_button(), Qt::Key_Return);
    QCOMPARE(window.text2_box()->text(), QString());
    window.text2_box()->setText(QStringLiteral("by space"));
    QTest::keyClick(window.command1_button(), Qt::Key_Space);
    QCOMPARE(window.text2_box()->text(), QString());
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
  // The windows' settings go to a folder of the test's own, never to the user's.
  QTemporaryDir config;
  if (!config.isValid()) return 1;
  qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
  QApplication app(argc, argv);
  host_path = QCoreApplication::applicationDirPath() + QStringLiteral("/mmfcast_form_host");
  MainWindowTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "qt_window_test.moc"
