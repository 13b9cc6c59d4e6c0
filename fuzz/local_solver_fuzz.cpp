// The local solver against a plain bit-by-bit knapsack, with capacities both
// short of and beyond the full result, and a guard word after the capacity.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <vector>

#include "qern_lib.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider input(data, size);
  const size_t capacity = input.ConsumeIntegralInRange<size_t>(0, 80);
  const bool huge_items = input.ConsumeBool();
  std::vector<uint64_t> items;
  uint64_t total = 0;
  while (input.remaining_bytes() > 0 && items.size() < 400) {
    // Mostly small values with repeats; sometimes values far beyond the
    // capacity, whose totals only fit in 64 bits.
    const uint64_t item = huge_items && input.ConsumeBool()
                              ? input.ConsumeIntegralInRange<uint64_t>(0, uint64_t{1} << 56)
                              : input.ConsumeIntegralInRange<uint64_t>(0, 700);
    items.push_back(item);
    total += item;
  }
  const size_t full = static_cast<size_t>(total / 64 + 1);
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
  return 0;
}
