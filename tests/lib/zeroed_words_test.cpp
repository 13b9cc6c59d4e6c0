// The solve into words that are zero already: it writes nothing but the
// answer, and leaves the zero words of a listed answer unwritten, as well as
// those between small sums and their mirror image. Words that start as a
// pattern instead of zeros show which ones were written: a word the solver
// left alone still holds it. The words a sweep reads start as zeros, as the
// solver may read them unwritten: should it read a word beyond them, the
// pattern shows in the answer.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "failing_new.h"
#include "qern_local.h"
#include "reference.h"

namespace {

using qern_test::knapsack_window;

constexpr uint64_t kUntouched = 0xA5A5A5A5A5A5A5A5ull;

struct Shape {
  const char *name;
  std::vector<uint64_t> items;
  size_t capacity;  // words; 0: the whole answer
  bool listed;      // few sums, listed: most zero words are left unwritten
  // Small sums and a huge item, its last: the words between the small sums
  // and their mirror image at the top are left unwritten.
  bool far_apart = false;
  // Packed residue rows: their spread reads the words it moves them to, so
  // all of the window starts as zeros.
  bool spread = false;
};

void PrintTo(const Shape &shape, std::ostream *out) {
  *out << shape.name;
}

std::vector<uint64_t> random_items(uint64_t seed, size_t count, uint64_t low, uint64_t high) {
  std::mt19937_64 rng(seed);
  std::vector<uint64_t> items(count);
  for (auto &w : items)
    w = low + rng() % (high - low + 1);
  return items;
}

std::vector<uint64_t> times(std::vector<uint64_t> items, uint64_t factor) {
  for (auto &w : items)
    w *= factor;
  return items;
}

// Small items summing to about 90000 (exactly `small_total` when asked),
// then `huge`.
std::vector<uint64_t> beside_a_huge_one(uint64_t huge, uint64_t small_total = 0) {
  auto items = random_items(6, 300, 1, 600);
  if (small_total != 0) {
    uint64_t sum = 0;
    size_t kept = 0;
    while (sum + items[kept] < small_total)
      sum += items[kept++];
    items.resize(kept);
    items.push_back(small_total - sum);
  }
  items.push_back(huge);
  return items;
}

// The words a sweep may read before writing them, page-rounded: none for a
// listed answer, the small sums' beside a huge item, all for a spread of
// residue rows, else the lower half.
size_t read_words(const Shape &shape) {
  uint64_t total = 0;
  for (uint64_t w : shape.items)
    total += w;
  if (shape.listed)
    return 0;
  if (shape.spread)
    return SIZE_MAX;
  constexpr size_t kPageWords = 512;
  const uint64_t low_total = shape.far_apart ? total - shape.items.back() : total / 2;
  return static_cast<size_t>(low_total / 64 / kPageWords + 2) * kPageWords;
}

struct solved {
  qern_status_t status;
  std::vector<uint64_t> words;
  size_t count;
};

// fail: -1 lets every allocation succeed, -2 fails every one, n >= 0 fails
// the solver's allocation after n more.
solved solve_into(const Shape &shape, size_t needed, unsigned threads, long fail = -1) {
  const size_t capacity = shape.capacity != 0 ? shape.capacity : needed;
  solved out{0, std::vector<uint64_t>(capacity + 1, kUntouched), capacity};
  std::fill(out.words.begin(), out.words.begin() + std::min(capacity, read_words(shape)),
            uint64_t{0});
  if (fail == -2) {
    const qern_test::no_memory_scope no_memory;
    out.status = qern_local_solve_into_zeros(shape.items.data(), shape.items.size(),
                                             out.words.data(), &out.count, nullptr, threads);
  } else {
    qern_test::allocations_before_failure.store(fail);
    out.status = qern_local_solve_into_zeros(shape.items.data(), shape.items.size(),
                                             out.words.data(), &out.count, nullptr, threads);
    qern_test::allocations_before_failure.store(-1);
  }
  return out;
}

size_t needed_words(const std::vector<uint64_t> &items) {
  uint64_t total = 0;
  for (uint64_t w : items)
    total += w;
  return static_cast<size_t>(total / 64) + 1;
}

class IntoZeros : public ::testing::TestWithParam<Shape> {};

// Each word is the answer's, or, where the answer's is zero, unwritten; past
// the window nothing is written. The answer read from zeroed words is then
// exact.
TEST_P(IntoZeros, WritesNothingButTheAnswer) {
  const Shape &shape = GetParam();
  const size_t needed = needed_words(shape.items);
  const size_t written = shape.capacity != 0 ? std::min(shape.capacity, needed) : needed;
  const std::vector<uint64_t> expected = knapsack_window(shape.items, written);
  for (unsigned threads : {1u, 2u}) {
    const solved got = solve_into(shape, needed, threads);
    ASSERT_EQ(got.status, 0);
    size_t left_alone = 0;
    for (size_t i = 0; i < written; ++i) {
      if (got.words[i] == kUntouched && expected[i] == 0) {
        ++left_alone;
        continue;
      }
      ASSERT_EQ(got.words[i], expected[i]) << "word " << i << ", threads " << threads;
    }
    EXPECT_EQ(got.words.back(), kUntouched);
    if (shape.listed) {
      // Listed sums: only the words that hold one are written.
      size_t holding = 0;
      for (size_t i = 0; i < written; ++i)
        holding += expected[i] != 0 ? 1 : 0;
      EXPECT_EQ(left_alone, written - holding) << "threads " << threads;
    } else if (shape.far_apart) {
      // The small sums' words and their image, whole pages of them, at most.
      const size_t small_words = needed_words(shape.items) - shape.items.back() / 64;
      EXPECT_GE(left_alone, written - 3 * small_words) << "threads " << threads;
    } else {
      // The mirror and the spreads write every word they reach.
      EXPECT_EQ(left_alone, 0u) << "threads " << threads;
    }
  }
}

// Without scratch the solve starts again, on words a first attempt may have
// written: it writes every one. The first allocation is the sorted copy of
// the items, which the solve cannot do without; later ones it may do without
// (the radix sort's second array) or never make, and a listed answer then
// keeps its zero words unwritten.
TEST_P(IntoZeros, AgainWithoutScratchWritesEveryWord) {
  const Shape &shape = GetParam();
  const size_t needed = needed_words(shape.items);
  const size_t written = shape.capacity != 0 ? std::min(shape.capacity, needed) : needed;
  const std::vector<uint64_t> expected = knapsack_window(shape.items, written);
  for (long fail : {-2L, 0L, 1L, 2L, 3L}) {
    const solved got = solve_into(shape, needed, 1, fail);
    ASSERT_EQ(got.status, 0);
    const bool again = fail == -2 || fail == 0;
    for (size_t i = 0; i < written; ++i) {
      if (!again && (shape.listed || shape.far_apart) && got.words[i] == kUntouched &&
          expected[i] == 0)
        continue;
      ASSERT_EQ(got.words[i], expected[i]) << "word " << i << ", failing " << fail;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    LocalSolver, IntoZeros,
    ::testing::Values(
        Shape{"three_far_apart", {100000, 250000, 7}, 0, true},
        Shape{"one_item", {1 << 20}, 0, true},
        Shape{"none_reaches_the_window", {uint64_t{1} << 40, uint64_t{1} << 41}, 500, true},
        Shape{"few_cut_by_the_capacity", {3000, 70000, uint64_t{1} << 50}, 1200, true},
        // Long enough that two threads would clear its gaps.
        Shape{"few_over_many_words", {5, 64 * 300000, 7}, 0, true},
        Shape{"dense_after_few_sums", random_items(1, 60, 1000, 3000), 0, false},
        Shape{"dense_small_items", random_items(2, 300, 1, 64), 0, false},
        Shape{"shared_divisor", times(random_items(3, 40, 1, 500), 96), 0, false},
        Shape{"divisor_but_one",
              [] {
                auto items = times(random_items(4, 30, 1, 400), 200);
                items.push_back(77);
                return items;
              }(),
              0, false},
        // Small items beside a huge one: the window whole, cut below the
        // huge item (which it then drops) and cut within the small sums'
        // mirror image. The huge item's odd bits set the image's offset.
        Shape{"small_beside_a_huge_one", beside_a_huge_one(64 * 300000 + 37), 0, false, true},
        // The small sums end in the last word of a page.
        Shape{"beside_a_huge_one_sums_filling_pages",
              beside_a_huge_one(64 * 300000 + 37, 64 * 1023 + 5), 0, false, true},
        // The small sums and the huge item both end on a word's top bit: the
        // first mirrored word holds the top sum alone.
        Shape{"beside_a_huge_one_ending_on_top_bits",
              beside_a_huge_one(64 * 300000 + 63, 64 * 1023 + 63), 0, false, true},
        Shape{"beside_a_huge_one_cut_below_it", beside_a_huge_one(64 * 40000 + 5), 40000, false,
              true},
        Shape{"beside_a_huge_one_cut_within_the_image", beside_a_huge_one(64 * 40000 + 1),
              40000 + 700, false, true},
        // Eight items of one residue: packed rows, listed, then spread.
        Shape{"residue_rows",
              [] {
                auto items = times(random_items(5, 8, 3000, 8000), 1009);
                for (auto &w : items)
                  w += 1;
                return items;
              }(),
              0, false, false, true}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace

namespace {

size_t resident_pages(const void *block, size_t bytes) {
  std::vector<unsigned char> resident((bytes + 4095) / 4096);
  if (mincore(const_cast<void *>(block), bytes, resident.data()) != 0)
    return SIZE_MAX;
  return static_cast<size_t>(std::count_if(resident.begin(), resident.end(),
                                           [](unsigned char page) { return (page & 1) != 0; }));
}

// A few sums over a big fresh answer fault only the pages that hold them:
// with huge pages the first sum in each 2 MiB would have the kernel clear
// all of it. The sums are checked against a list of every subset's.
TEST(IntoFreshZeros, FewSumsFaultOnlyTheirOwnPages) {
  std::ifstream thp("/sys/kernel/mm/transparent_hugepage/enabled");
  std::string modes;
  std::getline(thp, modes);
  if (modes.find("[always]") != std::string::npos)
    GTEST_SKIP() << "every page may be huge here, advised or not";
  const std::vector<uint64_t> items = random_items(11, 8, uint64_t{1} << 25, uint64_t{1} << 26);
  size_t count = needed_words(items);
  const size_t bytes = count * sizeof(uint64_t);
  void *block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(block, MAP_FAILED);
  auto *words = static_cast<uint64_t *>(block);
  ASSERT_EQ(qern_local_solve_into_zeros(items.data(), items.size(), words, &count, nullptr, 1), 0);
  std::vector<uint64_t> sums{0};
  for (const uint64_t w : items) {
    const size_t before = sums.size();
    for (size_t k = 0; k < before; ++k)
      sums.push_back(sums[k] + w);
  }
  std::sort(sums.begin(), sums.end());
  sums.erase(std::unique(sums.begin(), sums.end()), sums.end());
  size_t set_bits = 0;
  for (const uint64_t s : sums)
    EXPECT_TRUE((words[s / 64] >> (s % 64)) & 1) << "sum " << s;
  const size_t pages = resident_pages(block, bytes);
  for (size_t k = 0; k < count; ++k)
    set_bits += static_cast<size_t>(__builtin_popcountll(words[k]));
  EXPECT_EQ(set_bits, sums.size());
  EXPECT_LE(pages, 2 * sums.size()) << "of " << bytes / 4096;
  munmap(block, bytes);
}

}  // namespace
