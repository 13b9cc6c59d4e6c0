// Solver selection by QERN_KILLSWITCH and the entry point's conventions.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "qern_lib.h"
#include "reference.h"

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

// The settings given to qern_solve are the only ones it uses: the environment
// says the opposite in each case.
TEST(GivenSettings, LocalWhenTheSettingsSaySoWhateverTheEnvironmentSays) {
  unsetenv("QERN_KILLSWITCH");
  setenv("QERN_API_URL", "http://plain.invalid", 1);
  const qern_settings settings{1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0};
  const std::vector<uint64_t> items = {7, 9, 100, 64};
  std::vector<uint64_t> words(180 / 64 + 1, 0);
  size_t count = words.size();
  char err_buf[QERN_ERR_BUF_SIZE] = {0};
  EXPECT_EQ(
      qern_solve(items.data(), items.size(), words.data(), &count, err_buf, &settings, nullptr), 0);
  EXPECT_EQ(words, qern_test::knapsack_bitset(items));
  EXPECT_STREQ(err_buf, "");
  unsetenv("QERN_API_URL");
}

TEST(GivenSettings, OnlineWithTheGivenOriginWhateverTheEnvironmentSays) {
  setenv("QERN_KILLSWITCH", "1", 1);
  setenv("QERN_API_URL", "https://127.0.0.1:9", 1);
  const qern_settings settings{
      0, "http://plain.invalid", "key", "5", nullptr, nullptr, nullptr, nullptr, 0};
  const uint64_t items[] = {3, 5};
  uint64_t word = 0;
  size_t count = 1;
  char err_buf[QERN_ERR_BUF_SIZE] = {0};
  EXPECT_EQ(qern_solve(items, 2, &word, &count, err_buf, &settings, nullptr), -1);
  EXPECT_STREQ(err_buf, "QERN_API_URL must start with https://");
  unsetenv("QERN_KILLSWITCH");
  unsetenv("QERN_API_URL");
}

// The C entry point reads QERN_API_URL itself, at the call.
TEST(EntryPoint, ReadsTheOriginFromTheEnvironmentAtTheCall) {
  setenv("QERN_KILLSWITCH", "0", 1);
  setenv("QERN_API_URL", "http://plain.invalid", 1);
  const uint64_t items[] = {3, 5};
  uint64_t word = 0;
  size_t count = 1;
  char err_buf[QERN_ERR_BUF_SIZE] = {0};
  EXPECT_EQ(fetch_complete_subset_sum(items, 2, &word, &count, err_buf), -1);
  EXPECT_STREQ(err_buf, "QERN_API_URL must start with https://");
  unsetenv("QERN_KILLSWITCH");
  unsetenv("QERN_API_URL");
}

}  // namespace

namespace {

struct settings_deleter {
  void operator()(qern_settings *settings) const { qern_settings_free(settings); }
};
using settings_ptr = std::unique_ptr<qern_settings, settings_deleter>;

std::string text_or_null(const char *text) {
  return text != nullptr ? std::string(text) : std::string("(null)");
}

// The variables the settings record reads, in the record's order.
const char *const kVariables[] = {"QERN_API_URL",   "QERN_API_KEY",   "QERN_MAXRETRIES",
                                  "QERN_CA_BUNDLE", "HTTPS_PROXY",    "NO_PROXY",
                                  "https_proxy",    "no_proxy",       "all_proxy",
                                  "ALL_PROXY",      "QERN_KILLSWITCH"};

void clear_variables() {
  for (const char *name : kVariables)
    unsetenv(name);
}

std::vector<std::string> texts_of(const qern_settings &settings) {
  return {std::to_string(settings.keep_local), text_or_null(settings.api_url),
          text_or_null(settings.api_key),      text_or_null(settings.max_retries),
          text_or_null(settings.https_proxy),  text_or_null(settings.no_proxy),
          text_or_null(settings.ca_bundle)};
}

}  // namespace

TEST(SettingsFromEnvironment, CopiesEveryVariableAndOutlivesItsChanges) {
  clear_variables();
  setenv("QERN_KILLSWITCH", "1", 1);
  setenv("QERN_API_URL", "https://solver.example:8443", 1);
  setenv("QERN_API_KEY", "", 1);  // empty is a key, not an unset one
  setenv("QERN_CA_BUNDLE", "/etc/qern/ca.pem", 1);
  setenv("HTTPS_PROXY", "http://proxy.example:3128", 1);
  setenv("no_proxy", "localhost", 1);
  const settings_ptr settings(qern_settings_from_environment());
  ASSERT_NE(settings, nullptr);
  const std::vector<std::string> expected{"1",
                                          "https://solver.example:8443",
                                          "",
                                          "(null)",
                                          "http://proxy.example:3128",
                                          "localhost",
                                          "/etc/qern/ca.pem"};
  EXPECT_EQ(texts_of(*settings), expected);

  // The record holds copies: what the environment does next does not reach it.
  setenv("QERN_API_URL", "https://other.example", 1);
  unsetenv("QERN_CA_BUNDLE");
  clear_variables();
  EXPECT_EQ(texts_of(*settings), expected);
}

TEST(SettingsFromEnvironment, NothingSetReadsAsNulls) {
  clear_variables();
  const settings_ptr settings(qern_settings_from_environment());
  ASSERT_NE(settings, nullptr);
  EXPECT_EQ(texts_of(*settings), (std::vector<std::string>{"0", "(null)", "(null)", "(null)",
                                                           "(null)", "(null)", "(null)"}));
}

namespace {

struct threads_case {
  const char *text;  // nullptr: unset
  unsigned threads;
};

class ThreadsFromEnvironment : public ::testing::TestWithParam<threads_case> {};

}  // namespace

// QERN_THREADS takes a decimal count from 1, larger ones cut to 1024; junk of
// any kind, however it begins, is the default (0), as other settings' junk is.
TEST_P(ThreadsFromEnvironment, CountOrTheDefault) {
  if (GetParam().text == nullptr) {
    unsetenv("QERN_THREADS");
  } else {
    setenv("QERN_THREADS", GetParam().text, 1);
  }
  const settings_ptr settings(qern_settings_from_environment());
  unsetenv("QERN_THREADS");
  ASSERT_NE(settings, nullptr);
  EXPECT_EQ(settings->threads, GetParam().threads)
      << (GetParam().text ? GetParam().text : "(unset)");
}

INSTANTIATE_TEST_SUITE_P(
    Settings, ThreadsFromEnvironment,
    ::testing::Values(threads_case{nullptr, 0}, threads_case{"", 0}, threads_case{"1", 1},
                      threads_case{"2", 2}, threads_case{"1023", 1023}, threads_case{"1024", 1024},
                      threads_case{"1025", 1024}, threads_case{"99999999999999999999999999", 1024},
                      threads_case{"0", 0}, threads_case{"02", 0}, threads_case{"2000x", 0},
                      threads_case{"99999999999999999999999x", 0}, threads_case{"2x", 0},
                      threads_case{" 2", 0}, threads_case{"2 ", 0}, threads_case{"+2", 0},
                      threads_case{"-2", 0}, threads_case{"two", 0}, threads_case{"1e3", 0}));
