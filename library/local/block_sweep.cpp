// The dense sweep with a summary of every block of eight words: empty, full
// or mixed. An item skips each destination block that is already full, and
// each one whose source blocks are empty, wherever they lie: sums that form
// layers with gaps (items of narrow spread) leave many of both.
#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "local_solver.h"

namespace qern_local {
namespace {

constexpr size_t kBlock = 8;  // words per block, one 64-byte vector
enum : uint8_t { kEmpty = 0, kMixed = 1, kFull = 2 };
constexpr uint64_t kEightFull = 0x0202020202020202ull;

uint8_t classify_words(const uint64_t *words, size_t count) {
  uint64_t any = 0, all = kAllOnes;
  for (size_t k = 0; k < count; ++k) {
    any |= words[k];
    all &= words[k];
  }
  return all == kAllOnes ? kFull : any == 0 ? kEmpty : kMixed;
}

// ORs the shifted sources into the eight words at target (high: the words
// word_shift below it; below: one word lower still) and classifies the result.
// One version per instruction set, with the whole block in registers.
[[gnu::always_inline]] inline uint8_t or_block_portable(uint64_t *target, const uint64_t *high,
                                                        unsigned bit_shift) {
  // Every source word is read before any target word is written: they
  // overlap when the shift is below eight words.
  uint64_t shifted[kBlock];
  for (size_t k = 0; k < kBlock; ++k) {
    shifted[k] = high[k] << bit_shift;
    if (bit_shift != 0)
      shifted[k] |= high[k - 1] >> (kWordBits - bit_shift);
  }
  uint64_t any = 0, all = kAllOnes;
  for (size_t k = 0; k < kBlock; ++k) {
    target[k] |= shifted[k];
    any |= target[k];
    all &= target[k];
  }
  return all == kAllOnes ? kFull : any == 0 ? kEmpty : kMixed;
}

[[gnu::target("avx2"), gnu::always_inline]] inline uint8_t or_block_avx2(uint64_t *target,
                                                                         const uint64_t *high,
                                                                         unsigned bit_shift) {
  auto *out = reinterpret_cast<__m256i *>(target);
  const auto *in = reinterpret_cast<const __m256i *>(high);
  __m256i shifted0 = _mm256_loadu_si256(in);
  __m256i shifted1 = _mm256_loadu_si256(in + 1);
  if (bit_shift != 0) {
    const auto *below = reinterpret_cast<const __m256i *>(high - 1);
    const __m128i up = _mm_cvtsi32_si128(static_cast<int>(bit_shift));
    const __m128i down = _mm_cvtsi32_si128(static_cast<int>(kWordBits - bit_shift));
    shifted0 = _mm256_or_si256(_mm256_sll_epi64(shifted0, up),
                               _mm256_srl_epi64(_mm256_loadu_si256(below), down));
    shifted1 = _mm256_or_si256(_mm256_sll_epi64(shifted1, up),
                               _mm256_srl_epi64(_mm256_loadu_si256(below + 1), down));
  }
  const __m256i value0 = _mm256_or_si256(_mm256_loadu_si256(out), shifted0);
  const __m256i value1 = _mm256_or_si256(_mm256_loadu_si256(out + 1), shifted1);
  _mm256_storeu_si256(out, value0);
  _mm256_storeu_si256(out + 1, value1);
  const __m256i all = _mm256_and_si256(value0, value1);
  const __m256i any = _mm256_or_si256(value0, value1);
  if (_mm256_testc_si256(all, _mm256_set1_epi64x(-1)))
    return kFull;
  return _mm256_testz_si256(any, any) ? kEmpty : kMixed;
}

[[gnu::target("avx512f"), gnu::always_inline]] inline uint8_t or_block_avx512(uint64_t *target,
                                                                              const uint64_t *high,
                                                                              unsigned bit_shift) {
  // The zero-masking forms: GCC 12's plain ones read an undefined register.
  constexpr __mmask8 kAllLanes = 0xFF;
  __m512i shifted = _mm512_loadu_si512(high);
  if (bit_shift != 0) {
    const __m128i up = _mm_cvtsi32_si128(static_cast<int>(bit_shift));
    const __m128i down = _mm_cvtsi32_si128(static_cast<int>(kWordBits - bit_shift));
    shifted =
        _mm512_or_si512(_mm512_maskz_sll_epi64(kAllLanes, shifted, up),
                        _mm512_maskz_srl_epi64(kAllLanes, _mm512_loadu_si512(high - 1), down));
  }
  const __m512i value = _mm512_or_si512(_mm512_loadu_si512(target), shifted);
  _mm512_storeu_si512(target, value);
  if (_mm512_cmpneq_epi64_mask(value, _mm512_set1_epi64(-1)) == 0)
    return kFull;
  return _mm512_test_epi64_mask(value, value) == 0 ? kEmpty : kMixed;
}

// One item over the destination blocks [low_block, top_block], never touching
// a word at or beyond end_word. Blocks go from the top down, and a block's
// sources are read before it is written, so the item is used at most once;
// the source blocks' states are those from before this item, as no block
// below the one being written has been written yet. Returns the number of
// blocks computed.
// The sweep below is built once per instruction set, each with its block
// operation inlined: a macro, as a template's body would keep the default
// target.
#define DEFINE_SWEEP_BLOCKS(NAME, ATTRIBUTES, OR_BLOCK)                                       \
  ATTRIBUTES size_t NAME(uint64_t *bits, uint8_t *states, size_t low_block, size_t top_block, \
                         size_t end_word, uint64_t shift) {                                   \
    const size_t word_shift = static_cast<size_t>(shift / kWordBits);                         \
    const unsigned bit_shift = shift % kWordBits;                                             \
    size_t computed = 0;                                                                      \
    size_t b = top_block + 1;                                                                 \
    while (b-- > low_block) {                                                                 \
      const size_t first = b * kBlock;                                                        \
      if (first + kBlock - 1 < word_shift)                                                    \
        break; /* this block's sources, and those of every block below, are below 0 */        \
      if (states[b] == kFull) {                                                               \
        /* Skip whole groups of eight full blocks at once. */                                 \
        while (b >= low_block + kBlock) {                                                     \
          uint64_t group;                                                                     \
          memcpy(&group, states + b - kBlock, sizeof group);                                  \
          if (group != kEightFull)                                                            \
            break;                                                                            \
          b -= kBlock;                                                                        \
        }                                                                                     \
        continue;                                                                             \
      }                                                                                       \
      const size_t source_high = (first + kBlock - 1 - word_shift) / kBlock;                  \
      const size_t source_low = first > word_shift ? (first - word_shift - 1) / kBlock : 0;   \
      if (states[source_high] == kEmpty && states[source_low] == kEmpty)                      \
        continue;                                                                             \
      ++computed;                                                                             \
      if (first > word_shift && first + kBlock <= end_word) {                                 \
        states[b] = OR_BLOCK(bits + first, bits + first - word_shift, bit_shift);             \
        continue;                                                                             \
      }                                                                                       \
      /* A block at either end: word by word. */                                              \
      const size_t end = std::min(first + kBlock, end_word);                                  \
      for (size_t i = end; i-- > first && i >= word_shift;) {                                 \
        const size_t from = i - word_shift;                                                   \
        uint64_t shifted = bits[from] << bit_shift;                                           \
        if (bit_shift != 0 && from > 0)                                                       \
          shifted |= bits[from - 1] >> (kWordBits - bit_shift);                               \
        bits[i] |= shifted;                                                                   \
      }                                                                                       \
      states[b] = classify_words(bits + first, end - first);                                  \
    }                                                                                         \
    return computed;                                                                          \
  }

DEFINE_SWEEP_BLOCKS(sweep_blocks_portable, , or_block_portable)
DEFINE_SWEEP_BLOCKS(sweep_blocks_avx2, [[gnu::target("avx2")]], or_block_avx2)
DEFINE_SWEEP_BLOCKS(sweep_blocks_avx512, [[gnu::target("avx512f")]], or_block_avx512)

using sweep_kernel = size_t (*)(uint64_t *, uint8_t *, size_t, size_t, size_t, uint64_t);

// The widest version the CPU runs, or the portable one when asked.
sweep_kernel pick_sweep_kernel(bool portable) {
  if (portable)
    return sweep_blocks_portable;
  if (__builtin_cpu_supports("avx512f"))
    return sweep_blocks_avx512;
  if (__builtin_cpu_supports("avx2"))
    return sweep_blocks_avx2;
  return sweep_blocks_portable;
}

// Sweeps the blocks [low, top] in pieces of about a million words, from the
// top down, with the stop check between them.
void sweep_range(sweep_kernel sweep, uint64_t *words, uint8_t *states, size_t low, size_t top,
                 size_t end_word, uint64_t w, work_meter &meter) {
  constexpr size_t kPiece = size_t{1} << 17;
  size_t piece_top = top;
  while (true) {
    const size_t piece_low = piece_top - low >= kPiece ? piece_top - kPiece + 1 : low;
    const size_t computed = sweep(words, states, piece_low, piece_top, end_word, w);
    if (meter.add((piece_top - piece_low) / 8 + computed * kBlock + 1) || piece_low == low)
      return;
    piece_top = piece_low - 1;
  }
}

}  // namespace

// Besides the per-block states, one run of full blocks [run_low, run_high) is
// kept and stepped over without looking at its states: in dense sums the run
// covers most of the middle.
void sweep_items_by_blocks(const uint64_t *items, size_t count, uint64_t *words, size_t last,
                           uint64_t reach, work_meter &meter, bool portable) {
  const size_t end_word = last + 1;
  const size_t blocks = (end_word + kBlock - 1) / kBlock;
  std::vector<uint8_t> states(blocks);
  for (size_t b = 0; b < blocks; ++b)
    states[b] = classify_words(words + b * kBlock, std::min(kBlock, end_word - b * kBlock));
  if (meter.add(end_word / 4))
    return;
  const sweep_kernel sweep = pick_sweep_kernel(portable);
  size_t run_low = 0, run_high = 0;  // empty while equal
  for (size_t k = 0; k < count; ++k) {
    const uint64_t w = items[k];
    reach = reach > UINT64_MAX - w ? UINT64_MAX : reach + w;
    if (w / kWordBits > last)
      break;  // ascending: no later item reaches the words either
    const size_t top = std::min(static_cast<size_t>(reach / kWordBits), last) / kBlock;
    if (run_high > run_low) {
      // Above the run first: those blocks read sources the lower part is
      // about to overwrite.
      if (run_high <= top)
        sweep_range(sweep, words, states.data(), run_high, top, end_word, w, meter);
      if (run_low > 0)
        sweep_range(sweep, words, states.data(), 0, run_low - 1, end_word, w, meter);
    } else {
      sweep_range(sweep, words, states.data(), 0, top, end_word, w, meter);
      run_low = 0;
      while (run_low <= top && states[run_low] != kFull)
        ++run_low;
      run_high = run_low;
      meter.add(run_low / 8);
    }
    const size_t before = run_high;
    while (run_high <= top && states[run_high] == kFull)
      ++run_high;
    while (run_low > 0 && run_high > run_low && states[run_low - 1] == kFull)
      --run_low;
    if (meter.add((run_high - before) / 8 + 1))
      return;
  }
}

}  // namespace qern_local
