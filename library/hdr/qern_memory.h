// Owners of malloc'd blocks and advice on large ones, shared by the library's
// parts and the module binding (C++ only, and free of Python, libcurl and
// zlib): the library and its callers hand each other blocks that free()
// releases, so both sides hold them alike.
#pragma once

#include <sys/mman.h>

#include <algorithm>
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

// Has the kernel map and clear now, on the calling thread, the pages of a
// block that several threads are about to write first. Fresh pages faulted on
// two CPUs at once come in no faster than on one on some virtual machines,
// often slower, and now and then four times slower (bench/paths.cpp
// --fault-bandwidth; README, "What they gain"). Only the whole 4 KiB pages
// inside the block, and only stretches of 2 MiB with a page not yet there:
// asked to populate pages already there, the kernel still walks each one,
// about a millisecond per answer of 40 MiB already paged in. The block's
// values are kept. Only advice: a kernel before Linux 5.14 refuses it, and
// the pages then fault as they are written. A page already mapped counts as
// there, even read-only (the shared zero page after a read): such a page
// still faults when first written. False when the kernel refused a stretch
// with a page not there.
inline bool populate_for_writing(void *block, size_t bytes) {
  constexpr int kPopulateWrite = 23;  // MADV_POPULATE_WRITE; older headers lack the name
  constexpr uintptr_t kPage = 4096;
  constexpr size_t kStretchPages = 512;
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(block) + kPage - 1) & ~(kPage - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + bytes) & ~(kPage - 1);
  bool all_there = true;
  for (uintptr_t from = begin; from < end; from += kStretchPages * kPage) {
    const size_t length = std::min<uintptr_t>(end - from, kStretchPages * kPage);
    auto *stretch = reinterpret_cast<void *>(from);
    unsigned char there[kStretchPages];
    bool missing = mincore(stretch, length, there) != 0;
    for (size_t page = 0; !missing && page < length / kPage; ++page)
      missing = (there[page] & 1) == 0;
    if (missing && madvise(stretch, length, kPopulateWrite) != 0)
      all_there = false;
  }
  return all_there;
}

}  // namespace qern_memory
