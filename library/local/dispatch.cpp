// The local solver's dispatch: exact complete subset sums, computed in-process
// into the caller's words, by the path that suits the items.
//
// The items are sorted. When every item is r plus a multiple of m and the
// sums leave most of each row of m bits empty, they are packed into narrower
// rows, solved so and moved apart at the end (residue_rows.cpp). Then their
// repeats are folded and one of these paths runs
// (each on the window of words the caller asked for, and each recursing on a
// smaller problem where it can):
// - every item a multiple of g > 1: the items divided by g are solved into the
//   low words and spread back (divisor_reduction.cpp);
// - all but a few items multiples of g: those are solved that way, the few
//   others shifted in;
// - few sums across many words (always when the items are too few to have
//   many): a sorted array of sums (sparse_sums.cpp);
// - otherwise, and once the array grows, the dense sweep (block_sweep.cpp),
//   up to half the total, the upper half mirrored (mirror.cpp).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <new>
#include <numeric>
#include <optional>

#include "local_solver.h"
#include "qern_local.h"
#include "qern_memory.h"

namespace qern_local {
namespace {

using item_array = std::unique_ptr<uint64_t[]>;

// Null when memory ran out. Through operator new, so that tests can make it
// fail. Huge pages are asked for: a long list's arrays are hundreds of
// megabytes, and faulting them a 4 KiB page at a time took as long as
// sorting them.
item_array try_allocate_items(size_t count) {
  item_array items(new (std::nothrow) uint64_t[count > 0 ? count : 1]);
  if (items)
    qern_memory::advise_huge_pages(items.get(), count * sizeof(uint64_t));
  return items;
}

// Runs part(low, high) over [0, count) a piece at a time, each counted by the
// meter: a list of a hundred million items takes seconds to copy and sort,
// and the stop check is asked on the way. False when it said stop.
template <typename Part>
bool in_pieces(size_t count, work_meter &meter, Part &&part) {
  constexpr size_t kPiece = size_t{1} << 20;
  for (size_t low = 0; low < count; low += kPiece) {
    const size_t high = std::min(count, low + kPiece);
    part(low, high);
    if (meter.add(high - low))
      return false;
  }
  return true;
}

// Sorts ascending by bytes, skipping the bytes every value shares. False when
// the stop check ended it, the values then in no order.
bool radix_sort(uint64_t *values, uint64_t *scratch, size_t count, work_meter &meter) {
  if (count == 0)
    return true;
  uint64_t differing = 0;
  const uint64_t first = values[0];
  if (!in_pieces(count, meter, [&](size_t low, size_t high) {
        for (size_t k = low; k < high; ++k)
          differing |= values[k] ^ first;
      }))
    return false;
  for (unsigned byte = 0; byte < 8; ++byte) {
    const unsigned shift = 8 * byte;
    if (((differing >> shift) & 0xFF) == 0)
      continue;
    size_t offsets[257] = {0};
    if (!in_pieces(count, meter, [&](size_t low, size_t high) {
          for (size_t k = low; k < high; ++k)
            ++offsets[((values[k] >> shift) & 0xFF) + 1];
        }))
      return false;
    std::partial_sum(offsets, offsets + 257, offsets);
    if (!in_pieces(count, meter, [&](size_t low, size_t high) {
          for (size_t k = low; k < high; ++k)
            scratch[offsets[(values[k] >> shift) & 0xFF]++] = values[k];
        }))
      return false;
    std::swap(values, scratch);
    // Keeps the caller's buffer current.
    if (!in_pieces(count, meter, [&](size_t low, size_t high) {
          std::copy(values + low, values + high, scratch + low);
        }))
      return false;
  }
  return true;
}

// Sorts without a second array, asking the stop check every few million
// comparisons: a stop unwinds the sort from within its comparison, leaving
// the values in no order. False when it said stop.
bool sort_in_place(uint64_t *values, size_t count, work_meter &meter) {
  struct stopped_sort {};
  try {
    std::sort(values, values + count, [&meter](uint64_t a, uint64_t b) {
      if (meter.add(1))
        throw stopped_sort{};
      return a < b;
    });
  } catch (const stopped_sort &) {
    return false;
  }
  return true;
}

// Reduces sorted items to a multiset with the same subset sums: zeros go, and
// of c > 2 copies of v, one or two stay and the rest pair up as copies of 2v.
// At most about 2 sqrt(2T) items remain. Writes them ascending to out and
// returns their count. out may be sorted itself: each item written stands for
// at least one already read, so no write passes the reading.
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
    if (copies > 2 && value > UINT64_MAX / 2) {
      copies = 2;  // 2v passes 2^64: beyond every window, and must not wrap
    } else if (copies > 2) {
      const uint64_t pairs = (copies - 1) / 2;
      carried[2 * value] += pairs;
      copies -= 2 * pairs;
    }
    for (uint64_t c = 0; c < copies; ++c)
      out[written++] = value;
  }
  return written;
}

uint64_t saturating_sum(const uint64_t *items, size_t count) {
  uint64_t total = 0;
  for (size_t k = 0; k < count; ++k)
    total = total > UINT64_MAX - items[k] ? UINT64_MAX : total + items[k];
  return total;
}

// The greatest common divisor of the items, stopping early at 1.
uint64_t gcd_of(const uint64_t *items, size_t count) {
  uint64_t g = 0;
  for (size_t k = count; k-- > 0 && g != 1;)
    g = std::gcd(g, items[k]);
  return g;
}

// At most this many items may stand outside a shared divisor.
constexpr size_t kFewOthers = 16;

// A divisor g > 1 that all but a few items share, when solving those reduced
// and shifting the others in is clearly cheaper than the plain sweep; else 0.
// Candidates: 2 to 64, and the divisors the largest items share.
uint64_t shared_divisor_of_most(const uint64_t *items, size_t count, uint64_t total) {
  if (count < 4 * 2)
    return 0;
  // Word operations, counted as if no all-ones run formed: sums that all
  // share one divisor but a few never make one.
  const double half_words = static_cast<double>(total / 2 / kWordBits + 1);
  double best_cost = static_cast<double>(count) * half_words;
  uint64_t best = 0;
  auto consider = [&](uint64_t d) {
    if (d < 2)
      return;
    size_t others = 0;
    uint64_t others_total = 0;
    for (size_t k = count; k-- > 0;) {
      if (items[k] % d != 0) {
        if (++others > kFewOthers || 4 * others > count)
          return;
        others_total += items[k];
      }
    }
    const uint64_t shared_total = total - others_total;
    const double cost = static_cast<double>(count - others) *
                            static_cast<double>(shared_total / d / 2 / kWordBits + 1) +
                        2 * half_words + static_cast<double>(others) * half_words;
    if (cost < best_cost) {
      best_cost = cost;
      best = d;
    }
  };
  for (uint64_t d = 2; d <= kWordBits; ++d)
    consider(d);
  // The divisor of the largest items, leaving out the few that break it.
  for (size_t start = 0; start < 3 && start < count; ++start) {
    uint64_t g = items[count - 1 - start];
    size_t skipped = start;
    for (size_t k = count - 1 - start; k-- > 0 && skipped <= kFewOthers;) {
      const uint64_t next = std::gcd(g, items[k]);
      if (next == 1) {
        ++skipped;
      } else {
        g = next;
      }
    }
    if (skipped <= kFewOthers && g > kWordBits)
      consider(g);
  }
  return best;
}

// The words [0, reached) below the half that can hold a sum, and the word
// above the highest (the mirror reads it), rounded up to a multiple of a
// 4 KiB page's worth of words.
size_t held_words(size_t reached, size_t last) {
  constexpr size_t kPageWords = 4096 / sizeof(uint64_t);
  return std::min(last + 1, (reached + kPageWords) / kPageWords * kPageWords);
}

// The first word whose mirrored sums reach below word `reached`: upper word
// j mirrors the sums total - 64 j - 63 .. total - 64 j, and the words from
// `reached` on hold none.
size_t first_mirroring(uint64_t total, size_t reached) {
  const uint64_t below = static_cast<uint64_t>(reached) * kWordBits;  // the lowest sum not held
  if (total <= below + 62)
    return 0;
  return static_cast<size_t>((total - below - 62 + kWordBits - 1) / kWordBits);
}

// Answers this big solve on the process's CPUs when no count is asked for.
constexpr size_t kDefaultThreadsWords = size_t{1} << 22;

// Starts faulting the words [from, to) on a thread of the budget while the
// caller solves below `from`: nothing may write them until toucher.finish().
// A big answer is fresh memory, and its pages are then cleared by the kernel
// beside the solve instead of at the first write that needs them. Left empty
// when no thread started (the budget is taken, often by a caller's toucher
// still running): an idle one would hide that toucher from the sweep, which
// then never joins it nor takes up its place.
void touch_meanwhile(std::optional<page_toucher> &toucher, uint64_t *words, size_t from, size_t to,
                     unsigned threads, unsigned cpus) {
  if (threads > 1 && to > from && to - from >= sweep_threads::kMinWords) {
    toucher.emplace(words + from, to - from, cpus);
    if (!toucher->started())
      toucher.reset();
  }
}

// Writes the sums of the items (ascending, non-zero; rewritten in place)
// into the words [0, written), exactly as they lie in the full bitset. A
// caller's page toucher still running above the words is `meanwhile`: the
// sweep joins it once it is done. Up to `threads` threads, the process's
// solver threads kept within `cpus`. Words that are `zeroed` already need no
// zeros written where the sums are listed in full; a phase that reads the
// words (the sweep, the spreads) has them written first all the same: a read
// of a page never written maps the shared zero page, the write after it
// faults again, and the dense families took up to four times as long that way.
void solve_window(uint64_t *items, size_t count, uint64_t *words, size_t written, work_meter &meter,
                  unsigned threads, unsigned cpus, page_toucher *meanwhile, bool zeroed) {
  if (written == 0 || meter.poll())
    return;
  const uint64_t limit = static_cast<uint64_t>(written - 1) * kWordBits + (kWordBits - 1);
  while (count > 0 && items[count - 1] > limit)
    --count;  // such an item only reaches sums beyond the words
  if (count == 0) {
    words[0] = 1;
    if (!zeroed)
      std::fill(words + 1, words + written, uint64_t{0});
    return;
  }
  const uint64_t total = saturating_sum(items, count);

  // A few items over many words: their sums, listed, cost less than any pass
  // over the words, and each word is then written once.
  if (sums_stay_few(count, written)) {
    solve_sparse(items, count, words, written, 0, meter, threads, cpus,
                 zeroed);  // all, unless stopped
    return;
  }

  const uint64_t g = gcd_of(items, count);
  if (g > 1) {
    for (size_t k = 0; k < count; ++k)
      items[k] /= g;
    const size_t reduced_words = static_cast<size_t>(limit / g / kWordBits) + 1;
    std::optional<page_toucher> spread_to;  // the spread writes them last
    touch_meanwhile(spread_to, words, reduced_words, written, threads, cpus);
    solve_window(items, count, words, reduced_words, meter, threads, cpus,
                 spread_to ? &*spread_to : meanwhile, false);
    if (spread_to)
      spread_to->finish();
    if (!meter.stopped())
      spread_multiples(words, written, reduced_words, g, meter);
    return;
  }

  // Sums above half the total mirror those below it: only the words up to
  // the half are solved by shifting.
  const size_t last = std::min(written - 1, static_cast<size_t>(total / 2 / kWordBits));
  // The mirror writes the words [mirror_from, mirror_to]. Zeroed words above
  // the total (the window dropped items too big for it) stay as they are.
  // The upper half's pages are faulted in by the mirror on threads, which
  // writes them first (mirror_upper_half). A thread faulting them beside a
  // sweep on the pipeline would hold the place the sweep's second thread
  // waits for.
  size_t mirror_from = last + 1;
  const size_t mirror_to = zeroed ? std::min<size_t>(written - 1, total / kWordBits) : written - 1;
  sweep_threads on_threads{threads};
  on_threads.cpus = cpus;
  on_threads.toucher = meanwhile;
  const uint64_t shared = shared_divisor_of_most(items, count, total);
  if (shared != 0) {
    uint64_t others[kFewOthers];
    size_t other_count = 0, kept = 0;
    for (size_t k = 0; k < count; ++k) {
      if (items[k] % shared != 0) {
        others[other_count++] = items[k];
      } else {
        items[kept++] = items[k];
      }
    }
    const uint64_t shared_total = saturating_sum(items, kept);
    solve_window(items, kept, words, last + 1, meter, threads, cpus, meanwhile, false);
    if (meter.stopped())
      return;
    sweep_items_by_blocks(others, other_count, words, last, shared_total, meter, false, on_threads);
  } else {
    // Words zeroed on entry that no sum below the half reaches are neither
    // written nor read, nor are the upper words that mirror only them: a
    // thousand small items beside one of 10^9 write 250 KiB of a 119 MiB
    // answer, not all of it twice.
    const size_t reached = zeroed ? swept_words(items, count, 0, last) : last + 1;
    const size_t held = zeroed ? held_words(reached, last) : last + 1;
    const size_t taken =
        solve_sparse(items, count, words, written, held - 1, meter, threads, cpus, zeroed);
    if (taken == count || meter.stopped())
      return;  // all of the words written
    const uint64_t reach = saturating_sum(items, taken);
    mirror_from = std::max(last + 1, first_mirroring(total, reached));
    // A sweep whose items reach too few words for the pipeline stays on this
    // thread and leaves the other CPUs idle: the upper half is faulted there
    // meanwhile (`huge + small` with stale words, two threads: 18.2 ms
    // against 19.4 ms without).
    std::optional<page_toucher> upper;
    if (swept_words(items + taken, count - taken, reach, held - 1) < on_threads.min_words)
      touch_meanwhile(upper, words, mirror_from, mirror_to + 1, threads, cpus);
    sweep_items_by_blocks(items + taken, count - taken, words, held - 1, reach, meter, false,
                          on_threads);
    if (upper)
      upper->finish();
  }
  if (mirror_to >= mirror_from && !meter.stopped())
    mirror_upper_half(words, total, mirror_from, mirror_to, meter, mirror_kernel::widest, threads,
                      cpus);
}

// Sorts a copy of the items, then solves: packed into residue rows where they
// form them, repeats folded, each path on the window. Throws std::bad_alloc
// when even the copy cannot be made; without room for the radix sort's
// second array it sorts in place.
void solve_sorted(const uint64_t *items, size_t item_count, uint64_t *words, size_t written,
                  work_meter &meter, unsigned threads, unsigned cpus, bool zeroed) {
  item_array sorted = try_allocate_items(item_count);
  if (!sorted)
    throw std::bad_alloc();
  if (!in_pieces(item_count, meter, [&](size_t low, size_t high) {
        std::copy(items + low, items + high, sorted.get() + low);
      }))
    return;
  if (item_array scratch = try_allocate_items(item_count)) {
    if (!radix_sort(sorted.get(), scratch.get(), item_count, meter))
      return;
  } else if (!sort_in_place(sorted.get(), item_count, meter)) {
    return;
  }
  // Residue rows are found before repeats fold: a folded pair 2w is not
  // r plus a multiple of m, though it packs as two items would.
  const uint64_t limit = static_cast<uint64_t>(written - 1) * kWordBits + (kWordBits - 1);
  const size_t zeros = std::find_if(sorted.get(), sorted.get() + item_count,
                                    [](uint64_t item) { return item != 0; }) -
                       sorted.get();
  const size_t within =
      std::upper_bound(sorted.get(), sorted.get() + item_count, limit) - sorted.get();
  const residue_rows rows = find_residue_rows(sorted.get() + zeros, within - zeros, limit);
  size_t solved_words = written;
  if (rows.stride != 0) {
    pack_items(sorted.get() + zeros, within - zeros, rows);
    solved_words = static_cast<size_t>(rows.packed_limit / kWordBits) + 1;
  }
  const size_t reduced = reduce_repeats(sorted.get(), within, sorted.get());
  std::optional<page_toucher> spread_to;  // packed rows: the spread writes them last
  touch_meanwhile(spread_to, words, solved_words, written, threads, cpus);
  solve_window(sorted.get(), reduced, words, solved_words, meter, threads, cpus,
               spread_to ? &*spread_to : nullptr, zeroed && rows.stride == 0);
  if (spread_to)
    spread_to->finish();
  if (rows.stride != 0 && !meter.stopped())
    spread_rows(words, written, rows, meter, zeroed, threads, cpus);
}

// The whole solve; throws std::bad_alloc when scratch memory runs out; leaves
// the meter stopped when the stop check ended it. Words `zeroed` on entry
// spare the listed paths their zeros; the fallback without scratch clears
// every word whatever it is told, as it may follow a solve that wrote some.
void solve(const uint64_t *items, size_t item_count, uint64_t *words, size_t *word_count,
           work_meter &meter, bool with_scratch, unsigned threads, bool zeroed) {
  // The true total, which may pass 2^64: its window is then longer than any
  // array can be, and the caller's capacity alone bounds what is written.
  unsigned __int128 total = 0;
  size_t non_zero = 0;
  for (size_t k = 0; k < item_count; ++k) {
    total += items[k];
    non_zero += items[k] != 0 ? 1 : 0;
  }
  const unsigned __int128 needed = total / kWordBits + 1;
  const size_t capacity = *word_count;
  const size_t written = needed < capacity ? static_cast<size_t>(needed) : capacity;
  if (written > 0) {
    // Huge pages, unless the words are zero and only those that hold one of
    // a few sums are written: the kernel would clear 2 MiB for each of them
    // (ten items over a 460 MiB answer: 2.8 s for the first solve, 44 ms for
    // the next, against 2 ms).
    if (!zeroed || !sums_stay_few(non_zero, written))
      qern_memory::advise_huge_pages(words, written * sizeof(uint64_t));
    // Unless told otherwise, a big answer may use every CPU the process may;
    // the budget then shares them among the solves running. Below 32 MiB
    // starting and joining threads costs more than they save on the paths
    // that finish in a millisecond or two (divisors, residue rows).
    // The CPUs are read once here, and only for answers a phase may split
    // (no phase splits fewer words): reading the cgroup files costs tens of
    // microseconds, as much as a whole small solve, and each threaded phase
    // would otherwise pay it again.
    const bool by_default = threads == 0 && written >= kDefaultThreadsWords;
    const bool may_split = threads > 1 && written >= sweep_threads::kMinWords;
    const unsigned cpus = by_default || may_split ? usable_cpus() : 0;
    if (by_default)
      threads = cpus;
    if (with_scratch) {
      solve_sorted(items, item_count, words, written, meter, threads, cpus, zeroed);
    } else {
      solve_without_scratch(items, item_count, words, written, meter);
    }
  }
  if (capacity >= needed)
    *word_count = static_cast<size_t>(needed);
}

}  // namespace
}  // namespace qern_local

namespace {

// The solve of both entry points. A second attempt (without scratch, or in a
// child of fork()) finds words the first one wrote: they are zero no longer.
qern_status_t solve_metered(const uint64_t *items, size_t item_count, uint64_t *words,
                            size_t *word_count, const qern_stop *stop, unsigned threads,
                            bool zeroed) {
  auto solve_once = [&](qern_local::work_meter &meter, unsigned on_threads, bool still_zeroed) {
    try {
      qern_local::solve(items, item_count, words, word_count, meter, true, on_threads,
                        still_zeroed);
    } catch (const std::bad_alloc &) {
      qern_local::solve(items, item_count, words, word_count, meter, false, on_threads, false);
    }
  };
  try {
    qern_local::work_meter meter(stop);
    solve_once(meter, threads, zeroed);
    if (meter.halted_only()) {
      // A stop check forked mid-solve and this is the child: its threads and
      // their words are lost, the items (never written) are not. It answers
      // in full on its calling thread, as any process would.
      qern_local::work_meter again(stop);
      solve_once(again, 1, false);
      return again.stopped() ? QERN_STATUS_STOPPED : 0;
    }
    return meter.stopped() ? QERN_STATUS_STOPPED : 0;
  } catch (const std::exception &) {  // not a thread's forced unwind
    return QERN_STATUS_NO_MEMORY;
  }
}

}  // namespace

extern "C" qern_status_t qern_local_solve_threads(const uint64_t *items, size_t item_count,
                                                  uint64_t *words, size_t *word_count,
                                                  const qern_stop *stop, unsigned threads) {
  return solve_metered(items, item_count, words, word_count, stop, threads, false);
}

extern "C" qern_status_t qern_local_solve_into_zeros(const uint64_t *items, size_t item_count,
                                                     uint64_t *words, size_t *word_count,
                                                     const qern_stop *stop, unsigned threads) {
  return solve_metered(items, item_count, words, word_count, stop, threads, true);
}

extern "C" qern_status_t qern_local_solve(const uint64_t *items, size_t item_count, uint64_t *words,
                                          size_t *word_count, const qern_stop *stop) {
  return qern_local_solve_threads(items, item_count, words, word_count, stop, 0);
}
