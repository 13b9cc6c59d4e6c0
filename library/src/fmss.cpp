// The local solver: exact complete subset sums, computed in-process.
//
// fmss_complete_subset_sum works on the caller's words directly: for each item
// it ORs the bitset, shifted up by the item, into itself. The hash-search
// toolkit below it is kept for callers that drive that search themselves.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>

#include "qern_lib.h"

namespace {

constexpr unsigned kWordBits = 64;
constexpr uint64_t kAllOnes = ~uint64_t{0};

struct FreeDeleter {
  void operator()(void *block) const noexcept { free(block); }
};
template <typename T>
using heap_array = std::unique_ptr<T[], FreeDeleter>;

template <typename T>
heap_array<T> allocate(size_t count) {
  return heap_array<T>(static_cast<T *>(malloc(count > 0 ? count * sizeof(T) : 1)));
}

// ORs (bits << shift) into bits over the words [low, top], in place. Words
// are taken from the top down, eight at a time, and every source word is read
// before its block is written, so each item is used at most once. Built for
// the widest vectors the CPU has, chosen when the library loads.
[[gnu::target_clones("avx512f", "avx2", "default")]] void shift_or_words(uint64_t *bits, size_t low,
                                                                         size_t top,
                                                                         uint64_t shift) {
  const size_t word_shift = static_cast<size_t>(shift / kWordBits);
  const unsigned bit_shift = shift % kWordBits;
  if (low < word_shift) {
    low = word_shift;
  }
  size_t i = top + 1;  // one past the next word to write
  constexpr size_t kBlock = 8;
  if (bit_shift == 0) {
    while (i >= low + kBlock) {
      i -= kBlock;
      uint64_t source[kBlock];
      memcpy(source, bits + i - word_shift, sizeof source);
      for (size_t k = 0; k < kBlock; ++k)
        bits[i + k] |= source[k];
    }
  } else {
    const unsigned back = kWordBits - bit_shift;
    // The lowest destination word needs a word below its source: keep it
    // for the scalar tail when that word would be below 0.
    const size_t vector_low = word_shift == low ? low + 1 : low;
    while (i >= vector_low + kBlock) {
      i -= kBlock;
      uint64_t high[kBlock], below[kBlock];
      memcpy(high, bits + i - word_shift, sizeof high);
      memcpy(below, bits + i - word_shift - 1, sizeof below);
      for (size_t k = 0; k < kBlock; ++k)
        bits[i + k] |= (high[k] << bit_shift) | (below[k] >> back);
    }
  }
  while (i > low) {
    --i;
    const size_t from = i - word_shift;
    uint64_t shifted = bits[from] << bit_shift;
    if (bit_shift != 0 && from > 0) {
      shifted |= bits[from - 1] >> (kWordBits - bit_shift);
    }
    bits[i] |= shifted;
  }
}

// Sorts ascending by bytes, skipping the bytes every value shares.
void radix_sort(uint64_t *values, uint64_t *scratch, size_t count) {
  uint64_t differing = 0;
  for (size_t k = 1; k < count; ++k)
    differing |= values[k] ^ values[0];
  for (unsigned byte = 0; byte < 8; ++byte) {
    if (((differing >> (8 * byte)) & 0xFF) == 0)
      continue;
    size_t offsets[257] = {0};
    for (size_t k = 0; k < count; ++k)
      ++offsets[((values[k] >> (8 * byte)) & 0xFF) + 1];
    for (size_t b = 1; b < 257; ++b)
      offsets[b] += offsets[b - 1];
    for (size_t k = 0; k < count; ++k)
      scratch[offsets[(values[k] >> (8 * byte)) & 0xFF]++] = values[k];
    std::swap(values, scratch);
    std::copy_n(values, count, scratch);  // keep the caller's buffer current
  }
}

// Reduces sorted items to a multiset with the same subset sums: zeros go, and
// of c > 2 copies of v, one or two stay and the rest pair up as copies of 2v.
// At most about 2 sqrt(2T) items remain. Writes them ascending to out and
// returns their count.
size_t reduce_repeats(const uint64_t *sorted, size_t count, uint64_t *out) {
  std::map<uint64_t, uint64_t> carried;  // 2v -> copies, still to be merged
  size_t written = 0;
  size_t k = 0;
  while (k < count || !carried.empty()) {
    uint64_t value;
    uint64_t copies = 0;
    if (k < count && (carried.empty() || sorted[k] <= carried.begin()->first)) {
      value = sorted[k];
    } else {
      value = carried.begin()->first;
    }
    while (k < count && sorted[k] == value) {
      ++copies;
      ++k;
    }
    auto pending = carried.find(value);
    if (pending != carried.end()) {
      copies += pending->second;
      carried.erase(pending);
    }
    if (value == 0)
      continue;
    if (copies > 2) {
      const uint64_t pairs = (copies - 1) / 2;
      carried[2 * value] += pairs;  // 3v <= T fits, so 2v does
      copies -= 2 * pairs;
    }
    for (uint64_t c = 0; c < copies; ++c)
      out[written++] = value;
  }
  return written;
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

// Sum s is reachable exactly when total - s is: fills the bits of the words
// [first, last] from the mirrored bits at or below `half`, all known.
void mirror_upper_half(uint64_t *bits, uint64_t total, size_t first, size_t last) {
  for (size_t word = first; word <= last; ++word) {
    // Bit j of this word is sum 64 word + j, mirrored at total - 64 word - j:
    // the reversed 64 bits that end there.
    const int64_t end = static_cast<int64_t>(total) - static_cast<int64_t>(64 * word);
    bits[word] |= reverse_bits(bits_at(bits, end - 63));
  }
  const unsigned top_bits = total % kWordBits;  // sums above the total stay 0
  if (last == total / kWordBits && top_bits != 63) {
    bits[last] &= (uint64_t{2} << top_bits) - 1;
  }
}

uint64_t saturating_add(uint64_t a, uint64_t b) {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

uint32_t *new_sized_ar(uint32_t count) {
  auto *block =
      static_cast<uint32_t *>(malloc((static_cast<size_t>(count) + 1) * sizeof(uint32_t)));
  if (block != nullptr) {
    block[0] = count;
  }
  return block;
}

// Solves items (ascending) into words [0, last], exactly. Sums become dense
// in the middle while they stay sparse near 0 and near the reach, so a run of
// all-ones words [run_low, run_high) is tracked and never shifted into: a word
// that is all ones stays so.
void solve_prefix(const uint64_t *items, size_t count, uint64_t *words, size_t last) {
  size_t run_low = 0;
  size_t run_high = 0;  // empty while equal to run_low
  uint64_t reach = 0;
  for (size_t k = 0; k < count; ++k) {
    const uint64_t w = items[k];
    reach = saturating_add(reach, w);
    if (w / kWordBits > last) {
      break;  // ascending: no later item reaches the words either
    }
    const size_t top = std::min(static_cast<size_t>(reach / kWordBits), last);
    if (run_high > run_low) {
      // Above the run first: those words read sources the lower part is
      // about to overwrite.
      if (run_high <= top) {
        shift_or_words(words, run_high, top, w);
      }
      if (run_low > 0) {
        shift_or_words(words, 0, run_low - 1, w);
      }
    } else {
      shift_or_words(words, 0, top, w);
      run_low = 0;
      while (run_low <= top && words[run_low] != kAllOnes) {
        ++run_low;
      }
      run_high = run_low;
    }
    while (run_high <= top && words[run_high] == kAllOnes) {
      ++run_high;
    }
  }
}

}  // namespace

extern "C" int fmss_complete_subset_sum(const uint64_t *items, size_t item_count, uint64_t *words,
                                        size_t *word_count) {
  uint64_t total = 0;
  for (size_t k = 0; k < item_count; ++k) {
    total += items[k];
  }
  const size_t needed = static_cast<size_t>(total / kWordBits) + 1;
  const size_t capacity = *word_count;
  const size_t written = std::min(capacity, needed);
  if (written == 0) {
    return 0;
  }
  std::fill_n(words, written, uint64_t{0});
  words[0] = 1;

  // Shifting only moves bits upwards, so the first `written` words depend on
  // nothing above them. Sums above half the total are the mirror images of
  // those below it, so only words up to the half are solved by shifting.
  const size_t half_word = static_cast<size_t>((total / 2) / kWordBits);
  const size_t last = std::min(written - 1, half_word);

  heap_array<uint64_t> sorted = allocate<uint64_t>(item_count);
  heap_array<uint64_t> scratch = allocate<uint64_t>(item_count);
  if (sorted && scratch) {
    std::copy_n(items, item_count, sorted.get());
    radix_sort(sorted.get(), scratch.get(), item_count);
    const size_t reduced = reduce_repeats(sorted.get(), item_count, scratch.get());
    solve_prefix(scratch.get(), reduced, words, last);
  } else {
    // Without room for the sorted copy, the caller's order gives the same
    // answer, more slowly.
    for (size_t k = 0; k < item_count; ++k) {
      if (items[k] != 0 && items[k] / kWordBits <= last) {
        shift_or_words(words, 0, last, items[k]);
      }
    }
  }
  if (written - 1 > last) {
    mirror_upper_half(words, total, last + 1, written - 1);
  }
  if (capacity >= needed) {
    *word_count = needed;
  }
  return 0;
}

// ---- Hash-search toolkit ----------------------------------------------------

extern "C" qern_status_t fmss_solve(const uint64_t *items, size_t item_count, uint64_t *words,
                                    size_t *word_count, const qern_stop * /*stop*/) {
  try {
    fmss_complete_subset_sum(items, item_count, words, word_count);
    return 0;
  } catch (const std::bad_alloc &) {
    return QERN_STATUS_NO_MEMORY;
  }
}

extern "C" uint32_t fmss_read(const uint32_t *tree, uint32_t k) {
  uint32_t sum = 0;
  while (k != 0) {
    sum += tree[k - 1];
    k &= k - 1;
  }
  return sum;
}

extern "C" void update(uint32_t *tree, uint32_t total, uint32_t i, uint32_t d) {
  const uint32_t positions = 2 * total;
  while (i < positions) {
    tree[i] += d;
    i |= i + 1;
  }
}

extern "C" void add_new_sums(uint32_t *flags, const uint32_t *powers, uint32_t *tree,
                             uint32_t total, uint32_t s, uint32_t w) {
  flags[s] = w;
  update(tree, total, s, powers[s]);
  update(tree, total, total + s, powers[total + s]);
}

extern "C" uint32_t *find_new_sums(const uint32_t *flags, const uint32_t *tree,
                                   const uint32_t *powers, uint32_t total, uint32_t modulus,
                                   uint32_t lo, uint32_t hi, uint32_t w) {
  const uint32_t range_hash = fmss_read(tree, hi) - fmss_read(tree, lo);
  const uint32_t left = static_cast<uint32_t>(range_hash * powers[total - w]) % modulus;
  const uint32_t shifted_hash = fmss_read(tree, total + hi - w) - fmss_read(tree, total + lo - w);
  const uint32_t right = shifted_hash % modulus;
  if (left == right) {
    return empty_sized_ar();
  }
  if (hi == lo + 1) {
    return (lo != 0 && flags[lo] == 0) ? one_item_sized_ar(lo) : empty_sized_ar();
  }
  const uint32_t mid = (lo + hi) >> 1;
  uint32_t *upper = find_new_sums(flags, tree, powers, total, modulus, mid, hi, w);
  uint32_t *lower = find_new_sums(flags, tree, powers, total, modulus, lo, mid, w);
  return union_sized_ar(lower, upper);
}

extern "C" uint32_t *empty_sized_ar(void) {
  return new_sized_ar(0);
}

extern "C" uint32_t *one_item_sized_ar(uint32_t v) {
  uint32_t *block = new_sized_ar(1);
  if (block != nullptr) {
    block[1] = v;
  }
  return block;
}

extern "C" uint32_t *union_sized_ar(uint32_t *a, uint32_t *b) {
  if (a == nullptr || b == nullptr) {  // a lost allocation loses the whole list
    free(a);
    free(b);
    return nullptr;
  }
  if (a[0] == 0) {
    free(a);
    return b;
  }
  if (b[0] == 0) {
    free(b);
    return a;
  }
  uint32_t *joined = new_sized_ar(a[0] + b[0]);
  if (joined != nullptr) {
    memcpy(joined + 1, a + 1, a[0] * sizeof(uint32_t));
    memcpy(joined + 1 + a[0], b + 1, b[0] * sizeof(uint32_t));
  }
  free(a);
  free(b);
  return joined;
}

extern "C" void print_sized_ar(const uint32_t *a) {
  fputs("[", stdout);
  for (uint32_t k = 1; k <= a[0]; ++k) {
    printf(k == 1 ? "%u" : ", %u", a[k]);
  }
  fputs("]", stdout);
  fflush(stdout);
}
