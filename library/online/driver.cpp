// The online solve: submit the items to the service, poll for the result with
// exponential back-off, then check and unpack it into the caller's words.
#include <curl/curl.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "online_client.h"
#include "qern_online.h"

namespace {

using namespace qern_online;
using qern_memory::heap_ptr;

constexpr const char *kDefaultOrigin = "https://localhost:8443";
constexpr int kSubmissionAttempts = 3;
// A submission answer is a short object; anything longer is not one.
constexpr size_t kLongestSubmissionAnswer = 64 * 1024;
// Of a refusal's body only the beginning is kept, for its message.
constexpr size_t kLongestRefusal = 64 * 1024;
// A not-ready answer held at least this long is asked again at once: one
// held less may come from a service that only says it waits.
constexpr std::chrono::milliseconds kShortestHold{1000};

struct curl_text_deleter {
  void operator()(char *text) const { curl_free(text); }
};

// Everything one solve holds; released on every way out.
struct solve_state {
  char request_id[kRequestIdSize] = {0};
  submit_reply reply{0, request_id, nullptr};
  header_list headers;
  heap_ptr<char> body;
  download_buffer download{nullptr, 0, nullptr};
  solve_connection connection;

  solve_state() = default;
  solve_state(const solve_state &) = delete;
  solve_state &operator=(const solve_state &) = delete;
  ~solve_state() {
    free(reply.failure_text);
    free(download.data);
  }
};

// What a solve needs besides its state.
struct solve_setup {
  std::string origin;
  const char *ca_path;
  proxy_route proxy;
  const char *api_key;
  trace_context trace;
  stop_watch *stop;
  std::chrono::milliseconds deadline;
  char *err_buf;
};

qern_status_t fail(const char *text, char *err_buf) {
  report_failure(text, err_buf);
  return -1;
}

[[gnu::format(printf, 2, 3)]] qern_status_t fail_with(char *err_buf, const char *format, ...) {
  char text[QERN_ERR_BUF_SIZE * 4];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return fail(text, err_buf);
}

// The solve's easy handle, its options from an earlier transfer cleared (its
// connections and TLS sessions kept); made at its first use. NULL when it
// cannot be made.
CURL *fresh_handle(solve_state *solve) {
  if (!solve->connection.multi) {
    solve->connection.multi.reset(curl_multi_init());
  }
  if (!solve->connection.easy) {
    solve->connection.easy.reset(curl_easy_init());
  } else {
    curl_easy_reset(solve->connection.easy.get());
  }
  return solve->connection.multi ? solve->connection.easy.get() : nullptr;
}

// The way out of a solve whose pause or transfer ended early.
qern_status_t interrupted(const solve_setup &setup) {
  if (setup.stop->stopped()) {
    return QERN_STATUS_STOPPED;
  }
  return fail("The process is exiting", setup.err_buf);
}

// A refusal names the stage, the status and the service's message if any.
qern_status_t refused(const solve_setup &setup, const char *stage, long status,
                      const std::string &answer) {
  const std::string message = service_message(answer, setup.api_key);
  if (message.empty()) {
    return fail_with(setup.err_buf, "The service refused the %s (%ld)", stage, status);
  }
  return fail_with(setup.err_buf, "The service refused the %s (%ld): %s", stage, status,
                   message.c_str());
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

// ---- Submission -------------------------------------------------------------

struct submission_answer {
  std::string bytes;
  bool too_long = false;
  bool out_of_memory = false;
};

// Collects the whole submission answer; it is scanned once it is complete.
size_t collect_submission_answer(char *data, size_t size, size_t count, void *answer_data) {
  auto *answer = static_cast<submission_answer *>(answer_data);
  const size_t length = size * count;
  if (length > kLongestSubmissionAnswer - answer->bytes.size()) {
    answer->too_long = true;
    return 0;
  }
  try {
    answer->bytes.append(data, length);
  } catch (const std::bad_alloc &) {
    answer->out_of_memory = true;
    return 0;
  }
  return length;
}

// Reads the answer to a submission: the service's message when it has one
// (the failure, whatever the status), else the request identifier of a 200 or
// 201, else the status. 0 when the identifier is there.
qern_status_t read_submission_answer(solve_state *solve, const solve_setup &setup, long status,
                                     std::string *bytes) {
  const bool accepted = status == 200 || status == 201;
  if (!accepted && (bytes->empty() || (*bytes)[0] != '{')) {
    return fail_with(setup.err_buf, "The service refused the submission (%ld)", status);
  }
  solve->reply.status = 0;
  const size_t consumed =
      scan_submission(bytes->data(), bytes->size(), &solve->reply, setup.api_key);
  if (solve->reply.status != 0) {
    return fail(solve->reply.failure_text != nullptr ? solve->reply.failure_text
                                                     : "The service refused the problem",
                setup.err_buf);
  }
  if (!accepted) {
    return fail_with(setup.err_buf, "The service refused the submission (%ld)", status);
  }
  if (consumed != bytes->size()) {
    return fail_with(setup.err_buf, "Submit problem curl failed with %d", CURLE_WRITE_ERROR);
  }
  if (solve->request_id[0] == '\0') {
    return fail("The service accepted the problem without a requestId", setup.err_buf);
  }
  return 0;
}

// Submits the problem until the service has given it a request identifier.
qern_status_t submit(solve_state *solve, const solve_setup &setup) {
  const std::string url = setup.origin + "/v0/app/sspu";
  for (int attempt = 0; attempt < kSubmissionAttempts; ++attempt) {
    const bool last = attempt + 1 == kSubmissionAttempts;
    if (attempt > 0 && !pause_for(pause_seconds(attempt - 1), setup.stop)) {
      return interrupted(setup);
    }
    init_curl_once();
    CURL *curl = fresh_handle(solve);
    if (curl == nullptr) {
      return fail("[Local failure] curl failed to generate", setup.err_buf);
    }
    submission_answer answer;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, solve->headers.get());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, solve->body.get());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect_submission_answer);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    set_transport_options(curl, setup.ca_path, setup.proxy, &setup.trace, setup.stop);
    const transfer_end end =
        perform_transfer(solve->connection.multi.get(), curl, setup.stop, setup.deadline);
    const CURLcode result = end.result;
    const long status = response_status(curl);
    if (setup.stop->stopped()) {
      return QERN_STATUS_STOPPED;
    }
    if (answer.out_of_memory || setup.trace.out_of_memory) {
      throw std::bad_alloc();
    }
    if (answer.too_long && !busy_status(status)) {
      return fail_with(setup.err_buf,
                       "The service's answer to the submission is longer than %zu bytes",
                       kLongestSubmissionAnswer);
    }
    if (end.past_deadline) {  // transient, in words of its own
      const std::string deadline = deadline_text(setup.deadline);
      if (!last) {
        print_diagnostic("Submission took longer than its deadline of %s, trying again\n",
                         deadline.c_str());
        continue;
      }
      return fail_with(setup.err_buf, "The submission took longer than its deadline of %s",
                       deadline.c_str());
    }
    if (result != CURLE_OK && !answer.too_long) {  // a long busy page is still busy
      if (transient_transport(result) && !last) {
        print_diagnostic("Submission failed (%d: %s), trying again\n", result,
                         curl_easy_strerror(result));
        continue;
      }
      return fail_with(setup.err_buf, "Submit problem curl failed with %d", result);
    }
    switch (classify_submission_status(status)) {
      case submission_step::scan_for_id:
      case submission_step::refused_as_today:
        return read_submission_answer(solve, setup, status, &answer.bytes);
      case submission_step::retry:
        if (last) {
          return fail_with(setup.err_buf,
                           "The service stayed busy (%ld) through %d submission attempts", status,
                           kSubmissionAttempts);
        }
        print_diagnostic("Submission answered %ld, trying again\n", status);
        continue;
      case submission_step::refused:
        // The service's own words, as for any refusal of a submission.
        return read_submission_answer(solve, setup, status, &answer.bytes);
    }
  }
  return fail("The service stayed busy", setup.err_buf);  // not reached
}

// ---- Polling ----------------------------------------------------------------

struct poll_answer {
  CURL *handle;
  download_buffer *download;
  std::string text;  // the beginning of an answer other than 200
  bool cut = false;  // the rest of that answer was not read
  bool out_of_memory = false;
};

// A 200 answer goes to the download (which refuses the not-ready ones);
// the beginning of any other answer is kept for its message, and the
// transfer ends there: the rest would be read only to be thrown away, for as
// long as the peer cares to send it.
size_t collect_poll_answer(char *data, size_t size, size_t count, void *answer_data) {
  auto *answer = static_cast<poll_answer *>(answer_data);
  if (response_status(answer->handle) == 200) {
    return write_memory_callback(data, size, count, answer->download);
  }
  const size_t length = size * count;
  const size_t room = kLongestRefusal - std::min(answer->text.size(), kLongestRefusal);
  try {
    answer->text.append(data, std::min(length, room));
  } catch (const std::bad_alloc &) {
    answer->out_of_memory = true;
    return 0;
  }
  if (length > room) {
    answer->cut = true;
    return 0;
  }
  return length;
}

struct poll_outcome {
  qern_status_t failed;  // 0: the fields below hold the answer
  CURLcode result;
  long status;
  std::string text;
  bool past_deadline = false;
  // How long the service held a not-ready answer that tells it applied a
  // wait (Preference-Applied); zero for any other answer.
  std::chrono::milliseconds held{0};
};

// Header lists of the result requests: with the key for the service's own
// origin, without it for any other.
struct poll_headers {
  header_list keyed;
  header_list plain;
};

// Where a redirect leads: libcurl's own reading of it, or, when the answer's
// body was cut (libcurl then reads none), its Location resolved against the
// URL asked. "" when it leads nowhere.
std::string redirect_target(CURL *curl, const std::string &asked) {
  char *target = nullptr;
  if (curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &target) == CURLE_OK && target != nullptr) {
    return target;
  }
  curl_header *header = nullptr;
  if (curl_easy_header(curl, "Location", 0, CURLH_HEADER, -1, &header) != CURLHE_OK) {
    return {};
  }
  return resolve_reference(asked.c_str(), header->value);
}

// How long the answer was held, when it tells that the service applied a
// wait; zero when it does not.
std::chrono::milliseconds held_for(CURL *curl, std::chrono::steady_clock::duration took) {
  curl_header *header = nullptr;
  if (curl_easy_header(curl, "Preference-Applied", 0, CURLH_HEADER, -1, &header) != CURLHE_OK ||
      !applied_wait(header->value)) {
    return std::chrono::milliseconds::zero();
  }
  return std::chrono::duration_cast<std::chrono::milliseconds>(took);
}

// One poll: the result request and the redirects it leads to.
poll_outcome poll_once(solve_state *solve, const solve_setup &setup, const std::string &url,
                       const poll_headers &headers) {
  std::string location = url;
  for (int hop = 0;; ++hop) {
    CURL *curl = fresh_handle(solve);
    if (curl == nullptr) {
      return {fail("[Local failure] curl failed to generate", setup.err_buf), CURLE_OK, 0, {}};
    }
    solve->download.size = 0;  // every answer starts from an empty download
    poll_answer answer{curl, &solve->download, {}};
    const bool own_origin = same_origin(setup.origin.c_str(), location.c_str());
    curl_easy_setopt(curl, CURLOPT_URL, location.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER,
                     own_origin ? headers.keyed.get() : headers.plain.get());
    curl_easy_setopt(curl, CURLOPT_HTTP_CONTENT_DECODING, 0L);  // the payload is the gzip
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect_poll_answer);
    set_transport_options(curl, setup.ca_path, setup.proxy, &setup.trace, setup.stop);
    const auto began = std::chrono::steady_clock::now();
    const transfer_end end =
        perform_transfer(solve->connection.multi.get(), curl, setup.stop, setup.deadline);
    const auto took = std::chrono::steady_clock::now() - began;
    // An answer cut after its beginning reads like one that ended there.
    const CURLcode result = answer.cut && end.result == CURLE_WRITE_ERROR ? CURLE_OK : end.result;
    const long status = response_status(curl);
    if (setup.stop->stopped()) {
      return {QERN_STATUS_STOPPED, result, status, {}};
    }
    if (answer.out_of_memory || setup.trace.out_of_memory) {
      throw std::bad_alloc();
    }
    if (result != CURLE_OK || !is_redirect(status)) {
      const auto held = result == CURLE_OK && status == 202 ? held_for(curl, took)
                                                            : std::chrono::milliseconds::zero();
      return {0, result, status, std::move(answer.text), end.past_deadline, held};
    }
    const std::string target = redirect_target(curl, location);
    if (target.empty()) {
      return {0, result, status, std::move(answer.text)};  // a redirect to nowhere
    }
    if (!parses_as_url(target.c_str())) {
      return {fail("The result request was redirected to a URL that does not parse", setup.err_buf),
              result,
              status,
              {}};
    }
    if (!is_https(target.c_str())) {
      return {fail("The result request was redirected to a URL that is not https", setup.err_buf),
              result,
              status,
              {}};
    }
    if (hop == kMostRedirects) {
      return {fail_with(setup.err_buf, "The result request was redirected more than %d times",
                        kMostRedirects),
              result,
              status,
              {}};
    }
    location = target;
  }
}

// Polls until the result has been downloaded. 0 when it has.
qern_status_t poll(solve_state *solve, const solve_setup &setup, const qern_settings &settings) {
  std::unique_ptr<char, curl_text_deleter> escaped(curl_easy_escape(nullptr, solve->request_id, 0));
  if (!escaped) {
    throw std::bad_alloc();
  }
  const std::string url = setup.origin + "/v0/result?requestId=" + escaped.get();
  poll_headers headers;
  headers.keyed.reset(make_header_list(2, setup.api_key));
  curl_slist *keyed =
      headers.keyed ? curl_slist_append(headers.keyed.get(), "Accept-Encoding: gzip") : nullptr;
  // The service's own result requests may wait there for the result.
  const long wait = poll_wait_seconds(setup.deadline);
  if (keyed != nullptr && wait > 0) {
    const std::string prefer = "Prefer: wait=" + std::to_string(wait);
    keyed = curl_slist_append(headers.keyed.get(), prefer.c_str());
  }
  headers.plain.reset(curl_slist_append(nullptr, "Accept-Encoding: gzip"));
  if (keyed == nullptr || !headers.plain) {
    return fail("[Local failure] slist failed to generate", setup.err_buf);
  }
  solve->download.data = static_cast<unsigned char *>(malloc(1));
  if (solve->download.data == nullptr) {
    throw std::bad_alloc();
  }

  int limit = attempt_limit(nullptr);
  bool first = true;
  // The time not-ready answers were held by the service, not yet set against
  // the pauses they stand in for.
  std::chrono::milliseconds held{0};
  std::string last_answer;
  for (int attempt = 0; attempt < limit;) {
    poll_outcome outcome = poll_once(solve, setup, url, headers);
    if (outcome.failed != 0) {
      return outcome.failed;
    }
    switch (classify_poll(outcome.result, outcome.status, outcome.text)) {
      case poll_step::ready:
        return 0;
      case poll_step::broken:
        print_diagnostic("result fetch Curl failed with %d\n", outcome.result);
        return fail_with(setup.err_buf, "The result request failed: %s (curl code %d)",
                         curl_easy_strerror(outcome.result), outcome.result);
      case poll_step::refused:
        return refused(setup, "result request", outcome.status, outcome.text);
      case poll_step::not_ready:
        break;
    }
    if (outcome.result == CURLE_OK && is_xml_document(outcome.text)) {
      const bool cut = outcome.text.size() >= kLongestRefusal;
      print_diagnostic(
          "Output is not expected binary, got %s",
          hide_key(outcome.text, setup.api_key != nullptr ? setup.api_key : "", cut).c_str());
    }
    if (first && settings.max_retries != nullptr) {
      limit = attempt_limit(settings.max_retries);
      print_diagnostic("Overrode max retries to %d", limit);
    }
    first = false;
    const bool transport = outcome.result != CURLE_OK && outcome.result != CURLE_WRITE_ERROR;
    if (outcome.past_deadline) {
      last_answer =
          "the result request took longer than its deadline of " + deadline_text(setup.deadline);
      print_diagnostic("The result request took longer than its deadline of %s\n",
                       deadline_text(setup.deadline).c_str());
    } else if (transport) {
      last_answer = curl_easy_strerror(outcome.result);
    } else {
      last_answer = "HTTP " + std::to_string(outcome.status);
    }
    print_diagnostic("Result not ready (%ld)\n", outcome.result != CURLE_OK
                                                     ? static_cast<long>(outcome.result)
                                                     : outcome.status);
    if (outcome.held >= kShortestHold) {
      // The service held the request as long as the wait it granted: ask
      // again at once. The time held counts as the pauses it stands in for,
      // so that the attempts last as long as against a service that answers
      // at once.
      held += outcome.held;
      while (attempt < limit && held >= std::chrono::seconds(pause_seconds(attempt))) {
        held -= std::chrono::seconds(pause_seconds(attempt));
        ++attempt;
      }
      continue;
    }
    if (!pause_for(pause_seconds(attempt), setup.stop)) {
      return interrupted(setup);
    }
    ++attempt;
  }
  return fail_with(setup.err_buf, "The result was not ready after %d attempts (%s)", limit,
                   last_answer.c_str());
}

// ---- Unpacking --------------------------------------------------------------

// The items' total, false when it does not fit in 64 bits.
bool total_of(const uint64_t *items, size_t item_count, uint64_t *total) {
  uint64_t sum = 0;
  for (size_t k = 0; k < item_count; ++k) {
    if (__builtin_add_overflow(sum, items[k], &sum)) {
      return false;
    }
  }
  *total = sum;
  return true;
}

qern_status_t unpack(const solve_state &solve, const solve_setup &setup, const uint64_t *items,
                     size_t item_count, uint64_t *words, size_t *word_count) {
  std::unique_ptr<unsigned char[]> area(new unsigned char[kDecompressionArea]);
  uint64_t length = 0;
  const int status = decode_payload(solve.download, area.get(), &length);
  if (status != Z_OK) {
    return fail_with(setup.err_buf, "Result payload could not be decompressed (zlib status %d)",
                     status);
  }
  uint64_t total = 0;
  if (!total_of(items, item_count, &total) || !payload_fits(area.get(), length, total)) {
    return fail("The result payload is not a bitset of this problem", setup.err_buf);
  }
  pack_payload(area.get(), length, unpack_target{words, word_count});
  return 0;
}

qern_status_t solve_online(const uint64_t *items, size_t item_count, uint64_t *words,
                           size_t *word_count, char *err_buf, const qern_settings &settings,
                           stop_watch *stop) {
  std::string why;
  const std::string origin = service_origin(settings, &why);
  if (origin.empty()) {
    return fail(why.c_str(), err_buf);
  }
  if (settings.api_key != nullptr && !fits_a_header(settings.api_key)) {
    return fail("QERN_API_KEY holds a control character", err_buf);
  }
  // Sent without the blanks around it: HTTP/2 servers refuse the stream.
  const std::string key(settings.api_key != nullptr ? without_blanks(settings.api_key) : "");
  const char *api_key = settings.api_key != nullptr ? key.c_str() : nullptr;
  solve_state solve;
  // An object store's refusal may quote the key it was sent.
  solve.download.hidden_key = api_key;
  solve.headers.reset(make_header_list(1, api_key));
  if (!solve.headers) {
    return fail("[Local failure] slist failed to generate", err_buf);
  }
  solve.body.reset(request_body(items, item_count));
  if (!solve.body) {
    return fail("[Local failure] postdata failed to generate", err_buf);
  }
  const char *ca_path = nullptr;
  if (settings.ca_bundle != nullptr && settings.ca_bundle[0] != '\0') {
    // The caller named the CA to trust: falling back to the system's would
    // hide the mistake behind a certificate error.
    if (!is_readable_file(settings.ca_bundle)) {
      return fail_with(err_buf, "QERN_CA_BUNDLE is not a readable file: %s", settings.ca_bundle);
    }
    ca_path = settings.ca_bundle;
  } else {
    ca_path = find_ca_bundle();
    if (ca_path == nullptr) {
      return fail("Couldn't find ca cert", err_buf);
    }
  }
  const solve_setup setup{origin,
                          ca_path,
                          proxy_route{settings.https_proxy, settings.no_proxy},
                          api_key,
                          trace_context{key_hider(key)},
                          stop,
                          transfer_deadline(settings.transfer_deadline),
                          err_buf};

  qern_status_t status = submit(&solve, setup);
  if (status != 0) {
    return status;
  }
  solve.headers.reset();
  solve.body.reset();
  status = poll(&solve, setup, settings);
  if (status != 0) {
    return status;
  }
  return unpack(solve, setup, items, item_count, words, word_count);
}

}  // namespace

extern "C" qern_status_t qern_online_solve(const uint64_t *items, size_t item_count,
                                           uint64_t *words, size_t *word_count, char *err_buf,
                                           const qern_settings *settings, const qern_stop *stop) {
  try {
    stop_watch watch(stop);
    return solve_online(items, item_count, words, word_count, err_buf, *settings, &watch);
  } catch (const std::bad_alloc &) {
    report_failure("[Local failure] not enough memory", err_buf);
    return QERN_STATUS_NO_MEMORY;
  }
}
