// The local solver's paths (shared divisors, residue rows, all but a few
// sharing one, sparse sums, the dense sweep) and the boundaries between them, against the
// textbook knapsack at many capacities; and the stop check of qern_local_solve.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "qern_lib.h"
#include "qern_local.h"
#include "reference.h"

namespace {

using qern_test::knapsack_bitset;
using qern_test::knapsack_window;

constexpr uint64_t kUntouched = 0xA5A5A5A5A5A5A5A5ull;

std::vector<uint64_t> uniform(uint64_t seed, size_t count, uint64_t low, uint64_t high,
                              uint64_t times = 1) {
  std::mt19937_64 rng(seed);
  std::vector<uint64_t> items(count);
  for (auto &w : items)
    w = times * (low + rng() % (high - low + 1));
  return items;
}

std::vector<uint64_t> with(std::vector<uint64_t> items, std::vector<uint64_t> more) {
  items.insert(items.end(), more.begin(), more.end());
  return items;
}

std::vector<uint64_t> powers_plus(int delta, unsigned count) {
  std::vector<uint64_t> items;
  for (unsigned k = 1; k <= count; ++k)
    items.push_back((uint64_t{1} << k) + static_cast<uint64_t>(static_cast<int64_t>(delta)));
  return items;
}

std::vector<uint64_t> residue(uint64_t seed, size_t count, uint64_t modulus, uint64_t r,
                              uint64_t high = 40) {
  std::vector<uint64_t> items = uniform(seed, count, 0, high, modulus);
  for (auto &w : items)
    w += r;
  return items;
}

struct Family {
  const char *name;
  std::vector<uint64_t> items;
};

class Families : public ::testing::TestWithParam<Family> {};

// Every capacity from 0 past the full word count (stepping through long
// ones) gets exactly the leading words of the full bitset, and no word
// beyond it is touched.
TEST_P(Families, MatchTheKnapsackAtEveryCapacity) {
  const std::vector<uint64_t> &items = GetParam().items;
  const std::vector<uint64_t> full = knapsack_bitset(items);
  const size_t step = full.size() > 200 ? full.size() / 37 : 1;
  std::vector<size_t> capacities;
  for (size_t capacity = 0; capacity <= full.size() + 1; capacity += step)
    capacities.push_back(capacity);
  capacities.push_back(full.size());
  capacities.push_back(full.size() - 1);
  capacities.push_back(full.size() / 2 + 1);
  for (const size_t capacity : capacities) {
    std::vector<uint64_t> words(capacity + 1, kUntouched);
    size_t count = capacity;
    ASSERT_EQ(fmss_complete_subset_sum(items.data(), items.size(), words.data(), &count), 0);
    ASSERT_EQ(count, std::min(capacity, full.size()) == full.size() ? full.size() : capacity);
    for (size_t i = 0; i < std::min(capacity, full.size()); ++i)
      ASSERT_EQ(words[i], full[i]) << "capacity " << capacity << " word " << i;
    for (size_t i = std::min(capacity, full.size()); i < words.size(); ++i)
      ASSERT_EQ(words[i], kUntouched) << "capacity " << capacity << " word " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    LocalSolver, Families,
    ::testing::Values(
        Family{"divisor_2", uniform(1, 300, 1, 400, 2)},
        Family{"divisor_3", uniform(2, 200, 1, 300, 3)},
        Family{"divisor_5_few", uniform(3, 4, 1, 90, 5)},
        Family{"divisor_63", uniform(4, 60, 1, 200, 63)},
        Family{"divisor_64", uniform(5, 60, 1, 200, 64)},
        Family{"divisor_65", uniform(6, 40, 1, 200, 65)},
        Family{"divisor_1000", uniform(7, 20, 1, 100, 1000)},
        Family{"divisor_with_zeros", with(uniform(8, 50, 1, 100, 6), {0, 0, 0})},
        Family{"divisor_repeats", with(std::vector<uint64_t>(500, 12), {36, 24})},
        Family{"single_item_times_g", {4 * 1000}},
        Family{"even_but_one_odd", with(uniform(9, 300, 1, 1000, 2), {2001})},
        Family{"even_but_one_small_odd", with(uniform(10, 300, 1, 1000, 2), {3})},
        Family{"multiples_64_plus_three_odd", with(uniform(11, 200, 1, 300, 64), {3, 5, 11})},
        Family{"multiples_1000_plus_few", with(uniform(12, 60, 1, 50, 1000), {7, 999, 1001})},
        Family{"multiples_3_plus_sixteen", with(uniform(13, 200, 1, 300, 3),
                                                uniform(14, 16, 1, 100, 3 * 7 + 1))},
        Family{"multiples_3_plus_seventeen", with(uniform(15, 200, 1, 300, 3),
                                                  uniform(16, 17, 1, 100, 3 * 7 + 1))},
        Family{"residue_1_mod_1009", residue(17, 60, 1009, 1)},
        Family{"residue_5_mod_64", residue(18, 80, 64, 5)},
        // Packed rows exactly half the stride (33 * 3 + 1 = 100), then one
        // column too many for packing.
        Family{"residue_rows_half_the_stride", residue(30, 33, 200, 3)},
        Family{"residue_rows_one_column_too_many", residue(31, 34, 200, 3)},
        Family{"residue_narrower_than_two_words", residue(32, 20, 100, 1, 300)},
        Family{"residue_rows_two_words_wide", residue(37, 20, 128, 1, 300)},
        Family{"residue_rows_across_words", residue(33, 40, 1000, 7)},
        Family{"residue_rows_with_repeats", residue(34, 200, 1009, 1, 12)},
        Family{"residue_rows_with_zeros", with(residue(35, 30, 700, 2), {0, 0})},
        Family{"residue_rows_of_a_shared_divisor", residue(36, 50, 2018, 2)},
        Family{"residue_two_items", {5, 5 + 77 * 3}},
        Family{"sparse_ten_large", uniform(19, 10, 100000, 300000)},
        Family{"sparse_then_dense", with(uniform(20, 9, 100000, 300000), uniform(21, 200, 1, 60))},
        Family{"sparse_boundary", uniform(22, 14, 20000, 40000)},
        Family{"narrow_spread", uniform(23, 200, 10000, 10500)},
        Family{"huge_plus_small", with(uniform(24, 200, 1, 2000), {1000000})},
        Family{"powers_plus_one", powers_plus(1, 19)},
        Family{"powers_minus_one", powers_plus(-1, 19)},
        Family{"three_times_powers", [] {
                 std::vector<uint64_t> items;
                 for (unsigned k = 0; k < 17; ++k)
                   items.push_back(uint64_t{3} << k);
                 return items;
               }()},
        Family{"only_zeros", std::vector<uint64_t>(9, 0)},
        Family{"dense_random", uniform(25, 500, 1, 1000)}),
    [](const auto &info) { return std::string(info.param.name); });

// Totals close to 2^64 are sized and reduced without overflow: the first
// words are those of the knapsack over the sums they hold.
TEST(LocalSolver, TotalsNearTwoToThe64HaveExactLeadingWords) {
  const uint64_t g = uint64_t{1} << 40;
  const std::vector<std::vector<uint64_t>> inputs = {
      {3 * g, 5 * g, 7 * g, (uint64_t{1} << 63)},
      {uint64_t{1} << 62, uint64_t{1} << 62, (uint64_t{1} << 62) + 64, 64, 128, 192},
      {UINT64_MAX / 2, UINT64_MAX / 2 - 16, 3, 5},
      {UINT64_MAX - 1000, 400, 600},
      {(uint64_t{1} << 63) + 2, 2, 4, 6, 1000},
  };
  for (const auto &items : inputs) {
    for (size_t capacity : {size_t{1}, size_t{3}, size_t{40}}) {
      std::vector<uint64_t> words(capacity + 1, kUntouched);
      size_t count = capacity;
      fmss_complete_subset_sum(items.data(), items.size(), words.data(), &count);
      EXPECT_EQ(count, capacity);
      words.pop_back();
      EXPECT_EQ(words, knapsack_window(items, capacity)) << items[0] << " capacity " << capacity;
    }
  }
}

// A stop check that counts its calls and asks to stop at call `stop_at`
// (0: never).
struct counting_stop {
  int calls = 0;
  int stop_at = 0;
  static int check(void *context) {
    auto *self = static_cast<counting_stop *>(context);
    ++self->calls;
    return self->stop_at != 0 && self->calls >= self->stop_at;
  }
};

// Long enough to ask the check many times: every item is 1 modulo 1009, so
// no block fills up or stays empty, and there are too many of them for rows
// of 1009 bits to pack (600 columns): no path shortens the sweep much.
std::vector<uint64_t> long_solve_items() {
  return residue(26, 600, 1009, 1, 200);
}

TEST(StopCheck, IsAskedDuringALongSolveAndALaterAnswerIsExact) {
  const std::vector<uint64_t> items = long_solve_items();
  uint64_t total = 0;
  for (uint64_t w : items)
    total += w;
  size_t count = total / 64 + 1;
  std::vector<uint64_t> words(count, kUntouched);
  counting_stop never;
  const qern_stop stop{counting_stop::check, &never};
  ASSERT_EQ(qern_local_solve(items.data(), items.size(), words.data(), &count, &stop), 0);
  EXPECT_GT(never.calls, 20);
  size_t plain_count = total / 64 + 1;
  std::vector<uint64_t> plain(plain_count, 0);
  fmss_complete_subset_sum(items.data(), items.size(), plain.data(), &plain_count);
  EXPECT_EQ(words, plain);
  const std::vector<uint64_t> leading = knapsack_window(items, 4000);
  EXPECT_TRUE(std::equal(leading.begin(), leading.end(), words.begin()));
}

TEST(StopCheck, StopsSoonAfterTheCheckAsks) {
  const std::vector<uint64_t> items = long_solve_items();
  uint64_t total = 0;
  for (uint64_t w : items)
    total += w;
  for (int stop_at : {1, 2, 7}) {
    size_t count = total / 64 + 1;
    const size_t capacity = count;
    std::vector<uint64_t> words(count, 0);
    counting_stop stopper;
    stopper.stop_at = stop_at;
    const qern_stop stop{counting_stop::check, &stopper};
    EXPECT_EQ(qern_local_solve(items.data(), items.size(), words.data(), &count, &stop),
              QERN_STATUS_STOPPED);
    EXPECT_EQ(stopper.calls, stop_at);  // not asked again once it said stop
    EXPECT_EQ(count, capacity);
  }
}

TEST(StopCheck, NullStopOrNullCheckNeverStops) {
  const std::vector<uint64_t> items = uniform(27, 40, 1, 500, 3);
  const std::vector<uint64_t> full = knapsack_bitset(items);
  for (const bool null_stop : {true, false}) {
    size_t count = full.size();
    std::vector<uint64_t> words(count, kUntouched);
    const qern_stop no_check{nullptr, nullptr};
    ASSERT_EQ(qern_local_solve(items.data(), items.size(), words.data(), &count,
                               null_stop ? nullptr : &no_check),
              0);
    EXPECT_EQ(words, full);
  }
}

// Random inputs shaped at the paths' boundaries (a shared divisor, all but a
// few sharing one, a shared residue, zeros and repeats, one huge item, sparse
// items, totals at
// a word boundary), each at short capacities (0, 1, between, the full count
// and one more) with guard words behind: the leading words match the
// knapsack over the sums they hold, and no word past them is touched.
std::vector<uint64_t> random_shape(std::mt19937_64 &rng) {
  static constexpr uint64_t kDivisors[] = {2, 3, 5, 7, 63, 64, 65, 127, 128, 1000, 1u << 20};
  auto pick = [&](uint64_t low, uint64_t high) { return low + rng() % (high - low + 1); };
  const uint64_t g = kDivisors[rng() % std::size(kDivisors)];
  std::vector<uint64_t> items;
  switch (rng() % 7) {
    case 0:  // every item a multiple of g, zeros among them
      for (uint64_t n = pick(0, 30); n-- > 0;)
        items.push_back(g * pick(0, g < 1000 ? 3000 / g + 1 : 5));
      break;
    case 1:  // all but 1 to 20 multiples of g
      for (uint64_t n = pick(8, 50); n-- > 0;)
        items.push_back(g * pick(1, g < 1000 ? 4000 / g + 1 : 4));
      for (uint64_t n = pick(1, 20); n-- > 0;)
        items.push_back(pick(1, 3 * std::min<uint64_t>(g, 2000) + 40));
      break;
    case 2:  // repeats and zeros
      for (uint64_t n = pick(0, 60), v = pick(0, 300); n-- > 0;)
        items.push_back(rng() % 4 == 0 ? 0 : v + 64 * (rng() % 3));
      break;
    case 3:  // one huge item among small ones
      for (uint64_t n = pick(0, 20); n-- > 0;)
        items.push_back(pick(0, 200));
      items.push_back(pick(uint64_t{1} << 40, uint64_t{1} << 62));
      break;
    case 4:  // sparse: a few large items
      for (uint64_t n = pick(1, 12); n-- > 0;)
        items.push_back(pick(1000, 200000));
      break;
    case 5: {  // r plus multiples of m, often with room for every column
      const uint64_t m = g < 4 ? g + 4 : std::min<uint64_t>(g, 5000);
      const uint64_t r = pick(1, std::min<uint64_t>(m - 1, 9));
      for (uint64_t n = pick(2, 2 + m / (2 * r)); n-- > 0;)
        items.push_back(r + m * pick(0, 40));
      if (rng() % 3 == 0)
        items.push_back(0);
      break;
    }
    default: {  // a total of 64 k - 1, 64 k or 64 k + 1
      const uint64_t total = 64 * pick(1, 60) + pick(0, 2) - 1;
      uint64_t left = total;
      while (left > 0) {
        const uint64_t w = std::min(left, pick(1, 300));
        items.push_back(w);
        left -= w;
      }
      break;
    }
  }
  std::shuffle(items.begin(), items.end(), rng);
  return items;
}

TEST(LocalSolver, RandomShapesAtShortCapacitiesMatchTheKnapsackWindow) {
  std::mt19937_64 rng(20261209);
  for (int round = 0; round < 400; ++round) {
    const std::vector<uint64_t> items = random_shape(rng);
    uint64_t total = 0;
    for (uint64_t w : items)
      total += w;
    const uint64_t needed = total / 64 + 1;
    const size_t longest = static_cast<size_t>(std::min<uint64_t>(needed + 1, 3000));
    for (const size_t capacity :
         {size_t{0}, size_t{1}, size_t{2}, longest / 3, longest / 2 + 1, longest - 1, longest}) {
      std::vector<uint64_t> words(capacity + 2, kUntouched);
      size_t count = capacity;
      ASSERT_EQ(fmss_complete_subset_sum(items.data(), items.size(), words.data(), &count), 0);
      const size_t written = static_cast<size_t>(std::min<uint64_t>(capacity, needed));
      ASSERT_EQ(count, capacity >= needed ? needed : capacity) << "round " << round;
      const std::vector<uint64_t> window = knapsack_window(items, written);
      for (size_t i = 0; i < written; ++i)
        ASSERT_EQ(words[i], window[i])
            << "round " << round << " capacity " << capacity << " word " << i;
      for (size_t i = written; i < words.size(); ++i)
        ASSERT_EQ(words[i], kUntouched)
            << "round " << round << " capacity " << capacity << " word " << i;
    }
  }
}

// Items whose total passes 2^64: three copies of an odd v above 2^63 (2v
// wraps to a small even number) among multiples of 2, at a one-word window.
TEST(LocalSolver, RepeatsOfItemsAboveHalfTheRangeAddNoSmallSums) {
  for (const uint64_t v : {(uint64_t{1} << 63) + 3, (uint64_t{1} << 63) + 33, UINT64_MAX}) {
    std::vector<uint64_t> items = {10, 20, 40, 80, 160, 320, 640, 1280, v, v, v};
    for (const size_t capacity : {size_t{1}, size_t{2}, size_t{30}}) {
      std::vector<uint64_t> words(capacity + 1, kUntouched);
      size_t count = capacity;
      fmss_complete_subset_sum(items.data(), items.size(), words.data(), &count);
      words.pop_back();
      EXPECT_EQ(words, knapsack_window(items, capacity)) << v << " capacity " << capacity;
    }
  }
}

}  // namespace
