// The solver entry point: picks the local or the online solver.
#include <cstdlib>
#include <cstring>
#include <new>

#include "qern_internal.h"
#include "qern_lib.h"

extern "C" int keep_local(void) {
  const char *value = getenv("QERN_KILLSWITCH");
  return value != nullptr && strcmp(value, "1") == 0 ? 1 : 0;
}

namespace qern_internal {

settings_copy settings_copy::from_environment() {
  settings_copy copy;
  copy.keep_local = ::keep_local();
  copy.api_url = text_of(getenv("QERN_API_URL"));
  copy.api_key = text_of(getenv("QERN_API_KEY"));
  copy.max_retries = text_of(getenv("QERN_MAXRETRIES"));
  return copy;
}

settings_copy settings_copy::of(const qern_settings &settings) {
  settings_copy copy;
  copy.keep_local = settings.keep_local;
  copy.api_url = text_of(settings.api_url);
  copy.api_key = text_of(settings.api_key);
  copy.max_retries = text_of(settings.max_retries);
  return copy;
}

qern_settings settings_copy::view() const {
  return qern_settings{keep_local, api_url ? api_url->c_str() : nullptr,
                       api_key ? api_key->c_str() : nullptr,
                       max_retries ? max_retries->c_str() : nullptr};
}

std::optional<std::string> settings_copy::text_of(const char *value) {
  if (value == nullptr) {
    return std::nullopt;
  }
  return std::string(value);
}

}  // namespace qern_internal

extern "C" qern_status_t qern_solve(const uint64_t *items, size_t item_count, uint64_t *words,
                                    size_t *word_count, char *err_buf,
                                    const qern_settings *settings, const qern_stop *stop) {
  if (settings->keep_local == 1) {
    return fmss_solve(items, item_count, words, word_count, stop);
  }
  return qern_internal::online_solve(items, item_count, words, word_count, err_buf, *settings,
                                     stop);
}

extern "C" qern_status_t fetch_complete_subset_sum(const uint64_t *items, size_t item_count,
                                                   uint64_t *words, size_t *word_count,
                                                   char *err_buf) {
  try {
    const auto settings = qern_internal::settings_copy::from_environment();
    const qern_settings view = settings.view();
    return qern_solve(items, item_count, words, word_count, err_buf, &view, nullptr);
  } catch (const std::bad_alloc &) {
    qern_internal::copy_error("[Local failure] not enough memory for the settings", err_buf);
    return QERN_STATUS_NO_MEMORY;
  }
}
