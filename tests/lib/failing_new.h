// The test program's operator new, which fails on request.
#pragma once

#include <atomic>

namespace qern_test {

// -1: allocations never fail; n >= 0: the allocation after n more throws
// std::bad_alloc (once; set it again for another failure).
extern std::atomic<long> allocations_before_failure;

// While true, every allocation fails (after the countdown above has run).
extern std::atomic<bool> every_allocation_fails;

// Makes every allocation fail for as long as it lives.
class no_memory_scope {
 public:
  no_memory_scope() { every_allocation_fails.store(true); }
  ~no_memory_scope() { every_allocation_fails.store(false); }
  no_memory_scope(const no_memory_scope &) = delete;
  no_memory_scope &operator=(const no_memory_scope &) = delete;
};

}  // namespace qern_test
