// The test program's operator new, which fails on request.
#pragma once

#include <atomic>

namespace qern_test {

// -1: allocations never fail; n >= 0: the allocation after n more throws
// std::bad_alloc (once; set it again for another failure).
extern std::atomic<long> allocations_before_failure;

}  // namespace qern_test
