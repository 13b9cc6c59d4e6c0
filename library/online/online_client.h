// The online solver client's own pieces: how the service's answers are read,
// where the key may go, the back-off, and transfers that a stop check can end.
// Used by the online library's files and their tests; nothing here is
// exported from the module (the contract's names for some of them are, from
// library/compat/).
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "qern_memory.h"
#include "qern_online.h"
#include "qern_types.h"

namespace qern_online {

// ---- Diagnostics ------------------------------------------------------------

// A peer's bytes never reach a terminal raw: every byte that could steer one
// is written as \xNN. Those are the C0 controls ('\n' kept only with
// keep_line_breaks), DEL, the C1 controls U+0080 to U+009F written as UTF-8,
// and any byte that is not part of well-formed UTF-8. Printable ASCII and
// other UTF-8 characters are kept, so ordinary text comes out as it went in.

// The length of the character at the start of non-empty `text` when it is
// printed as it is; 0 when its first byte is escaped.
size_t printable_length(std::string_view text, bool keep_line_breaks);

// True when `text` holds a byte that write_escaped would escape.
bool needs_escape(std::string_view text, bool keep_line_breaks);

// `text` escaped, written to `out`; allocates nothing.
void write_escaped(FILE *out, std::string_view text, bool keep_line_breaks);

// `text` escaped, as a new string (may throw std::bad_alloc).
std::string escape_controls(std::string_view text, bool keep_line_breaks);

// `text` escaped into out[0, capacity), NUL-terminated, cut before the first
// escape or character that does not fit whole. Returns the length written.
size_t escape_into(std::string_view text, char *out, size_t capacity, bool keep_line_breaks);

// ---- The key in a peer's text (key_hiding.cpp) ----------------------------------

// The key without the blanks around it: servers drop them from a header's
// value (HTTP/2 ones refuse the stream), so the key they know, and may quote
// back, is the one without.
std::string_view without_blanks(std::string_view key);

// Hides the API key in a peer's text, so that a peer that quotes the key it
// was sent (in a refusal's message, say) does not put it in the output. The
// key (without the blanks around it) is looked for in the text as it is, as
// it is printed (an escape beside the peer's bytes may spell it), and with
// the escapes of JSON, XML and URLs read, in any mix and up to two deep; and
// as the key itself, as its bytes read as Latin-1 and written as UTF-8 (as
// servers read a header's bytes), and as it is printed. Every byte of the
// text any occurrence was read from is hidden, runs of them written as ***.
// A blank key hides nothing.
class key_hider {
 public:
  explicit key_hider(std::string_view key);  // may throw std::bad_alloc

  // `text` with the key hidden. When the text was cut short (`cut`), a tail
  // that may begin the key goes too, within an escape or not: the rest of it
  // may be what was cut. May throw std::bad_alloc.
  std::string hide(std::string_view text, bool cut) const;

  // `text` with the key hidden, escaped as write_escaped does without line
  // breaks, written to `out`. Allocates only for a text with an escape to read
  // ('\', '%' or '&') or a byte to escape, and may then throw
  // std::bad_alloc.
  void write_hidden(FILE *out, std::string_view text) const;

 private:
  // The text with the key hidden in one look at each way of reading it.
  std::string hide_once(std::string_view text, bool cut) const;
  // True when only the needles as they are can show in `text`.
  bool plain(std::string_view text) const;

  static constexpr size_t kMostNeedles = 3;
  std::vector<std::string> needles_;
  bool stars_ = false;                          // the key holds a '*', as the hiding writes
  std::vector<std::vector<size_t>> fallbacks_;  // each needle's table for the search
};

// key_hider(key).hide(text, cut).
std::string hide_key(std::string_view text, std::string_view key, bool cut);

// Prints one diagnostic to standard output, escaped (its line breaks kept),
// and flushes it at once, so that lines from several solves and from the
// interpreter stay in order.
[[gnu::format(printf, 1, 2)]] void print_diagnostic(const char *format, ...);

// Prints "Failed with error: <msg>" and copies msg into err_buf (when not
// NULL), NUL-padded: both escaped with line breaks too, since a failure is
// one line; err_buf gets as much as fits in its 127 characters.
void report_failure(const char *msg, char *err_buf);

// ---- The request (request.cpp) ----------------------------------------------

// True when the key may stand in a header's value: no control character but
// a tab (a line break would end the header and start another).
bool fits_a_header(const char *key);

// Header lines for a transfer: "x-api-key: <key>" first (an empty value when
// key is NULL), then for kind 1 (submission) "Content-Type: application/json".
// The caller frees the list with curl_slist_free_all. NULL on failure, and
// for a key that does not fit a header, with nothing left over.
curl_slist *make_header_list(int kind, const char *api_key);

// The request body "[i1,i2,...]" as a malloc'd NUL-terminated text, or NULL
// on failure. Sized for 20 digits and a comma per item, so any items fit.
char *request_body(const uint64_t *items, size_t count);

// The first of `count` paths that exists (a file or a directory), printing
// each path it checks; NULL when none does.
const char *first_existing_path(const char *const *paths, int count);

// The first of the system's CA bundle locations that exists; NULL when none
// does. The path is not to be freed.
const char *find_ca_bundle();

// True when the path names a regular file this process can open for reading.
bool is_readable_file(const char *path);

// ---- The submission answer (submit_scanner.cpp) ----------------------------

// What the submission scanner learnt: status 0, or -1 with failure_text (a
// malloc'd text the driver frees). request_id points at a driver-owned buffer
// of kRequestIdSize bytes.
constexpr size_t kRequestIdSize = 2000;
struct submit_reply {
  int status;
  char *request_id;
  char *failure_text;
};

// Scans count bytes as one whole answer, which must be a JSON object of the
// service's simple shape. Returns the bytes consumed (fewer than count: the
// answer is not one the driver can use). The driver collects the answer
// across deliveries and calls this once, after the transfer. The API key
// `hidden_key` (NULL for none) is hidden in the message it prints and keeps.
// Allocates, but never throws: out of memory is a failure it records.
size_t scan_submission(char *data, size_t count, submit_reply *reply, const char *hidden_key);

// ---- The result download (result_download.cpp) ------------------------------

// The downloaded result bytes, grown by every accepted delivery, and the API
// key (NULL for none), hidden in what a refused delivery prints.
struct download_buffer {
  unsigned char *data;
  size_t size;
  const char *hidden_key;
};

// Where a result is unpacked: the caller's words and its word count pointer,
// of which only the value (the capacity) is read.
struct unpack_target {
  uint64_t *words;
  size_t *word_count;
};

// libcurl write callback of the retrieval: refuses not-ready answers and
// collects everything else in the download_buffer given as `buffer`.
size_t write_memory_callback(char *ptr, size_t element_size, size_t count, void *buffer);

// Single-shot decode of every gzip member of in[0, in_len), one after another,
// into out. *out_len holds the capacity on entry and, on success only, the
// decoded length on return. Returns a zlib status: Z_OK (0) on success. Only
// gzip is accepted.
int gunzip_members(unsigned char *out, uint64_t *out_len, const unsigned char *in, uint64_t in_len);

// ---- Reading the service's answers ----------------------------------------

// What a submission answer asks the driver to do.
enum class submission_step {
  scan_for_id,       // 200 or 201: read the requestId
  retry,             // a busy or restarting service: try again
  refused_as_today,  // 403: the service's message is the failure
  refused,           // any other status: fail with the status and message
};
submission_step classify_submission_status(long status);

// What one poll's answer means.
enum class poll_step {
  ready,      // the payload is in the download buffer
  not_ready,  // ask again after the pause
  refused,    // fail at once with the status and the service's message
  broken,     // a transport failure that asking again cannot mend
};
// `result` is the transfer's libcurl code, `status` the HTTP status (0 when
// none arrived), `answer` the body of an answer other than 200.
poll_step classify_poll(CURLcode result, long status, const std::string &answer);

// True for the transport failures of a restarting or busy service: refused
// or reset connections, empty replies, time-outs, and a failed TLS handshake.
bool transient_transport(CURLcode result);

// True for the statuses of a busy or restarting service: 429, 502, 503, 504.
bool busy_status(long status);

// True when a Preference-Applied header's value tells that the service
// applied a wait of a second or more (RFC 7240's "wait=N").
bool applied_wait(const char *value);

// What a result request asks the service to wait for its result, in seconds
// (RFC 7240's "Prefer: wait=N"): kLongestPollWait, and at most half of the
// transfer deadline, so that a held answer has the rest of it to arrive. 0:
// too short a deadline to ask for any.
constexpr long kLongestPollWait = 20;
long poll_wait_seconds(std::chrono::milliseconds deadline);

// True when the answer begins as an object store's XML document does.
bool is_xml_document(const std::string &answer);

// The text of the "message" member of a JSON answer, with the API key `key`
// (NULL for none) hidden, or "" when it has none.
std::string service_message(const std::string &answer, const char *key);

// ---- Redirects and the key --------------------------------------------------

// True when both URLs parse and have the same scheme, host and port (the
// scheme's default port when none is written).
bool same_origin(const char *a, const char *b);

// True when the URL parses (as libcurl reads URLs).
bool parses_as_url(const char *url);

// True when the URL parses and its scheme is https.
bool is_https(const char *url);

// The reference (a Location header's value) resolved against the base URL,
// as libcurl reads it; "" when either does not parse.
std::string resolve_reference(const char *base, const char *reference);

constexpr int kMostRedirects = 10;

// True for the statuses whose Location the client follows.
bool is_redirect(long status);

// ---- Attempts and pauses ----------------------------------------------------

// The poll attempt limit once the first attempt found the result not ready:
// 20 when QERN_MAXRETRIES is unset (NULL); else its value when that is a
// decimal number above 30, and 30 for anything else (30 or less, junk, an
// overflow).
int attempt_limit(const char *max_retries);

// The pause after poll attempt j: 2 to the power (j / 2) seconds, at most
// 2^30.
unsigned pause_seconds(int attempt);

// ---- Stopping ---------------------------------------------------------------

// The caller's stop check, asked at most until it first says stop: from then
// on the answer stays "stop" without asking again.
class stop_watch {
 public:
  explicit stop_watch(const qern_stop *stop) : stop_(stop) {}
  bool requested();
  bool stopped() const { return stopped_; }
  // False when there is no check to ask (a background solve, a C caller).
  bool can_stop() const { return stop_ != nullptr && stop_->check != nullptr; }

 private:
  const qern_stop *stop_;
  bool stopped_ = false;
};

// Waits the given seconds in slices of 100 ms, asking the stop check (and
// whether the process is exiting) between slices; without a stop check, in
// one wait. False when it ended early.
bool pause_for(unsigned seconds, stop_watch *stop);

// True once the process has begun to exit (qern_online_stop_transfers).
bool process_exiting();

// ---- Transfers ----------------------------------------------------------------

struct easy_deleter {
  void operator()(CURL *handle) const { curl_easy_cleanup(handle); }
};
using easy_handle = std::unique_ptr<CURL, easy_deleter>;

struct multi_deleter {
  void operator()(CURLM *multi) const { curl_multi_cleanup(multi); }
};
using multi_handle = std::unique_ptr<CURLM, multi_deleter>;

// One solve's transfers: a multi handle, whose connection cache outlives
// each transfer, and the one easy handle that every transfer runs on (its
// options reset before each), so that the submission and every poll reuse
// one connection and its TLS session for as long as the service keeps it.
struct solve_connection {
  multi_handle multi;
  easy_handle easy;

  solve_connection() = default;
  solve_connection(const solve_connection &) = delete;
  solve_connection &operator=(const solve_connection &) = delete;
  // Closes the connections kept, counted as a transfer in flight: once the
  // process has begun to exit they are left to it instead, since the TLS
  // library may already be torn down.
  ~solve_connection();
};

struct slist_deleter {
  void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};
using header_list = std::unique_ptr<curl_slist, slist_deleter>;

// libcurl's global initialisation, once per process.
void init_curl_once();

// What the trace needs: the key whose bytes it hides. out_of_memory is set
// by the trace when memory ran out while it wrote a line (which is then
// lost): libcurl cannot be told, so the driver ends the solve after the
// transfer as for any other memory failure.
struct trace_context {
  key_hider key;
  mutable bool out_of_memory = false;
};

// Writes one piece of libcurl's trace to `out` as its verbose output does,
// with the values of the headers that carry secrets written as ***, the key
// hidden in every line as `key` hides it, and every line escaped as
// write_escaped does (its ending, "\n" or "\r\n", kept). Allocates only for
// a line as key_hider::write_hidden does, and may then throw std::bad_alloc.
void write_trace(FILE *out, curl_infotype type, const char *data, size_t size,
                 const key_hider &key);

// How long one transfer may take in all (connection, request and answer)
// when QERN_TRANSFER_DEADLINE is unset (NULL) or not a deadline: the text of
// a decimal number of seconds above 0 and at most kLongestDeadline, with at
// most three decimals counted, gives that deadline.
constexpr std::chrono::milliseconds kDefaultDeadline{60000};
constexpr std::chrono::milliseconds kLongestDeadline{86400000};
std::chrono::milliseconds transfer_deadline(const char *text);

// The deadline as a diagnostic names it: "60 s", "2.5 s".
std::string deadline_text(std::chrono::milliseconds deadline);

// The proxy of a solve's transfers, as read when the call was made (NULL: none).
struct proxy_route {
  const char *https_proxy;
  const char *no_proxy;
};

// Options every transfer shares: the CA location, the proxy (always set, so
// that libcurl never reads it from the environment on the solving thread),
// https only, no redirects followed by libcurl, time-outs, the redacted trace
// and the progress check.
void set_transport_options(CURL *handle, const char *ca_path, const proxy_route &proxy,
                           const trace_context *trace, stop_watch *stop);

// How a transfer ended: libcurl's code, and whether it was cut because it
// ran past its deadline (the code is then CURLE_OPERATION_TIMEDOUT).
struct transfer_end {
  CURLcode result;
  bool past_deadline;
};

// Performs the transfer, asking the stop check at least every 100 ms, and
// cuts it once it has run for `deadline`. CURLE_ABORTED_BY_CALLBACK when the
// stop check stopped it (stop->stopped() then says so) or the process is
// exiting.
transfer_end perform_transfer(CURL *handle, stop_watch *stop, std::chrono::milliseconds deadline);

// The same, in `multi`, whose connections outlive the transfer for the next.
transfer_end perform_transfer(CURLM *multi, CURL *handle, stop_watch *stop,
                              std::chrono::milliseconds deadline);

// The HTTP status of the last answer of a transfer, 0 when none arrived.
long response_status(CURL *handle);

// ---- The result payload -----------------------------------------------------

// The decompression area: a result holds at most 65536 bytes (8192 words),
// which covers item totals up to 524287.
constexpr size_t kDecompressionArea = 65536;

// Decodes the download into area (kDecompressionArea bytes) and trims the zero
// bytes at its end; *length receives what is left. Returns a zlib status.
int decode_payload(const download_buffer &download, unsigned char *area, uint64_t *length);

// True when the payload's bytes can be the bitset of items with this total:
// bit 0 and bit `total` set, no bit above it. `length` is after the trim.
bool payload_fits(const unsigned char *bytes, uint64_t length, uint64_t total);

// Zero-fills the target's words and packs the bytes into them little-endian,
// stopping with "Overrun output size" at the capacity.
void pack_payload(const unsigned char *bytes, uint64_t length, const unpack_target &target);

}  // namespace qern_online
