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
