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

// Writes every word [0, written) once from the sorted sums: the gaps between
// them are cleared a stretch at a time, at memset's speed. Long gaps are
// cleared on the threads asked for, their pages faulted in first on this
// thread (fault_in). Words already `zeroed` are left as they are: a fresh
// answer's pages that hold no sum are then never touched.
void write_words(const std::vector<uint64_t> &sums, uint64_t *words, size_t written,
                 work_meter &meter, unsigned threads, unsigned cpus, bool zeroed) {
  constexpr size_t kPiece = size_t{1} << 20;  // words cleared between stop checks
  size_t next = 0;                            // the first word not yet written
  auto clear_up_to = [&](size_t end) {
    if (zeroed) {
      next = end;
      return !meter.add(1);
    }
    if (threads > 1 && end - next >= sweep_threads::kMinWords) {
      uint64_t *const gap = words + next;
      if (!fault_in(gap, end - next, meter))
        return false;
      auto clear = [gap](size_t low, size_t high) {
        std::fill(gap + low, gap + high, uint64_t{0});
      };
      if (!split_on_threads(end - next, kSplitPiece, threads, meter, clear, cpus,
                            huge_page_skew(gap)))
        return false;
      next = end;
      return true;
    }
    while (next < end) {
      const size_t stretch = std::min(end - next, kPiece);
      std::fill(words + next, words + next + stretch, uint64_t{0});
      next += stretch;
      if (meter.add(stretch))
        return false;
    }
    return true;
  };
  for (size_t k = 0; k < sums.size();) {
    const size_t i = static_cast<size_t>(sums[k] / kWordBits);
    if (i >= written)
      break;
    if (!clear_up_to(i))
      return;
    uint64_t word = 0;
    const uint64_t end = static_cast<uint64_t>(i + 1) * kWordBits;
    for (; k < sums.size() && sums[k] < end; ++k)
      word |= uint64_t{1} << (sums[k] % kWordBits);
    words[next++] = word;
  }
  clear_up_to(written);
}

}  // namespace

bool sums_stay_few(size_t count, size_t written) {
  // 2^count sums at most; two arrays of them within an eighth of the answer.
  return count < 40 && (uint64_t{1} << count) <= written / 16;
}

size_t solve_sparse(const uint64_t *items, size_t count, uint64_t *words, size_t written,
                    size_t last, work_meter &meter, unsigned threads, unsigned cpus, bool zeroed) {
  const uint64_t limit = static_cast<uint64_t>(written - 1) * kWordBits + (kWordBits - 1);
  // Two arrays together stay within half the answer's size.
  const size_t capacity = written / 4;
  // Few items for the words: however they fall, the array stays small, so it
  // is kept to the end even where it is dense for a while.
  const bool few_throughout = sums_stay_few(count, written);
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
    if (!few_throughout && sums.size() > std::max(kSmallArray, span_words / 8)) {
      ++taken;
      break;
    }
  }
  // With items left, the sweep goes on up to last and the mirror writes the
  // words above it.
  // The sweep reads the words it goes on from, and a read of a page never
  // written maps the shared zero page: the sweep's first write there would
  // fault again. Zeroed words only need their pages there, which the kernel
  // clears as it faults them in, not a second clearing pass (a fresh 21 MiB
  // half: 3.2 ms -> 2.2 ms on one thread); others are written in full.
  const bool swept_on = taken < count;
  if (swept_on && zeroed && !fault_in(words, last + 1, meter))
    return taken;
  write_words(sums, words, swept_on ? last + 1 : written, meter, threads, cpus, zeroed);
  return taken;
}

}  // namespace qern_local
