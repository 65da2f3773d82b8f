// Adapts frmMain to Qt Widgets. Every Qt entry point that runs a handler goes through
// ui::run_handler, so an exception is reported and ends the program instead of unwinding
// through Qt. Text1 gets received texts by appending at its end, which costs the same however
// much the box holds.
#include "ui/qt/main_window.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSocketNotifier>
#include <QTextCursor>

#include "ui/layout.h"

static void init_icon_resource() { Q_INIT_RESOURCE(mmfcast); }

namespace ui {

namespace {

platform::LResult MMF_CALLBACK form_window_proc(platform::Hwnd, std::uint32_t, platform::WParam,
                                                platform::LParam) {
  return 0;
}

QString to_qstring(std::u16string_view text) {
  return QString(reinterpret_cast<const QChar*>(text.data()), static_cast<qsizetype>(text.size()));
}

std::u16string to_u16(const QString& text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()),
                        static_cast<std::size_t>(text.size()));
}

QRect to_pixels(const TwipsRect& r, int dpi_x, int dpi_y) {
  return QRect(twips_to_px(r.left, dpi_x), twips_to_px(r.top, dpi_y), twips_to_px(r.width, dpi_x),
               twips_to_px(r.height, dpi_y));
}

}  // namespace

MainWindow::MainWindow(QWidget* parent)
    : QWidget(parent),
      text1_(new QPlainTextEdit(this)),
      text2_(new QLineEdit(this)),
      command1_(new QPushButton(QString::fromLatin1(kCommand1Caption), this)),
      form_(*this) {
  init_icon_resource();
  QIcon icon;
  icon.addFile(QStringLiteral(":/mmfcast/icon-16.png"), QSize(16, 16));
  icon.addFile(QStringLiteral(":/mmfcast/icon-32.png"), QSize(32, 32));
  setWindowIcon(icon);
  setWindowTitle(QStringLiteral("mmfcast (pid %1)").arg(QCoreApplication::applicationPid()));

  // Tab moves the focus on from the multi-line box too, as in a native edit control.
  text1_->setTabChangesFocus(true);
  text1_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  setTabOrder(command1_, text1_);
  setTabOrder(text1_, text2_);
  command1_->setFocus();
  place_controls();

  text2_->installEventFilter(this);
  connect(command1_, &QPushButton::clicked, this,
          [this] { run_handler([this] { form_.Command1_Click(); }); });
}

MainWindow::~MainWindow() { unload(); }

void MainWindow::place_controls() {
  const QScreen* s = screen();
  const int dpi_x = s != nullptr ? static_cast<int>(s->logicalDotsPerInchX() + 0.5) : 96;
  const int dpi_y = s != nullptr ? static_cast<int>(s->logicalDotsPerInchY() + 0.5) : 96;
  setFixedSize(twips_to_px(kFormClientWidth, dpi_x), twips_to_px(kFormClientHeight, dpi_y));
  text1_->setGeometry(to_pixels(kText1, dpi_x, dpi_y));
  text2_->setGeometry(to_pixels(kText2, dpi_x, dpi_y));
  command1_->setGeometry(to_pixels(kCommand1, dpi_x, dpi_y));
}

void MainWindow::load() {
  if (loaded_) return;
  loaded_ = true;
  hwnd_ = platform::create_window(&form_window_proc);
  form_.Form_Load();
  // The descriptor exists once the process has a window.
  if (const int fd = platform::event_fd(); fd >= 0) {
    notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this,
            [] { run_handler([] { platform::dispatch_pending(); }); });
  }
}

void MainWindow::unload() {
  if (!loaded_) return;
  loaded_ = false;
  delete notifier_;
  notifier_ = nullptr;
  std::int16_t cancel = 0;
  form_.Form_Unload(cancel);
  if (hwnd_ != 0) platform::destroy_window(hwnd_);
  hwnd_ = 0;
}

void MainWindow::closeEvent(QCloseEvent* event) {
  run_handler([this] { unload(); });
  event->accept();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == text2_ && event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    std::int16_t key_ascii = 0;
    if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
      key_ascii = 13;
    } else if (!key->text().isEmpty()) {
      key_ascii = static_cast<std::int16_t>(key->text().at(0).unicode());
    }
    if (key_ascii != 0) run_handler([&] { form_.Text2_KeyPress(key_ascii); });
  }
  return QWidget::eventFilter(watched, event);
}

void MainWindow::append_text1(std::u16string_view text) {
  // The box keeps one paragraph per line: a CR LF pair is one line break.
  QString piece = to_qstring(text);
  piece.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  QTextCursor end(text1_->document());
  end.movePosition(QTextCursor::End);
  end.insertText(piece);
  text1_->setTextCursor(end);
  text1_->verticalScrollBar()->setValue(text1_->verticalScrollBar()->maximum());
  if (on_text1_appended) on_text1_appended(text);
}

std::u16string MainWindow::text1_text() const {
  QString text = text1_->toPlainText();
  text.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
  return to_u16(text);
}

std::u16string MainWindow::text2() const { return to_u16(text2_->text()); }

void MainWindow::set_text2(const std::u16string& text) { text2_->setText(to_qstring(text)); }

}  // namespace ui
