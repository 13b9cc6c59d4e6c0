// Stopping transfers for the process's exit: afterwards every online solve
// fails at once with libcurl's "aborted" code, without any network. Run in a
// forked child, since the stop cannot be undone.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "qern_lib.h"

namespace {

void solve_after_stop() {
  qern_stop_transfers();
  setenv("QERN_API_URL", "https://127.0.0.1:9", 1);
  setenv("QERN_KILLSWITCH", "0", 1);
  const uint64_t items[] = {3, 5};
  uint64_t words[1] = {0};
  size_t count = 1;
  char err_buf[QERN_ERR_BUF_SIZE] = {0};
  const qern_status_t status = fetch_complete_subset_sum(items, 2, words, &count, err_buf);
  const bool aborted = status == -1 && strcmp(err_buf, "Submit problem curl failed with 42") == 0;
  std::_Exit(aborted ? 0 : 1);
}

TEST(ProcessExit, TransfersAfterTheStopFailAsAborted) {
  EXPECT_EXIT(solve_after_stop(), testing::ExitedWithCode(0), "");
}

}  // namespace
