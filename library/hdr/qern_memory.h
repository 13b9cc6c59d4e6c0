// Owners of malloc'd blocks and advice on large ones, shared by the library's
// parts and the module binding (C++ only, and free of Python, libcurl and
// zlib): the library and its callers hand each other blocks that free()
// releases, so both sides hold them alike.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace qern_memory {

struct FreeDeleter {
  void operator()(void *block) const noexcept { std::free(block); }
};

// heap_ptr<T> for one block, heap_ptr<T[]> for an array.
template <typename T>
using heap_ptr = std::unique_ptr<T, FreeDeleter>;

// Asks for huge pages on the whole 2 MiB pages inside a block of 8 MiB or
// more that is not yet touched: fewer page faults and TLB misses while it is
// filled and swept. Only advice; nothing depends on it.
inline void advise_huge_pages(void *block, size_t bytes) {
  constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
  if (bytes < 4 * kHugePage)
    return;
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(block) + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + bytes) & ~(kHugePage - 1);
  if (end > begin)
    madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace qern_memory
