// The local solver: exact complete subset sums, computed in-process.
//
// fmss_complete_subset_sum works on the caller's words directly: for each item
// it ORs the bitset, shifted up by the item, into itself. The hash-search
// toolkit below it is kept for callers that drive that search themselves.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "qern_lib.h"

namespace {

constexpr unsigned kWordBits = 64;

struct FreeDeleter {
  void operator()(void *block) const noexcept { free(block); }
};

// ORs the bitset shifted up by `shift` bits into itself over words [0, top].
// Walking from the top down reads every source word before it is updated, so
// no scratch copy is needed and each item is used at most once.
void shift_or_in_place(uint64_t *bits, size_t top, uint64_t shift) {
  const uint64_t word_shift = shift / kWordBits;
  const unsigned bit_shift = shift % kWordBits;
  if (word_shift > top) {
    return;
  }
  if (bit_shift == 0) {
    for (size_t i = top + 1; i-- > word_shift;) {
      bits[i] |= bits[i - word_shift];
    }
    return;
  }
  const unsigned back = kWordBits - bit_shift;
  for (size_t i = top; i > word_shift; --i) {
    bits[i] |= (bits[i - word_shift] << bit_shift) | (bits[i - word_shift - 1] >> back);
  }
  bits[word_shift] |= bits[0] << bit_shift;
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

  // Shifting only moves bits upwards, so the first `written` words of the
  // full bitset depend on nothing above them: a short capacity is solved
  // exactly by never looking past it.
  std::fill_n(words, written, uint64_t{0});
  words[0] = 1;

  // Small items first keep the reachable range, and so each shift, short for
  // as long as possible. Without room for the sorted copy the caller's order
  // gives the same answer, only more slowly.
  std::unique_ptr<uint64_t[], FreeDeleter> sorted(
      static_cast<uint64_t *>(malloc(item_count * sizeof(uint64_t))));
  if (sorted) {
    std::copy_n(items, item_count, sorted.get());
    std::sort(sorted.get(), sorted.get() + item_count);
    items = sorted.get();
  }
  uint64_t reach = 0;  // the largest sum reachable so far
  for (size_t k = 0; k < item_count; ++k) {
    const uint64_t w = items[k];
    if (w == 0) {
      continue;
    }
    reach = saturating_add(reach, w);
    if (w / kWordBits >= written) {
      continue;
    }
    const size_t top = std::min(static_cast<size_t>(reach / kWordBits), written - 1);
    shift_or_in_place(words, top, w);
  }
  if (capacity >= needed) {
    *word_count = needed;
  }
  return 0;
}

// ---- Hash-search toolkit ----------------------------------------------------

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
