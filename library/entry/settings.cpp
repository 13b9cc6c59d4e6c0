// The settings of a solve: read from the environment once, on the calling
// thread, and held as copies for as long as the solve runs.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>

#include "entry.h"
#include "qern_lib.h"

namespace {

// The first of the variables set to something, as libcurl looks them up: an
// empty one counts as unset.
const char *first_set(std::initializer_list<const char *> names) {
  for (const char *name : names) {
    const char *value = getenv(name);
    if (value != nullptr && *value != '\0') {
      return value;
    }
  }
  return nullptr;
}

std::optional<std::string> text_of(const char *value) {
  if (value == nullptr) {
    return std::nullopt;
  }
  return std::string(value);
}

}  // namespace

extern "C" const char *qern_https_proxy_from_environment(void) {
  return first_set({"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"});
}

extern "C" const char *qern_no_proxy_from_environment(void) {
  return first_set({"no_proxy", "NO_PROXY"});
}

namespace qern_entry {

unsigned threads_from_environment() {
  const char *value = getenv("QERN_THREADS");
  if (value == nullptr || *value < '1' || *value > '9') {
    return 0;
  }
  // Every character is read before the count is capped: "2000x" is junk,
  // the default, as any other setting's junk is, not 1024 threads.
  unsigned long threads = 0;
  for (const char *digit = value; *digit != '\0'; ++digit) {
    if (*digit < '0' || *digit > '9') {
      return 0;
    }
    threads = std::min<unsigned long>(threads * 10 + static_cast<unsigned long>(*digit - '0'),
                                      kMaxThreads + 1);
  }
  return static_cast<unsigned>(std::min<unsigned long>(threads, kMaxThreads));
}

bool killswitch_set() {
  const char *value = getenv("QERN_KILLSWITCH");
  return value != nullptr && strcmp(value, "1") == 0;
}

settings_copy settings_copy::from_environment() {
  settings_copy copy;
  copy.keep_local = killswitch_set() ? 1 : 0;
  copy.api_url = text_of(getenv("QERN_API_URL"));
  copy.api_key = text_of(getenv("QERN_API_KEY"));
  copy.max_retries = text_of(getenv("QERN_MAXRETRIES"));
  copy.https_proxy = text_of(qern_https_proxy_from_environment());
  copy.no_proxy = text_of(qern_no_proxy_from_environment());
  copy.ca_bundle = text_of(getenv("QERN_CA_BUNDLE"));
  copy.transfer_deadline = text_of(getenv("QERN_TRANSFER_DEADLINE"));
  copy.threads = threads_from_environment();
  return copy;
}

settings_copy settings_copy::of(const qern_settings &settings) {
  settings_copy copy;
  copy.keep_local = settings.keep_local;
  copy.api_url = text_of(settings.api_url);
  copy.api_key = text_of(settings.api_key);
  copy.max_retries = text_of(settings.max_retries);
  copy.https_proxy = text_of(settings.https_proxy);
  copy.no_proxy = text_of(settings.no_proxy);
  copy.ca_bundle = text_of(settings.ca_bundle);
  copy.transfer_deadline = text_of(settings.transfer_deadline);
  copy.threads = settings.threads;
  return copy;
}

qern_settings settings_copy::view() const {
  auto text = [](const std::optional<std::string> &value) {
    return value ? value->c_str() : nullptr;
  };
  return qern_settings{keep_local,        text(api_url),           text(api_key),
                       text(max_retries), text(https_proxy),       text(no_proxy),
                       text(ca_bundle),   text(transfer_deadline), threads};
}

}  // namespace qern_entry

namespace {

// Room for a text (and its NUL) after the record; NULL takes none.
size_t room_for(const char *text) {
  return text != nullptr ? strlen(text) + 1 : 0;
}

// Copies the text to *end and moves *end past it; NULL stays NULL.
const char *copy_into(const char *text, char **end) {
  if (text == nullptr) {
    return nullptr;
  }
  const size_t length = strlen(text) + 1;
  char *copy = static_cast<char *>(memcpy(*end, text, length));
  *end += length;
  return copy;
}

}  // namespace

// One block: the record, then its strings. Read in one pass over the
// environment, so that the sizes and the copies agree.
extern "C" struct qern_settings *qern_settings_from_environment(void) {
  const qern_settings now{qern_entry::killswitch_set() ? 1 : 0,
                          getenv("QERN_API_URL"),
                          getenv("QERN_API_KEY"),
                          getenv("QERN_MAXRETRIES"),
                          qern_https_proxy_from_environment(),
                          qern_no_proxy_from_environment(),
                          getenv("QERN_CA_BUNDLE"),
                          getenv("QERN_TRANSFER_DEADLINE"),
                          qern_entry::threads_from_environment()};
  const size_t size = sizeof(qern_settings) + room_for(now.api_url) + room_for(now.api_key) +
                      room_for(now.max_retries) + room_for(now.https_proxy) +
                      room_for(now.no_proxy) + room_for(now.ca_bundle) +
                      room_for(now.transfer_deadline);
  auto *block = static_cast<qern_settings *>(malloc(size));
  if (block == nullptr) {
    return nullptr;
  }
  char *end = reinterpret_cast<char *>(block + 1);
  block->keep_local = now.keep_local;
  block->api_url = copy_into(now.api_url, &end);
  block->api_key = copy_into(now.api_key, &end);
  block->max_retries = copy_into(now.max_retries, &end);
  block->https_proxy = copy_into(now.https_proxy, &end);
  block->no_proxy = copy_into(now.no_proxy, &end);
  block->ca_bundle = copy_into(now.ca_bundle, &end);
  block->transfer_deadline = copy_into(now.transfer_deadline, &end);
  block->threads = now.threads;
  return block;
}

extern "C" void qern_settings_free(struct qern_settings *settings) {
  free(settings);
}
