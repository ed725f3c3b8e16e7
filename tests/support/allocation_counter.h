#pragma once

#include <cstddef>

namespace testsupport {

// Counts the allocations this thread makes while the counter lives.
class AllocationCounter {
 public:
  AllocationCounter();
  ~AllocationCounter();
  size_t Count() const;
  // False in builds whose sanitizers own operator new.
  static bool Available();
};

}  // namespace testsupport
