// The plain shift-or of the local solver, written on 64-byte vectors. Each is built three times
// (AVX-512, AVX2 and the baseline) and the widest the CPU runs is chosen when the library loads.
#include <algorithm>
#include <cstring>

#include "local_solver.h"

namespace qern_local {
namespace {

constexpr size_t kBlock = 8;  // words per vector
typedef uint64_t block_t __attribute__((vector_size(64)));

// Vectors are moved with memcpy only: a function taking or returning one
// would depend on the ABI of the clone it is called from.
#define LOAD(name, at) \
  block_t name;        \
  memcpy(&name, at, sizeof name)

// The loader runs the clones' resolver before any sanitizer runtime is ready,
// and ThreadSanitizer instruments it (a crash at start): its builds keep the
// baseline kernel alone.
#if defined(__SANITIZE_THREAD__)
#define QERN_KERNEL_CLONES
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QERN_KERNEL_CLONES
#endif
#endif
#ifndef QERN_KERNEL_CLONES
#define QERN_KERNEL_CLONES [[gnu::target_clones("avx512f", "avx2", "default")]]
#endif

// The sweep itself; see shift_or_words.
QERN_KERNEL_CLONES void shift_or_kernel(uint64_t *bits, size_t low, size_t top, uint64_t shift) {
  const size_t word_shift = static_cast<size_t>(shift / kWordBits);
  const unsigned bit_shift = shift % kWordBits;
  if (low < word_shift)
    low = word_shift;
  size_t i = top + 1;  // one past the next word to write
  if (bit_shift == 0) {
    while (i >= low + kBlock) {
      i -= kBlock;
      LOAD(target, bits + i);
      LOAD(source, bits + i - word_shift);
      target |= source;
      memcpy(bits + i, &target, sizeof target);
    }
  } else {
    const unsigned back = kWordBits - bit_shift;
    // The lowest destination word needs a word below its source: keep it
    // for the scalar tail when that word would be below 0.
    const size_t vector_low = word_shift == low ? low + 1 : low;
    while (i >= vector_low + kBlock) {
      i -= kBlock;
      LOAD(target, bits + i);
      LOAD(high, bits + i - word_shift);
      LOAD(below, bits + i - word_shift - 1);
      target |= (high << bit_shift) | (below >> back);
      memcpy(bits + i, &target, sizeof target);
    }
  }
  while (i > low) {
    --i;
    const size_t from = i - word_shift;
    uint64_t shifted = bits[from] << bit_shift;
    if (bit_shift != 0 && from > 0)
      shifted |= bits[from - 1] >> (kWordBits - bit_shift);
    bits[i] |= shifted;
  }
}

}  // namespace

void shift_or_words(uint64_t *bits, size_t low, size_t top, uint64_t shift) {
  shift_or_kernel(bits, low, top, shift);
}

void shift_or_metered(uint64_t *bits, size_t low, size_t top, uint64_t shift, work_meter &meter) {
  constexpr size_t kPiece = size_t{1} << 20;
  if (!meter.active() || top - low < kPiece) {
    shift_or_kernel(bits, low, top, shift);
    meter.add(top - low + 1);
    return;
  }
  size_t piece_top = top;
  while (true) {
    const size_t piece_low = piece_top - low >= kPiece ? piece_top - kPiece + 1 : low;
    shift_or_kernel(bits, piece_low, piece_top, shift);
    if (meter.add(piece_top - piece_low + 1) || piece_low == low)
      return;
    piece_top = piece_low - 1;
  }
}

}  // namespace qern_local
