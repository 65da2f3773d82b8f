// frmMain: the main window's logic. It owns the one cMMF object, sets the channel up at load,
// sends the input line on Enter or a click, adds each received text to the display box and
// takes the hook down at unload. It knows its controls only through FormControls, so the Qt
// program and the Win32 program run the same handlers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "hook/ModSubclass.h"
#include "mmf/cMMF.h"
#include "platform/platform.h"

// The three controls of the form and its window, as a toolkit provides them.
class FormControls {
 public:
  virtual ~FormControls() = default;

  // Adds text at the end of Text1: afterwards Text1's text is its former text followed by text,
  // without setting the whole text again. text holds no character of code 0.
  virtual void append_text1(std::u16string_view text) = 0;
  virtual std::u16string text2() const = 0;
  virtual void set_text2(const std::u16string& text) = 0;
  // The form's top-level window, the one whose procedure the hook replaces.
  virtual mmfcast::platform::Hwnd form_hwnd() const = 0;
  // Shows the copy's state where the user sees it (the windows put it in their caption):
  // "" while all is well, else one line saying what is wrong ("not connected: why",
  // "not sent: why").
  virtual void show_state(std::u16string_view state) = 0;
  // Why this toolkit's copy cannot receive, "" when it can; it may try again what failed.
  virtual std::string receive_problem() { return {}; }
};

class frmMain {
 public:
  explicit frmMain(FormControls& controls) : controls_(controls) {}
  frmMain(const frmMain&) = delete;
  frmMain& operator=(const frmMain&) = delete;

  void Form_Load();
  void Form_Unload(std::int16_t& Cancel);
  void Command1_Click();
  void Text2_KeyPress(std::int16_t& KeyAscii);
  void PriMMF_DataArrival(const std::u16string& DataStr);

  // Tries again whichever step of joining the session failed (the notification's registration,
  // the area, the toolkit's receiving) and shows the state when it changed. The windows call it
  // every second, so a copy recovers without a restart once its session is usable.
  void refresh_connection();
  // Why the copy cannot send or receive as of the last check; "" when it can.
  const std::string& connection_problem() const { return connection_problem_; }

  std::unique_ptr<cMMF> PriMMF;
  std::int32_t lMMFIndex = 0;
  std::int32_t lOpenResult = 0;

 private:
  std::string check_connection();
  void show_state();

  FormControls& controls_;
  std::string connection_problem_;
  std::string send_problem_;  // what went wrong with the last send; "" after one that went to all
  std::u16string shown_;
};

namespace ui {

// What a text box shows of a text: everything before its first character of code 0.
std::u16string_view shown_text(std::u16string_view text);

// Reports the exception being handled once (through the reporter, stderr by default) and ends
// the program with a non-zero status. For the toolkits' event entry points, which an
// exception must not cross.
[[noreturn]] void fail_with_current_exception();
// Replaces the reporter, e.g. to show a message box as well; it gets a one-line description.
void set_fatal_reporter(void (*reporter)(const std::string& message));

// Runs one event handler; an exception that escapes it ends the program as above.
template <typename Handler>
void run_handler(Handler&& handler) {
  try {
    handler();
  } catch (...) {
    fail_with_current_exception();
  }
}

}  // namespace ui
