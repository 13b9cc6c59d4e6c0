// Replaces the program's operator new and delete (every unaligned form, so
// that each new pairs with its delete), in a file of their own so that no
// call site sees both a replaced new and the free behind delete.
#include "failing_new.h"

#include <cstdlib>
#include <new>

std::atomic<long> qern_test::allocations_before_failure{-1};
std::atomic<bool> qern_test::every_allocation_fails{false};

void *operator new(size_t size) {
  long left = qern_test::allocations_before_failure.load();
  while (left >= 0) {
    if (left == 0 && qern_test::allocations_before_failure.compare_exchange_weak(left, -1)) {
      throw std::bad_alloc();
    }
    if (left > 0 && qern_test::allocations_before_failure.compare_exchange_weak(left, left - 1)) {
      break;
    }
  }
  if (qern_test::every_allocation_fails.load()) {
    throw std::bad_alloc();
  }
  void *block = malloc(size != 0 ? size : 1);
  if (block == nullptr) {
    throw std::bad_alloc();
  }
  return block;
}

void *operator new[](size_t size) {
  return ::operator new(size);
}

void *operator new(size_t size, const std::nothrow_t &) noexcept {
  try {
    return ::operator new(size);
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

void *operator new[](size_t size, const std::nothrow_t &) noexcept {
  return ::operator new(size, std::nothrow);
}

void operator delete(void *block) noexcept {
  free(block);
}

void operator delete(void *block, size_t) noexcept {
  free(block);
}

void operator delete[](void *block) noexcept {
  free(block);
}

void operator delete[](void *block, size_t) noexcept {
  free(block);
}

void operator delete(void *block, const std::nothrow_t &) noexcept {
  free(block);
}

void operator delete[](void *block, const std::nothrow_t &) noexcept {
  free(block);
}
