// The background solve: one detached POSIX thread per call.
//
// Nothing on this thread is noexcept and nothing catches everything: the
// completion may enter an interpreter that ends the thread by a forced unwind,
// which must be free to pass through these frames. Memory failures are caught
// (std::bad_alloc only) and delivered as QERN_STATUS_NO_MEMORY.
#include <pthread.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "entry.h"
#include "qern_lib.h"
#include "qern_memory.h"

namespace {

using qern_memory::heap_ptr;

struct launch_record {
  uint64_t *items;
  size_t item_count;
  qern_entry::settings_copy settings;
  qern_completion_t completion;
  void *user_data;
};

// The solve's words, or a failure when they cannot be allocated. They come
// zeroed from calloc, which the solver is told: a near-empty answer then
// writes only the words that hold a sum (a big block is fresh pages, which
// calloc does not clear either).
qern_status_t solve(const uint64_t *items, size_t item_count, const qern_settings &settings,
                    heap_ptr<uint64_t> *words, size_t *word_count, char *err_buf) {
  uint64_t total = 0;
  for (size_t k = 0; k < item_count; ++k) {
    total += items[k];
  }
  *word_count = qern_word_count(total);
  words->reset(static_cast<uint64_t *>(calloc(*word_count, sizeof(uint64_t))));
  if (!*words) {
    *word_count = 0;
    strncpy(err_buf, "[Local failure] not enough memory for the result words",
            QERN_ERR_BUF_SIZE - 1);
    return QERN_STATUS_NO_MEMORY;
  }
  return qern_solve_into_zeros(items, item_count, words->get(), word_count, err_buf, &settings,
                               nullptr);
}

}  // namespace

void *qern_entry::run_background_solve(void *record) {
  const std::unique_ptr<launch_record> launch(static_cast<launch_record *>(record));

  heap_ptr<uint64_t> items(launch->items);
  heap_ptr<uint64_t> words;
  size_t word_count = 0;
  char err_buf[QERN_ERR_BUF_SIZE] = {0};
  qern_status_t status;
  try {
    const qern_settings settings = launch->settings.view();
    status = solve(items.get(), launch->item_count, settings, &words, &word_count, err_buf);
  } catch (const std::bad_alloc &) {
    // The library's entry points catch their own; this is the last line, so
    // that the completion still runs once.
    status = QERN_STATUS_NO_MEMORY;
    strncpy(err_buf, "[Local failure] not enough memory", QERN_ERR_BUF_SIZE - 1);
  }
  items.reset();

  // A failure whose text cannot be copied still arrives, with a null text.
  char *err_str = status != 0 ? strdup(err_buf) : nullptr;
  launch->completion(status, words.release(), word_count, launch->user_data, err_str);
  return nullptr;
}

int qern_entry::start_background_solve(uint64_t *items, size_t item_count, settings_copy settings,
                                       qern_completion_t completion, void *user_data) {
  // The thread sizes its words from the total: one past 2^64 would need more
  // words than any array holds, and a wrapped one would answer a few words
  // of it as though they were all.
  uint64_t total = 0;
  for (size_t k = 0; k < item_count; ++k) {
    if (total > UINT64_MAX - items[k]) {
      return EOVERFLOW;
    }
    total += items[k];
  }
  std::unique_ptr<launch_record> launch(new (std::nothrow) launch_record{
      items, item_count, std::move(settings), completion, user_data});
  if (!launch) {
    return ENOMEM;
  }

  pthread_attr_t attributes;
  int error = pthread_attr_init(&attributes);
  if (error != 0) {
    return error;
  }
  error = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  if (error == 0) {
    error = pthread_create(&thread, &attributes, run_background_solve, launch.get());
  }
  pthread_attr_destroy(&attributes);
  if (error == 0) {
    launch.release();  // the thread owns it now
  }
  return error;
}

extern "C" int qern_solve_async(uint64_t *items, size_t item_count, const qern_settings *settings,
                                qern_completion_t completion, void *user_data) {
  try {
    return qern_entry::start_background_solve(
        items, item_count, qern_entry::settings_copy::of(*settings), completion, user_data);
  } catch (const std::bad_alloc &) {
    return ENOMEM;
  }
}
