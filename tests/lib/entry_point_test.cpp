// Solver selection by QERN_KILLSWITCH and the entry point's conventions.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <string>

#include "qern_lib.h"

namespace {

class KillSwitch : public ::testing::TestWithParam<const char *> {
 protected:
  void SetUp() override {
    if (GetParam() == nullptr) {
      unsetenv("QERN_KILLSWITCH");
    } else {
      setenv("QERN_KILLSWITCH", GetParam(), 1);
    }
  }
  void TearDown() override { unsetenv("QERN_KILLSWITCH"); }
};

using SelectsLocal = KillSwitch;
using SelectsOnline = KillSwitch;

TEST_P(SelectsLocal, SolvesInProcessAndLeavesTheErrorTextAlone) {
  EXPECT_EQ(keep_local(), 1);
  const uint64_t items[] = {1, 2};
  uint64_t word = 0;
  size_t count = 1;
  char err_buf[QERN_ERR_BUF_SIZE];
  memset(err_buf, 'x', sizeof err_buf);
  EXPECT_EQ(fetch_complete_subset_sum(items, 2, &word, &count, err_buf), 0);
  EXPECT_EQ(word, 15u);
  EXPECT_EQ(count, 1u);
  for (char c : err_buf)
    ASSERT_EQ(c, 'x');
}
INSTANTIATE_TEST_SUITE_P(EntryPoint, SelectsLocal, ::testing::Values("1"));

TEST_P(SelectsOnline, AnythingButExactlyOne) {
  EXPECT_EQ(keep_local(), 0);
}
INSTANTIATE_TEST_SUITE_P(EntryPoint, SelectsOnline,
                         ::testing::Values(nullptr, "", "0", "true", "yes", "01", "1 ", " 1",
                                           "11"));

TEST(EntryPoint, EmptyProblemOnTheLocalPath) {
  setenv("QERN_KILLSWITCH", "1", 1);
  uint64_t word = 0;
  size_t count = 1;
  EXPECT_EQ(fetch_complete_subset_sum(nullptr, 0, &word, &count, nullptr), 0);
  EXPECT_EQ(word, 1u);
  EXPECT_EQ(count, 1u);
  unsetenv("QERN_KILLSWITCH");
}

}  // namespace
