// Preloaded into a test interpreter: replaces the global operator new so that
// allocations fail on demand. qern_test_fail_new_after(n) lets n more
// allocations succeed, then every later one fails (std::bad_alloc, or NULL for
// the nothrow forms) until qern_test_fail_new_after(-1).
// qern_test_allocations() counts the calls to operator new so far.
#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<long> allowed{-1};  // allocations left before failures; -1: no limit
std::atomic<long> calls{0};

void *allocate(std::size_t size) {
  calls.fetch_add(1);
  long left = allowed.load();
  while (left >= 0) {
    if (left == 0) {
      throw std::bad_alloc();
    }
    if (allowed.compare_exchange_weak(left, left - 1)) {
      break;
    }
  }
  if (void *block = std::malloc(size != 0 ? size : 1)) {
    return block;
  }
  throw std::bad_alloc();
}

void *allocate_or_null(std::size_t size) noexcept {
  try {
    return allocate(size);
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

}  // namespace

extern "C" void qern_test_fail_new_after(long count) {
  allowed.store(count);
}

extern "C" long qern_test_allocations(void) {
  return calls.load();
}

void *operator new(std::size_t size) {
  return allocate(size);
}
void *operator new[](std::size_t size) {
  return allocate(size);
}
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
  return allocate_or_null(size);
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
  return allocate_or_null(size);
}
void operator delete(void *block) noexcept {
  std::free(block);
}
void operator delete[](void *block) noexcept {
  std::free(block);
}
void operator delete(void *block, std::size_t) noexcept {
  std::free(block);
}
void operator delete[](void *block, std::size_t) noexcept {
  std::free(block);
}
