// mmfcast_form_host: one copy of the Qt main window, driven by a test through its standard
// input with real key and mouse events, and reporting on its standard output.
//   says "ready" once the window is loaded and shown, and "line TEXT" for every text added to
//   Text1 (TEXT escaped: \\ \r \n \0). Commands, one a line:
//   type TEXT   types TEXT (UTF-8) into Text2, a key per character -> "ok"
//   enter       presses Enter in Text2                   -> "ok"
//   click       clicks Command1                          -> "ok"
//   text1/text2 the box's whole text                     -> "text1 TEXT" / "text2 TEXT"
//   burst N P   sends P0 .. P(N-1), one per turn of the event loop, as fast as it can
//                                                        -> "burst-done" after the last
//   quit        closes the window and ends
#include <unistd.h>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <string>

#include "ui/qt/main_window.h"

namespace {

void say(const QString& line) {
  const QByteArray bytes = line.toUtf8();
  std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

QString escaped(std::u16string_view text) {
  QString out;
  for (char16_t c : text) {
    switch (c) {
      case u'\\':
        out += QStringLiteral("\\\\");
        break;
      case u'\r':
        out += QStringLiteral("\\r");
        break;
      case u'\n':
        out += QStringLiteral("\\n");
        break;
      case u'\0':
        out += QStringLiteral("\\0");
        break;
      default:
        out += QChar(c);
    }
  }
  return out;
}

class Host : public QObject {
 public:
  explicit Host(ui::MainWindow& window) : window_(window), input_(0, QSocketNotifier::Read) {
    connect(&input_, &QSocketNotifier::activated, this, [this] { read_input(); });
  }

 private:
  void read_input() {
    char chunk[4096];
    const ssize_t got = ::read(0, chunk, sizeof chunk);
    if (got <= 0) {
      input_.setEnabled(false);
      window_.close();
      QCoreApplication::quit();
      return;
    }
    pending_.append(chunk, static_cast<qsizetype>(got));
    qsizetype end;
    while ((end = pending_.indexOf('\n')) >= 0) {
      const QString line = QString::fromUtf8(pending_.left(end));
      pending_.remove(0, end + 1);
      run(line);
    }
  }

  void run(const QString& line) {
    const QString command = line.section(u' ', 0, 0);
    const QString rest = line.section(u' ', 1);
    if (command == u"type") {
      window_.text2_box()->setFocus();
      type(rest);
      say(QStringLiteral("ok"));
    } else if (command == u"enter") {
      QTest::keyClick(window_.text2_box(), Qt::Key_Return);
      say(QStringLiteral("ok"));
    } else if (command == u"click") {
      QTest::mouseClick(window_.command1_button(), Qt::LeftButton);
      say(QStringLiteral("ok"));
    } else if (command == u"text1") {
      say(QStringLiteral("text1 ") + escaped(window_.text1_text()));
    } else if (command == u"text2") {
      const QString text = window_.text2_box()->text();
      say(QStringLiteral("text2 ") +
          escaped(std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()),
                                      static_cast<std::size_t>(text.size()))));
    } else if (command == u"burst") {
      burst(0, rest.section(u' ', 0, 0).toInt(), rest.section(u' ', 1));
    } else if (command == u"quit") {
      window_.close();
      QCoreApplication::quit();
    } else {
      say(QStringLiteral("error unknown command ") + command);
    }
  }

  // A key press per character. QTest::keyClicks knows only ASCII keys; any other character
  // comes as a key event that carries the character as its text, as an input method gives it.
  void type(const QString& text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
      const QChar c = text[i];
      if (c.unicode() < 0x80) {
        QTest::keyClick(window_.text2_box(), static_cast<char>(c.unicode()));
        continue;
      }
      const qsizetype units = c.isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
      QTest::sendKeyEvent(QTest::Click, window_.text2_box(), Qt::Key_unknown, text.mid(i, units),
                          Qt::NoModifier);
      i += units - 1;
    }
  }

  // One send per turn of the event loop, so notifications from the other copies are handled
  // between sends as they would be for a person typing fast.
  void burst(int next, int count, const QString& prefix) {
    if (next >= count) {
      say(QStringLiteral("burst-done"));
      return;
    }
    window_.text2_box()->setText(prefix + QString::number(next));
    window_.command1_button()->click();
    QTimer::singleShot(0, this, [this, next, count, prefix] { burst(next + 1, count, prefix); });
  }

  ui::MainWindow& window_;
  QSocketNotifier input_;
  QByteArray pending_;
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  ui::MainWindow window;
  window.on_text1_appended = [](std::u16string_view text) {
    if (text.substr(0, 2) == u"\r\n") text.remove_prefix(2);
    say(QStringLiteral("line ") + escaped(text));
  };
  ui::run_handler([&] { window.load(); });
  window.show();
  Host host(window);
  say(QStringLiteral("ready"));
  return app.exec();
}
