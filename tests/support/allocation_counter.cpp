#include "support/allocation_counter.h"

#include <cstdlib>
#include <new>

namespace {

thread_local bool tCounting = false;
thread_local size_t tCount = 0;

}  // namespace

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define NIMBREL_COUNT_ALLOCATIONS 1

void* operator new(size_t size) {
  if (tCounting) ++tCount;
  if (void* memory = std::malloc(size ? size : 1)) return memory;
  throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, size_t) noexcept { std::free(memory); }
#endif

namespace testsupport {

AllocationCounter::AllocationCounter() {
  tCount = 0;
  tCounting = true;
}
AllocationCounter::~AllocationCounter() { tCounting = false; }
size_t AllocationCounter::Count() const { return tCount; }

bool AllocationCounter::Available() {
#ifdef NIMBREL_COUNT_ALLOCATIONS
  return true;
#else
  return false;
#endif
}

}  // namespace testsupport
