// Divisor reduction: when every item is a multiple of g, the sums are the
// multiples g*s of the reduced items' sums s. The reduced bitset is solved
// into the low words and spread from the top down, in place.
#include <immintrin.h>

#include <algorithm>

#include "local_solver.h"

namespace fmss {
namespace {

// The k <= 32 reduced bits from bit s on; bits at or beyond valid_bits read
// as 0. Reads the word after s's only when the bits reach into it.
inline uint64_t extract_bits(const uint64_t *words, uint64_t s, unsigned k, uint64_t valid_bits) {
  if (s >= valid_bits)
    return 0;
  const size_t word = static_cast<size_t>(s / kWordBits);
  const unsigned offset = s % kWordBits;
  uint64_t value = words[word] >> offset;
  if (offset + k > kWordBits && (word + 1) * kWordBits < valid_bits)
    value |= words[word + 1] << (kWordBits - offset);
  return value & ((uint64_t{1} << k) - 1);
}

// Places bit m of value at the m-th set bit of mask.
inline uint64_t deposit_portable(uint64_t value, uint64_t mask) {
  uint64_t out = 0;
  while (value != 0 && mask != 0) {
    const uint64_t lowest = mask & (~mask + 1);
    if (value & 1)
      out |= lowest;
    value >>= 1;
    mask ^= lowest;
  }
  return out;
}

[[gnu::target("bmi2")]] inline uint64_t deposit_bmi2(uint64_t value, uint64_t mask) {
  return _pdep_u64(value, mask);
}

// Divisors below 64: every output word takes the reduced bits of its
// multiples. Output word i starts at sum 64 i = g Q + r; its first multiple
// is at bit p0 = (g - r) mod g and has reduced index Q + (r != 0).
template <uint64_t (*deposit)(uint64_t, uint64_t)>
[[gnu::always_inline]] inline void spread_small(uint64_t *words, size_t out_words,
                                                size_t reduced_words, unsigned g,
                                                work_meter &meter) {
  uint64_t masks[kWordBits];
  unsigned counts[kWordBits];
  for (unsigned p0 = 0; p0 < g; ++p0) {
    masks[p0] = 0;
    for (unsigned p = p0; p < kWordBits; p += g)
      masks[p0] |= uint64_t{1} << p;
    counts[p0] = static_cast<unsigned>(__builtin_popcountll(masks[p0]));
  }
  const uint64_t valid_bits = static_cast<uint64_t>(reduced_words) * kWordBits;
  const uint64_t step_q = kWordBits / g;
  const unsigned step_r = kWordBits % g;
  size_t i = out_words - 1;
  uint64_t q = static_cast<uint64_t>(i) * kWordBits / g;
  unsigned r = static_cast<unsigned>(static_cast<uint64_t>(i) * kWordBits % g);
  while (true) {
    const unsigned p0 = r == 0 ? 0 : g - r;
    const uint64_t s = q + (r != 0);
    words[i] = deposit(extract_bits(words, s, counts[p0], valid_bits), masks[p0]);
    if ((i & 0xFFFF) == 0)
      meter.add(0x10000);
    if (i == 0)
      break;
    --i;
    if (r < step_r) {
      r = r + g - step_r;
      q -= step_q + 1;
    } else {
      r -= step_r;
      q -= step_q;
    }
  }
}

void spread_small_portable(uint64_t *words, size_t out_words, size_t reduced_words, unsigned g,
                           work_meter &meter) {
  spread_small<deposit_portable>(words, out_words, reduced_words, g, meter);
}

[[gnu::target("bmi2")]] void spread_small_bmi2(uint64_t *words, size_t out_words,
                                               size_t reduced_words, unsigned g,
                                               work_meter &meter) {
  spread_small<deposit_bmi2>(words, out_words, reduced_words, g, meter);
}

// Divisors of 64 and more: each output word holds at most one multiple. The
// reduced bits are taken from the highest down; the word of g*s lies above
// every reduced word still to be read, so zeros and bits go down behind them.
void spread_large(uint64_t *words, size_t out_words, size_t reduced_words, uint64_t g,
                  work_meter &meter) {
  const uint64_t top_sum = static_cast<uint64_t>(out_words - 1) * kWordBits + (kWordBits - 1);
  const uint64_t top_reduced = top_sum / g;
  size_t unwritten = out_words;  // words [unwritten, out_words) are final
  for (size_t rw = reduced_words; rw-- > 0;) {
    uint64_t bits = words[rw];
    while (bits != 0) {
      const unsigned b = kWordBits - 1 - static_cast<unsigned>(__builtin_clzll(bits));
      bits &= ~(uint64_t{1} << b);
      const uint64_t s = static_cast<uint64_t>(rw) * kWordBits + b;
      if (s > top_reduced)
        continue;
      const uint64_t sum = s * g;
      const size_t word = static_cast<size_t>(sum / kWordBits);
      std::fill(words + word + 1, words + unwritten, uint64_t{0});
      meter.add(unwritten - word);
      words[word] = uint64_t{1} << (sum % kWordBits);
      unwritten = word;
    }
  }
  std::fill(words, words + unwritten, uint64_t{0});
}

}  // namespace

void spread_multiples(uint64_t *words, size_t out_words, size_t reduced_words, uint64_t g,
                      work_meter &meter) {
  if (out_words == 0)
    return;
  if (g >= kWordBits) {
    spread_large(words, out_words, reduced_words, g, meter);
  } else if (__builtin_cpu_supports("bmi2")) {
    spread_small_bmi2(words, out_words, reduced_words, static_cast<unsigned>(g), meter);
  } else {
    spread_small_portable(words, out_words, reduced_words, static_cast<unsigned>(g), meter);
  }
}

}  // namespace fmss
