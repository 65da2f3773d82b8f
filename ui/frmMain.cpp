// The handlers of the main window. They trap nothing: an error from a control or from the
// subclassing calls reaches the toolkit's entry point, which reports it and ends the program.
// A send goes through the one send routine every copy uses: under the session's send lock, and
// announcing only what was written. Typed text is never lost in silence: the input is cleared
// only once its line went out; otherwise it stays and the window's state says why.
#include "ui/frmMain.h"

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "mmf/send_text.h"

void frmMain::Form_Load() {
  PriMMF = std::make_unique<cMMF>();
  PriMMF->DataArrival = [this](const std::u16string& DataStr) {
    ui::run_handler([&] { PriMMF_DataArrival(DataStr); });
  };
  ModSubclass::lMsgID = static_cast<std::uint32_t>(PriMMF->RegWindowMsg(mmfcast::kPubMessageName));
  PriMMF->StartSubclass(controls_.form_hwnd());
  lMMFIndex = PriMMF->AddMMFItem(mmfcast::kPubMemoryName, mmfcast::kPubMemoryLength);
  lOpenResult = PriMMF->OpenMMF(lMMFIndex);
  refresh_connection();
}

void frmMain::Form_Unload(std::int16_t& /*Cancel*/) {
  if (!PriMMF) return;
  PriMMF->CloseMMF(lMMFIndex);
  PriMMF->StopSubclass(controls_.form_hwnd());
  PriMMF.reset();
}

void frmMain::Command1_Click() {
  const std::u16string text = controls_.text2();
  if (text.empty()) return;
  connection_problem_ = check_connection();
  if (!connection_problem_.empty()) {
    show_state();
    return;
  }
  const mmfcast::SentText sent = mmfcast::send_text(*PriMMF, lMMFIndex, ModSubclass::lMsgID, text,
                                                    mmfcast::kPubMemoryLength - 1);
  // A line that reached only some copies is not kept for another try, which would show it twice
  // in the others; the caption says who missed it.
  const bool went = sent.result == mmfcast::SendResult::kSent ||
                    sent.result == mmfcast::SendResult::kNotAllReached;
  send_problem_ = sent.result == mmfcast::SendResult::kNotAllReached ? "sent, but " + sent.error
                  : went                                             ? std::string()
                                                                     : "not sent: " + sent.error;
  if (sent.result == mmfcast::SendResult::kTooLong) {
    send_problem_ += "; shorten the line, or send it in parts";
  }
  if (went) controls_.set_text2(u"");
  show_state();
}

void frmMain::Text2_KeyPress(std::int16_t& KeyAscii) {
  if (KeyAscii == 13) Command1_Click();
}

void frmMain::PriMMF_DataArrival(const std::u16string& DataStr) {
  std::u16string line = u"\r\n";
  line += ui::shown_text(DataStr);
  controls_.append_text1(line);
}

namespace {

// "what: why", with the reason the platform layer recorded for the step just taken.
std::string because(const std::string& what) {
  const std::string why = mmfcast::platform::last_error_text();
  return why.empty() ? what : what + ": " + why;
}

// Why the shared area cannot be opened, in words that say what to do where the reason is known.
std::string area_problem() {
#if defined(_WIN32)
  constexpr int kErrorInvalidHandle = 6;  // the name belongs to an object of another kind
  if (mmfcast::platform::last_error() == kErrorInvalidHandle) {
    const std::u16string_view name = mmfcast::kPubMemoryName;
    return "another program holds the name " + std::string(name.begin(), name.end()) +
           " for something other than a shared area, so no copy can open it; close that "
           "program";
  }
#endif
  return because("cannot open the shared area");
}

}  // namespace

std::string frmMain::check_connection() {
  if (!PriMMF) return "the window is not loaded";
  mmfcast::platform::clear_last_error();
  if (!mmfcast::platform::session_usable()) return because("cannot use the session");
  if (ModSubclass::lMsgID == 0) {
    mmfcast::platform::clear_last_error();
    ModSubclass::lMsgID =
        static_cast<std::uint32_t>(PriMMF->RegWindowMsg(mmfcast::kPubMessageName));
    if (ModSubclass::lMsgID == 0) return because("cannot register the notification message");
  }
  if (lOpenResult != 1) {
    mmfcast::platform::clear_last_error();
    if (lMMFIndex == 0) {
      lMMFIndex = PriMMF->AddMMFItem(mmfcast::kPubMemoryName, mmfcast::kPubMemoryLength);
    }
    lOpenResult = PriMMF->OpenMMF(lMMFIndex);
    if (lOpenResult != 1) return area_problem();
  }
  if (controls_.form_hwnd() == 0) return "cannot create its window";
  return controls_.receive_problem();
}

void frmMain::refresh_connection() {
  connection_problem_ = check_connection();
  show_state();
}

void frmMain::show_state() {
  std::string state;
  if (!connection_problem_.empty()) {
    state = "not connected: " + connection_problem_ +
            " (the copy connects by itself once that is put right)";
  } else if (!send_problem_.empty()) {
    state = send_problem_;
  }
  std::u16string shown = mmfcast::platform::from_ansi(state);
  if (shown == shown_) return;
  shown_ = std::move(shown);
  controls_.show_state(shown_);
}

namespace ui {

namespace {

void report_on_stderr(const std::string& message) {
  std::fprintf(stderr, "mmfcast: %s\n", message.c_str());
  std::fflush(stderr);
}

void (*fatal_reporter)(const std::string&) = report_on_stderr;

}  // namespace

std::u16string_view shown_text(std::u16string_view text) {
  return text.substr(0, text.find(u'\0'));
}

void set_fatal_reporter(void (*reporter)(const std::string& message)) {
  fatal_reporter = reporter != nullptr ? reporter : report_on_stderr;
}

void fail_with_current_exception() {
  std::string message = "fatal error";
  try {
    throw;
  } catch (const std::exception& e) {
    message = std::string("fatal error: ") + e.what();
  } catch (...) {
  }
  fatal_reporter(message);
  std::exit(EXIT_FAILURE);
}

}  // namespace ui
