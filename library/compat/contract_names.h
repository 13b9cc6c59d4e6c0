// The online client's names in the module's contract, for C callers and the
// tests: exported from the module under these names (binding/qernx.map), but
// not part of the public header. Each is a thin wrapper over the online
// library's own function named beside it; nothing in the library calls them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "online_client.h"
#include "qern_lib.h"

extern "C" {

struct curl_slist;

/* qern_online_solve with the settings read from the environment. */
qern_status_t _online_fetch_complete_subset_sum(const uint64_t *items, size_t item_count,
                                                uint64_t *words, size_t *word_count, char *err_buf);

/* make_header_list with the key of QERN_API_KEY. */
struct curl_slist *_generate_slist(int kind);

/* request_body. */
char *_generate_curl_data(const uint64_t *items, size_t count);

/* find_ca_bundle. */
const char *_curl_ca_location(void);

/* True (1) exactly for CURLE_OPERATION_TIMEDOUT (28) and
 * CURLE_SSL_CONNECT_ERROR (35). */
int _curl_transient_err(int code);

/* report_failure. */
void _safe_copy_to_err_buff(const char *msg, char *err_buf);

/* scan_submission in libcurl's write callback form; reply is a submit_reply.
 * The key of QERN_API_KEY is hidden in the message it prints and keeps. */
size_t make_request_write_callback(char *data, size_t size, size_t count, void *reply);

/* gunzip_members. */
int gunzip(unsigned char *out, uint64_t *out_len, const unsigned char *in, uint64_t in_len);

/* Decodes the downloaded result (at most 65536 bytes), trims zero bytes at its
 * end, zero-fills the target's words and packs the bytes into them
 * little-endian, stopping with "Overrun output size" at the capacity.
 * Returns Z_OK (0), or the zlib status of a failed decode (nothing packed). */
int _unzip_data(const qern_online::download_buffer *buffer,
                const qern_online::unpack_target *target);

}  // extern "C"
