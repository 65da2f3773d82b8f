// The main window drawn with Qt Widgets: the three controls at the form's layout, following
// the window's edges when it is resized, adapted to frmMain's controls interface. The caption
// says when the copy cannot reach its session or a line was not sent, and why; the copy tries
// to join again every second. Its window handle for the hook is a platform window created with
// the form; the notification descriptor is watched in Qt's loop.
#pragma once

#include <QRect>
#include <QSize>
#include <QString>
#include <QWidget>
#include <functional>
#include <string>
#include <string_view>

#include "ui/frmMain.h"

class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSocketNotifier;
class QTimer;

namespace ui {

class MainWindow : public QWidget, private FormControls {
  Q_OBJECT

 public:
  explicit MainWindow(QWidget* parent = nullptr);
  ~MainWindow() override;

  // Creates the platform window and runs Form_Load; once, before the window is shown.
  void load();

  QPlainTextEdit* text1_box() const { return text1_; }
  QLineEdit* text2_box() const { return text2_; }
  QPushButton* command1_button() const { return command1_; }
  // Text1's text as the form sees it: line breaks are CR LF.
  std::u16string text1_text() const;

  // Called with every text added to Text1, after it is shown.
  std::function<void(std::u16string_view)> on_text1_appended;

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void append_text1(std::u16string_view text) override;
  std::u16string text2() const override;
  void set_text2(const std::u16string& text) override;
  mmfcast::platform::Hwnd form_hwnd() const override { return hwnd_; }
  void show_state(std::u16string_view state) override;
  std::string receive_problem() override;

  void unload();
  void place_controls();
  void follow_edges();
  // The program's name and process id, then the form's state when it is not "".
  void set_caption(const QString& state);

  QPlainTextEdit* text1_;
  QLineEdit* text2_;
  QPushButton* command1_;
  QSocketNotifier* notifier_ = nullptr;
  QTimer* rejoin_timer_ = nullptr;
  frmMain form_;
  mmfcast::platform::Hwnd hwnd_ = 0;
  bool loaded_ = false;
  bool view_at_end_ = true;
  QSize initial_size_;
  QRect initial_text1_;
  QRect initial_text2_;
  QRect initial_command1_;
};

}  // namespace ui
