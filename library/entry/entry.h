// The entry's own pieces, shared by its files and the contract's names in
// library/compat/. Nothing here is exported from the module.
#pragma once

#include <optional>
#include <string>

#include "qern_lib.h"

namespace qern_entry {

// QERN_THREADS as a count of threads: a decimal number from 1, at most
// kMaxThreads (larger ones are cut to it); 0 (the default) when unset or
// anything else.
constexpr unsigned kMaxThreads = 1024;
unsigned threads_from_environment();

// True when QERN_KILLSWITCH is exactly "1": the local solver is chosen.
bool killswitch_set();

// A solve's settings held as owned copies, so that they stay valid however
// the environment or the caller's strings change later. Copies may throw
// std::bad_alloc.
struct settings_copy {
  int keep_local = 0;
  std::optional<std::string> api_url;
  std::optional<std::string> api_key;
  std::optional<std::string> max_retries;
  std::optional<std::string> https_proxy;
  std::optional<std::string> no_proxy;
  std::optional<std::string> ca_bundle;
  std::optional<std::string> transfer_deadline;
  unsigned threads = 0;

  // Read on the calling thread: a background thread never reads the
  // environment, which another thread may be changing.
  static settings_copy from_environment();
  static settings_copy of(const qern_settings &settings);
  // Borrows this record's strings.
  qern_settings view() const;
};

// The background thread's start routine: takes ownership of a launch record
// made by start_background_solve, solves, and calls its completion once.
void *run_background_solve(void *record);

// Starts the background solve with the settings given (moved into the
// thread's record). Returns 0, ENOMEM or the pthread_create error.
int start_background_solve(uint64_t *items, size_t item_count, settings_copy settings,
                           qern_completion_t completion, void *user_data);

}  // namespace qern_entry
