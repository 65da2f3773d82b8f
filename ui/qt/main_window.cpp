// Adapts frmMain to Qt Widgets. Every Qt entry point that runs a handler goes through
// ui::run_handler, so an exception is reported and ends the program instead of unwinding
// through Qt. A received text is added to a buffer, which costs the same however much the box
// holds, and the buffer goes into Text1 on a short timer, many texts in one insertion; the
// box drops its oldest lines past its limit. The form's layout is the initial one; resizing
// follows ui::lay_out, as the Win32 window does.
#include "ui/qt/main_window.h"

#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDir>
#include <QIcon>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollBar>
#include <QSettings>
#include <QShortcut>
#include <QSocketNotifier>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <algorithm>
#include <cmath>

#include "ui/bounded_log.h"
#include "ui/layout.h"

static void init_icon_resource() { Q_INIT_RESOURCE(mmfcast); }

namespace ui {

namespace {

// How long received texts wait before they are shown: a batch twenty times a second.
constexpr int kShowDelayMs = 50;

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

QRect to_qrect(const PixelRect& r) { return QRect(r.left, r.top, r.width, r.height); }

QSettings user_settings() {
  return QSettings(QStringLiteral("mmfcast"), QStringLiteral("mmfcast"));
}

// The session directory as the transport chooses it from the environment.
QString session_dir_shown() {
  QString chosen = qEnvironmentVariable("MMFCAST_SESSION_DIR");
  if (!chosen.isEmpty()) return chosen;
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (runtime.startsWith(u'/')) return runtime + QStringLiteral("/mmfcast");
  return QStringLiteral("/tmp/mmfcast-%1").arg(::geteuid());
}

}  // namespace

MainWindow::MainWindow(QWidget* parent)
    : QWidget(parent),
      text1_(new QPlainTextEdit(this)),
      text2_(new QLineEdit(this)),
      command1_(new QPushButton(QString::fromLatin1(kCommand1Caption), this)),
      status_(new QLabel(this)),
      show_timer_(new QTimer(this)),
      form_(*this),
      max_lines_(kDefaultMaxLines) {
  init_icon_resource();
  QIcon icon;
  icon.addFile(QStringLiteral(":/mmfcast/icon-16.png"), QSize(16, 16));
  icon.addFile(QStringLiteral(":/mmfcast/icon-32.png"), QSize(32, 32));
  setWindowIcon(icon);
  show_state({});

  // Tab moves the focus on from the multi-line box too, as in a native edit control.
  text1_->setTabChangesFocus(true);
  text1_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  // Nothing is ever undone in the box: without a record of every insertion it needs no memory
  // past the lines it keeps.
  text1_->setUndoRedoEnabled(false);
  // Received lines only: nothing typed or pasted goes in, but they can be selected and copied.
  text1_->setReadOnly(true);
  text1_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  text1_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(text1_, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& at) { run_handler([&] { show_context_menu(at); }); });
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
  // The status line's text can be selected and copied; it takes no place in the tab order.
  status_->setWordWrap(true);
  status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  status_->setFocusPolicy(Qt::NoFocus);
  status_->hide();
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
  status_->setAccessibleName(QStringLiteral("Status"));
  place_controls();

  show_timer_->setSingleShot(true);
  show_timer_->setInterval(kShowDelayMs);
  connect(show_timer_, &QTimer::timeout, this, [this] { run_handler([this] { show_arrived(); }); });

  // Ctrl+Q quits, Ctrl+W closes the window (the copy's only one), F1 tells about the program.
  auto* quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this);
  quit->setContext(Qt::WindowShortcut);
  connect(quit, &QShortcut::activated, this, [] { QApplication::closeAllWindows(); });
  auto* close_window = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_W), this);
  connect(close_window, &QShortcut::activated, this, [this] { close(); });
  auto* about = new QShortcut(QKeySequence(Qt::Key_F1), this);
  connect(about, &QShortcut::activated, this, [this] { run_handler([this] { show_about(); }); });

  text2_->installEventFilter(this);
  connect(command1_, &QPushButton::clicked, this,
          [this] { run_handler([this] { form_.Command1_Click(); }); });
}

MainWindow::~MainWindow() { unload(); }

void MainWindow::use_settings(std::optional<std::size_t> max_lines) {
  settings_used_ = true;
  QSettings settings = user_settings();
  const std::optional<std::size_t> saved =
      parse_max_lines(settings.value(QStringLiteral("log/maxLines")).toString().toStdString());
  set_max_lines(max_lines.value_or(saved.value_or(kDefaultMaxLines)));
  arrival_sign_ = settings.value(QStringLiteral("window/arrivalSign"), true).toBool();
  const QByteArray geometry = settings.value(QStringLiteral("window/geometry")).toByteArray();
  if (!geometry.isEmpty()) restoreGeometry(geometry);
}

void MainWindow::save_settings() {
  if (!settings_used_) return;
  QSettings settings = user_settings();
  settings.setValue(QStringLiteral("window/geometry"), saveGeometry());
  settings.setValue(QStringLiteral("window/arrivalSign"), arrival_sign_);
}

void MainWindow::set_max_lines(std::size_t max_lines) {
  max_lines_ = std::clamp(max_lines, kMinMaxLines, kMaxMaxLines);
  drop_oldest_lines();
}

void MainWindow::drop_oldest_lines() {
  // Cut down to nine tenths of the limit at once: the box lays its text out again after a cut
  // at its start, which would otherwise happen for every batch of lines once the box is full.
  // The cut's end is found by block number and the cursor jumps there inside an edit block: a
  // cursor moved block by block outside one lays out every block it passes to keep its column,
  // which made a cut of a thousand lines hold every sender up for a few hundred milliseconds.
  QTextDocument* document = text1_->document();
  const auto count = static_cast<std::size_t>(document->blockCount());
  if (count <= max_lines_) return;
  const std::size_t keep = std::max<std::size_t>(max_lines_ - max_lines_ / 10, 1);
  const QTextBlock first_kept = document->findBlockByNumber(static_cast<int>(count - keep));
  QTextCursor cut(document);
  cut.beginEditBlock();
  cut.setPosition(first_kept.position(), QTextCursor::KeepAnchor);
  cut.removeSelectedText();
  cut.endEditBlock();
}

void MainWindow::set_arrival_sign(bool on) { arrival_sign_ = on; }

void MainWindow::place_controls() {
  const QScreen* s = screen();
  dpi_x_ = s != nullptr ? static_cast<int>(std::lround(s->logicalDotsPerInchX())) : 96;
  dpi_y_ = s != nullptr ? static_cast<int>(std::lround(s->logicalDotsPerInchY())) : 96;
  const PixelRect form = form_client(dpi_x_, dpi_y_);
  const PixelRect smallest = minimum_client(dpi_x_, dpi_y_, 0);
  // Small enough for any screen, large enough that the button and a line of Text1 stay whole.
  setMinimumSize(smallest.width, smallest.height);
  QSize start(form.width, form.height);
  if (s != nullptr) start = start.boundedTo(s->availableGeometry().size());
  resize(start);
  follow_edges();
}

void MainWindow::follow_edges() {
  const int status_height =
      status_->text().isEmpty() ? 0 : status_->heightForWidth(std::max(1, width() - 6));
  const FormLayout layout = lay_out(width(), height(), dpi_x_, dpi_y_, status_height);
  text1_->setGeometry(to_qrect(layout.text1));
  text2_->setGeometry(to_qrect(layout.text2));
  status_->setGeometry(to_qrect(layout.status));
  command1_->setGeometry(to_qrect(layout.command1));
}

void MainWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  follow_edges();
}

void MainWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // The start size is bounded by the screen's free area before the window has a frame; once the
  // window manager has framed it (it moves the window when it does), its title bar may push the
  // bottom edge and the button off the screen, so the window is fitted once more. Only the first
  // framing counts: later moves are the user's.
  if (framed_once_) return;
  framed_once_ = true;
  fit_pending_ = true;
  QTimer::singleShot(1000, this, [this] { fit_pending_ = false; });
}

void MainWindow::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  if (!fit_pending_ || frameGeometry() == geometry()) return;
  fit_pending_ = false;
  fit_frame_to_screen();
}

void MainWindow::fit_frame_to_screen() {
  const QScreen* s = screen();
  if (s == nullptr || isMaximized() || isFullScreen()) return;
  const QRect free = s->availableGeometry();
  const QRect framed = frameGeometry();
  if (free.contains(framed)) return;
  const int frame_width = framed.width() - width();
  const int frame_height = framed.height() - height();
  const int w = std::max(std::min(width(), free.width() - frame_width), minimumWidth());
  const int h = std::max(std::min(height(), free.height() - frame_height), minimumHeight());
  resize(w, h);
  // move() places the frame: keep all of it on the free area where it fits.
  const int x = std::clamp(framed.x(), free.left(),
                           std::max(free.left(), free.right() + 1 - w - frame_width));
  const int y = std::clamp(framed.y(), free.top(),
                           std::max(free.top(), free.bottom() + 1 - h - frame_height));
  move(x, y);
}

void MainWindow::show_state(std::u16string_view state) {
  // The caption carries the first words ("not sent", "not connected"); the status line all.
  const QString full = to_qstring(state);
  QString caption = QStringLiteral("mmfcast (pid %1)").arg(QCoreApplication::applicationPid());
  if (!full.isEmpty()) caption += QStringLiteral(" - ") + full.section(u':', 0, 0);
  setWindowTitle(caption);
  status_->setText(full);
  status_->setVisible(!full.isEmpty());
  follow_edges();
}

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
  run_handler([this] {
    save_settings();
    unload();
  });
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
  // The box keeps one paragraph per line: a CR LF pair is one line break. The form's first line
  // break is not shown, so that what is copied from the box starts with the first text.
  QString piece = to_qstring(text);
  piece.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  if (!hidden_break_ && arrived_.isEmpty() && text1_->document()->isEmpty() &&
      piece.startsWith(u'\n')) {
    hidden_break_ = true;
    piece.remove(0, 1);
  }
  arrived_ += piece;
  if (!show_timer_->isActive()) show_timer_->start();
  if (on_text1_appended) on_text1_appended(text);
}

void MainWindow::show_arrived() {
  if (arrived_.isEmpty()) return;
  QTextCursor end(text1_->document());
  end.movePosition(QTextCursor::End);
  end.insertText(arrived_);
  arrived_.clear();
  drop_oldest_lines();
  // The user's cursor and selection stay where they are; only the view moves to the end.
  view_at_end_ = true;
  text1_->verticalScrollBar()->setValue(text1_->verticalScrollBar()->maximum());
  if (arrival_sign_ && !isActiveWindow()) {
    QApplication::alert(this);
    if (on_arrival_sign) on_arrival_sign();
  }
}

std::u16string MainWindow::text1_text() const {
  QString text = hidden_break_ ? QStringLiteral("\n") : QString();
  text += text1_->toPlainText();
  text += arrived_;
  text.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
  return to_u16(text);
}

std::u16string MainWindow::text2() const { return to_u16(text2_->text()); }

void MainWindow::set_text2(const std::u16string& text) { text2_->setText(to_qstring(text)); }

void MainWindow::show_context_menu(const QPoint& at) {
  QMenu* menu = text1_->createStandardContextMenu(at);
  menu->addSeparator();
  QAction* sign = menu->addAction(QStringLiteral("Mark the window when a line arrives"));
  sign->setCheckable(true);
  sign->setChecked(arrival_sign_);
  connect(sign, &QAction::toggled, this, [this](bool on) {
    set_arrival_sign(on);
    if (settings_used_) user_settings().setValue(QStringLiteral("window/arrivalSign"), on);
  });
  connect(menu->addAction(QStringLiteral("Lines to keep...")), &QAction::triggered, this,
          [this] { ask_max_lines(); });
  connect(menu->addAction(QStringLiteral("About mmfcast")), &QAction::triggered, this,
          [this] { show_about(); });
  menu->exec(text1_->viewport()->mapToGlobal(at));
  delete menu;
}

void MainWindow::ask_max_lines() {
  bool ok = false;
  const int chosen = QInputDialog::getInt(
      this, QStringLiteral("Lines to keep"),
      QStringLiteral("The received-lines box keeps this many lines and drops the oldest:"),
      static_cast<int>(max_lines_), static_cast<int>(kMinMaxLines), static_cast<int>(kMaxMaxLines),
      1000, &ok);
  if (!ok) return;
  set_max_lines(static_cast<std::size_t>(chosen));
  if (settings_used_) {
    user_settings().setValue(QStringLiteral("log/maxLines"), QString::number(chosen));
  }
}

QString MainWindow::about_text() const {
  return QStringLiteral(
             "<p><b>mmfcast %1</b></p>"
             "<p>Passes short lines of text between the running copies of mmfcast and "
             "mmfcast-cli in this user session.</p>"
             "<p>This copy's session directory: %2<br>Its settings: %3</p>"
             "<p>The box keeps the last %4 lines (right-click it to change that).</p>"
             "<p>MIT License. Copyright (c) 2026 The mmfcast developers.</p>")
      .arg(QStringLiteral(MMFCAST_VERSION), session_dir_shown().toHtmlEscaped(),
           user_settings().fileName().toHtmlEscaped(), QString::number(max_lines_));
}

void MainWindow::show_about() {
  QMessageBox::about(this, QStringLiteral("About mmfcast"), about_text());
}

}  // namespace ui
