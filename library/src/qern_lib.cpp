// The solver entry point: picks the local or the online solver.
#include <cstdlib>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <new>

#include "qern_internal.h"
#include "qern_lib.h"

extern "C" int keep_local(void) {
  const char *value = getenv("QERN_KILLSWITCH");
  return value != nullptr && strcmp(value, "1") == 0 ? 1 : 0;
}

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

}  // namespace

extern "C" const char *qern_https_proxy_from_environment(void) {
  return first_set({"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"});
}

extern "C" const char *qern_no_proxy_from_environment(void) {
  return first_set({"no_proxy", "NO_PROXY"});
}

namespace qern_internal {

settings_copy settings_copy::from_environment() {
  settings_copy copy;
  copy.keep_local = ::keep_local();
  copy.api_url = text_of(getenv("QERN_API_URL"));
  copy.api_key = text_of(getenv("QERN_API_KEY"));
  copy.max_retries = text_of(getenv("QERN_MAXRETRIES"));
  copy.https_proxy = text_of(qern_https_proxy_from_environment());
  copy.no_proxy = text_of(qern_no_proxy_from_environment());
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
  return copy;
}

qern_settings settings_copy::view() const {
  auto text = [](const std::optional<std::string> &value) {
    return value ? value->c_str() : nullptr;
  };
  return qern_settings{keep_local,        text(api_url),     text(api_key),
                       text(max_retries), text(https_proxy), text(no_proxy)};
}

std::optional<std::string> settings_copy::text_of(const char *value) {
  if (value == nullptr) {
    return std::nullopt;
  }
  return std::string(value);
}

}  // namespace qern_internal

namespace {

// Memory failures end the solve with QERN_STATUS_NO_MEMORY, any other C++
// failure with -1: none crosses into a C caller. A thread's forced unwind is
// no std::exception and passes through.
template <typename Solve>
qern_status_t without_exceptions(Solve &&solve, char *err_buf) {
  try {
    return solve();
  } catch (const std::bad_alloc &) {
    qern_internal::copy_error("[Local failure] not enough memory", err_buf);
    return QERN_STATUS_NO_MEMORY;
  } catch (const std::exception &) {
    qern_internal::copy_error("[Local failure] the solver failed", err_buf);
    return -1;
  }
}

}  // namespace

extern "C" qern_status_t qern_solve(const uint64_t *items, size_t item_count, uint64_t *words,
                                    size_t *word_count, char *err_buf,
                                    const qern_settings *settings, const qern_stop *stop) {
  if (settings->keep_local == 1) {
    const qern_status_t status = fmss_solve(items, item_count, words, word_count, stop);
    if (status == QERN_STATUS_NO_MEMORY) {
      qern_internal::copy_error("[Local failure] not enough memory for the local solver", err_buf);
    }
    return status;
  }
  return without_exceptions(
      [&] {
        return qern_internal::online_solve(items, item_count, words, word_count, err_buf, *settings,
                                           stop);
      },
      err_buf);
}

extern "C" qern_status_t fetch_complete_subset_sum(const uint64_t *items, size_t item_count,
                                                   uint64_t *words, size_t *word_count,
                                                   char *err_buf) {
  return without_exceptions(
      [&] {
        // Read here, on the caller's thread, once for the whole solve.
        const auto settings = qern_internal::settings_copy::from_environment();
        const qern_settings view = settings.view();
        return qern_solve(items, item_count, words, word_count, err_buf, &view, nullptr);
      },
      err_buf);
}
