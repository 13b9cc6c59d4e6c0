// Owners of malloc'd blocks, shared by the library and the module binding
// (C++ only, and free of Python, libcurl and zlib): the library and its callers
// hand each other blocks that free() releases, so both sides hold them alike.
#pragma once

#include <cstdlib>
#include <memory>

namespace qern_internal {

struct FreeDeleter {
  void operator()(void *block) const noexcept { std::free(block); }
};

// heap_ptr<T> for one block, heap_ptr<T[]> for an array.
template <typename T>
using heap_ptr = std::unique_ptr<T, FreeDeleter>;

}  // namespace qern_internal
