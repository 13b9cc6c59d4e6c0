// The solver entry point: picks the local or the online solver.
#include <cstdlib>
#include <cstring>

#include "qern_lib.h"

extern "C" int keep_local(void) {
  const char *value = getenv("QERN_KILLSWITCH");
  return value != nullptr && strcmp(value, "1") == 0 ? 1 : 0;
}

extern "C" qern_status_t fetch_complete_subset_sum(const uint64_t *items, size_t item_count,
                                                   uint64_t *words, size_t *word_count,
                                                   char *err_buf) {
  if (keep_local() == 1) {
    fmss_complete_subset_sum(items, item_count, words, word_count);
    return 0;
  }
  return _online_fetch_complete_subset_sum(items, item_count, words, word_count, err_buf);
}
