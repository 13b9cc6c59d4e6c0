// The module's contract: the names C callers know the library by, each a thin
// wrapper over the library's own function. The library itself calls none of
// them; the module exports them all (binding/qernx.map).
#include <curl/curl.h>
#include <zlib.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <new>

#include "contract_names.h"
#include "entry.h"
#include "online_client.h"
#include "qern_lib.h"
#include "qern_local.h"
#include "qern_online.h"

// ---- The entry --------------------------------------------------------------

extern "C" int keep_local(void) {
  return qern_entry::killswitch_set() ? 1 : 0;
}

extern "C" qern_status_t fetch_complete_subset_sum(const uint64_t *items, size_t item_count,
                                                   uint64_t *words, size_t *word_count,
                                                   char *err_buf) {
  try {
    // Read here, on the caller's thread, once for the whole solve.
    const auto settings = qern_entry::settings_copy::from_environment();
    const qern_settings view = settings.view();
    return qern_solve(items, item_count, words, word_count, err_buf, &view, nullptr);
  } catch (const std::bad_alloc &) {
    qern_copy_error("[Local failure] not enough memory", err_buf);
    return QERN_STATUS_NO_MEMORY;
  }
}

extern "C" int fetch_complete_subset_sum_async(uint64_t *items, size_t item_count,
                                               qern_completion_t completion, void *user_data) {
  try {
    return qern_entry::start_background_solve(
        items, item_count, qern_entry::settings_copy::from_environment(), completion, user_data);
  } catch (const std::bad_alloc &) {
    return ENOMEM;
  }
}

extern "C" void *fetch_complete_subset_sum_async_helper(void *record) {
  return qern_entry::run_background_solve(record);
}

// ---- The local solver ---------------------------------------------------------

extern "C" int fmss_complete_subset_sum(const uint64_t *items, size_t item_count, uint64_t *words,
                                        size_t *word_count) {
  // Without a stop check only memory can end the solve, and the local solver
  // falls back to its path without scratch memory before it gives up.
  qern_local_solve(items, item_count, words, word_count, nullptr);
  return 0;
}

// ---- The online client ----------------------------------------------------------

extern "C" qern_status_t _online_fetch_complete_subset_sum(const uint64_t *items, size_t item_count,
                                                           uint64_t *words, size_t *word_count,
                                                           char *err_buf) {
  try {
    const auto settings = qern_entry::settings_copy::from_environment();
    const qern_settings view = settings.view();
    return qern_online_solve(items, item_count, words, word_count, err_buf, &view, nullptr);
  } catch (const std::bad_alloc &) {
    qern_online::report_failure("[Local failure] not enough memory", err_buf);
    return QERN_STATUS_NO_MEMORY;
  }
}

extern "C" struct curl_slist *_generate_slist(int kind) {
  return qern_online::make_header_list(kind, getenv("QERN_API_KEY"));
}

extern "C" char *_generate_curl_data(const uint64_t *items, size_t count) {
  return qern_online::request_body(items, count);
}

extern "C" const char *_curl_ca_location(void) {
  return qern_online::find_ca_bundle();
}

extern "C" int _curl_transient_err(int code) {
  return code == CURLE_OPERATION_TIMEDOUT || code == CURLE_SSL_CONNECT_ERROR;
}

extern "C" void _safe_copy_to_err_buff(const char *msg, char *err_buf) {
  qern_online::report_failure(msg, err_buf);
}

extern "C" size_t make_request_write_callback(char *data, size_t /*size*/, size_t count,
                                              void *reply) {
  return qern_online::scan_submission(data, count, static_cast<qern_online::submit_reply *>(reply),
                                      getenv("QERN_API_KEY"));
}

extern "C" int gunzip(unsigned char *out, uint64_t *out_len, const unsigned char *in,
                      uint64_t in_len) {
  return qern_online::gunzip_members(out, out_len, in, in_len);
}

extern "C" int _unzip_data(const qern_online::download_buffer *buffer,
                           const qern_online::unpack_target *target) {
  try {
    std::unique_ptr<unsigned char[]> area(new unsigned char[qern_online::kDecompressionArea]);
    uint64_t length = 0;
    const int status = qern_online::decode_payload(*buffer, area.get(), &length);
    if (status != Z_OK) {
      return status;
    }
    qern_online::pack_payload(area.get(), length, *target);
    return Z_OK;
  } catch (const std::bad_alloc &) {
    return Z_MEM_ERROR;
  }
}
