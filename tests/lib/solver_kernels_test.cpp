// The solver's kernels on their own, in both their widest and their portable
// versions (the portable ones run only on CPUs without AVX2 or BMI2), against
// bit-by-bit oracles: the divisor spread and the block sweep.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "local_solver.h"

namespace {

bool bit(const std::vector<uint64_t> &words, uint64_t s) {
  return (words[s / 64] >> (s % 64)) & 1;
}

void set_bit(std::vector<uint64_t> &words, uint64_t s) {
  words[s / 64] |= uint64_t{1} << (s % 64);
}

class Spread : public ::testing::TestWithParam<bool> {};

TEST_P(Spread, PutsReducedBitSAtGTimesSAndWritesEveryWord) {
  const bool portable = GetParam();
  std::mt19937_64 rng(31);
  for (const uint64_t g : {2u, 3u, 5u, 7u, 31u, 63u, 64u, 65u, 100u, 1000u}) {
    for (const size_t out_words : {size_t{1}, size_t{2}, size_t{7}, size_t{64}, size_t{333}}) {
      const uint64_t top_sum = 64 * static_cast<uint64_t>(out_words) - 1;
      const size_t reduced_words = static_cast<size_t>(top_sum / g / 64) + 1;
      for (int round = 0; round < 4; ++round) {
        std::vector<uint64_t> words(out_words, 0xA5A5A5A5A5A5A5A5ull);
        for (size_t k = 0; k < reduced_words; ++k) {
          // Sparse, dense, empty and full reduced words.
          const uint64_t r = rng();
          words[k] = round == 0 ? r & rng() & rng() : round == 1 ? r | rng() : r;
          if (rng() % 5 == 0)
            words[k] = rng() % 2 ? 0 : ~uint64_t{0};
        }
        const std::vector<uint64_t> reduced(words.begin(), words.begin() + reduced_words);
        std::vector<uint64_t> expected(out_words, 0);
        for (uint64_t s = 0; s < 64 * reduced_words; ++s) {
          if (bit(reduced, s) && s <= top_sum / g)
            set_bit(expected, s * g);
        }
        fmss::work_meter meter(nullptr);
        fmss::spread_multiples(words.data(), out_words, reduced_words, g, meter, portable);
        ASSERT_EQ(words, expected) << "g " << g << " words " << out_words << " round " << round;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, Spread, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "portable" : "widest"; });

class BlockSweep : public ::testing::TestWithParam<bool> {};

// Starting from sums below `reach` (random, with full and empty stretches),
// each item ORs the bitset shifted by it into the words [0, last].
TEST_P(BlockSweep, MatchesShiftOrBitByBit) {
  const bool portable = GetParam();
  std::mt19937_64 rng(37);
  for (int round = 0; round < 40; ++round) {
    const size_t last = rng() % 300;
    const size_t words_count = last + 1;
    const uint64_t bits = 64 * static_cast<uint64_t>(words_count);
    const uint64_t reach = rng() % bits;
    std::vector<uint64_t> words(words_count, 0);
    for (uint64_t s = 0; s <= reach;) {
      const uint64_t stretch = 1 + rng() % 700;
      const int kind = static_cast<int>(rng() % 3);  // empty, full, random
      for (uint64_t k = 0; k < stretch && s <= reach; ++k, ++s) {
        if (kind == 1 || (kind == 2 && rng() % 3 == 0))
          set_bit(words, s);
      }
    }
    std::vector<uint64_t> items(rng() % 12);
    for (auto &w : items)
      w = rng() % 4 == 0 ? 64 * (rng() % 20) : rng() % (bits + 200);
    std::sort(items.begin(), items.end());
    items.erase(std::remove(items.begin(), items.end(), 0u), items.end());

    std::vector<uint64_t> expected = words;
    for (const uint64_t w : items) {
      for (uint64_t s = bits; s-- > w;) {
        if (bit(expected, s - w))
          set_bit(expected, s);
      }
    }
    fmss::work_meter meter(nullptr);
    fmss::sweep_items_by_blocks(items.data(), items.size(), words.data(), last, reach, meter,
                                portable);
    ASSERT_EQ(words, expected) << "round " << round;
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, BlockSweep, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "portable" : "widest"; });

}  // namespace
