// The online solve: submit the items to the service, poll for the result with
// exponential back-off, then unpack it into the caller's words.
#include <curl/curl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "qern_internal.h"
#include "qern_lib.h"

namespace {

using qern_internal::heap_ptr;
using qern_internal::print_diagnostic;

constexpr const char *kDefaultOrigin = "https://localhost:8443";
constexpr int kDefaultAttempts = 20;
constexpr int kLeastOverriddenAttempts = 30;
constexpr int kSubmissionAttempts = 3;
constexpr unsigned kLongestPauseExponent = 30;

struct easy_deleter {
  void operator()(CURL *handle) const { curl_easy_cleanup(handle); }
};
using easy_handle = std::unique_ptr<CURL, easy_deleter>;

struct slist_deleter {
  void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};
using header_list = std::unique_ptr<curl_slist, slist_deleter>;

// Set once the process has begun to exit: transfers still running must
// leave libcurl before the TLS library's own exit handler tears it down.
std::atomic<bool> process_exiting{false};
std::atomic<int> transfers_in_flight{0};
constexpr auto kLongestExitWait = std::chrono::seconds(2);

// libcurl's global initialisation, once per process, at load time on the
// thread that loads the library: done lazily by the first background solve,
// it could still be running when the process exits.
void init_curl_once() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

[[gnu::constructor]] void init_curl_at_load() {
  init_curl_once();
}

int abort_when_exiting(void * /*unused*/, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return process_exiting ? 1 : 0;
}

// curl_easy_perform, unless the process is exiting; counted so that the exit
// handler knows when no transfer is left inside libcurl.
CURLcode perform_transfer(CURL *handle) {
  ++transfers_in_flight;
  CURLcode result = CURLE_ABORTED_BY_CALLBACK;
  if (!process_exiting) {
    result = curl_easy_perform(handle);
  }
  --transfers_in_flight;
  return result;
}

// Writes libcurl's trace to standard error like its own verbose output, with
// the value of every x-api-key header replaced, so that the key never shows.
int redacting_trace(CURL * /*handle*/, curl_infotype type, char *data, size_t size,
                    void * /*unused*/) {
  const char *prefix;
  switch (type) {
    case CURLINFO_TEXT:
      prefix = "* ";
      break;
    case CURLINFO_HEADER_IN:
      prefix = "< ";
      break;
    case CURLINFO_HEADER_OUT:
      prefix = "> ";
      break;
    default:
      return 0;  // bodies and TLS records are not traced
  }
  static const char kKeyHeader[] = "x-api-key:";
  const size_t key_length = sizeof kKeyHeader - 1;
  size_t start = 0;
  while (start < size) {
    const char *line = data + start;
    const auto *newline = static_cast<const char *>(memchr(line, '\n', size - start));
    const size_t length =
        newline != nullptr ? static_cast<size_t>(newline - line) + 1 : size - start;
    fputs(prefix, stderr);
    if (length >= key_length && strncasecmp(line, kKeyHeader, key_length) == 0) {
      fputs("x-api-key: ***\n", stderr);
    } else {
      fwrite(line, 1, length, stderr);
      if (newline == nullptr) {
        fputc('\n', stderr);
      }
    }
    start += length;
  }
  fflush(stderr);
  return 0;
}

// The service origin without a trailing slash, or an empty string (with the
// reason in `why`) when it is not https.
std::string service_origin(const qern_settings &settings, std::string *why) {
  const char *configured = settings.api_url;
  std::string origin = configured != nullptr && *configured != '\0' ? configured : kDefaultOrigin;
  if (origin.compare(0, 8, "https://") != 0) {
    *why = "QERN_API_URL must start with https://";
    return {};
  }
  while (origin.size() > 8 && origin.back() == '/') {
    origin.pop_back();
  }
  return origin;
}

// Options every transfer shares: the CA location (a directory goes to
// CURLOPT_CAPATH, which is the only place libcurl reads one from), https only,
// bounded redirects, connect and stall time-outs, and the redacted trace.
void set_transport_options(CURL *handle, const char *ca_path) {
  struct stat info;
  const bool is_directory = stat(ca_path, &info) == 0 && S_ISDIR(info.st_mode);
  curl_easy_setopt(handle, is_directory ? CURLOPT_CAPATH : CURLOPT_CAINFO, ca_path);
  curl_easy_setopt(handle, CURLOPT_VERBOSE, 1L);
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "https");
  curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, 30L);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, 30L);
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_DEBUGFUNCTION, redacting_trace);
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, abort_when_exiting);
}

// Everything one solve holds; released on every way out.
struct solve_state {
  char request_id[QERN_REQUEST_ID_SIZE] = {0};
  submit_reply reply{0, request_id, nullptr};
  header_list headers;
  heap_ptr<char> body;
  download_buffer download{nullptr, 0};

  solve_state() = default;
  solve_state(const solve_state &) = delete;
  solve_state &operator=(const solve_state &) = delete;
  ~solve_state() {
    free(reply.failure_text);
    free(download.data);
  }
};

qern_status_t fail(const char *text, char *err_buf) {
  _safe_copy_to_err_buff(text, err_buf);
  return -1;
}

qern_status_t fail_with_status(const char *text, qern_status_t status, char *err_buf) {
  _safe_copy_to_err_buff(text, err_buf);
  return status;
}

qern_status_t fail_with_code(const char *format, int code, char *err_buf) {
  char text[QERN_ERR_BUF_SIZE];
  snprintf(text, sizeof text, format, code);
  return fail(text, err_buf);
}

// The pause before the next poll: 1, 1, 2, 2, 4, 4, ... seconds.
void pause_before_attempt(int attempt) {
  unsigned exponent = static_cast<unsigned>(attempt) / 2;
  if (exponent > kLongestPauseExponent) {
    exponent = kLongestPauseExponent;
  }
  sleep(1u << exponent);
}

// The poll attempt limit once the first attempt found the result not ready.
int overridden_attempt_limit(const qern_settings &settings) {
  const char *value = settings.max_retries;
  if (value == nullptr) {
    return kDefaultAttempts;
  }
  const int requested = atoi(value);
  const int limit = requested > kLeastOverriddenAttempts ? requested : kLeastOverriddenAttempts;
  print_diagnostic("Overrode max retries to %d", limit);
  return limit;
}

// Submits the problem; returns the last libcurl code, or -1 after failing
// with a local reason.
int submit(solve_state *solve, const std::string &origin, const char *ca_path, char *err_buf,
           qern_status_t *status) {
  const std::string url = origin + "/v0/app/sspu";
  int result = CURLE_OK;
  for (int attempt = 0; attempt < kSubmissionAttempts; ++attempt) {
    init_curl_once();
    easy_handle handle(curl_easy_init());
    if (!handle) {
      *status = fail("[Local failure] curl failed to generate", err_buf);
      return -1;
    }
    CURL *curl = handle.get();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, solve->headers.get());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, solve->body.get());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, make_request_write_callback);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &solve->reply);
    set_transport_options(curl, ca_path);
    result = perform_transfer(curl);
    if (result == CURLE_OK || !_curl_transient_err(result)) {
      break;
    }
  }
  return result;
}

}  // namespace

extern "C" void qern_stop_transfers(void) {
  process_exiting = true;
  const auto deadline = std::chrono::steady_clock::now() + kLongestExitWait;
  while (transfers_in_flight > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

extern "C" qern_status_t _online_fetch_complete_subset_sum(const uint64_t *items, size_t item_count,
                                                           uint64_t *words, size_t *word_count,
                                                           char *err_buf) {
  try {
    const auto settings = qern_internal::settings_copy::from_environment();
    return qern_internal::online_solve(items, item_count, words, word_count, err_buf,
                                       settings.view(), nullptr);
  } catch (const std::bad_alloc &) {
    return fail_with_status("[Local failure] not enough memory", QERN_STATUS_NO_MEMORY, err_buf);
  }
}

qern_status_t qern_internal::online_solve(const uint64_t *items, size_t item_count, uint64_t *words,
                                          size_t *word_count, char *err_buf,
                                          const qern_settings &settings,
                                          const qern_stop * /*stop*/) {
  std::string why;
  const std::string origin = service_origin(settings, &why);
  if (origin.empty()) {
    return fail(why.c_str(), err_buf);
  }
  solve_state solve;
  solve.headers.reset(qern_internal::make_header_list(1, settings.api_key));
  if (!solve.headers) {
    return fail("[Local failure] slist failed to generate", err_buf);
  }
  solve.body.reset(_generate_curl_data(items, item_count));
  if (!solve.body) {
    return fail("[Local failure] postdata failed to generate", err_buf);
  }
  const char *ca_path = _curl_ca_location();
  if (ca_path == nullptr) {
    return fail("Couldn't find ca cert", err_buf);
  }

  qern_status_t status = 0;
  int result = submit(&solve, origin, ca_path, err_buf, &status);
  if (result < 0) {
    return status;
  }
  if (result != CURLE_OK) {
    if (solve.reply.status != 0 && solve.reply.failure_text != nullptr) {
      return fail(solve.reply.failure_text, err_buf);
    }
    if (solve.reply.status != 0) {
      return fail("The service refused the problem", err_buf);
    }
    return fail_with_code("Submit problem curl failed with %d", result, err_buf);
  }
  if (solve.request_id[0] == '\0') {
    return fail("The service accepted the problem without a requestId", err_buf);
  }
  solve.headers.reset();
  solve.body.reset();

  const unpack_target target{words, word_count};
  const std::string url = origin + "/v0/result?requestId=" + solve.request_id;
  solve.headers.reset(qern_internal::make_header_list(2, settings.api_key));
  if (!solve.headers) {
    return fail("[Local failure] slist failed to generate", err_buf);
  }
  solve.download.data = static_cast<unsigned char *>(malloc(1));
  if (solve.download.data == nullptr) {
    return fail("[Local failure] download buffer failed to generate", err_buf);
  }

  int limit = kDefaultAttempts;
  for (int attempt = 0; attempt < limit; ++attempt) {
    easy_handle handle(curl_easy_init());
    if (!handle) {
      return fail("[Local failure] curl failed to generate", err_buf);
    }
    // Bytes of an attempt that ended in an error would corrupt the next
    // attempt's payload: every attempt starts from an empty download.
    solve.download.size = 0;
    CURL *curl = handle.get();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, solve.headers.get());
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &solve.download);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, qern_internal::write_memory_callback);
    set_transport_options(curl, ca_path);
    result = perform_transfer(curl);
    handle.reset();
    if (result == CURLE_OK) {
      break;
    }
    if (result != CURLE_WRITE_ERROR && !_curl_transient_err(result)) {
      print_diagnostic("result fetch Curl failed with %d\n", result);
      break;
    }
    if (attempt == 0) {
      limit = overridden_attempt_limit(settings);
    }
    print_diagnostic("Result not ready (%d)\n", result);
    pause_before_attempt(attempt);
  }
  if (result != CURLE_OK) {
    return fail_with_code("Submit problem curl failed with %d", result, err_buf);
  }
  const int unzipped = _unzip_data(&solve.download, &target);
  if (unzipped != 0) {
    return fail_with_code("Result payload could not be decompressed (zlib status %d)", unzipped,
                          err_buf);
  }
  return 0;
}
