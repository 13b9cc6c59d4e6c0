// The mirror: sum s is reachable exactly when total - s is, so the upper half of
// the bitset is the lower half reversed.
#include <immintrin.h>

#include <algorithm>

#include "local_solver.h"

namespace qern_local {
namespace {

uint64_t reverse_bits(uint64_t x) {
  x = ((x >> 1) & 0x5555555555555555ull) | ((x & 0x5555555555555555ull) << 1);
  x = ((x >> 2) & 0x3333333333333333ull) | ((x & 0x3333333333333333ull) << 2);
  x = ((x >> 4) & 0x0F0F0F0F0F0F0F0Full) | ((x & 0x0F0F0F0F0F0F0F0Full) << 4);
  return __builtin_bswap64(x);
}

// The word `mirrored` reversed: full and empty stretches need no reversing.
inline uint64_t reversed_word(uint64_t mirrored) {
  return mirrored == kAllOnes || mirrored == 0 ? mirrored : reverse_bits(mirrored);
}

// The vector kernels mirror a block of destination words [word, word + n)
// from the source words [source - n + 1, source] (plus source + 1 for the bits
// above the offset): as one 64n-bit number, the block is the sources' window
// reversed bit for bit, so a whole-vector bit reversal does it. Each returns
// how many blocks it mirrored, stopping short of `blocks` only where the
// sources run out (below word n - 1).
using block_kernel = size_t (*)(uint64_t *, size_t, size_t, unsigned, size_t);

size_t mirror_blocks_portable(uint64_t *, size_t, size_t, unsigned, size_t) {
  return 0;
}

[[gnu::target("avx2")]] size_t mirror_blocks_avx2(uint64_t *bits, size_t word, size_t source,
                                                  unsigned offset, size_t blocks) {
  constexpr size_t n = 4;
  // A nibble reversed, by itself and moved to the high half of the byte.
  const __m256i low_table = _mm256_setr_epi8(0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15,
                                             0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15);
  const __m256i high_table = _mm256_slli_epi16(low_table, 4);
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i byte_order = _mm256_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0,
                                              15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  const __m128i right = _mm_cvtsi32_si128(static_cast<int>(offset));
  const __m128i left = _mm_cvtsi32_si128(static_cast<int>(kWordBits - offset));
  size_t done = 0;
  // Counted as sources left, which never wraps below the last block.
  for (size_t sources_left = source + 1; done < blocks && sources_left >= n;
       ++done, word += n, source -= n, sources_left -= n) {
    __m256i window = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(bits + source - n + 1));
    if (offset != 0) {
      const __m256i above =
          _mm256_loadu_si256(reinterpret_cast<const __m256i *>(bits + source - n + 2));
      window = _mm256_or_si256(_mm256_srl_epi64(window, right), _mm256_sll_epi64(above, left));
    }
    const __m256i low = _mm256_and_si256(window, nibble);
    const __m256i high = _mm256_and_si256(_mm256_srli_epi16(window, 4), nibble);
    __m256i reversed =
        _mm256_or_si256(_mm256_shuffle_epi8(high_table, low), _mm256_shuffle_epi8(low_table, high));
    reversed = _mm256_shuffle_epi8(reversed, byte_order);  // bytes within each half
    reversed = _mm256_permute4x64_epi64(reversed, 0x4E);   // the halves
    auto *target = reinterpret_cast<__m256i *>(bits + word);
    _mm256_storeu_si256(target, reversed);
  }
  return done;
}

[[gnu::target("avx512f,avx512bw,avx512vbmi,gfni")]] size_t mirror_blocks_avx512(
    uint64_t *bits, size_t word, size_t source, unsigned offset, size_t blocks) {
  constexpr size_t n = 8;
  // The zero-masked forms, with every lane kept: GCC 12 warns that the plain
  // ones read an uninitialized vector.
  constexpr __mmask8 kAll8 = 0xFF;
  constexpr __mmask64 kAll64 = ~__mmask64{0};
  const __m512i byte_order = _mm512_set_epi8(
      0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25,
      26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46, 47, 48,
      49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63);
  // The bit matrix that reverses the bits of each byte.
  const __m512i reverse_matrix = _mm512_set1_epi64(static_cast<long long>(0x8040201008040201ull));
  const __m512i right = _mm512_set1_epi64(offset);
  const __m512i left = _mm512_set1_epi64(kWordBits - offset);
  size_t done = 0;
  // Counted as sources left, which never wraps below the last block.
  for (size_t sources_left = source + 1; done < blocks && sources_left >= n;
       ++done, word += n, source -= n, sources_left -= n) {
    __m512i window = _mm512_loadu_si512(bits + source - n + 1);
    if (offset != 0) {
      const __m512i above = _mm512_loadu_si512(bits + source - n + 2);
      window = _mm512_or_si512(_mm512_maskz_srlv_epi64(kAll8, window, right),
                               _mm512_maskz_sllv_epi64(kAll8, above, left));
    }
    __m512i reversed = _mm512_maskz_permutexvar_epi8(kAll64, byte_order, window);
    reversed = _mm512_gf2p8affine_epi64_epi8(reversed, reverse_matrix, 0);
    _mm512_storeu_si512(bits + word, reversed);
  }
  return done;
}

struct picked_kernel {
  block_kernel blocks;
  size_t width;  // words per block
};

picked_kernel pick(mirror_kernel kernel) {
  if (kernel == mirror_kernel::widest)
    kernel = mirror_kernel_runs(mirror_kernel::avx512) ? mirror_kernel::avx512
             : mirror_kernel_runs(mirror_kernel::avx2) ? mirror_kernel::avx2
                                                       : mirror_kernel::portable;
  switch (kernel) {
    case mirror_kernel::avx512:
      return {mirror_blocks_avx512, 8};
    case mirror_kernel::avx2:
      return {mirror_blocks_avx2, 4};
    default:
      return {mirror_blocks_portable, 1};
  }
}

// The words [first, last]; each reads only words below the half, so any
// split of them can be mirrored side by side.
void mirror_words(uint64_t *bits, uint64_t total, size_t first, size_t last, work_meter &meter,
                  mirror_kernel kernel) {
  // Bit j of word w is sum 64 w + j, mirrored at total - 64 w - j: the
  // reversed 64 bits that end there, which start at s(w) = total - 64 w - 63,
  // all below `first`. s falls by a word per word, at the same bit offset.
  constexpr size_t kPiece = 0x10000;  // words between stop checks
  size_t word = first;
  const int64_t start = static_cast<int64_t>(total) - static_cast<int64_t>(64 * first) - 63;
  if (start >= 0) {
    const unsigned offset = static_cast<unsigned>(start % kWordBits);
    size_t source = static_cast<size_t>(start) / kWordBits;
    const picked_kernel vector = pick(kernel);
    bool sources_left = true;
    // Whole blocks first, a piece at a time, then the rest word by word.
    while (vector.width > 1 && word <= last && (last - word + 1) >= vector.width) {
      const size_t wanted = std::min((last - word + 1) / vector.width, kPiece / vector.width);
      const size_t done = vector.blocks(bits, word, source, offset, wanted);
      const size_t used = done * vector.width;  // source + 1 at most
      word += used;
      if (meter.add(used))
        return;
      if (used > source) {
        sources_left = false;  // word 0 was the last block's lowest source
        break;
      }
      source -= used;
      if (done < wanted)
        break;  // too few sources left for a whole block
    }
    for (; sources_left && word <= last; --source) {
      const uint64_t mirrored =
          offset == 0 ? bits[source]
                      : (bits[source] >> offset) | (bits[source + 1] << (kWordBits - offset));
      bits[word] = reversed_word(mirrored);
      if ((word++ & 0xFFFF) == 0 && meter.add(0x10000))
        return;
      if (source == 0)
        break;
    }
  }
  for (; word <= last; ++word) {  // the words whose mirrored bits start below 0
    const int64_t end = static_cast<int64_t>(total) - static_cast<int64_t>(64 * word);
    bits[word] = reversed_word(bits_at(bits, end - 63));
    if ((word & 0xFFFF) == 0 && meter.add(0x10000))
      return;
  }
  const unsigned top_bits = total % kWordBits;  // sums above the total stay 0
  if (last == total / kWordBits && top_bits != 63)
    bits[last] &= (uint64_t{2} << top_bits) - 1;
}

}  // namespace

bool mirror_kernel_runs(mirror_kernel kernel) {
  switch (kernel) {
    case mirror_kernel::avx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
             __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("gfni");
    case mirror_kernel::avx2:
      return __builtin_cpu_supports("avx2");
    default:
      return true;
  }
}

void mirror_upper_half(uint64_t *bits, uint64_t total, size_t first, size_t last, work_meter &meter,
                       mirror_kernel kernel, unsigned threads, unsigned cpus) {
  if (threads < 2 || last - first + 1 < sweep_threads::kMinWords) {
    mirror_words(bits, total, first, last, meter, kernel);
    return;
  }
  // The mirror writes these words first: faulted in here, not by its threads
  // side by side.
  if (!fault_in(bits + first, last - first + 1, meter))
    return;
  auto part = [=](size_t low, size_t high) {
    work_meter unchecked(nullptr);  // the pass asks the stop check between pieces
    mirror_words(bits, total, first + low, first + high - 1, unchecked, kernel);
  };
  split_on_threads(last - first + 1, kSplitPiece, threads, meter, part, cpus,
                   huge_page_skew(bits + first));
}

}  // namespace qern_local
