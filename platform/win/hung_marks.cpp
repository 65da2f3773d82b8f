// The session-wide marks of unresponsive windows, kept in a volatile registry key (see
// hung_marks.h). Each mark is one value, written, read and deleted by one registry call, so
// senders in several processes never see half a mark; a race between them costs at most one
// wait too many or one notification skipped.
#include "platform/win/hung_marks.h"

#include <charconv>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

namespace mmfcast::platform::win {

namespace {

// The longest value name the registry allows, and its zero.
constexpr DWORD kMaxValueName = 16384;

std::uint64_t key_of(HWND window) {
  return static_cast<std::uint64_t>(reinterpret_cast<ULONG_PTR>(window));
}

// The window a value name stands for; null for a name that is not one of ours.
HWND window_named(const std::string& name) {
  std::uint64_t key = 0;
  const char* end = name.data() + name.size();
  const auto parsed = std::from_chars(name.data(), end, key, 16);
  if (parsed.ec != std::errc() || parsed.ptr != end || key == 0) return nullptr;
  const auto window = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(key));
  return key_of(window) == key && name == hung_mark_name(window).data() ? window : nullptr;
}

DWORD owner_of(HWND window) {
  DWORD pid = 0;
  return ::GetWindowThreadProcessId(window, &pid) != 0 ? pid : 0;
}

// Whether record is a sound mark of window, still of the process it was made for.
bool holds(const HungMarkRecord& record, HWND window, ULONGLONG now) {
  return record.magic == kHungMarkMagic && record.window == key_of(window) && record.pid != 0 &&
         record.pid == owner_of(window) && record.since_ms != 0 && record.since_ms <= now;
}

}  // namespace

std::array<char, 17> hung_mark_name(HWND window) {
  std::array<char, 17> name{};
  std::snprintf(name.data(), name.size(), "%016llX",
                static_cast<unsigned long long>(key_of(window)));
  return name;
}

HungMarks::HungMarks(const char* subkey) {
  HKEY key = nullptr;
  if (::RegCreateKeyExA(HKEY_CURRENT_USER, subkey, 0, nullptr, REG_OPTION_VOLATILE,
                        KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key, nullptr) == ERROR_SUCCESS) {
    key_ = key;
  }
}

HungMarks::~HungMarks() {
  if (key_ != nullptr) ::RegCloseKey(key_);
}

bool HungMarks::any() const {
  DWORD values = 0;
  return key_ != nullptr &&
         ::RegQueryInfoKeyA(key_, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                            nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
         values != 0;
}

ULONGLONG HungMarks::since(HWND window, ULONGLONG now) const {
  if (key_ == nullptr) return 0;
  const std::array<char, 17> name = hung_mark_name(window);
  HungMarkRecord record{};
  DWORD type = REG_NONE;
  DWORD size = sizeof record;  // longer data fails with ERROR_MORE_DATA
  const LSTATUS status = ::RegQueryValueExA(key_, name.data(), nullptr, &type,
                                            reinterpret_cast<BYTE*>(&record), &size);
  if (status == ERROR_FILE_NOT_FOUND) return 0;
  if (status == ERROR_SUCCESS && type == REG_BINARY && size == sizeof record &&
      holds(record, window, now)) {
    return record.since_ms;
  }
  ::RegDeleteValueA(key_, name.data());
  return 0;
}

void HungMarks::mark(HWND window, ULONGLONG now) const {
  const DWORD pid = owner_of(window);
  if (key_ == nullptr || pid == 0 || now == 0) return;
  prune(now);
  const HungMarkRecord record{key_of(window), pid, kHungMarkMagic, now};
  ::RegSetValueExA(key_, hung_mark_name(window).data(), 0, REG_BINARY,
                   reinterpret_cast<const BYTE*>(&record), sizeof record);
}

void HungMarks::clear(HWND window) const {
  if (key_ != nullptr) ::RegDeleteValueA(key_, hung_mark_name(window).data());
}

void HungMarks::prune(ULONGLONG now) const {
  if (key_ == nullptr) return;
  // Deleting a value renumbers the ones after it, so the names are gathered first.
  std::vector<std::string> names;
  std::string name(kMaxValueName, '\0');
  for (DWORD index = 0; index < kHungMarksScanned; ++index) {
    DWORD length = kMaxValueName;
    const LSTATUS status =
        ::RegEnumValueA(key_, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status == ERROR_SUCCESS && length < kMaxValueName) names.emplace_back(name.data(), length);
  }
  for (const std::string& found : names) {
    if (HWND window = window_named(found); window != nullptr) {
      since(window, now);  // drops the mark unless it holds up
    } else {
      ::RegDeleteValueA(key_, found.c_str());
    }
  }
}

const HungMarks& session_hung_marks() {
  alignas(HungMarks) static unsigned char storage[sizeof(HungMarks)];
  static const HungMarks* const marks = new (storage) HungMarks(kHungMarksKey);
  return *marks;
}

}  // namespace mmfcast::platform::win
