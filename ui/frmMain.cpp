// The handlers of the main window. They trap nothing: an error from a control or from the
// subclassing calls reaches the toolkit's entry point, which reports it and ends the program.
// A send holds the session's send lock from the write to the end of the broadcast, so another
// copy cannot overwrite the text before this copy's receivers have read it.
#include "ui/frmMain.h"

#include <cstdio>
#include <cstdlib>
#include <exception>

void frmMain::Form_Load() {
  PriMMF = std::make_unique<cMMF>();
  PriMMF->DataArrival = [this](const std::u16string& DataStr) {
    ui::run_handler([&] { PriMMF_DataArrival(DataStr); });
  };
  ModSubclass::lMsgID = static_cast<std::uint32_t>(PriMMF->RegWindowMsg(mmfcast::kPubMessageName));
  PriMMF->StartSubclass(controls_.form_hwnd());
  lMMFIndex = PriMMF->AddMMFItem(mmfcast::kPubMemoryName, mmfcast::kPubMemoryLength);
  lOpenResult = PriMMF->OpenMMF(lMMFIndex);
}

void frmMain::Form_Unload(std::int16_t& /*Cancel*/) {
  if (!PriMMF) return;
  PriMMF->CloseMMF(lMMFIndex);
  PriMMF->StopSubclass(controls_.form_hwnd());
  PriMMF.reset();
}

void frmMain::Command1_Click() {
  if (controls_.text2().empty()) return;
  mmfcast::platform::send_locked(
      [&] { PriMMF->WriteMMF(lMMFIndex, controls_.text2()); },
      [&] {
        const auto length = static_cast<std::int32_t>(controls_.text2().size());
        return std::holds_alternative<std::int32_t>(PriMMF->SendMesageAll(
            u"", static_cast<std::int32_t>(ModSubclass::lMsgID), length + 1, 0));
      });
  controls_.set_text2(u"");
}

void frmMain::Text2_KeyPress(std::int16_t& KeyAscii) {
  if (KeyAscii == 13) Command1_Click();
}

void frmMain::PriMMF_DataArrival(const std::u16string& DataStr) {
  std::u16string line = u"\r\n";
  line += ui::shown_text(DataStr);
  controls_.append_text1(line);
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
