// The registry, area access and message channel of cMMF. Each public operation sets the result
// that means "nothing done" first and catches everything, so an error (out of memory, a failed
// conversion) ends the operation with the result it held at that point.
#include "mmf/cMMF.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "hook/ModSubclass.h"

namespace {

bool is_high_surrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }

// The longest prefix of text, ending on a character boundary, whose ANSI form has at most
// max_bytes bytes. The ANSI length grows with the prefix, so a binary search finds it.
// units, when given, receives how many UTF-16 units of text the result holds.
std::string fitting_ansi(std::u16string_view text, std::size_t max_bytes,
                         std::size_t* units = nullptr) {
  std::string whole = mmfcast::platform::to_ansi(text);
  if (units != nullptr) *units = text.size();
  if (whole.size() <= max_bytes) return whole;
  std::size_t lo = 0, hi = text.size();  // the prefix of lo units fits, hi units does not
  while (hi - lo > 1) {
    std::size_t mid = lo + (hi - lo) / 2;
    if (mmfcast::platform::to_ansi(text.substr(0, mid)).size() <= max_bytes) {
      lo = mid;
    } else {
      hi = mid;
    }
  }
  if (lo > 0 && is_high_surrogate(text[lo - 1])) --lo;  // never split a surrogate pair
  if (units != nullptr) *units = lo;
  return mmfcast::platform::to_ansi(text.substr(0, lo));
}

bool is_open(const MMFItem& item) { return item.hMapFile != 0 && item.lpMapView != 0; }

}  // namespace

cMMF::cMMF() { ResetMMFList(); }

cMMF::~cMMF() {
  // The hook must never serve an object that no longer exists.
  if (ModSubclass::objMMF == this) ModSubclass::objMMF = nullptr;
  ResetMMFList();
}

// ---- Registry ---------------------------------------------------------------------------------

std::int32_t cMMF::FindMMFItem(const std::u16string& name) const {
  for (std::int32_t i = 1; i <= upper_bound(); ++i) {
    if (MMFList[static_cast<std::size_t>(i)].sMemID == name) return i;
  }
  return 0;
}

void cMMF::ResetMMFList() {
  MMFList.clear();
  MMFList.emplace_back();
}

std::int32_t cMMF::AddMMFItem(std::u16string sMemID, std::int32_t lMemLength) {
  std::int32_t result = 0;
  try {
    if (FindMMFItem(sMemID) != 0) return result;
    if (upper_bound() == std::numeric_limits<std::int32_t>::max()) return result;
    MMFItem item{std::move(sMemID), lMemLength, 0, 0};
    MMFList.push_back(std::move(item));  // leaves the list as it was if it throws
    result = upper_bound();
  } catch (...) {
  }
  return result;
}

std::int32_t cMMF::RemoveMMFItem(std::int32_t Index) {
  std::int32_t result = 0;
  try {
    if (!is_item(Index)) return result;
    // The new list is complete before it replaces the old one, so a failure loses nothing.
    std::vector<MMFItem> kept;
    kept.reserve(MMFList.size() - 1);
    for (std::int32_t i = 0; i <= upper_bound(); ++i) {
      if (i != Index) kept.push_back(MMFList[static_cast<std::size_t>(i)]);
    }
    MMFList.swap(kept);
    result = upper_bound();
  } catch (...) {
  }
  return result;
}

std::int32_t cMMF::GetMMFIndex(const std::u16string& MMF_ID) {
  std::int32_t result = 0;
  try {
    result = FindMMFItem(MMF_ID);
  } catch (...) {
  }
  return result;
}

std::int32_t cMMF::GetMMFItem(std::int32_t Index, MMFItem& RetMMF) {
  std::int32_t result = 0;
  try {
    if (!is_item(Index)) return result;
    RetMMF = MMFList[static_cast<std::size_t>(Index)];
    result = 1;
  } catch (...) {
  }
  return result;
}

std::int32_t cMMF::SetMMFItem(std::int32_t Index, MMFItem& RetMMF) {
  std::int32_t result = 0;
  try {
    if (!is_item(Index)) return result;
    MMFList[static_cast<std::size_t>(Index)] = RetMMF;
    result = 1;
  } catch (...) {
  }
  return result;
}

// ---- Area access ------------------------------------------------------------------------------

std::int32_t cMMF::OpenMMF(std::int32_t Index) {
  std::int32_t result = 0;
  try {
    if (!is_item(Index)) return result;
    // Already open: nothing to copy or record (every notification's read comes here first).
    if (is_open(MMFList[static_cast<std::size_t>(Index)])) return 1;
    MMFItem item = MMFList[static_cast<std::size_t>(Index)];
    mmfcast::platform::Handle h = item.hMapFile;
    mmfcast::platform::ViewAddr v = item.lpMapView;
    bool handle_is_new = false;
    if (h == 0) {
      // A name with a zero character would silently name a shorter one; an empty name names
      // nothing that other processes could find.
      if (item.sMemID.empty() || item.sMemID.find(u'\0') != std::u16string::npos) return result;
      const std::string name = mmfcast::platform::to_ansi(item.sMemID);
      h = mmfcast::platform::OpenFileMappingA(
          mmfcast::platform::kFileMapRead | mmfcast::platform::kFileMapWrite, 0, name.c_str());
      if (h == 0) {
        // A negative size would read as a 4 GiB request; it creates nothing instead.
        const auto size = static_cast<std::uint32_t>(std::max<std::int32_t>(item.lMemLength, 0));
        h = mmfcast::platform::CreateFileMappingA(mmfcast::platform::kInvalidHandleValue, nullptr,
                                                  mmfcast::platform::kPageReadWrite, 0, size,
                                                  name.c_str());
      }
      if (h == 0) return result;
      handle_is_new = true;
    }
    if (v == 0) {
      v = mmfcast::platform::MapViewOfFile(
          h, mmfcast::platform::kFileMapRead | mmfcast::platform::kFileMapWrite, 0, 0, 0);
      if (v == 0) {
        // The item will not record the handle, so nothing else could ever close it.
        if (handle_is_new) mmfcast::platform::CloseHandle(h);
        return result;
      }
    }
    item.hMapFile = h;
    item.lpMapView = v;
    if (SetMMFItem(Index, item) == 1) result = 1;
  } catch (...) {
  }
  return result;
}

std::int32_t cMMF::CloseMMF(std::int32_t /*Index*/) { return 0; }

std::int32_t cMMF::WriteMMF(std::int32_t Index, const std::u16string& sWriteData) {
  std::int32_t result = 0;
  try {
    if (!is_item(Index)) return result;
    const MMFItem& item = MMFList[static_cast<std::size_t>(Index)];
    if (!is_open(item)) return result;
    const std::size_t n = sWriteData.size();
    if (n >= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) return result;
    const std::size_t area = mmfcast::platform::view_size(item.lpMapView);
    if (area == 0) return result;
    // The whole ANSI form when it fits, else the longest whole-character prefix that leaves
    // room for the zero byte inside the area.
    std::size_t units = 0;
    const std::string bytes = fitting_ansi(sWriteData, area - 1, &units);
    mmfcast::platform::lstrcpynA(reinterpret_cast<char*>(item.lpMapView), bytes.c_str(),
                                 static_cast<int>(bytes.size() + 1));
    // What a receiver finds: the characters that went in, up to a character of code 0. The
    // result announces this many (+ 1), so a receiver that reads that many never reads past
    // what was written.
    units = std::min(units, sWriteData.find(u'\0'));
    result = static_cast<std::int32_t>(units + 1);
  } catch (...) {
  }
  return result;
}

std::u16string cMMF::ReadMMF(std::int32_t Index, std::int32_t ReadLength) {
  std::u16string result;
  try {
    if (ReadLength <= 0 || !is_item(Index)) return result;
    const MMFItem& item = MMFList[static_cast<std::size_t>(Index)];
    if (!is_open(item)) return result;
    const std::size_t area = mmfcast::platform::view_size(item.lpMapView);
    if (area == 0) return result;
    const std::size_t wanted = std::min(static_cast<std::size_t>(ReadLength) - 1, area);
    // Copy out the bytes of the first `wanted` characters, stopping at the area's first zero
    // byte and never past the area. A character takes at most 4 bytes in any ANSI code page
    // (GB18030), so they lie within 4 × wanted bytes; a character cut at that bound comes after
    // them and is cut off below. Another process may be writing meanwhile, so the bytes are
    // copied once and only the copy is examined.
    const std::size_t copy = std::min(area, 4 * wanted);
    // An ordinary line's copy fits on the stack; a longer one goes to the heap.
    std::array<char, 1024> small;
    std::string large;
    char* bytes = small.data();
    if (copy + 1 > small.size()) {
      large.resize(copy + 1);
      bytes = large.data();
    }
    mmfcast::platform::lstrcpynA(
        bytes, reinterpret_cast<const char*>(item.lpMapView),
        static_cast<int>(std::min<std::size_t>(copy + 1, std::numeric_limits<int>::max())));
    std::u16string text = mmfcast::platform::from_ansi(std::string_view(bytes, std::strlen(bytes)));
    if (text.size() > wanted) {
      text.resize(wanted);
      if (!text.empty() && is_high_surrogate(text.back())) text.back() = u'\0';
    }
    text.resize(wanted, u'\0');
    result = std::move(text);
  } catch (...) {
  }
  return result;
}

// ---- Message channel --------------------------------------------------------------------------

std::int32_t cMMF::RegWindowMsg(const std::u16string& strMSG) {
  std::int32_t result = 0;
  try {
    if (strMSG.find(u'\0') != std::u16string::npos) return result;
    const std::string name = mmfcast::platform::to_ansi(strMSG);
    result = static_cast<std::int32_t>(mmfcast::platform::RegisterWindowMessageA(name.c_str()));
  } catch (...) {
  }
  return result;
}

mmfcast::MMFVariant cMMF::SendMesageAll(const std::u16string& strMSG, std::int32_t lMSG,
                                        std::int32_t wParam, std::int32_t lParam) {
  mmfcast::MMFVariant result = std::int16_t{0};
  try {
    if (!strMSG.empty()) lMSG = RegWindowMsg(strMSG);
    if (lMSG != 0) {
      std::uint32_t recipients = mmfcast::platform::kBsmApplications;
      const long sent = mmfcast::platform::BroadcastSystemMessage(
          mmfcast::platform::kBsfIgnoreCurrentTask, &recipients, static_cast<std::uint32_t>(lMSG),
          static_cast<mmfcast::platform::WParam>(static_cast<std::uint32_t>(wParam)),
          static_cast<mmfcast::platform::LParam>(lParam));
      if (sent != -1) result = lMSG;
    }
  } catch (...) {
  }
  return result;
}

mmfcast::MMFVariant cMMF::StartSubclass(mmfcast::platform::Hwnd hWnd) {
  if (ModSubclass::objMMF == nullptr) ModSubclass::objMMF = this;
  ModSubclass::HookWindow(hWnd);
  return {};
}

mmfcast::MMFVariant cMMF::StopSubclass(mmfcast::platform::Hwnd hWnd) {
  ModSubclass::UnhookWindow(hWnd);
  ModSubclass::objMMF = nullptr;
  return {};
}

mmfcast::MMFVariant RaiseDataArrival(cMMF& target, const std::u16string& DataStr) {
  if (target.DataArrival) target.DataArrival(DataStr);
  return {};
}
