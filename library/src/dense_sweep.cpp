// The mirrored upper half of the bitset.
#include "local_solver.h"

namespace fmss {
namespace {

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

void mirror_upper_half(uint64_t *bits, uint64_t total, size_t first, size_t last,
                       work_meter &meter) {
  for (size_t word = first; word <= last; ++word) {
    // Bit j of this word is sum 64 word + j, mirrored at total - 64 word - j:
    // the reversed 64 bits that end there.
    const int64_t end = static_cast<int64_t>(total) - static_cast<int64_t>(64 * word);
    const uint64_t mirrored = bits_at(bits, end - 63);
    // Full and empty stretches need no reversing.
    if (mirrored == kAllOnes) {
      bits[word] = kAllOnes;
    } else if (mirrored != 0) {
      bits[word] |= reverse_bits(mirrored);
    }
    if ((word & 0xFFFF) == 0 && meter.add(0x10000))
      return;
  }
  const unsigned top_bits = total % kWordBits;  // sums above the total stay 0
  if (last == total / kWordBits && top_bits != 63)
    bits[last] &= (uint64_t{2} << top_bits) - 1;
}

}  // namespace fmss
