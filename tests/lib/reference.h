// Independent oracles for the library tests.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "qern_lib.h"

namespace qern_test {

// The full sums bitset by textbook 0/1 knapsack over one flag per sum.
inline std::vector<uint64_t> knapsack_bitset(const std::vector<uint64_t> &items) {
  uint64_t total = 0;
  for (uint64_t w : items)
    total += w;
  std::vector<char> reach(total + 1, 0);
  reach[0] = 1;
  for (uint64_t w : items) {
    if (w == 0)
      continue;
    for (uint64_t s = total; s >= w; --s) {
      if (reach[s - w])
        reach[s] = 1;
    }
  }
  std::vector<uint64_t> words(total / 64 + 1, 0);
  for (uint64_t s = 0; s <= total; ++s) {
    if (reach[s])
      words[s / 64] |= uint64_t{1} << (s % 64);
  }
  return words;
}

// The first `count` words of the full bitset, by the same knapsack over the
// sums below 64 * count only: serves totals far beyond memory.
inline std::vector<uint64_t> knapsack_window(const std::vector<uint64_t> &items, size_t count) {
  const uint64_t bits = 64 * static_cast<uint64_t>(count);
  std::vector<char> reach(bits, 0);
  if (bits > 0)
    reach[0] = 1;
  for (uint64_t w : items) {
    if (w == 0 || w >= bits)
      continue;
    for (uint64_t s = bits - 1; s >= w; --s) {
      if (reach[s - w])
        reach[s] = 1;
    }
  }
  std::vector<uint64_t> words(count, 0);
  for (uint64_t s = 0; s < bits; ++s) {
    if (reach[s])
      words[s / 64] |= uint64_t{1} << (s % 64);
  }
  return words;
}

// Solves with fmss_complete_subset_sum into a full-capacity array.
inline std::vector<uint64_t> exact_bitset(const std::vector<uint64_t> &items) {
  uint64_t total = 0;
  for (uint64_t w : items)
    total += w;
  size_t count = total / 64 + 1;
  std::vector<uint64_t> words(count, 0);
  fmss_complete_subset_sum(items.data(), items.size(), words.data(), &count);
  words.resize(count);
  return words;
}

struct FreeDeleter {
  void operator()(void *block) const noexcept { free(block); }
};
using sized_ar = std::unique_ptr<uint32_t[], FreeDeleter>;

inline std::vector<uint32_t> entries(const uint32_t *ar) {
  return std::vector<uint32_t>(ar + 1, ar + 1 + ar[0]);
}

// The hash search driven by its toolkit operations: power table, prefix-hash
// tree and reach flags, one search per item in the caller's order, then the
// packing of the reach flags into `capacity` words.
inline std::vector<uint64_t> hash_search_bitset(const std::vector<uint64_t> &items,
                                                size_t capacity) {
  constexpr uint32_t kMultiplier = 1234567891u;
  constexpr uint64_t kPowerModulus = 314804936u;
  uint32_t total = 0;
  for (uint64_t w : items)
    total += static_cast<uint32_t>(w);
  std::vector<uint32_t> powers(2 * static_cast<size_t>(total) + 1);
  powers[0] = 1;
  for (size_t i = 0; i + 1 < powers.size(); ++i) {
    powers[i + 1] = static_cast<uint32_t>((uint64_t{powers[i]} * kMultiplier) % kPowerModulus);
  }
  std::vector<uint32_t> tree(2 * static_cast<size_t>(total) + 1, 0);
  std::vector<uint32_t> flags(static_cast<size_t>(total) + 1, 0);
  if (total > 0)
    add_new_sums(flags.data(), powers.data(), tree.data(), total, 0, 0);
  for (uint64_t item : items) {
    const auto w = static_cast<uint32_t>(item);
    sized_ar found(
        find_new_sums(flags.data(), tree.data(), powers.data(), total, kMultiplier, 0, total, w));
    for (uint32_t k = 1; k <= found[0]; ++k) {
      add_new_sums(flags.data(), powers.data(), tree.data(), total, found[k], w);
    }
  }
  const size_t needed = (total >> 6) + 1;
  const size_t written = capacity < needed ? capacity : needed;
  std::vector<uint64_t> words(written, 0);
  for (size_t i = 0; i < written; ++i) {
    for (uint64_t j = 0; j < 64 && 64 * i + j < total; ++j) {
      if (flags[64 * i + j] != 0)
        words[i] |= uint64_t{1} << j;
    }
  }
  if (written > 0)
    words[0] |= 1;
  if (written == needed)
    words[total >> 6] |= uint64_t{1} << (total % 64);
  return words;
}

}  // namespace qern_test
