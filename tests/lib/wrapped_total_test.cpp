// Items whose total passes 2^64: every C entry point that solves locally sizes
// the window from the true total, so the caller's capacity alone bounds what
// is written, and the background solve refuses them before it starts.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <ostream>
#include <string>
#include <vector>

#include "qern_lib.h"
#include "qern_local.h"
#include "reference.h"

namespace {

using qern_test::knapsack_window;

constexpr uint64_t kUntouched = 0xA5A5A5A5A5A5A5A5ull;
constexpr uint64_t kTop = uint64_t{1} << 63;

struct Wrapped {
  const char *name;
  std::vector<uint64_t> items;
};

// One way into the local solver: returns its status, leaves the words and
// the count as it left them.
using local_call = int (*)(const std::vector<uint64_t> &, uint64_t *, size_t *);

int through_contract(const std::vector<uint64_t> &items, uint64_t *words, size_t *count) {
  return fmss_complete_subset_sum(items.data(), items.size(), words, count);
}

int through_local_solver(const std::vector<uint64_t> &items, uint64_t *words, size_t *count) {
  return qern_local_solve(items.data(), items.size(), words, count, nullptr);
}

int through_entry(const std::vector<uint64_t> &items, uint64_t *words, size_t *count) {
  const qern_settings local{1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0};
  char err_buf[QERN_ERR_BUF_SIZE] = {0};
  return qern_solve(items.data(), items.size(), words, count, err_buf, &local, nullptr);
}

int through_environment(const std::vector<uint64_t> &items, uint64_t *words, size_t *count) {
  setenv("QERN_KILLSWITCH", "1", 1);
  const int status = fetch_complete_subset_sum(items.data(), items.size(), words, count, nullptr);
  unsetenv("QERN_KILLSWITCH");
  return status;
}

struct EntryPoint {
  const char *name;
  local_call call;
};

void PrintTo(const Wrapped &shape, std::ostream *out) {
  *out << shape.name;
}
void PrintTo(const EntryPoint &entry, std::ostream *out) {
  *out << entry.name;
}

class WrappedTotals : public ::testing::TestWithParam<std::tuple<Wrapped, EntryPoint>> {};

// The true total needs more than 2^58 words, far beyond every capacity here:
// each capacity is filled with the leading words of the full bitset, the
// count stays the capacity, and nothing past it is touched.
TEST_P(WrappedTotals, FillTheWholeCapacityAndKeepItsCount) {
  const auto &[shape, entry] = GetParam();
  for (const size_t capacity : {size_t{1}, size_t{2}, size_t{10}, size_t{300}}) {
    std::vector<uint64_t> words(capacity + 2, kUntouched);
    size_t count = capacity;
    ASSERT_EQ(entry.call(shape.items, words.data(), &count), 0);
    EXPECT_EQ(count, capacity) << shape.name;
    EXPECT_EQ(words[capacity], kUntouched);
    EXPECT_EQ(words[capacity + 1], kUntouched);
    words.resize(capacity);
    EXPECT_EQ(words, knapsack_window(shape.items, capacity))
        << shape.name << " capacity " << capacity;
  }
}

std::vector<uint64_t> many_beyond_and_small() {
  std::vector<uint64_t> items(40, (uint64_t{1} << 60) + 7);
  for (uint64_t w = 1; w <= 30; ++w)
    items.push_back(3 * w);
  return items;
}

INSTANTIATE_TEST_SUITE_P(
    EntryPoints, WrappedTotals,
    ::testing::Combine(
        ::testing::Values(Wrapped{"max_and_two", {UINT64_MAX, 2}},
                          Wrapped{"two_halves_and_one", {kTop, kTop, 1}},
                          Wrapped{"total_exactly_two_to_the_64", {kTop, kTop}},
                          Wrapped{"three_odd_tops_among_evens",
                                  {kTop + 3, 10, kTop + 3, 20, 40, kTop + 3, 80, 640}},
                          Wrapped{"many_beyond_and_small", many_beyond_and_small()}),
        ::testing::Values(EntryPoint{"fmss_complete_subset_sum", through_contract},
                          EntryPoint{"qern_local_solve", through_local_solver},
                          EntryPoint{"qern_solve", through_entry},
                          EntryPoint{"fetch_complete_subset_sum", through_environment})),
    [](const auto &info) {
      return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
    });

// The words of such a total could never be allocated: the background solve
// says so at once, and its completion never runs.
TEST(WrappedTotals, AreRefusedByTheBackgroundSolveBeforeItStarts) {
  const qern_settings local{1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0};
  auto *items = static_cast<uint64_t *>(malloc(2 * sizeof(uint64_t)));
  ASSERT_NE(items, nullptr);
  items[0] = UINT64_MAX;
  items[1] = 2;
  int calls = 0;
  const qern_completion_t count_calls = [](qern_status_t, uint64_t *words, size_t, void *user_data,
                                           char *err_str) {
    ++*static_cast<int *>(user_data);
    free(words);
    free(err_str);
  };
  EXPECT_EQ(qern_solve_async(items, 2, &local, count_calls, &calls), EOVERFLOW);
  free(items);  // still the caller's
  EXPECT_EQ(calls, 0);
}

}  // namespace
