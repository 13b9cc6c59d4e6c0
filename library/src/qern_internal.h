// Pieces shared between the library's files and its tests.
// Nothing here is exported from the module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "qern_lib.h"

namespace qern_internal {

// Prints one diagnostic to standard output and flushes it at once, so that
// lines from several solves and from the interpreter stay in order.
[[gnu::format(printf, 1, 2)]] void print_diagnostic(const char *format, ...);

// The first of `count` paths that exists, printing each path it checks.
const char *first_existing_path(const char *const *paths, int count);

// libcurl write callback of the retrieval: refuses not-ready answers and
// collects everything else in the download_buffer given as `buffer`.
size_t write_memory_callback(char *ptr, size_t element_size, size_t count, void *buffer);

struct FreeDeleter {
  void operator()(void *block) const { free(block); }
};
template <typename T>
using heap_ptr = std::unique_ptr<T, FreeDeleter>;

}  // namespace qern_internal
