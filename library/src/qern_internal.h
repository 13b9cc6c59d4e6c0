// Pieces shared between the library's files and its tests.
// Nothing here is exported from the module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "qern_heap.h"
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

// A solve's settings held as owned copies, so that they stay valid however
// the environment or the caller's strings change later. Copies may throw
// std::bad_alloc.
struct settings_copy {
  int keep_local = 0;
  std::optional<std::string> api_url;
  std::optional<std::string> api_key;
  std::optional<std::string> max_retries;

  // Read on the calling thread: a background thread never reads the
  // environment, which another thread may be changing.
  static settings_copy from_environment();
  static settings_copy of(const qern_settings &settings);
  // Borrows this record's strings.
  qern_settings view() const;

 private:
  static std::optional<std::string> text_of(const char *value);
};

// The online solve with its settings given. Returns 0, -1, QERN_STATUS_STOPPED
// or QERN_STATUS_NO_MEMORY.
qern_status_t online_solve(const uint64_t *items, size_t item_count, uint64_t *words,
                           size_t *word_count, char *err_buf, const qern_settings &settings,
                           const qern_stop *stop);

// The header list of a transfer for the given key (NULL: none); see
// _generate_slist.
struct curl_slist *make_header_list(int kind, const char *api_key);

// Copies msg into err_buf (when not NULL) as _safe_copy_to_err_buff does,
// without printing it.
void copy_error(const char *msg, char *err_buf);

}  // namespace qern_internal
