// The one choice between the local and the online solver.
#include <exception>
#include <new>

#include "qern_lib.h"
#include "qern_local.h"
#include "qern_online.h"

namespace {

// Memory failures end the solve with QERN_STATUS_NO_MEMORY, any other C++
// failure with -1: none crosses into a C caller. A thread's forced unwind is
// no std::exception and passes through.
template <typename Solve>
qern_status_t without_exceptions(Solve &&solve, char *err_buf) {
  try {
    return solve();
  } catch (const std::bad_alloc &) {
    qern_copy_error("[Local failure] not enough memory", err_buf);
    return QERN_STATUS_NO_MEMORY;
  } catch (const std::exception &) {
    qern_copy_error("[Local failure] the solver failed", err_buf);
    return -1;
  }
}

qern_status_t solve_with(const uint64_t *items, size_t item_count, uint64_t *words,
                         size_t *word_count, char *err_buf, const qern_settings *settings,
                         const qern_stop *stop, bool zeroed) {
  if (settings->keep_local == 1) {
    const qern_status_t status =
        zeroed ? qern_local_solve_into_zeros(items, item_count, words, word_count, stop,
                                             settings->threads)
               : qern_local_solve_threads(items, item_count, words, word_count, stop,
                                          settings->threads);
    if (status == QERN_STATUS_NO_MEMORY) {
      qern_copy_error("[Local failure] not enough memory for the local solver", err_buf);
    }
    return status;
  }
  return without_exceptions(
      [&] {
        return qern_online_solve(items, item_count, words, word_count, err_buf, settings, stop);
      },
      err_buf);
}

}  // namespace

extern "C" qern_status_t qern_solve(const uint64_t *items, size_t item_count, uint64_t *words,
                                    size_t *word_count, char *err_buf,
                                    const qern_settings *settings, const qern_stop *stop) {
  return solve_with(items, item_count, words, word_count, err_buf, settings, stop, false);
}

extern "C" qern_status_t qern_solve_into_zeros(const uint64_t *items, size_t item_count,
                                               uint64_t *words, size_t *word_count, char *err_buf,
                                               const qern_settings *settings,
                                               const qern_stop *stop) {
  return solve_with(items, item_count, words, word_count, err_buf, settings, stop, true);
}

extern "C" void qern_stop_transfers(void) {
  qern_online_stop_transfers();
}
