// Divisor reduction: when every item is a multiple of g, the sums are the
// multiples g*s of the reduced items' sums s. The reduced bitset is solved
// into the low words and spread from the top down, in place.
#include <immintrin.h>

#include <algorithm>
#include <bit>

#include "local_solver.h"

namespace qern_local {
namespace {

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

// Divisors up to 64: the 64 g bits of output words [g j, g j + g) are the
// multiples of g that reduced word j's 64 bits stand for. Output word g j + t
// takes the reduced bits from shifts[t] on, deposited at masks[t]. Chunks go
// from the top down: chunk j >= 1 lies above every reduced word still unread.
template <uint64_t (*deposit)(uint64_t, uint64_t)>
[[gnu::always_inline]] inline void spread_small(uint64_t *words, size_t out_words,
                                                size_t reduced_words, unsigned g,
                                                work_meter &meter) {
  uint64_t masks[kWordBits];
  unsigned shifts[kWordBits];
  for (unsigned t = 0; t < g; ++t) {
    const unsigned first = (g - (kWordBits * t) % g) % g;  // the first multiple's bit
    masks[t] = 0;
    for (unsigned p = first; p < kWordBits; p += g)
      masks[t] |= uint64_t{1} << p;
    shifts[t] = (kWordBits * t + first) / g;
  }
  // The meter counts about 2 MiB of output at a time: a chunk is g words.
  const size_t check_mask = std::bit_ceil(std::max<size_t>(kSplitPiece / g, 1)) - 1;
  size_t chunk = (out_words - 1) / g;
  while (true) {
    if (chunk >= 2 && chunk < reduced_words && (chunk + 1) * g <= out_words &&
        words[chunk] == kAllOnes && words[chunk - 1] == kAllOnes) {
      // A stretch of full reduced words, down to chunk `low` >= 1: its
      // output is the g masks over and over, written by doubling copies.
      // Every reduced word of the stretch has been read; those below it lie
      // below its output. About 2 MiB of output at a time, counted by the
      // meter between: a stretch can span most of a big answer, whose fresh
      // pages a virtual machine's host may hand out at under 0.5 GB/s.
      const size_t most_chunks = std::max<size_t>(kSplitPiece / g, 1);
      size_t low = chunk - 1;
      while (low > 1 && chunk + 1 - low < most_chunks && words[low - 1] == kAllOnes)
        --low;
      uint64_t *out = words + low * g;
      const size_t length = (chunk + 1 - low) * g;
      // Copied from a tile of whole periods that stays in the cache: the
      // stores read nothing back from the output.
      constexpr size_t kTileWords = 512;
      uint64_t tile[kTileWords];
      const size_t tile_words = kTileWords / g * g;
      for (size_t t = 0; t < tile_words; ++t)
        tile[t] = masks[t % g];
      for (size_t done = 0; done < length; done += tile_words)
        std::copy_n(tile, std::min(tile_words, length - done), out + done);
      if (meter.add(length))
        return;
      chunk = low - 1;
      continue;
    }
    uint64_t *out = words + chunk * g;
    const size_t count = std::min<size_t>(g, out_words - chunk * g);
    const uint64_t reduced = chunk < reduced_words ? words[chunk] : 0;
    // Empty and full reduced words (long stretches of them in most answers)
    // give the masks themselves or zeros, without a deposit.
    if (reduced == kAllOnes) {
      for (size_t t = 0; t < count; ++t)
        out[t] = masks[t];
    } else if (reduced == 0) {
      for (size_t t = 0; t < count; ++t)
        out[t] = 0;
    } else {
      for (size_t t = 0; t < count; ++t)
        out[t] = deposit(reduced >> shifts[t], masks[t]);
    }
    if ((chunk & check_mask) == 0 && meter.add((check_mask + 1) * g))
      return;
    if (chunk == 0)
      break;
    --chunk;
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

// Divisors above 64: each output word holds at most one multiple. The
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
      // The gap down to it a piece at a time, each counted by the meter: far
      // apart sums leave gaps of any length.
      while (unwritten > word + 1) {
        const size_t from = unwritten - std::min(unwritten - word - 1, kSplitPiece);
        std::fill(words + from, words + unwritten, uint64_t{0});
        if (meter.add(unwritten - from))
          return;
        unwritten = from;
      }
      if (meter.add(1))
        return;
      words[word] = uint64_t{1} << (sum % kWordBits);
      unwritten = word;
    }
  }
  std::fill(words, words + unwritten, uint64_t{0});
}

}  // namespace

void spread_multiples(uint64_t *words, size_t out_words, size_t reduced_words, uint64_t g,
                      work_meter &meter, bool portable) {
  if (out_words == 0)
    return;
  if (g > kWordBits) {
    spread_large(words, out_words, reduced_words, g, meter);
  } else if (!portable && __builtin_cpu_supports("bmi2")) {
    spread_small_bmi2(words, out_words, reduced_words, static_cast<unsigned>(g), meter);
  } else {
    spread_small_portable(words, out_words, reduced_words, static_cast<unsigned>(g), meter);
  }
}

}  // namespace qern_local
