// Allocation-failure injection for tests: while a FailAllocation is alive, the chosen
// allocation (counted from its creation) throws std::bad_alloc, as running out of memory would.
#pragma once

namespace testsupport {

class FailAllocation {
 public:
  // Fails the nth allocation (1 = the next one) made on this thread while this object lives.
  explicit FailAllocation(long nth);
  ~FailAllocation();
  FailAllocation(const FailAllocation&) = delete;
  FailAllocation& operator=(const FailAllocation&) = delete;

  bool triggered() const;  // whether the failure happened
};

}  // namespace testsupport
