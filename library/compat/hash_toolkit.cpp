// The hash-search toolkit: the building blocks of a hash-based divide-and-
// conquer subset-sum search over a prefix-hash (Fenwick) tree, for callers
// that drive that search themselves. The solver does not use them.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qern_lib.h"

namespace {

uint32_t *new_sized_ar(uint32_t count) {
  auto *block =
      static_cast<uint32_t *>(malloc((static_cast<size_t>(count) + 1) * sizeof(uint32_t)));
  if (block != nullptr) {
    block[0] = count;
  }
  return block;
}

}  // namespace

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
