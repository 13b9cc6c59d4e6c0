// The solver's kernels on their own, in both their widest and their portable
// versions (the portable ones run only on CPUs without AVX2 or BMI2), against
// bit-by-bit oracles: the divisor spread, residue rows, the mirror and the
// block sweep.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
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
      for (int round = 0; round < 5; ++round) {
        std::vector<uint64_t> words(out_words, 0xA5A5A5A5A5A5A5A5ull);
        for (size_t k = 0; k < reduced_words; ++k) {
          // Sparse, dense, empty and full reduced words; in the last round
          // long stretches of full ones.
          const uint64_t r = rng();
          words[k] = round == 0 ? r & rng() & rng() : round == 1 ? r | rng() : r;
          if (rng() % 5 == 0)
            words[k] = rng() % 2 ? 0 : ~uint64_t{0};
          if (round == 4)
            words[k] = rng() % 16 == 0 ? r : ~uint64_t{0};
        }
        const std::vector<uint64_t> reduced(words.begin(), words.begin() + reduced_words);
        std::vector<uint64_t> expected(out_words, 0);
        for (uint64_t s = 0; s < 64 * reduced_words; ++s) {
          if (bit(reduced, s) && s <= top_sum / g)
            set_bit(expected, s * g);
        }
        qern_local::work_meter meter(nullptr);
        qern_local::spread_multiples(words.data(), out_words, reduced_words, g, meter, portable);
        ASSERT_EQ(words, expected) << "g " << g << " words " << out_words << " round " << round;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, Spread, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "portable" : "widest"; });

// Long stretches of full reduced words, cut into several copies: the output
// is the same bit for bit across the cuts.
TEST_P(Spread, LongFullStretchesMatchBitByBit) {
  const bool portable = GetParam();
  std::mt19937_64 rng(37);
  // Runs of full words several copies long (at most 2 MiB of output each),
  // broken by a few words of random bits.
  for (const uint64_t g : {2u, 5u}) {
    const size_t reduced_words = (size_t{1} << 19) + 5;
    const size_t out_words = static_cast<size_t>(reduced_words * g);
    const uint64_t top_sum = 64 * static_cast<uint64_t>(out_words) - 1;
    std::vector<uint64_t> words(out_words, 0xA5A5A5A5A5A5A5A5ull);
    for (size_t k = 0; k < reduced_words; ++k)
      words[k] = k == 3000 || k == 400000 || rng() % 1000000 == 0 ? rng() : ~uint64_t{0};
    const std::vector<uint64_t> reduced(words.begin(), words.begin() + reduced_words);
    std::vector<uint64_t> expected(out_words, 0);
    for (uint64_t s = 0; s <= top_sum / g; ++s) {
      if (bit(reduced, s))
        set_bit(expected, s * g);
    }
    qern_local::work_meter meter(nullptr);
    qern_local::spread_multiples(words.data(), out_words, reduced_words, g, meter, portable);
    ASSERT_EQ(words, expected) << "g " << g;
  }
}

// A stop check that says stop at its first ask.
int stop_at_once(void *asks) {
  ++*static_cast<int *>(asks);
  return 1;
}

// A full stretch as long as the answer is copied a piece at a time, with the
// stop check asked between: told to stop, the spread leaves its low words as
// they were instead of writing every one before it asks.
TEST_P(Spread, AsksTheCheckWithinALongFullStretch) {
  const bool portable = GetParam();
  const size_t reduced_words = size_t{1} << 21;
  const size_t out_words = 2 * reduced_words;
  std::vector<uint64_t> words(out_words, 0xA5A5A5A5A5A5A5A5ull);
  std::fill(words.begin(), words.begin() + reduced_words, ~uint64_t{0});
  int asks = 0;
  const qern_stop stop{stop_at_once, &asks};
  qern_local::work_meter meter(&stop);
  qern_local::spread_multiples(words.data(), out_words, reduced_words, 2, meter, portable);
  EXPECT_EQ(asks, 1);
  EXPECT_TRUE(meter.stopped());
  EXPECT_TRUE(std::all_of(words.begin(), words.begin() + reduced_words / 2,
                          [](uint64_t word) { return word == ~uint64_t{0}; }));
}

// Mixed reduced words (neither empty nor full), spread by 64 over 32 MiB: the
// check is asked every few MiB, so one that says stop leaves the reduced
// words at the bottom as they were.
TEST_P(Spread, AsksTheCheckWithinLongMixedWords) {
  const bool portable = GetParam();
  const size_t reduced_words = size_t{1} << 16;
  const size_t out_words = 64 * reduced_words;
  std::vector<uint64_t> words(out_words, 0xA5A5A5A5A5A5A5A5ull);
  std::fill(words.begin(), words.begin() + reduced_words, 0x0123456789ABCDEFull);
  int asks = 0;
  const qern_stop stop{stop_at_once, &asks};
  qern_local::work_meter meter(&stop);
  qern_local::spread_multiples(words.data(), out_words, reduced_words, 64, meter, portable);
  EXPECT_EQ(asks, 1);
  EXPECT_TRUE(meter.stopped());
  EXPECT_TRUE(std::all_of(words.begin(), words.begin() + reduced_words,
                          [](uint64_t word) { return word == 0x0123456789ABCDEFull; }));
}

// Divisors above 64 with two sums far apart: the gap between them is cleared
// a piece at a time, with the stop check asked on the way, so one that says
// stop leaves the low words as they were.
TEST(Spread, AsksTheCheckWithinALongGapOfALargeDivisor) {
  const uint64_t g = 1000;
  const size_t out_words = size_t{1} << 22;  // 32 MiB
  const uint64_t top_sum = 64 * static_cast<uint64_t>(out_words) - 1;
  const size_t reduced_words = static_cast<size_t>(top_sum / g / 64) + 1;
  std::vector<uint64_t> words(out_words, 0xA5A5A5A5A5A5A5A5ull);
  std::fill(words.begin(), words.begin() + static_cast<ptrdiff_t>(reduced_words), 0);
  const uint64_t high = top_sum / g;  // the sums 0 and g * high, 32 MiB apart
  words[0] = 1;
  words[high / 64] |= uint64_t{1} << (high % 64);
  for (const bool stop : {false, true}) {
    std::vector<uint64_t> spread = words;
    int asks = 0;
    const qern_stop check{stop ? stop_at_once : [](void *context) {
      ++*static_cast<int *>(context);
      return 0;
    }, &asks};
    qern_local::work_meter meter(&check);
    qern_local::spread_multiples(spread.data(), out_words, reduced_words, g, meter, false);
    if (stop) {
      EXPECT_EQ(asks, 1);
      EXPECT_TRUE(meter.stopped());
      EXPECT_EQ(spread[reduced_words + 10], words[reduced_words + 10]);  // not reached
    } else {
      EXPECT_GE(asks, 1);
      std::vector<uint64_t> expected(out_words, 0);
      expected[0] = 1;
      expected[g * high / 64] |= uint64_t{1} << (g * high % 64);
      EXPECT_EQ(spread, expected);
    }
  }
}

// Residue rows are used exactly while the packed rows are at most half the
// stride, the stride is at least two words, there are at least eight items,
// and the window reaches a second row.
std::vector<uint64_t> steps(uint64_t first, std::vector<uint64_t> multiples, uint64_t m) {
  std::vector<uint64_t> items;
  for (uint64_t k : multiples)
    items.push_back(first + m * k);
  return items;
}

TEST(ResidueRows, AreFoundExactlyWhilePackingHalvesTheRows) {
  struct Case {
    std::vector<uint64_t> items;
    uint64_t limit;
    uint64_t stride;  // 0: not packed
  };
  std::vector<uint64_t> upto33(33), upto34(34);
  std::iota(upto33.begin(), upto33.end(), 0);
  std::iota(upto34.begin(), upto34.end(), 0);
  const Case cases[] = {
      {steps(3, {0, 1, 2, 3, 4, 5, 6, 7}, 200), 10000, 200},
      {steps(3, upto33, 200), 100000, 200},                     // 33 * 3 + 1 = 100: exactly half
      {steps(3, upto34, 200), 100000, 0},                       // 103: one column too many
      {steps(3, {0, 1, 3, 4, 6, 7, 9, 10}, 400), 100000, 400},  // the gcd of the differences
      {std::vector<uint64_t>(8, 5), 10000, 0},                  // no differences at all
      {steps(1, {0, 1, 2, 3, 4, 5, 6, 7}, 100), 100000, 0},     // a stride below two words
      {steps(1, {0, 1, 2, 3, 4, 5, 6, 7}, 128), 100000, 128},   // and one of two words
      {steps(1, {0, 1, 2, 3, 4, 5, 6}, 1009), 100000, 0},       // seven items
      {steps(3, {0, 1, 2, 3, 4, 5, 6, 7}, 200), 199, 0},        // the window holds row 0 only
      {steps(3, {0, 1, 2, 3, 4, 5, 6, 7}, 200), 200, 200},      // and now bit 200, row 1
      {steps(0, {1, 2, 3, 4, 5, 6, 7, 8}, 200), 10000, 0},      // residue 0: a shared divisor
  };
  for (const Case &c : cases) {
    const qern_local::residue_rows rows =
        qern_local::find_residue_rows(c.items.data(), c.items.size(), c.limit);
    EXPECT_EQ(rows.stride, c.stride) << c.items.size() << " items, limit " << c.limit;
    if (rows.stride != 0) {
      EXPECT_GT(rows.packed, c.items.size() * rows.residue);
      EXPECT_LE(2 * rows.packed, rows.stride);
    }
  }
}

// Threads, and the words a stretch of rows on threads must span and its
// pieces: the rows moved side by side reach every edge on small bitsets.
class SpreadRows : public ::testing::TestWithParam<std::tuple<unsigned, size_t, size_t>> {};

// Packed rows moved apart in place: bit packed*t + c goes to stride*t + c for
// every column c below packed, every other bit of the window is cleared, and
// no word past it is touched, however the window cuts the last row.
TEST_P(SpreadRows, PutEachPackedRowAtItsStride) {
  const auto [threads, min_words, piece] = GetParam();
  std::mt19937_64 rng(47);
  for (const uint64_t stride : {8u, 12u, 64u, 100u, 129u, 1009u, 5000u}) {
    for (const uint64_t packed : {stride / 2, stride / 3 + 1, uint64_t{2}}) {
      for (const size_t out_words :
           {size_t{1}, size_t{2}, size_t{5}, size_t{64}, size_t{301}, size_t{4099}}) {
        const uint64_t limit = 64 * static_cast<uint64_t>(out_words) - 1;
        if (limit < stride)
          continue;  // a window of one row is never packed
        const qern_local::residue_rows rows{stride, packed, 1, limit / stride,
                                            packed * (limit / stride) + packed - 1};
        const size_t packed_words = static_cast<size_t>(rows.packed_limit / 64) + 1;
        ASSERT_LE(packed_words, out_words);
        // Zeroed: the words above the packed rows are zero, as a fresh
        // answer's are; else they hold a pattern the spread must clear.
        const bool zeroed = rng() % 2 == 0;
        std::vector<uint64_t> words(out_words + 1, 0xA5A5A5A5A5A5A5A5ull);
        if (zeroed)
          std::fill(words.begin() + packed_words, words.end() - 1, uint64_t{0});
        for (size_t k = 0; k < packed_words; ++k)
          words[k] = rng() % 4 == 0 ? ~uint64_t{0} : rng();
        const std::vector<uint64_t> before = words;
        std::vector<uint64_t> expected(out_words + 1, 0);
        expected[out_words] = words[out_words];
        for (uint64_t t = 0; t <= rows.last_row; ++t) {
          for (uint64_t c = 0; c < packed && stride * t + c <= limit; ++c) {
            if (bit(before, packed * t + c))
              set_bit(expected, stride * t + c);
          }
        }
        qern_local::work_meter meter(nullptr);
        qern_local::spread_rows(words.data(), out_words, rows, meter, zeroed, threads, 4, min_words,
                                piece);
        ASSERT_EQ(words, expected) << "stride " << stride << " packed " << packed << " words "
                                   << out_words << (zeroed ? ", zeroed" : "");
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(ResidueRows, SpreadRows,
                         ::testing::Values(std::tuple{1u, size_t{1}, size_t{1}},
                                           std::tuple{2u, size_t{1}, size_t{1}},
                                           std::tuple{2u, size_t{1}, size_t{3}},
                                           std::tuple{3u, size_t{2}, size_t{7}},
                                           std::tuple{2u, size_t{40}, size_t{64}},
                                           std::tuple{8u, size_t{1}, size_t{2}}));

class Mirror : public ::testing::TestWithParam<qern_local::mirror_kernel> {};

// The upper half from the lower: bit s above the half is bit total - s, at
// every bit offset of the total (and so of the sources against the vector
// blocks), over full, empty and random stretches, and nothing above the
// total, even where the window runs past it; whatever the upper half held
// before is overwritten.
TEST_P(Mirror, FillsEachUpperBitFromItsMirrorBelow) {
  const qern_local::mirror_kernel kernel = GetParam();
  if (!qern_local::mirror_kernel_runs(kernel))
    GTEST_SKIP() << "this CPU does not run the kernel";
  std::mt19937_64 rng(53);
  std::vector<uint64_t> totals = {63, 64, 65, 127, 128, 129, 4095, 4096, 4097};
  for (uint64_t k = 0; k < 64; ++k)
    totals.push_back(64 * 1024 + 1000 + k);  // each offset, many whole blocks
  for (int k = 0; k < 40; ++k)
    totals.push_back(rng() % 30000);
  for (int k = 0; k < 8; ++k)
    totals.push_back(rng() % (uint64_t{1} << 24));  // several stop-check pieces
  for (const uint64_t total : totals) {
    // Some windows run past the total's word: those words stay empty.
    const size_t beyond = rng() % 3 == 0 ? 1 + rng() % 40 : 0;
    const size_t last = static_cast<size_t>(total / 64) + beyond;
    const size_t first = static_cast<size_t>(total / 2 / 64) + 1;
    if (first > last)
      continue;
    std::vector<uint64_t> words(last + 1, 0);
    for (size_t k = 0; k < first; ++k) {
      const int kind = static_cast<int>(rng() % 4);
      words[k] = kind == 0 ? 0 : kind == 1 ? ~uint64_t{0} : rng();
    }
    std::vector<uint64_t> expected = words;  // the upper half empty
    for (uint64_t s = 64 * first; s <= total; ++s) {
      if (bit(words, total - s))
        set_bit(expected, s);
    }
    for (size_t k = first; k <= last; ++k)
      words[k] = rng();  // stale bits, even above the total
    qern_local::work_meter meter(nullptr);
    qern_local::mirror_upper_half(words.data(), total, first, last, meter, kernel);
    ASSERT_EQ(words, expected) << "total " << total;
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, Mirror,
                         ::testing::Values(qern_local::mirror_kernel::widest,
                                           qern_local::mirror_kernel::portable,
                                           qern_local::mirror_kernel::avx2,
                                           qern_local::mirror_kernel::avx512));

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
    qern_local::work_meter meter(nullptr);
    qern_local::sweep_items_by_blocks(items.data(), items.size(), words.data(), last, reach, meter,
                                      portable);
    ASSERT_EQ(words, expected) << "round " << round;
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, BlockSweep, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "portable" : "widest"; });

}  // namespace
