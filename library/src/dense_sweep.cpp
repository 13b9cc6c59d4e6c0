// The dense path of the local solver: items shifted into the bitset one at a
// time, skipping the run of all-ones words, and the mirrored upper half.
#include <algorithm>

#include "local_solver.h"

namespace fmss {
namespace {

uint64_t saturating_add(uint64_t a, uint64_t b) {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

uint64_t reverse_bits(uint64_t x) {
  x = ((x >> 1) & 0x5555555555555555ull) | ((x & 0x5555555555555555ull) << 1);
  x = ((x >> 2) & 0x3333333333333333ull) | ((x & 0x3333333333333333ull) << 2);
  x = ((x >> 4) & 0x0F0F0F0F0F0F0F0Full) | ((x & 0x0F0F0F0F0F0F0F0Full) << 4);
  return __builtin_bswap64(x);
}

// The 64 bits [s, s + 64) of the bitset, where bits below 0 read as 0.
uint64_t bits_at(const uint64_t *bits, int64_t s) {
  if (s <= -64)
    return 0;
  if (s < 0)
    return bits[0] << (-s);
  const size_t word = static_cast<size_t>(s) / kWordBits;
  const unsigned offset = static_cast<unsigned>(s) % kWordBits;
  if (offset == 0)
    return bits[word];
  return (bits[word] >> offset) | (bits[word + 1] << (kWordBits - offset));
}

}  // namespace

// Sums become dense in the middle while they stay sparse near 0 and near the
// reach, so a run of all-ones words [run_low, run_high) is tracked and never
// shifted into: a word that is all ones stays so.
void sweep_items(const uint64_t *items, size_t count, uint64_t *words, size_t last, uint64_t reach,
                 work_meter &meter) {
  size_t run_low = 0;
  size_t run_high = 0;  // empty while equal to run_low
  for (size_t k = 0; k < count; ++k) {
    const uint64_t w = items[k];
    reach = saturating_add(reach, w);
    if (w / kWordBits > last)
      break;  // ascending: no later item reaches the words either
    const size_t top = std::min(static_cast<size_t>(reach / kWordBits), last);
    if (run_high > run_low) {
      // Above the run first: those words read sources the lower part is
      // about to overwrite.
      if (run_high <= top)
        shift_or_metered(words, run_high, top, w, meter);
      if (run_low > 0)
        shift_or_metered(words, 0, run_low - 1, w, meter);
    } else {
      shift_or_metered(words, 0, top, w, meter);
      run_low = 0;
      while (run_low <= top && words[run_low] != kAllOnes)
        ++run_low;
      meter.add(run_low / 4);
      run_high = run_low;
    }
    const size_t before = run_high;
    run_high = skip_all_ones(words, run_high, top + 1);
    meter.add((run_high - before) / 4 + 1);
  }
}

void mirror_upper_half(uint64_t *bits, uint64_t total, size_t first, size_t last,
                       work_meter &meter) {
  for (size_t word = first; word <= last; ++word) {
    // Bit j of this word is sum 64 word + j, mirrored at total - 64 word - j:
    // the reversed 64 bits that end there.
    const int64_t end = static_cast<int64_t>(total) - static_cast<int64_t>(64 * word);
    bits[word] |= reverse_bits(bits_at(bits, end - 63));
    if ((word & 0xFFFF) == 0)
      meter.add(0x10000);
  }
  const unsigned top_bits = total % kWordBits;  // sums above the total stay 0
  if (last == total / kWordBits && top_bits != 63)
    bits[last] &= (uint64_t{2} << top_bits) - 1;
}

}  // namespace fmss
