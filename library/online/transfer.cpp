// Transfers and pauses of the online solver: libcurl set up once, a trace
// that never shows the key, transfers and back-off pauses that end soon
// after the caller's stop check says stop, and the process's exit path.
#include <curl/curl.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <thread>

#include "online_client.h"
#include "qern_online.h"

namespace qern_online {

namespace {

// Set once the process has begun to exit: transfers still running must
// leave libcurl before the TLS library's own exit handler tears it down.
std::atomic<bool> exiting{false};
std::atomic<int> transfers_in_flight{0};
constexpr auto kLongestExitWait = std::chrono::seconds(2);

// How often a running transfer or a pause asks the stop check.
constexpr int kSliceMilliseconds = 100;

// Counts a transfer as inside libcurl for as long as it lives.
class in_flight {
 public:
  in_flight() { ++transfers_in_flight; }
  ~in_flight() { --transfers_in_flight; }
  in_flight(const in_flight &) = delete;
  in_flight &operator=(const in_flight &) = delete;
};

// The easy handle inside a multi handle, taken out again on every way out.
class attached {
 public:
  attached(CURLM *multi, CURL *easy) : multi_(multi), easy_(easy) {
    added_ = curl_multi_add_handle(multi, easy) == CURLM_OK;
  }
  ~attached() {
    if (added_) {
      curl_multi_remove_handle(multi_, easy_);
    }
  }
  attached(const attached &) = delete;
  attached &operator=(const attached &) = delete;
  bool added() const { return added_; }

 private:
  CURLM *multi_;
  CURL *easy_;
  bool added_;
};

// libcurl's progress function: ends the transfer when the process exits or
// the caller's stop check says stop.
int progress_check(void *stop_data, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto *stop = static_cast<stop_watch *>(stop_data);
  return exiting || (stop != nullptr && stop->requested()) ? 1 : 0;
}

int redacting_trace(CURL * /*handle*/, curl_infotype type, char *data, size_t size,
                    void *trace_data) {
  static const key_hider kNoKey("");
  const auto *trace = static_cast<const trace_context *>(trace_data);
  try {
    write_trace(stderr, type, data, size, trace != nullptr ? trace->key : kNoKey);
  } catch (const std::bad_alloc &) {
    // No exception may cross into libcurl: the line is lost, and the driver
    // is told.
    fputs("* (trace line dropped: not enough memory)\n", stderr);
    if (trace != nullptr) {
      trace->out_of_memory = true;
    }
  }
  return 0;
}

// Headers whose values are secrets: the API key, and the credentials a proxy
// or a server may be sent. Returns the length of the name with its colon
// when the line starts with one of them (kApiKeyHeader for the API key's),
// else 0.
constexpr size_t kApiKeyHeader = sizeof "x-api-key:" - 1;
size_t secret_header_name(const char *line, size_t length) {
  static const char *const kSecretHeaders[] = {
      "x-api-key:", "proxy-authorization:", "authorization:"};
  for (const char *name : kSecretHeaders) {
    const size_t name_length = strlen(name);
    if (length >= name_length && strncasecmp(line, name, name_length) == 0) {
      return name_length;
    }
  }
  return 0;
}

}  // namespace

bool stop_watch::requested() {
  if (!stopped_ && stop_ != nullptr && stop_->check != nullptr &&
      stop_->check(stop_->context) != 0) {
    stopped_ = true;
  }
  return stopped_;
}

bool process_exiting() {
  return exiting;
}

void init_curl_once() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

// libcurl's global initialisation at load time, on the thread that loads the
// library: done lazily by the first background solve, it could still be
// running when the process exits.
[[gnu::constructor]] void init_curl_at_load() {
  init_curl_once();
}

void write_trace(FILE *out, curl_infotype type, const char *data, size_t size,
                 const key_hider &key) {
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
      return;  // bodies and TLS records are not traced
  }
  size_t start = 0;
  while (start < size) {
    const char *line = data + start;
    const auto *newline = static_cast<const char *>(memchr(line, '\n', size - start));
    const size_t length =
        newline != nullptr ? static_cast<size_t>(newline - line) + 1 : size - start;
    // The line's own ending stays; any other control byte in it is escaped.
    size_t text_length = length;
    const char *ending = "\n";
    if (newline != nullptr) {
      --text_length;
      if (text_length > 0 && line[text_length - 1] == '\r') {
        --text_length;
        ending = "\r\n";
      }
    }
    fputs(prefix, out);
    const size_t secret = secret_header_name(line, text_length);
    if (secret == kApiKeyHeader) {
      fputs("x-api-key: ***\n", out);
    } else if (secret != 0) {
      key.write_hidden(out, std::string_view(line, secret - 1));  // the name as it came
      fputs(": ***\n", out);
    } else {
      key.write_hidden(out, std::string_view(line, text_length));
      fputs(ending, out);
    }
    start += length;
  }
  fflush(out);
}

std::chrono::milliseconds transfer_deadline(const char *text) {
  if (text == nullptr) {
    return kDefaultDeadline;
  }
  // Read by hand: strtod would follow the process's locale for the point.
  const char *at = text;
  while (*at == ' ' || (*at >= '\t' && *at <= '\r')) {
    ++at;
  }
  long long milliseconds = 0;
  int digits = 0;
  for (; *at >= '0' && *at <= '9' && digits < 10; ++at, ++digits) {
    milliseconds = milliseconds * 10 + (*at - '0') * 1000;
  }
  if (*at == '.') {
    ++at;
    long long scale = 100;
    for (; *at >= '0' && *at <= '9'; ++at, ++digits) {
      milliseconds += (*at - '0') * scale;
      scale /= 10;
    }
  }
  while (*at == ' ' || (*at >= '\t' && *at <= '\r')) {
    ++at;
  }
  const std::chrono::milliseconds deadline{milliseconds};
  if (digits == 0 || *at != '\0' || deadline <= std::chrono::milliseconds::zero() ||
      deadline > kLongestDeadline) {
    return kDefaultDeadline;
  }
  return deadline;
}

std::string deadline_text(std::chrono::milliseconds deadline) {
  const long long count = deadline.count();
  char text[32];
  if (count % 1000 == 0) {
    snprintf(text, sizeof text, "%lld s", count / 1000);
  } else {
    snprintf(text, sizeof text, "%lld.%03lld", count / 1000, count % 1000);
    size_t end = strlen(text);
    while (text[end - 1] == '0') {
      text[--end] = '\0';
    }
    snprintf(text + end, sizeof text - end, " s");
  }
  return text;
}

void set_transport_options(CURL *handle, const char *ca_path, const proxy_route &proxy,
                           const trace_context *trace, stop_watch *stop) {
  // A directory goes to CURLOPT_CAPATH, the only place libcurl reads one from.
  // The other option is cleared: libcurl's built-in default for it (a
  // directory such as /etc/ssl/certs) would trust CAs beside the one named.
  struct stat info;
  const bool is_directory = stat(ca_path, &info) == 0 && S_ISDIR(info.st_mode);
  curl_easy_setopt(handle, is_directory ? CURLOPT_CAPATH : CURLOPT_CAINFO, ca_path);
  curl_easy_setopt(handle, is_directory ? CURLOPT_CAINFO : CURLOPT_CAPATH,
                   static_cast<const char *>(nullptr));
  // "" is no proxy, and no hosts exempt from one: either way libcurl then
  // leaves https_proxy and no_proxy in the environment alone.
  curl_easy_setopt(handle, CURLOPT_PROXY, proxy.https_proxy != nullptr ? proxy.https_proxy : "");
  curl_easy_setopt(handle, CURLOPT_NOPROXY, proxy.no_proxy != nullptr ? proxy.no_proxy : "");
  curl_easy_setopt(handle, CURLOPT_VERBOSE, 1L);
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);  // the driver follows them itself
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, 30L);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, 30L);
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_DEBUGFUNCTION, redacting_trace);
  curl_easy_setopt(handle, CURLOPT_DEBUGDATA, trace);
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, progress_check);
  curl_easy_setopt(handle, CURLOPT_XFERINFODATA, stop);
}

transfer_end perform_transfer(CURL *handle, stop_watch *stop, std::chrono::milliseconds deadline) {
  multi_handle multi(curl_multi_init());
  if (!multi) {
    return {CURLE_OUT_OF_MEMORY, false};
  }
  return perform_transfer(multi.get(), handle, stop, deadline);
}

transfer_end perform_transfer(CURLM *multi, CURL *handle, stop_watch *stop,
                              std::chrono::milliseconds deadline) {
  using clock = std::chrono::steady_clock;
  const in_flight counted;
  if (exiting || stop->requested()) {
    return {CURLE_ABORTED_BY_CALLBACK, false};
  }
  // Kept here rather than by libcurl's own time-out, which ends in the same
  // code as the connection and low-speed time-outs: the driver must tell a
  // peer that never finishes its answer from one that fell silent.
  const clock::time_point cut_at = clock::now() + deadline;
  const attached transfer(multi, handle);
  if (!transfer.added()) {
    return {CURLE_OUT_OF_MEMORY, false};
  }
  while (true) {
    int running = 0;
    if (curl_multi_perform(multi, &running) != CURLM_OK) {
      return {CURLE_OUT_OF_MEMORY, false};
    }
    int queued = 0;
    while (CURLMsg *message = curl_multi_info_read(multi, &queued)) {
      if (message->msg == CURLMSG_DONE && message->easy_handle == handle) {
        return {message->data.result, false};
      }
    }
    if (running == 0) {
      return {CURLE_FAILED_INIT, false};  // ended without a verdict: never expected
    }
    if (exiting || stop->requested()) {
      return {CURLE_ABORTED_BY_CALLBACK, false};
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(cut_at - clock::now()).count();
    if (left <= 0) {
      return {CURLE_OPERATION_TIMEDOUT, true};
    }
    const int wait = static_cast<int>(std::min<long long>(left, kSliceMilliseconds));
    if (curl_multi_poll(multi, nullptr, 0, wait, nullptr) != CURLM_OK) {
      return {CURLE_OUT_OF_MEMORY, false};
    }
  }
}

solve_connection::~solve_connection() {
  const in_flight counted;
  if (exiting) {
    static_cast<void>(easy.release());
    static_cast<void>(multi.release());
    return;
  }
  easy.reset();
  multi.reset();
}

long response_status(CURL *handle) {
  long status = 0;
  if (curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) {
    return 0;
  }
  return status;
}

bool pause_for(unsigned seconds, stop_watch *stop) {
  if (!stop->can_stop()) {
    // Nothing to ask: one wait as long as the pause (a signal only shortens
    // it to check whether the process is exiting).
    timespec wait{static_cast<time_t>(seconds), 0};
    timespec left{};
    while (seconds > 0 && nanosleep(&wait, &left) != 0 && errno == EINTR && !exiting) {
      wait = left;
    }
    return !exiting;
  }
  const long slices = static_cast<long>(seconds) * (1000 / kSliceMilliseconds);
  for (long slice = 0; slice < slices; ++slice) {
    if (exiting || stop->requested()) {
      return false;
    }
    timespec wait{0, kSliceMilliseconds * 1000000L};
    // A signal ends the slice early; the stop check is asked at once.
    nanosleep(&wait, nullptr);
  }
  return !(exiting || stop->requested());
}

}  // namespace qern_online

extern "C" void qern_online_stop_transfers(void) {
  qern_online::exiting = true;
  const auto deadline = std::chrono::steady_clock::now() + qern_online::kLongestExitWait;
  while (qern_online::transfers_in_flight > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}
