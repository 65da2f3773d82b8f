// cMMF: a registry of named shared areas, access to their text, the notification that
// announces a new text to the other copies, and the DataArrival event that hands a received
// text to the object's owner. Every public operation except StartSubclass and StopSubclass
// catches its own errors and returns the value it held, so callers only ever see results.
// Ownership: the object owns the areas it registered: OpenMMF maps one, CloseMMF gives its
// view back, and the records GetMMFItem copies out only name them.
// Threads: an object is used on one thread, the one whose window it hooks, where DataArrival
// runs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "../platform/platform.h"
#include "MMFItem.h"

namespace mmfcast {
// The result of SendMesageAll (the 16-bit 0 or the 32-bit id) and, empty, of the
// subclassing operations.
using MMFVariant = std::variant<std::monostate, std::int16_t, std::int32_t>;
}  // namespace mmfcast

// The registry of named shared areas with their access, the notification and the
// DataArrival event; one object per owner.
class MMFCAST_EXPORT cMMF {
 public:
  // What handles DataArrival: it receives the text read from the area.
  using DataArrivalHandler = std::function<void(const std::u16string& DataStr)>;

  cMMF();
  ~cMMF();
  cMMF(const cMMF&) = delete;
  cMMF& operator=(const cMMF&) = delete;

  // ---- Registry ----
  // The index of the new item, or 0 when the name is already registered.
  std::int32_t AddMMFItem(std::u16string sMemID, std::int32_t lMemLength);
  // The number of items left, or 0 when Index is not an item (or nothing is left).
  std::int32_t RemoveMMFItem(std::int32_t Index);
  // The index of the item with exactly this name, or 0.
  std::int32_t GetMMFIndex(const std::u16string& MMF_ID);
  // Copies item Index into RetMMF and returns 1; 0 and RetMMF untouched for a bad index.
  std::int32_t GetMMFItem(std::int32_t Index, MMFItem& RetMMF);
  // Replaces item Index with a copy of RetMMF and returns 1; 0 for a bad index.
  std::int32_t SetMMFItem(std::int32_t Index, MMFItem& RetMMF);

  // ---- Area access ----
  // Creates or attaches to the item's area and maps it; 1 when the item is open on return.
  std::int32_t OpenMMF(std::int32_t Index);
  // Releases nothing (the item stays open until the process ends); always 0.
  std::int32_t CloseMMF(std::int32_t Index);
  // Stores the text at the start of the area, cut to fit it; the number of characters stored
  // (up to a character of code 0) + 1, which is the text's length + 1 when it fits; or 0.
  std::int32_t WriteMMF(std::int32_t Index, const std::u16string& sWriteData);
  // The area's text as ReadLength - 1 characters, padded with characters of code 0; or "".
  std::u16string ReadMMF(std::int32_t Index, std::int32_t ReadLength);

  // ---- Message channel ----
  // Broadcasts lMSG (or the id registered for a non-empty strMSG) to the other programs.
  mmfcast::MMFVariant SendMesageAll(const std::u16string& strMSG, std::int32_t lMSG,
                                    std::int32_t wParam, std::int32_t lParam);
  // The session-wide id for the name, or 0.
  std::int32_t RegWindowMsg(const std::u16string& strMSG);
  // Makes this object the one the window hook serves (unless one already is) and hooks hWnd.
  mmfcast::MMFVariant StartSubclass(mmfcast::platform::Hwnd hWnd);
  // Unhooks hWnd and leaves the hook serving no object.
  mmfcast::MMFVariant StopSubclass(mmfcast::platform::Hwnd hWnd);

  // The owner's handler of DataArrival; runs before RaiseDataArrival returns, and whatever
  // it throws reaches RaiseDataArrival's caller.
  DataArrivalHandler DataArrival;

 private:
  std::int32_t FindMMFItem(const std::u16string& name) const;
  void ResetMMFList();
  std::int32_t upper_bound() const { return static_cast<std::int32_t>(MMFList.size()) - 1; }
  bool is_item(std::int32_t Index) const { return Index >= 1 && Index <= upper_bound(); }

  std::vector<MMFItem> MMFList;  // slot 0 always exists and is never used
};

// Raises target's DataArrival with DataStr; the handler runs before it returns. The window hook
// calls it for the object it serves. Always returns the empty variant.
MMFCAST_EXPORT mmfcast::MMFVariant RaiseDataArrival(cMMF& target, const std::u16string& DataStr);
