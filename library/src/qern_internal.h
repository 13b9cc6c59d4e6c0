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

// ---- Online solver client, C interface ------------------------------------
//
// Exported from the module under their own names (binding/qernx.map) for C
// callers and tests, but not part of the public header. The service origin
// comes from QERN_API_URL (default https://localhost:8443), the API key from
// QERN_API_KEY, the poll limit from QERN_MAXRETRIES. Diagnostics go to
// standard output.
extern "C" {

struct curl_slist;

/* Solves through the remote service: submits the items, polls for the result
 * with back-off, and unpacks it into words (which it zero-fills first). The
 * word count is never changed. Returns 0, or -1 with the reason printed and
 * copied into err_buf (when not NULL). */
qern_status_t _online_fetch_complete_subset_sum(const uint64_t *items, size_t item_count,
                                                uint64_t *words, size_t *word_count, char *err_buf);

/* Header lines for a transfer: "x-api-key: <QERN_API_KEY>" first, then for
 * kind 1 (submission) "Content-Type: application/json". The caller frees the
 * list with curl_slist_free_all. NULL on failure, with nothing left over. */
struct curl_slist *_generate_slist(int kind);

/* The request body "[i1,i2,...]" as a malloc'd NUL-terminated text, or NULL
 * on failure. Sized for 20 digits and a comma per item, so any items fit. */
char *_generate_curl_data(const uint64_t *items, size_t count);

/* The first CA candidate path that exists (a file or a directory), printing
 * each path it checks; NULL when none does. The path is not to be freed. */
const char *_curl_ca_location(void);

/* True (1) exactly for CURLE_OPERATION_TIMEDOUT (28) and
 * CURLE_SSL_CONNECT_ERROR (35). */
int _curl_transient_err(int code);

/* Prints "Failed with error: <msg>" and, when err_buf is not NULL, copies the
 * first 127 characters of msg into it, NUL-padded. */
void _safe_copy_to_err_buff(const char *msg, char *err_buf);

/* What the submission scanner learnt: status 0, or -1 with failure_text (a
 * malloc'd text the driver frees). request_id points at a driver-owned buffer
 * of QERN_REQUEST_ID_SIZE bytes. */
#define QERN_REQUEST_ID_SIZE 2000
struct submit_reply {
  int status;
  char *request_id;
  char *failure_text;
};

/* libcurl write callback of the submission: scans one delivery as a complete
 * compact JSON answer. Returns the bytes consumed (fewer than delivered ends
 * the transfer with CURLE_WRITE_ERROR). reply is a struct submit_reply. */
size_t make_request_write_callback(char *data, size_t size, size_t count, void *reply);

/* The downloaded result bytes, grown by every accepted delivery. */
struct download_buffer {
  unsigned char *data;
  size_t size;
};

/* Where a result is unpacked: the caller's words and its word count pointer,
 * of which only the value (the capacity) is read. */
struct unpack_target {
  uint64_t *words;
  size_t *word_count;
};

/* Single-shot gzip decode of in[0, in_len) into out. *out_len holds the
 * capacity on entry and, on success only, the decoded length on return.
 * Returns a zlib status: Z_OK (0) on success. Only gzip is accepted. */
int gunzip(unsigned char *out, uint64_t *out_len, const unsigned char *in, uint64_t in_len);

/* Decodes the downloaded result (at most 65536 bytes), trims zero bytes at its
 * end, zero-fills the target's words and packs the bytes into them
 * little-endian, stopping with "Overrun output size" at the capacity.
 * Returns Z_OK (0), or the zlib status of a failed decode (nothing packed). */
int _unzip_data(const struct download_buffer *buffer, const struct unpack_target *target);

}  // extern "C"

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
  std::optional<std::string> https_proxy;
  std::optional<std::string> no_proxy;

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
