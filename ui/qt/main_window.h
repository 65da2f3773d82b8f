// The main window drawn with Qt Widgets: the three controls at the form's layout, following
// the window's edges when it is resized, adapted to frmMain's controls interface. A status line
// under the input says, in full, when the copy cannot reach its session or a line was not sent,
// and why; the copy tries to join again every second. Received texts are gathered and shown a
// screenful at a time into a box that keeps a bounded number of lines, so a burst costs the
// senders no more than a terminal listener does. Its window handle for the hook is a platform
// window created with the form; the notification descriptor is watched in Qt's loop.
#pragma once

#include <QByteArray>
#include <QString>
#include <QWidget>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "ui/frmMain.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSettings;
class QSocketNotifier;
class QTimer;

namespace ui {

class MainWindow : public QWidget, private FormControls {
  Q_OBJECT

 public:
  explicit MainWindow(QWidget* parent = nullptr);
  ~MainWindow() override;

  // Takes the user's settings (lines kept, the arrival sign, size and position) and saves them
  // again when the window closes; max_lines, when given, is used for this run instead.
  void use_settings(std::optional<std::size_t> max_lines = std::nullopt);
  // Creates the platform window and runs Form_Load; once, before the window is shown.
  void load();

  QPlainTextEdit* text1_box() const { return text1_; }
  QLineEdit* text2_box() const { return text2_; }
  QPushButton* command1_button() const { return command1_; }
  QLabel* status_line() const { return status_; }
  // Text1's text as the form sees it: line breaks are CR LF, and every kept text follows the
  // line break the form put before it (which the box itself does not show before the first).
  std::u16string text1_text() const;
  // Shows what has arrived and not been shown yet; the window does it by itself shortly.
  void show_arrived();
  std::size_t max_lines() const { return max_lines_; }
  void set_max_lines(std::size_t max_lines);
  bool arrival_sign() const { return arrival_sign_; }
  void set_arrival_sign(bool on);
  // The text of the About box.
  QString about_text() const;

  // Called with every text added to Text1 (when it arrives).
  std::function<void(std::u16string_view)> on_text1_appended;
  // Called when a line arrives while the window is not the active one and the sign is on.
  std::function<void()> on_arrival_sign;

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void moveEvent(QMoveEvent* event) override;

 private:
  void append_text1(std::u16string_view text) override;
  std::u16string text2() const override;
  void set_text2(const std::u16string& text) override;
  mmfcast::platform::Hwnd form_hwnd() const override { return hwnd_; }
  void show_state(std::u16string_view state) override;
  std::string receive_problem() override;

  void unload();
  void place_controls();
  void fit_frame_to_screen();
  void follow_edges();
  void drop_oldest_lines();
  void show_context_menu(const QPoint& at);
  void ask_max_lines();
  void show_about();
  void save_settings();

  QPlainTextEdit* text1_;
  QLineEdit* text2_;
  QPushButton* command1_;
  QLabel* status_;
  QSocketNotifier* notifier_ = nullptr;
  QTimer* rejoin_timer_ = nullptr;
  QTimer* show_timer_ = nullptr;
  frmMain form_;
  mmfcast::platform::Hwnd hwnd_ = 0;
  bool loaded_ = false;
  bool view_at_end_ = true;
  bool hidden_break_ = false;  // the form's first line break, which the box does not show
  bool settings_used_ = false;
  bool framed_once_ = false;  // the first show has happened
  bool fit_pending_ = false;  // the window manager has not framed the window yet
  bool arrival_sign_ = true;
  std::size_t max_lines_;
  QString arrived_;  // received and not shown yet, line breaks as the box takes them
  int dpi_x_ = 96;
  int dpi_y_ = 96;
};

}  // namespace ui
