// The record for one registered shared area: its name, the size it is created with, and the
// mapping handle and view address while it is open (0 while not).
// Ownership: a copy of the record owns nothing; the handle and the view are the registry's.
// Threads and errors: a plain value, safe to copy anywhere, with no failure of its own.
#pragma once

#include <cstdint>
#include <string>

#include "../platform/platform.h"

// The record of one registered area, as cMMF keeps it and hands out copies of it.
struct MMFItem {
  std::u16string sMemID;                   // the area's name, the system-wide name of the mapping
  std::int32_t lMemLength = 0;             // bytes to create the area with when it does not exist
  mmfcast::platform::Handle hMapFile = 0;  // the open mapping; 0 while not open
  mmfcast::platform::ViewAddr lpMapView =
      0;  // the view's address in this process; 0 while not mapped

  // Equal when all four fields are.
  friend bool operator==(const MMFItem&, const MMFItem&) = default;
};
