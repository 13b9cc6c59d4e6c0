// The local solver against a plain bit-by-bit knapsack, with capacities both
// short of and beyond the full result, and a guard word after the capacity.
// The first byte picks a shape of input, so that every path of the solver is
// reached: small items with repeats, huge items, a shared divisor (below,
// at and above 64), a divisor shared by all but a few, few large items
// (sparse sums, and the switch to the dense sweep), one residue r modulo m
// (rows packed and moved apart). The same solve into zeroed words gives the
// same answer and writes nothing past it.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "qern_lib.h"

namespace {

enum Shape { kSmall, kHuge, kDivisor, kDivisorButFew, kSparse, kResidue, kShapes };

uint64_t pick_divisor(FuzzedDataProvider &input) {
  switch (input.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      return input.ConsumeIntegralInRange<uint64_t>(2, 70);
    case 1:
      return uint64_t{1} << input.ConsumeIntegralInRange<unsigned>(1, 12);
    case 2:
      return input.ConsumeIntegralInRange<uint64_t>(2, 3000);
    default:
      return uint64_t{64} * input.ConsumeIntegralInRange<uint64_t>(1, 40);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider input(data, size);
  const auto shape = static_cast<Shape>(input.ConsumeIntegralInRange<int>(0, kShapes - 1));
  // Few items may come with long capacities: the oracle's cost is items x bits.
  const size_t capacity = shape == kSparse || shape == kDivisor
                              ? input.ConsumeIntegralInRange<size_t>(0, 600)
                              : input.ConsumeIntegralInRange<size_t>(0, 80);
  const size_t max_items = capacity > 80 ? 40 : 400;
  const uint64_t g =
      shape == kDivisor || shape == kDivisorButFew || shape == kResidue ? pick_divisor(input) : 1;
  const uint64_t r = shape == kResidue ? input.ConsumeIntegralInRange<uint64_t>(1, g - 1) : 0;
  size_t others = shape == kDivisorButFew ? input.ConsumeIntegralInRange<size_t>(1, 20) : 0;
  std::vector<uint64_t> items;
  // The true total: items near 2^64 carry it past 64 bits, where the window
  // is the caller's whole capacity.
  unsigned __int128 total = 0;
  while (input.remaining_bytes() > 0 && items.size() < max_items) {
    uint64_t item;
    switch (shape) {
      case kHuge:
        // Values far beyond the capacity, some above 2^63 and repeated, so
        // that totals may also pass 2^64 (the words are then a window).
        switch (input.ConsumeIntegralInRange<int>(0, 3)) {
          case 0:
            item = input.ConsumeIntegralInRange<uint64_t>(0, uint64_t{1} << 56);
            break;
          case 1:
            item = input.ConsumeIntegralInRange<uint64_t>(uint64_t{1} << 63, UINT64_MAX);
            break;
          case 2:
            item = items.empty() ? 0 : items.back();
            break;
          default:
            item = input.ConsumeIntegralInRange<uint64_t>(0, 700);
            break;
        }
        break;
      case kDivisor:
        item = g * input.ConsumeIntegralInRange<uint64_t>(0, 300);
        break;
      case kResidue:
        item = r + g * input.ConsumeIntegralInRange<uint64_t>(0, 300);
        break;
      case kDivisorButFew:
        if (others > 0 && input.ConsumeBool()) {
          --others;
          item = input.ConsumeIntegralInRange<uint64_t>(1, 5000);
        } else {
          item = g * input.ConsumeIntegralInRange<uint64_t>(0, 300);
        }
        break;
      case kSparse:
        item = input.ConsumeIntegralInRange<uint64_t>(0, 16) == 0
                   ? input.ConsumeIntegralInRange<uint64_t>(0, 50)
                   : input.ConsumeIntegralInRange<uint64_t>(1000, 40000);
        break;
      default:
        item = input.ConsumeIntegralInRange<uint64_t>(0, 700);
        break;
    }
    items.push_back(item);
    total += item;
  }
  const unsigned __int128 needed = total / 64 + 1;
  const size_t full = needed > capacity ? capacity + 1 : static_cast<size_t>(needed);
  const size_t bits = 64 * capacity;
  std::vector<unsigned char> reach(bits, 0);
  if (bits > 0)
    reach[0] = 1;
  for (const uint64_t item : items) {
    if (item >= bits)
      continue;
    for (size_t s = bits; s-- > item;)
      reach[s] |= reach[s - item];
  }

  std::vector<uint64_t> words(capacity + 1, 0xa5a5a5a5a5a5a5a5ULL);
  size_t word_count = capacity;
  if (fmss_complete_subset_sum(items.data(), items.size(), words.data(), &word_count) != 0)
    abort();
  if (word_count != (capacity >= full ? full : capacity))
    abort();
  for (size_t k = 0; k < capacity; ++k) {
    uint64_t expected = 0;
    if (k < full) {
      for (size_t b = 0; b < 64; ++b)
        expected |= uint64_t{reach[64 * k + b]} << b;
    } else {
      expected = 0xa5a5a5a5a5a5a5a5ULL;  // beyond the result: untouched
    }
    if (words[k] != expected)
      abort();
  }
  if (words[capacity] != 0xa5a5a5a5a5a5a5a5ULL)
    abort();

  // Into zeros: the same answer, and nothing written past it. (The solver
  // may read zeroed words it never wrote, a sweep's and a spread's: which
  // words it leaves alone the unit tests check, on shapes they know.)
  std::vector<uint64_t> into(capacity + 1, 0xa5a5a5a5a5a5a5a5ULL);
  std::fill(into.begin(), into.begin() + std::min(full, capacity), uint64_t{0});
  size_t into_count = capacity;
  qern_settings local{};
  local.keep_local = 1;
  local.threads = 1;
  if (qern_solve_into_zeros(items.data(), items.size(), into.data(), &into_count, nullptr, &local,
                            nullptr) != 0 ||
      into_count != word_count || into != words)
    abort();
  return 0;
}
