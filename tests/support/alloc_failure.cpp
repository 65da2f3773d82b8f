// Replaces the global operator new of the test programs so a test can make one chosen
// allocation fail; otherwise it behaves as the standard one.
#include "tests/support/alloc_failure.h"

#include <cstdlib>
#include <new>

namespace {
thread_local long countdown = 0;  // 0: inactive; else allocations left before the failure
thread_local bool failed = false;

void* allocate(std::size_t size) {
  if (countdown > 0 && --countdown == 0) {
    failed = true;
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
}  // namespace

namespace testsupport {
FailAllocation::FailAllocation(long nth) {
  countdown = nth;
  failed = false;
}
FailAllocation::~FailAllocation() { countdown = 0; }
bool FailAllocation::triggered() const { return failed; }
}  // namespace testsupport

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
