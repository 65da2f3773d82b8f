// Sending one line: refusing what a receiver would get wrong, then writing and announcing it
// under the send lock.
#include "mmf/send_text.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <variant>

#include "platform/platform.h"
#include "platform/utf8.h"

namespace mmfcast {

namespace {

// "what: why", with the reason the platform layer recorded for the step just taken.
std::string because(const std::string& what) {
  const std::string why = platform::last_error_text();
  return why.empty() ? what : what + ": " + why;
}

}  // namespace

SentText send_text(cMMF& mmf, std::int32_t index, std::uint32_t msg, std::u16string_view text,
                   std::size_t max_bytes) {
  SentText out;
  if (const std::size_t zero = text.find(u'\0'); zero != std::u16string_view::npos) {
    out.error = "the text holds a character of code 0 at character " +
                std::to_string(platform::utf8::character_ordinal(text, zero)) +
                "; a receiver would see it cut there";
    return out;
  }
  // Checked before anything else, so that a text is either carried exactly or refused.
  std::string bytes;
  if (std::string why = platform::encode_exact(text, bytes); !why.empty()) {
    out.error = std::move(why);
    return out;
  }
  MMFItem item;
  const std::size_t area =
      mmf.GetMMFItem(index, item) == 1 ? platform::view_size(item.lpMapView) : 0;
  if (area == 0) {
    out.error = "the shared area is not open";
    return out;
  }
  if (msg == 0) {
    out.error = "the notification message is not registered";
    return out;
  }
  const std::u16string whole(text);
  const std::size_t limit = std::min(area - 1, max_bytes);
  if (bytes.size() > limit) {
    out.result = SendResult::kTooLong;
    out.error = "text too long for the shared area (" + std::to_string(bytes.size()) + " bytes, " +
                std::to_string(limit) + " at most)";
    return out;
  }
  platform::clear_last_error();
  bool tried = false;
  std::int32_t written = 0;
  const bool sent = platform::send_locked(
      [&] {
        tried = true;
        written = mmf.WriteMMF(index, whole);
      },
      [&] {
        const auto tag = static_cast<std::int32_t>(platform::notification_tag(msg));
        return written != 0 && std::holds_alternative<std::int32_t>(mmf.SendMesageAll(
                                   u"", static_cast<std::int32_t>(msg), written, tag));
      });
  if (!tried) {
    out.error = because("cannot take the send lock");
  } else if (written == 0) {
    out.error = because("cannot write the text into the shared area");
  } else if (!sent && platform::broadcast_unreached() > 0) {
    // The others have it; the reason says how many did not.
    out.result = SendResult::kNotAllReached;
    out.error = platform::last_error_text();
  } else if (!sent) {
    out.error = because("the broadcast failed");
  } else {
    out.result = SendResult::kSent;
  }
  return out;
}

std::optional<std::u16string> read_notified_text(cMMF& mmf, std::int32_t index, platform::Hwnd hWnd,
                                                 std::uint32_t msg, platform::WParam wParam,
                                                 platform::LParam lParam) {
  // A notification our sender tagged with a send-lock hold that has since ended was queued
  // while this window did not answer (Windows): the area holds a later text, which is read
  // whole, once, instead of as many copies as there are queued notifications.
  const platform::NotificationUse use = platform::use_notification(hWnd, msg, lParam);
  if (use == platform::NotificationUse::kSkip) return std::nullopt;
  const bool current = use == platform::NotificationUse::kReadCurrent;
  const bool open = mmf.OpenMMF(index) != 0;
  std::u16string text;
  if (open) {
    // wParam carries a 32-bit length; a larger value from a 64-bit sender is cut to it. The
    // current text is read up to its zero byte, bounded by the area.
    auto length = static_cast<std::int32_t>(static_cast<std::uint32_t>(wParam));
    if (current) {
      MMFItem item;
      const std::size_t area =
          mmf.GetMMFItem(index, item) == 1 ? platform::view_size(item.lpMapView) : 0;
      length = static_cast<std::int32_t>(
          std::min<std::size_t>(area + 1, std::numeric_limits<std::int32_t>::max()));
    }
    text = mmf.ReadMMF(index, length);
  }
  if (current) platform::current_text_read();
  // A text replaced while it was being copied out is dropped rather than shown.
  if (!open || !platform::notification_current()) return std::nullopt;
  return text;
}

#if !defined(_WIN32)
std::optional<std::string> read_notified_line(platform::ViewAddr view, std::size_t view_bytes,
                                              platform::WParam wParam) {
  if (view == 0) return std::nullopt;
  const std::size_t area = view_bytes;
  const auto length = static_cast<std::int32_t>(static_cast<std::uint32_t>(wParam));
  std::string text;
  if (length > 0 && area > 0) {
    // As ReadMMF reads: `wanted` characters lie within 4 bytes each, and the bytes are copied
    // once, since another process may be writing meanwhile. An ordinary line fits on the stack.
    const std::size_t wanted = std::min(static_cast<std::size_t>(length) - 1, area);
    const std::size_t copy = std::min(area, 4 * wanted);
    std::array<char, 1024> small;
    std::string large;
    char* bytes = small.data();
    if (copy > small.size()) {
      large.resize(copy);
      bytes = large.data();
    }
    std::memcpy(bytes, reinterpret_cast<const void*>(view), copy);
    text = platform::ansi_prefix(std::string_view(bytes, copy), wanted);
  }
  // A text replaced while it was being copied out is dropped rather than shown.
  if (!platform::notification_current()) return std::nullopt;
  return text;
}
#endif

}  // namespace mmfcast
