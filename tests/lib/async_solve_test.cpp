// The background solve's completion contract.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qern_lib.h"
#include "reference.h"

namespace {

struct Outcome {
  qern_status_t status = 99;
  std::vector<uint64_t> words;
  size_t word_count = 0;
  void *user_data = nullptr;
  std::string error;
  bool had_error = false;
  std::thread::id thread;
  int calls = 0;
};

struct Completions {
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<Outcome> outcomes;

  explicit Completions(size_t count) : outcomes(count) {}

  bool wait_all() {
    std::unique_lock<std::mutex> lock(mutex);
    return arrived.wait_for(lock, std::chrono::seconds(30), [&] {
      for (const Outcome &o : outcomes)
        if (o.calls == 0)
          return false;
      return true;
    });
  }
};

struct Slot {
  Completions *completions;
  size_t index;
};

void record(qern_status_t status, uint64_t *words, size_t word_count, void *user_data,
            char *err_str) {
  auto *slot = static_cast<Slot *>(user_data);
  std::lock_guard<std::mutex> lock(slot->completions->mutex);
  Outcome &outcome = slot->completions->outcomes[slot->index];
  outcome.status = status;
  if (status == 0)
    outcome.words.assign(words, words + word_count);
  outcome.word_count = word_count;
  outcome.user_data = user_data;
  outcome.had_error = err_str != nullptr;
  if (err_str != nullptr)
    outcome.error = err_str;
  outcome.thread = std::this_thread::get_id();
  ++outcome.calls;
  free(words);
  free(err_str);
  slot->completions->arrived.notify_all();
}

uint64_t *heap_items(const std::vector<uint64_t> &items) {
  auto *copy = static_cast<uint64_t *>(malloc(items.size() * sizeof(uint64_t) + 1));
  if (!items.empty())
    memcpy(copy, items.data(), items.size() * sizeof(uint64_t));
  return copy;
}

class BackgroundSolve : public ::testing::Test {
 protected:
  void SetUp() override { setenv("QERN_KILLSWITCH", "1", 1); }
  void TearDown() override { unsetenv("QERN_KILLSWITCH"); }
};

TEST_F(BackgroundSolve, EachCallCompletesOnceOnItsOwnThreadWithItsOwnResult) {
  const std::vector<std::vector<uint64_t>> problems = {
      {}, {1, 2}, {64}, {100, 100}, {5000, 3, 3, 77, 1024}, {0, 0}};
  Completions completions(problems.size());
  std::vector<Slot> slots;
  for (size_t k = 0; k < problems.size(); ++k)
    slots.push_back({&completions, k});
  for (size_t k = 0; k < problems.size(); ++k) {
    ASSERT_EQ(fetch_complete_subset_sum_async(heap_items(problems[k]), problems[k].size(), record,
                                              &slots[k]),
              0);
  }
  ASSERT_TRUE(completions.wait_all());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a second call would show now
  for (size_t k = 0; k < problems.size(); ++k) {
    const Outcome &outcome = completions.outcomes[k];
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_FALSE(outcome.had_error);
    EXPECT_EQ(outcome.user_data, &slots[k]);
    EXPECT_NE(outcome.thread, std::this_thread::get_id());
    EXPECT_EQ(outcome.words, qern_test::knapsack_bitset(problems[k]));
    EXPECT_EQ(outcome.word_count, outcome.words.size());
  }
}

TEST_F(BackgroundSolve, AFailedSolveDeliversStatusAndErrorText) {
  unsetenv("QERN_KILLSWITCH");
  setenv("QERN_API_URL", "http://plain.invalid", 1);  // refused before any transfer
  Completions completions(1);
  Slot slot{&completions, 0};
  ASSERT_EQ(fetch_complete_subset_sum_async(heap_items({3, 5}), 2, record, &slot), 0);
  ASSERT_TRUE(completions.wait_all());
  unsetenv("QERN_API_URL");
  const Outcome &outcome = completions.outcomes[0];
  EXPECT_EQ(outcome.status, -1);
  EXPECT_TRUE(outcome.had_error);
  EXPECT_FALSE(outcome.error.empty());
  EXPECT_LT(outcome.error.size(), size_t{QERN_ERR_BUF_SIZE});
}

// The environment is read on the caller's thread before the call returns:
// clearing the kill switch at once cannot send the solve online (where the
// origin given would fail it).
TEST(BackgroundSettings, ClearedRightAfterTheCallTheSolveStaysLocal) {
  constexpr size_t kCalls = 50;
  setenv("QERN_API_URL", "http://plain.invalid", 1);
  std::vector<std::vector<uint64_t>> problems;
  for (size_t k = 0; k < kCalls; ++k)
    problems.push_back({k % 13, 5, 700 + k});
  Completions completions(kCalls);
  std::vector<Slot> slots;
  for (size_t k = 0; k < kCalls; ++k)
    slots.push_back({&completions, k});
  for (size_t k = 0; k < kCalls; ++k) {
    setenv("QERN_KILLSWITCH", "1", 1);
    ASSERT_EQ(fetch_complete_subset_sum_async(heap_items(problems[k]), problems[k].size(), record,
                                              &slots[k]),
              0);
    unsetenv("QERN_KILLSWITCH");
  }
  ASSERT_TRUE(completions.wait_all());
  unsetenv("QERN_API_URL");
  for (size_t k = 0; k < kCalls; ++k) {
    EXPECT_EQ(completions.outcomes[k].status, 0) << completions.outcomes[k].error;
    EXPECT_EQ(completions.outcomes[k].words, qern_test::knapsack_bitset(problems[k]));
  }
}

// qern_solve_async copies the settings' strings before it returns.
TEST(BackgroundSettings, GivenSettingsAreCopiedBeforeTheCallReturns) {
  char origin[] = "http://plain.invalid";
  const qern_settings settings{0, origin, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0};
  Completions completions(1);
  Slot slot{&completions, 0};
  ASSERT_EQ(qern_solve_async(heap_items({3, 5}), 2, &settings, record, &slot), 0);
  memcpy(origin, "https://127.0.0.1:9", sizeof "https://127.0.0.1:9");
  ASSERT_TRUE(completions.wait_all());
  EXPECT_EQ(completions.outcomes[0].status, -1);
  EXPECT_EQ(completions.outcomes[0].error, "QERN_API_URL must start with https://");
}

}  // namespace
