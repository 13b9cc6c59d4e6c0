// How the client reads the service's answers: statuses, not-ready answers,
// refusal messages, redirects that may or may not carry the key, the attempt
// limit and the back-off.
#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "online_client.h"

namespace qern_online {

namespace {

constexpr int kDefaultAttempts = 20;
constexpr int kLeastOverriddenAttempts = 30;
constexpr unsigned kLongestPauseExponent = 30;

const char kXmlPrefix[] = "<?xml version=\"";

struct url_deleter {
  void operator()(CURLU *url) const { curl_url_cleanup(url); }
};
using url_handle = std::unique_ptr<CURLU, url_deleter>;

struct curl_text_deleter {
  void operator()(char *text) const { curl_free(text); }
};
using curl_text = std::unique_ptr<char, curl_text_deleter>;

url_handle parse_url(const char *text) {
  url_handle url(curl_url());
  if (!url || text == nullptr || curl_url_set(url.get(), CURLUPART_URL, text, 0) != CURLUE_OK) {
    return nullptr;
  }
  return url;
}

curl_text url_part(CURLU *url, CURLUPart part, unsigned flags = 0) {
  char *text = nullptr;
  if (curl_url_get(url, part, &text, flags) != CURLUE_OK) {
    return nullptr;
  }
  return curl_text(text);
}

bool equal_part(CURLU *a, CURLU *b, CURLUPart part, unsigned flags) {
  const curl_text x = url_part(a, part, flags);
  const curl_text y = url_part(b, part, flags);
  return x && y && strcasecmp(x.get(), y.get()) == 0;
}

}  // namespace

bool busy_status(long status) {
  return status == 429 || status == 502 || status == 503 || status == 504;
}

bool transient_transport(CURLcode result) {
  switch (result) {
    case CURLE_COULDNT_CONNECT:     // 7: nothing listens yet
    case CURLE_HTTP2:               // 16: GOAWAY (a proxy closing) before our stream ran
    case CURLE_OPERATION_TIMEDOUT:  // 28
    case CURLE_SSL_CONNECT_ERROR:   // 35: the handshake broke off
    case CURLE_GOT_NOTHING:         // 52: closed without an answer
    case CURLE_SEND_ERROR:          // 55
    case CURLE_RECV_ERROR:          // 56: reset
      return true;
    default:
      return false;
  }
}

submission_step classify_submission_status(long status) {
  if (status == 200 || status == 201) {
    return submission_step::scan_for_id;
  }
  if (busy_status(status)) {
    return submission_step::retry;
  }
  if (status == 403) {
    return submission_step::refused_as_today;
  }
  return submission_step::refused;
}

bool applied_wait(const char *value) {
  if (value == nullptr) {
    return false;
  }
  const std::string text = value;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) {
      end = text.size();
    }
    // One preference: its parameters after ';' are not read.
    std::string preference = text.substr(start, std::min(end, text.find(';', start)) - start);
    const size_t equals = preference.find('=');
    if (equals != std::string::npos) {
      std::string name = preference.substr(0, equals);
      std::string number = preference.substr(equals + 1);
      const auto trim = [](std::string *part) {
        const size_t first = part->find_first_not_of(" \t");
        const size_t last = part->find_last_not_of(" \t");
        *part = first == std::string::npos ? "" : part->substr(first, last - first + 1);
      };
      trim(&name);
      trim(&number);
      if (strcasecmp(name.c_str(), "wait") == 0) {
        // The first wait counts; a second is ignored, as RFC 7240 asks.
        return !number.empty() && number.find_first_not_of("0123456789") == std::string::npos &&
               number.find_first_not_of('0') != std::string::npos;
      }
    }
    start = end + 1;
  }
  return false;
}

long poll_wait_seconds(std::chrono::milliseconds deadline) {
  return std::min<long long>(kLongestPollWait, deadline.count() / 2000);
}

bool is_xml_document(const std::string &answer) {
  return answer.compare(0, sizeof kXmlPrefix - 1, kXmlPrefix) == 0;
}

poll_step classify_poll(CURLcode result, long status, const std::string &answer) {
  if (result == CURLE_WRITE_ERROR && status == 200) {
    return poll_step::not_ready;  // the download refused a not-ready answer
  }
  if (result != CURLE_OK) {
    return transient_transport(result) ? poll_step::not_ready : poll_step::broken;
  }
  if (status == 200) {
    return poll_step::ready;
  }
  if (status == 202 || busy_status(status)) {
    return poll_step::not_ready;
  }
  if (status == 404 && is_xml_document(answer)) {
    return poll_step::not_ready;  // the object store has no object yet
  }
  return poll_step::refused;
}

std::string service_message(const std::string &answer, const char *key) {
  if (answer.empty() || answer[0] != '{') {
    return {};
  }
  char request_id[kRequestIdSize] = {0};
  submit_reply reply{0, request_id, nullptr};
  std::string copy = answer;
  scan_submission(copy.data(), copy.size(), &reply, key);
  std::string text = reply.failure_text != nullptr ? reply.failure_text : "";
  free(reply.failure_text);
  return text;
}

bool same_origin(const char *a, const char *b) {
  const url_handle x = parse_url(a);
  const url_handle y = parse_url(b);
  if (!x || !y) {
    return false;
  }
  return equal_part(x.get(), y.get(), CURLUPART_SCHEME, 0) &&
         equal_part(x.get(), y.get(), CURLUPART_HOST, 0) &&
         equal_part(x.get(), y.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
}

bool parses_as_url(const char *url) {
  return static_cast<bool>(parse_url(url));
}

bool is_https(const char *url) {
  const url_handle parsed = parse_url(url);
  if (!parsed) {
    return false;
  }
  const curl_text scheme = url_part(parsed.get(), CURLUPART_SCHEME);
  return scheme && strcasecmp(scheme.get(), "https") == 0;
}

std::string resolve_reference(const char *base, const char *reference) {
  const url_handle url = parse_url(base);
  if (!url || reference == nullptr || *reference == '\0' ||
      curl_url_set(url.get(), CURLUPART_URL, reference, 0) != CURLUE_OK) {
    return {};
  }
  const curl_text resolved = url_part(url.get(), CURLUPART_URL);
  return resolved ? std::string(resolved.get()) : std::string();
}

bool is_redirect(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

int attempt_limit(const char *max_retries) {
  if (max_retries == nullptr) {
    return kDefaultAttempts;
  }
  errno = 0;
  char *end = nullptr;
  const long requested = strtol(max_retries, &end, 10);
  const bool number = end != max_retries && errno == 0;
  while (number && (*end == ' ' || (*end >= '\t' && *end <= '\r'))) {
    ++end;
  }
  if (!number || *end != '\0' || requested <= kLeastOverriddenAttempts || requested > INT_MAX) {
    return kLeastOverriddenAttempts;
  }
  return static_cast<int>(requested);
}

unsigned pause_seconds(int attempt) {
  unsigned exponent = static_cast<unsigned>(attempt) / 2;
  if (exponent > kLongestPauseExponent) {
    exponent = kLongestPauseExponent;
  }
  return 1u << exponent;
}

}  // namespace qern_online
