// The one way a copy of the program sends a line: the checks that keep a receiver from being
// told more than the area holds, then the write into the shared area and its announcement as a
// single step under the session's send lock. The window and Channel both send through it.
#pragma once

#include <cstdint>
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
// holding a character of code 0, an area that is not open or a notification that is not
// registered is refused (kFailed). The notification announces what was written: wParam = the
// characters written + 1 (WriteMMF's result), lParam = the send-lock hold it was sent under, so
// a receiver that resumes late can tell a stale notification.
SentText send_text(cMMF& mmf, std::int32_t index, std::uint32_t msg, std::u16string_view text,
                   std::size_t max_bytes);

}  // namespace mmfcast
