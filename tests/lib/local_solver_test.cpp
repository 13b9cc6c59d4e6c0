// The exact local solver against a textbook knapsack, at the capacity edges.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "qern_lib.h"
#include "reference.h"

namespace {

using qern_test::exact_bitset;
using qern_test::knapsack_bitset;

constexpr uint64_t kUntouched = 0xA5A5A5A5A5A5A5A5ull;

struct Example {
  std::vector<uint64_t> items;
  std::vector<uint64_t> words;
};

class WorkedExamples : public ::testing::TestWithParam<Example> {};

TEST_P(WorkedExamples, MatchTheKnownBitset) {
  const Example &example = GetParam();
  EXPECT_EQ(exact_bitset(example.items), example.words);
}

INSTANTIATE_TEST_SUITE_P(LocalSolver, WorkedExamples,
                         ::testing::Values(Example{{}, {1}}, Example{{0, 0}, {1}},
                                           Example{{5}, {33}}, Example{{1, 2}, {15}},
                                           Example{{2, 3}, {45}}, Example{{3, 3}, {73}},
                                           Example{{3, 3, 3}, {585}},
                                           Example{{7, 0, 7}, {(1ull << 14) + (1ull << 7) + 1}},
                                           Example{{63}, {(1ull << 63) + 1}}, Example{{64}, {1, 1}},
                                           Example{{100, 100}, {1, 1ull << 36, 0, 1ull << 8}}));

TEST(LocalSolver, NullItemsWithCountZeroGiveSumZeroOnly) {
  uint64_t word = kUntouched;
  size_t count = 1;
  EXPECT_EQ(fmss_complete_subset_sum(nullptr, 0, &word, &count), 0);
  EXPECT_EQ(word, 1u);
  EXPECT_EQ(count, 1u);
}

// A short capacity gets exactly the first words of the full bitset and keeps
// its word count; a long one gets the full bitset and nothing beyond it is
// written.
TEST(LocalSolver, EveryCapacityGetsAPrefixOfTheFullBitset) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 60; ++round) {
    std::vector<uint64_t> items(rng() % 12);
    for (auto &w : items)
      w = rng() % (round % 3 == 0 ? 64 : 700);
    const std::vector<uint64_t> full = knapsack_bitset(items);
    for (size_t capacity = 0; capacity <= full.size() + 2; ++capacity) {
      std::vector<uint64_t> words(capacity + 1, kUntouched);
      size_t count = capacity;
      ASSERT_EQ(fmss_complete_subset_sum(items.data(), items.size(), words.data(), &count), 0);
      const size_t written = std::min(capacity, full.size());
      EXPECT_EQ(count, capacity >= full.size() ? full.size() : capacity);
      for (size_t i = 0; i < written; ++i)
        ASSERT_EQ(words[i], full[i]) << "word " << i;
      for (size_t i = written; i < words.size(); ++i)
        ASSERT_EQ(words[i], kUntouched);
    }
  }
}

TEST(LocalSolver, ItemsAreOnlyRead) {
  const std::vector<uint64_t> items = {9, 1, 1000, 64, 0, 3};
  const std::vector<uint64_t> copy = items;
  exact_bitset(items);
  EXPECT_EQ(items, copy);
}

struct RandomShape {
  const char *name;
  size_t max_count;
  uint64_t max_item;
};

class RandomInputs : public ::testing::TestWithParam<RandomShape> {};

TEST_P(RandomInputs, MatchTheKnapsack) {
  const RandomShape shape = GetParam();
  std::mt19937_64 rng(0x5eed + shape.max_item);
  for (int round = 0; round < 25; ++round) {
    std::vector<uint64_t> items(rng() % (shape.max_count + 1));
    for (auto &w : items)
      w = rng() % (shape.max_item + 1);
    ASSERT_EQ(exact_bitset(items), knapsack_bitset(items)) << shape.name << " round " << round;
  }
}

INSTANTIATE_TEST_SUITE_P(LocalSolver, RandomInputs,
                         ::testing::Values(RandomShape{"tiny items", 40, 3},
                                           RandomShape{"word sized", 30, 64},
                                           RandomShape{"mixed", 25, 5000},
                                           RandomShape{"few large", 6, 400000},
                                           RandomShape{"many", 400, 200}),
                         [](const auto &info) { return std::to_string(info.index); });

TEST(LocalSolver, OrderOfItemsDoesNotMatter) {
  std::vector<uint64_t> items = {5, 129, 64, 64, 1, 0, 77, 300, 2};
  const std::vector<uint64_t> expected = exact_bitset(items);
  std::mt19937_64 rng(3);
  for (int round = 0; round < 20; ++round) {
    std::shuffle(items.begin(), items.end(), rng);
    EXPECT_EQ(exact_bitset(items), expected);
  }
}

// Totals of 2^32 and more are solved with 64-bit arithmetic: an item above
// 2^32 cut to its low bits would reach 5 and 8.
TEST(LocalSolver, TotalsBeyond32BitsAreExact) {
  const uint64_t big = (uint64_t{1} << 32) + 5;
  const std::vector<uint64_t> items = {big, 3};
  size_t count = 2;
  std::vector<uint64_t> words(count, kUntouched);
  fmss_complete_subset_sum(items.data(), items.size(), words.data(), &count);
  EXPECT_EQ(count, 2u);  // a short capacity keeps its word count
  EXPECT_EQ(words[0], 1u | (1u << 3));
  EXPECT_EQ(words[1], 0u);
}

}  // namespace

namespace {

// Inputs built to exercise every fast path: repeated values carried up as
// doubles, dense runs of all-ones words, the mirrored upper half, and totals
// next to a word boundary.
std::vector<uint64_t> repeated(uint64_t value, size_t copies) {
  return std::vector<uint64_t>(copies, value);
}

std::vector<uint64_t> powers_of_two(unsigned count) {
  std::vector<uint64_t> items;
  for (unsigned k = 0; k < count; ++k)
    items.push_back(uint64_t{1} << k);
  return items;
}

std::vector<uint64_t> huge_and_tiny() {
  std::vector<uint64_t> items(300, 1);
  items.push_back(200000);
  items.push_back(3);
  return items;
}

std::vector<uint64_t> with_total(uint64_t total) {
  std::vector<uint64_t> items = {7, 0, 13, 0, 64, 1};
  uint64_t sum = 85;
  items.push_back(total - sum);
  return items;
}

std::vector<uint64_t> dense_random(uint64_t seed, size_t count, uint64_t max_item) {
  std::mt19937_64 rng(seed);
  std::vector<uint64_t> items(count);
  for (auto &w : items)
    w = 1 + rng() % max_item;
  return items;
}

struct Stress {
  const char *name;
  std::vector<uint64_t> items;
};

class StressShapes : public ::testing::TestWithParam<Stress> {};

TEST_P(StressShapes, MatchTheKnapsackAtEveryCapacity) {
  const std::vector<uint64_t> &items = GetParam().items;
  const std::vector<uint64_t> full = qern_test::knapsack_bitset(items);
  ASSERT_EQ(exact_bitset(items), full);
  const size_t step = full.size() > 64 ? full.size() / 16 : 1;
  for (size_t capacity = 0; capacity <= full.size(); capacity += step) {
    std::vector<uint64_t> words(capacity + 1, kUntouched);
    size_t count = capacity;
    fmss_complete_subset_sum(items.data(), items.size(), words.data(), &count);
    for (size_t i = 0; i < std::min(capacity, full.size()); ++i) {
      ASSERT_EQ(words[i], full[i]) << "capacity " << capacity << " word " << i;
    }
    ASSERT_EQ(words[capacity], kUntouched);
  }
}

INSTANTIATE_TEST_SUITE_P(LocalSolver, StressShapes,
                         ::testing::Values(Stress{"all_equal_7", repeated(7, 1000)},
                                           Stress{"all_equal_64", repeated(64, 333)},
                                           Stress{"all_equal_1", repeated(1, 4097)},
                                           Stress{"three_copies", repeated(5, 3)},
                                           Stress{"powers_of_two", powers_of_two(16)},
                                           Stress{"huge_and_tiny", huge_and_tiny()},
                                           Stress{"zeros", std::vector<uint64_t>(50, 0)},
                                           Stress{"total_63", with_total(63 + 64 * 40)},
                                           Stress{"total_64", with_total(64 * 41)},
                                           Stress{"total_65", with_total(65 + 64 * 40)},
                                           Stress{"total_127", with_total(127 + 64 * 40)},
                                           Stress{"dense_random", dense_random(5, 400, 300)},
                                           Stress{"mixed_repeats",
                                                  [] {
                                                    std::vector<uint64_t> items = repeated(3, 17);
                                                    for (uint64_t w : repeated(6, 9))
                                                      items.push_back(w);
                                                    for (uint64_t w : repeated(12, 4))
                                                      items.push_back(w);
                                                    items.push_back(1000);
                                                    return items;
                                                  }()}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
