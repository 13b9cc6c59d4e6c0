// The mirror: sum s is reachable exactly when total - s is, so the upper half of
// the bitset is the lower half reversed.
#include "local_solver.h"

namespace qern_local {
namespace {

uint64_t reverse_bits(uint64_t x) {
  x = ((x >> 1) & 0x5555555555555555ull) | ((x & 0x5555555555555555ull) << 1);
  x = ((x >> 2) & 0x3333333333333333ull) | ((x & 0x3333333333333333ull) << 2);
  x = ((x >> 4) & 0x0F0F0F0F0F0F0F0Full) | ((x & 0x0F0F0F0F0F0F0F0Full) << 4);
  return __builtin_bswap64(x);
}

// ORs the reversed `mirrored` into the word: full and empty stretches need no
// reversing.
inline void or_mirrored(uint64_t &word, uint64_t mirrored) {
  if (mirrored == kAllOnes) {
    word = kAllOnes;
  } else if (mirrored != 0) {
    word |= reverse_bits(mirrored);
  }
}

}  // namespace

void mirror_upper_half(uint64_t *bits, uint64_t total, size_t first, size_t last,
                       work_meter &meter) {
  // Bit j of word w is sum 64 w + j, mirrored at total - 64 w - j: the
  // reversed 64 bits that end there, which start at s(w) = total - 64 w - 63,
  // all below `first`. s falls by a word per word, at the same bit offset.
  size_t word = first;
  const int64_t start = static_cast<int64_t>(total) - static_cast<int64_t>(64 * first) - 63;
  if (start >= 0) {
    const unsigned offset = static_cast<unsigned>(start % kWordBits);
    for (size_t source = static_cast<size_t>(start) / kWordBits; word <= last; --source) {
      const uint64_t mirrored =
          offset == 0 ? bits[source]
                      : (bits[source] >> offset) | (bits[source + 1] << (kWordBits - offset));
      or_mirrored(bits[word], mirrored);
      if ((word++ & 0xFFFF) == 0 && meter.add(0x10000))
        return;
      if (source == 0)
        break;
    }
  }
  for (; word <= last; ++word) {  // the words whose mirrored bits start below 0
    const int64_t end = static_cast<int64_t>(total) - static_cast<int64_t>(64 * word);
    or_mirrored(bits[word], bits_at(bits, end - 63));
    if ((word & 0xFFFF) == 0 && meter.add(0x10000))
      return;
  }
  const unsigned top_bits = total % kWordBits;  // sums above the total stay 0
  if (last == total / kWordBits && top_bits != 63)
    bits[last] &= (uint64_t{2} << top_bits) - 1;
}

}  // namespace qern_local
