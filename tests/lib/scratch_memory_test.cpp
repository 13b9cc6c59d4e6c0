// The local solver when scratch memory runs out: exact wherever an allocation
// fails, and with none at all it still costs about what the solve with
// scratch costs (counted in the stop check's calls, one per few million word
// operations, never timed).
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "failing_new.h"
#include "qern_local.h"
#include "reference.h"

namespace {

using qern_test::knapsack_window;

constexpr uint64_t kUntouched = 0xA5A5A5A5A5A5A5A5ull;

struct counting_stop {
  long calls = 0;
  long stop_at = 0;  // 0: never
  static int check(void *context) {
    auto *self = static_cast<counting_stop *>(context);
    ++self->calls;
    return self->stop_at != 0 && self->calls >= self->stop_at;
  }
};

// A solve into `capacity` words (two guard words behind them): its status,
// words, count and the stop check's calls.
struct outcome {
  qern_status_t status;
  std::vector<uint64_t> words;
  size_t count;
  long checks;
};

// fail_at: -1 lets every allocation succeed, -2 fails every one, n >= 0
// fails the solver's allocation after n more.
outcome solve(const std::vector<uint64_t> &items, size_t capacity, long fail_at, long stop_at = 0) {
  outcome result{0, std::vector<uint64_t>(capacity + 2, kUntouched), capacity, 0};
  counting_stop counter;
  counter.stop_at = stop_at;
  const qern_stop stop{counting_stop::check, &counter};
  if (fail_at == -2) {
    const qern_test::no_memory_scope no_memory;
    result.status =
        qern_local_solve(items.data(), items.size(), result.words.data(), &result.count, &stop);
  } else {
    qern_test::allocations_before_failure.store(fail_at);
    result.status =
        qern_local_solve(items.data(), items.size(), result.words.data(), &result.count, &stop);
    qern_test::allocations_before_failure.store(-1);
  }
  result.checks = counter.calls;
  return result;
}

constexpr long kEveryAllocationFails = -2;
constexpr long kNoneFails = -1;

uint64_t total_of(const std::vector<uint64_t> &items) {
  uint64_t total = 0;
  for (uint64_t w : items)
    total += w;
  return total;
}

struct Shape {
  const char *name;
  std::vector<uint64_t> items;
};

void PrintTo(const Shape &shape, std::ostream *out) {
  *out << shape.name;
}

std::vector<uint64_t> distinct_values(size_t count, uint64_t step, uint64_t copies) {
  std::vector<uint64_t> items;
  for (uint64_t v = 1; v <= count; ++v)
    for (uint64_t c = 0; c < copies; ++c)
      items.push_back(v * step);
  std::shuffle(items.begin(), items.end(), std::mt19937_64(count));
  return items;
}

std::vector<uint64_t> random_items(uint64_t seed, size_t count, uint64_t high) {
  std::mt19937_64 rng(seed);
  std::vector<uint64_t> items(count);
  for (auto &w : items)
    w = rng() % (high + 1);
  return items;
}

class WithoutMemory : public ::testing::TestWithParam<Shape> {};

// Every capacity, short or full, gets the knapsack's leading words and its
// count, and nothing past them is written.
TEST_P(WithoutMemory, MatchesTheKnapsackAtEveryCapacity) {
  const std::vector<uint64_t> &items = GetParam().items;
  const uint64_t total = total_of(items);
  const size_t needed = total / 64 + 1;
  const size_t longest = static_cast<size_t>(std::min<uint64_t>(needed + 1, 3000));
  for (const size_t capacity :
       {size_t{1}, size_t{2}, longest / 3 + 1, longest / 2 + 1, longest - 1, longest}) {
    const outcome got = solve(items, capacity, kEveryAllocationFails);
    ASSERT_EQ(got.status, 0);
    const size_t written = std::min(capacity, needed);
    EXPECT_EQ(got.count, capacity >= needed ? needed : capacity);
    const std::vector<uint64_t> expected = knapsack_window(items, written);
    for (size_t i = 0; i < written; ++i)
      ASSERT_EQ(got.words[i], expected[i]) << "capacity " << capacity << " word " << i;
    for (size_t i = written; i < got.words.size(); ++i)
      ASSERT_EQ(got.words[i], kUntouched) << "capacity " << capacity << " word " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    LocalSolver, WithoutMemory,
    ::testing::Values(Shape{"one_item", {77}}, Shape{"zeros_only", std::vector<uint64_t>(20, 0)},
                      Shape{"repeats_of_one_value", std::vector<uint64_t>(1000, 7)},
                      // More distinct values than one pass over the items collects.
                      Shape{"six_hundred_distinct", distinct_values(600, 1, 1)},
                      Shape{"distinct_with_repeats", distinct_values(300, 3, 5)},
                      Shape{"random_with_zeros", random_items(5, 400, 300)},
                      Shape{"sparse_large", random_items(6, 12, 200000)},
                      Shape{"one_beyond_the_window", {3, 5, 9, uint64_t{1} << 40}},
                      Shape{"odd_total_at_a_word_edge", {64, 63, 1, 1, 127}}),
    [](const auto &info) { return std::string(info.param.name); });

// Wherever one allocation fails, the answer is the same.
TEST(WithoutMemory, AnyOneFailedAllocationLeavesTheAnswerExact) {
  std::vector<uint64_t> items = distinct_values(50, 7, 4);
  items.push_back(1);
  items.push_back(0);
  const uint64_t total = total_of(items);
  const std::vector<uint64_t> expected = knapsack_window(items, total / 64 + 1);
  for (long n = 0; n < 40; ++n) {
    const outcome got = solve(items, expected.size(), n);
    ASSERT_EQ(got.status, 0) << "failing allocation " << n;
    ASSERT_EQ(got.count, expected.size());
    ASSERT_TRUE(std::equal(expected.begin(), expected.end(), got.words.begin()))
        << "failing allocation " << n;
  }
}

struct Costly {
  const char *name;
  std::vector<uint64_t> items;
  std::vector<uint64_t> (*sums)(const std::vector<uint64_t> &);
};

void PrintTo(const Costly &shape, std::ostream *out) {
  *out << shape.name;
}

// 300,000 threes, a 7 and an 11: 3a plus one of 0, 7, 11, 18.
std::vector<uint64_t> threes_and_two() {
  std::vector<uint64_t> items(300000, 3);
  items.push_back(7);
  items.push_back(11);
  return items;
}
std::vector<uint64_t> sums_of_threes_and_two(const std::vector<uint64_t> &items) {
  const uint64_t total = total_of(items);
  std::vector<uint64_t> words(total / 64 + 1, 0);
  for (uint64_t a = 0; a <= 300000; ++a)
    for (uint64_t extra : {0, 7, 11, 18})
      words[(3 * a + extra) / 64] |= uint64_t{1} << ((3 * a + extra) % 64);
  return words;
}

// 1 to 2000, 30 copies each: every total from 0 to the sum of all of them.
std::vector<uint64_t> every_sum_up_to_the_total(const std::vector<uint64_t> &items) {
  const uint64_t total = total_of(items);
  std::vector<uint64_t> words(total / 64 + 1, ~uint64_t{0});
  if (total % 64 != 63)
    words.back() = (uint64_t{2} << (total % 64)) - 1;
  return words;
}

class CostWithoutMemory : public ::testing::TestWithParam<Costly> {};

// Sweeping every item over every word, as a solve without scratch once did,
// asks the check thousands of times here (300,000 items over 14,000 words;
// 60,000 over 940,000); folded repeats and the full run keep it within a
// few times what the solve with scratch asks. The check stops a solve that
// goes past that, so a regression fails quickly instead of running long.
TEST_P(CostWithoutMemory, StaysNearTheCostWithScratch) {
  const Costly &shape = GetParam();
  const std::vector<uint64_t> expected = shape.sums(shape.items);
  const outcome with_scratch = solve(shape.items, expected.size(), kNoneFails);
  ASSERT_EQ(with_scratch.status, 0);
  const long budget = 3 * with_scratch.checks + 4;
  const outcome without = solve(shape.items, expected.size(), kEveryAllocationFails, budget + 1);
  ASSERT_EQ(without.status, 0) << "asked the check more than " << budget << " times";
  EXPECT_LE(without.checks, budget);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), without.words.begin()));
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), with_scratch.words.begin()));
}

INSTANTIATE_TEST_SUITE_P(LocalSolver, CostWithoutMemory,
                         ::testing::Values(Costly{"threes", threes_and_two(),
                                                  sums_of_threes_and_two},
                                           Costly{"dense_repeats", distinct_values(2000, 1, 30),
                                                  every_sum_up_to_the_total}),
                         [](const auto &info) { return std::string(info.param.name); });

// A stop check that notes how many times it was asked before the solve wrote
// its first word.
struct first_write_watch {
  const std::vector<uint64_t> *words = nullptr;
  long calls = 0;
  long before_first_write = 0;
  static int check(void *context) {
    auto *self = static_cast<first_write_watch *>(context);
    ++self->calls;
    if (std::all_of(self->words->begin(), self->words->end(),
                    [](uint64_t word) { return word == kUntouched; }))
      self->before_first_write = self->calls;
    return 0;
  }
};

// Four million items take tens of milliseconds to copy and sort before any
// word is written: the check is asked on the way, once per two million items
// in each of the five passes over them (copy, look for the bytes that
// differ, count, place, copy back), or more often in the sort without a
// second array. Once they were asked only when the words came.
TEST(LongList, AsksTheCheckWhileTheItemsAreCopiedAndSorted) {
  const std::vector<uint64_t> items = random_items(7, size_t{1} << 22, 100);
  const size_t needed = static_cast<size_t>(total_of(items) / 64) + 1;
  // Tens of thousands of ones among items up to 100: every sum is reached.
  const std::vector<uint64_t> expected = every_sum_up_to_the_total(items);
  for (long fail_at : {kNoneFails, 1L}) {
    std::vector<uint64_t> words(needed, kUntouched);
    first_write_watch watch;
    watch.words = &words;
    const qern_stop stop{first_write_watch::check, &watch};
    size_t count = needed;
    qern_test::allocations_before_failure.store(fail_at);
    const qern_status_t status =
        qern_local_solve(items.data(), items.size(), words.data(), &count, &stop);
    qern_test::allocations_before_failure.store(-1);
    ASSERT_EQ(status, 0) << "failing " << fail_at;
    EXPECT_GE(watch.before_first_write, 10) << "failing " << fail_at;
    EXPECT_TRUE(words == expected) << "failing " << fail_at;
    // A stop on the fourth ask ends the copy or the sort, before any word.
    const outcome stopped = solve(items, needed, fail_at, 4);
    EXPECT_EQ(stopped.status, QERN_STATUS_STOPPED) << "failing " << fail_at;
    EXPECT_EQ(stopped.checks, 4) << "failing " << fail_at;
    EXPECT_TRUE(std::all_of(stopped.words.begin(), stopped.words.end(),
                            [](uint64_t word) { return word == kUntouched; }))
        << "failing " << fail_at;
  }
}

}  // namespace
