// Adapts frmMain to Qt Widgets. Every Qt entry point that runs a handler goes through
// ui::run_handler, so an exception is reported and ends the program instead of unwinding
// through Qt. Text1 gets received texts by appending at its end, which costs the same however
// much the box holds, and keeps its view at the end as the box lays the new lines out. The
// form's layout is the initial one; resizing stretches the boxes and keeps the button at the
// bottom right.
#include "ui/qt/main_window.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollBar>
#include <QSocketNotifier>
#include <QTextCursor>
#include <QTimer>

#include "ui/layout.h"

static void init_icon_resource() { Q_INIT_RESOURCE(mmfcast); }

namespace ui {

namespace {

mmfcast::platform::LResult MMFCAST_CALLBACK form_window_proc(mmfcast::platform::Hwnd, std::uint32_t,
                                                             mmfcast::platform::WParam,
                                                             mmfcast::platform::LParam) {
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
  set_caption({});

  // Tab moves the focus on from the multi-line box too, as in a native edit control.
  text1_->setTabChangesFocus(true);
  text1_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  // Received lines only: nothing typed or pasted goes in, but they can be selected and copied.
  text1_->setReadOnly(true);
  text1_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  // The view stays at the end while it is there: a wrapped line that the box lays out later,
  // or a narrower window, lengthens the scroll range after the line has been added.
  QScrollBar* scroll = text1_->verticalScrollBar();
  connect(scroll, &QScrollBar::valueChanged, this,
          [this, scroll](int value) { view_at_end_ = value >= scroll->maximum(); });
  connect(scroll, &QScrollBar::rangeChanged, this, [this, scroll](int, int maximum) {
    if (view_at_end_) scroll->setValue(maximum);
  });
  setTabOrder(command1_, text1_);
  setTabOrder(text1_, text2_);
  command1_->setFocus();
  // Enter on the focused button sends, as Space does, as in the form toolkit the window follows.
  command1_->setAutoDefault(true);
  // What a screen reader says of the controls; the button's caption stays the form's.
  text1_->setAccessibleName(QStringLiteral("Received lines"));
  text1_->setAccessibleDescription(
      QStringLiteral("The lines the other copies of mmfcast sent, the newest at the bottom"));
  text2_->setAccessibleName(QStringLiteral("Line to send"));
  text2_->setAccessibleDescription(
      QStringLiteral("Type a line and press Enter to send it to the other copies"));
  command1_->setAccessibleName(QStringLiteral("Send"));
  command1_->setAccessibleDescription(
      QStringLiteral("Sends the line to send to the other copies of mmfcast"));
  place_controls();

  text2_->installEventFilter(this);
  connect(command1_, &QPushButton::clicked, this,
          [this] { run_handler([this] { form_.Command1_Click(); }); });
}

MainWindow::~MainWindow() { unload(); }

void MainWindow::place_controls() {
  const QScreen* s = screen();
  const int dpi_x = s != nullptr ? static_cast<int>(std::lround(s->logicalDotsPerInchX())) : 96;
  const int dpi_y = s != nullptr ? static_cast<int>(std::lround(s->logicalDotsPerInchY())) : 96;
  initial_size_ =
      QSize(twips_to_px(kFormClientWidth, dpi_x), twips_to_px(kFormClientHeight, dpi_y));
  initial_text1_ = to_pixels(kText1, dpi_x, dpi_y);
  initial_text2_ = to_pixels(kText2, dpi_x, dpi_y);
  initial_command1_ = to_pixels(kCommand1, dpi_x, dpi_y);
  // Small enough for any screen, large enough that the button and a line of Text1 stay whole.
  setMinimumSize(initial_command1_.width() + 2 * initial_text1_.left(),
                 initial_size_.height() - initial_text1_.height() + initial_text2_.height());
  QSize start = initial_size_;
  if (s != nullptr) start = start.boundedTo(s->availableGeometry().size());
  resize(start);
  follow_edges();
}

void MainWindow::follow_edges() {
  const int dw = width() - initial_size_.width();
  const int dh = height() - initial_size_.height();
  text1_->setGeometry(initial_text1_.adjusted(0, 0, dw, dh));
  text2_->setGeometry(initial_text2_.adjusted(0, dh, dw, dh));
  command1_->setGeometry(initial_command1_.translated(dw, dh));
}

void MainWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  follow_edges();
}

void MainWindow::set_caption(const QString& state) {
  QString caption = QStringLiteral("mmfcast (pid %1)").arg(QCoreApplication::applicationPid());
  if (!state.isEmpty()) caption += QStringLiteral(" - ") + state;
  setWindowTitle(caption);
}

void MainWindow::show_state(std::u16string_view state) { set_caption(to_qstring(state)); }

std::string MainWindow::receive_problem() {
  if (notifier_ != nullptr) return {};
  int fd = mmfcast::platform::event_fd();
  if (fd < 0 && mmfcast::platform::session_usable()) {
    // The process opens its endpoint with its first window, or with a later one while it has
    // none open (the session was unusable then); a window made and dropped reopens it.
    mmfcast::platform::destroy_window(mmfcast::platform::create_window(&form_window_proc));
    fd = mmfcast::platform::event_fd();
  }
  if (fd < 0) {
    const std::string why = mmfcast::platform::last_error_text();
    return why.empty() ? "cannot receive" : "cannot receive: " + why;
  }
  notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this,
          [] { run_handler([] { mmfcast::platform::dispatch_pending(); }); });
  return {};
}

void MainWindow::load() {
  if (loaded_) return;
  loaded_ = true;
  hwnd_ = mmfcast::platform::create_window(&form_window_proc);
  form_.Form_Load();
  rejoin_timer_ = new QTimer(this);
  connect(rejoin_timer_, &QTimer::timeout, this,
          [this] { run_handler([this] { form_.refresh_connection(); }); });
  rejoin_timer_->start(1000);
}

void MainWindow::unload() {
  if (!loaded_) return;
  loaded_ = false;
  delete rejoin_timer_;
  rejoin_timer_ = nullptr;
  delete notifier_;
  notifier_ = nullptr;
  std::int16_t cancel = 0;
  form_.Form_Unload(cancel);
  if (hwnd_ != 0) mmfcast::platform::destroy_window(hwnd_);
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
  // The user's cursor and selection stay where they are; only the view moves to the end.
  view_at_end_ = true;
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
