// The one way a copy of the program sends a line: the checks that keep a receiver from being
// told more than the area holds, then the write into the shared area and its announcement as a
// single step under the session's send lock; and the one way it reads a line it was told of.
// The window's hook and Channel both go through them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "mmf/cMMF.h"
#include "mmf/channel.h"

namespace mmfcast {

struct SentText {
  SendResult result = SendResult::kFailed;
  std::string error;  // why it was not sent (or not announced), naming the step; "" when sent
};

// Sends text through the area at index of mmf (open, registered under the channel's area name)
// with the notification msg. A text longer than max_bytes (and than the area less its zero
// byte) is not sent (kTooLong); one
// holding a character of code 0 or a character that has no form in the ANSI code page (a lone
// surrogate included), an area that is not open or a notification that is not registered is
// refused (kFailed), the error naming the character and its place. The notification announces what
// was written: wParam = the characters written + 1 (WriteMMF's result), lParam = the send-lock hold
// it was sent under, so a receiver that resumes late can tell a stale notification.
SentText send_text(cMMF& mmf, std::int32_t index, std::uint32_t msg, std::u16string_view text,
                   std::size_t max_bytes);

// The text that notification msg (wParam, lParam), handled by window hWnd, announced in the area
// at index of mmf, as ReadMMF gives it (padded with characters of code 0); nullopt when there
// is nothing to show: the notification is stale or its text already shown, the area is not open,
// or the text was replaced while it was copied out.
std::optional<std::u16string> read_notified_text(cMMF& mmf, std::int32_t index, platform::Hwnd hWnd,
                                                 std::uint32_t msg, platform::WParam wParam,
                                                 platform::LParam lParam);

#if !defined(_WIN32)
// The same text up to its first character of code 0, as to_ansi makes it, read in one pass from
// an open area's view of view_bytes (its size stays while it is mapped): the ANSI code page is
// UTF-8 here, so the area's bytes are already the text's own but for ill-formed sequences.
// nullopt as above; nothing is shown of a view of 0.
std::optional<std::string> read_notified_line(platform::ViewAddr view, std::size_t view_bytes,
                                              platform::WParam wParam);
#endif

}  // namespace mmfcast
