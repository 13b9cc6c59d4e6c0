// Sparse sums: while few sums are reachable across many words, the sums are
// kept as a sorted array and each item merges the array with itself shifted,
// instead of sweeping the words.
#include <algorithm>
#include <vector>

#include "local_solver.h"

namespace qern_local {
namespace {

// Below this many sums the array is always kept.
constexpr size_t kSmallArray = 256;

// out = sums ∪ (sums + w), cut at limit; both ascending, no repeats.
void merge_shifted(const std::vector<uint64_t> &sums, uint64_t w, uint64_t limit,
                   std::vector<uint64_t> &out) {
  out.clear();
  size_t a = 0, b = 0;
  const size_t n = sums.size();
  // Shifted sums at or below the limit.
  size_t shifted_end = n;
  while (shifted_end > 0 && sums[shifted_end - 1] > limit - w)
    --shifted_end;
  while (a < n && b < shifted_end) {
    const uint64_t x = sums[a];
    const uint64_t y = sums[b] + w;
    if (x < y) {
      out.push_back(x);
      ++a;
    } else if (y < x) {
      out.push_back(y);
      ++b;
    } else {
      out.push_back(x);
      ++a;
      ++b;
    }
  }
  for (; a < n; ++a)
    out.push_back(sums[a]);
  for (; b < shifted_end; ++b)
    out.push_back(sums[b] + w);
}

// Writes every word [0, written) once from the sorted sums.
void write_words(const std::vector<uint64_t> &sums, uint64_t *words, size_t written,
                 work_meter &meter) {
  size_t k = 0;
  for (size_t i = 0; i < written; ++i) {
    uint64_t word = 0;
    const uint64_t end = static_cast<uint64_t>(i + 1) * kWordBits;
    while (k < sums.size() && sums[k] < end) {
      word |= uint64_t{1} << (sums[k] % kWordBits);
      ++k;
    }
    words[i] = word;
    if ((i & 0xFFFF) == 0xFFFF && meter.add(0x10000))
      return;
  }
}

}  // namespace

size_t solve_sparse(const uint64_t *items, size_t count, uint64_t *words, size_t written,
                    size_t /*last*/, work_meter &meter) {
  const uint64_t limit = static_cast<uint64_t>(written - 1) * kWordBits + (kWordBits - 1);
  // Two arrays together stay within half the answer's size.
  const size_t capacity = written / 4;
  std::vector<uint64_t> sums{0}, next;
  uint64_t reach = 0;
  size_t taken = 0;
  for (; taken < count; ++taken) {
    const uint64_t w = items[taken];
    if (w > limit) {
      taken = count;  // ascending: no item left reaches the words
      break;
    }
    if (2 * sums.size() > capacity)
      break;
    if (next.capacity() < 2 * sums.size())
      next.reserve(2 * sums.size());
    merge_shifted(sums, w, limit, next);
    sums.swap(next);
    if (meter.add(sums.size() / 4 + 1))
      return taken;
    reach = reach > UINT64_MAX - w ? UINT64_MAX : reach + w;
    const size_t span_words = static_cast<size_t>(std::min(reach, limit) / kWordBits) + 1;
    if (sums.size() > std::max(kSmallArray, span_words / 8)) {
      ++taken;
      break;
    }
  }
  write_words(sums, words, written, meter);
  return taken;
}

}  // namespace qern_local
