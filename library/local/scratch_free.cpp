// The solve for when scratch memory has run out: it allocates nothing, yet
// costs about what the solve with scratch does. The caller's items are only
// read, so instead of sorting them it walks their distinct values in
// ascending order, a batch at a time, in a small table on the stack. The c
// copies of each value v become the items v, 2v, 4v, ... and the rest times
// v (every count up to c is a sum of those), so many repeats cost a few
// sweeps; each sweep reaches only the words the sums so far can reach, skips
// the run of full words dense sums form, and stops at half the total, whose
// upper half is mirrored.
#include <algorithm>
#include <cstdint>

#include "local_solver.h"

namespace qern_local {
namespace {

struct value_count {
  uint64_t value;
  uint64_t copies;
};

// Values found per pass over the items: 4 KiB of stack.
constexpr size_t kBatch = 256;

// Collects into batch the smallest distinct values in (after, limit] with
// their copies, ascending, at most kBatch of them. Returns how many.
size_t next_values(const uint64_t *items, size_t count, uint64_t after, uint64_t limit,
                   value_count *batch) {
  size_t held = 0;
  for (size_t k = 0; k < count; ++k) {
    const uint64_t v = items[k];
    if (v <= after || v > limit)
      continue;
    if (held == kBatch && v > batch[held - 1].value)
      continue;
    value_count *at = std::lower_bound(
        batch, batch + held, v, [](const value_count &e, uint64_t x) { return e.value < x; });
    if (at != batch + held && at->value == v) {
      ++at->copies;
      continue;
    }
    if (held == kBatch)
      --held;  // the largest leaves to make room
    std::move_backward(at, batch + held, batch + held + 1);
    *at = value_count{v, 1};
    ++held;
  }
  return held;
}

// A sweep of one item over the words [0, top], stepping over the full run
// [run_low, run_high): it stays full, and the words above it read only
// words in it or below it, which are swept after them.
class sweeper {
 public:
  sweeper(uint64_t *words, size_t last, work_meter &meter)
      : words_(words), last_(last), meter_(meter) {}

  // ORs the sums plus w into the words up to the reach; returns true when
  // the meter says stop.
  bool add(uint64_t w) {
    reach_ = reach_ > UINT64_MAX - w ? UINT64_MAX : reach_ + w;
    const size_t top = std::min(static_cast<size_t>(reach_ / kWordBits), last_);
    if (run_high_ > run_low_) {
      if (run_high_ <= top)
        shift_or_metered(words_, run_high_, top, w, meter_);
      if (run_low_ > 0 && !meter_.stopped())
        shift_or_metered(words_, 0, run_low_ - 1, w, meter_);
    } else {
      shift_or_metered(words_, 0, top, w, meter_);
      run_low_ = 0;
      while (run_low_ <= top && words_[run_low_] != kAllOnes)
        ++run_low_;
      run_high_ = run_low_;
      meter_.add(run_low_ / 8);
    }
    const size_t before = run_high_;
    while (run_high_ <= top && words_[run_high_] == kAllOnes)
      ++run_high_;
    while (run_low_ > 0 && run_high_ > run_low_ && words_[run_low_ - 1] == kAllOnes)
      --run_low_;
    return meter_.add((run_high_ - before) / 8 + 1);
  }

 private:
  uint64_t *words_;
  size_t last_;
  work_meter &meter_;
  uint64_t reach_ = 0;
  size_t run_low_ = 0, run_high_ = 0;  // empty while equal
};

}  // namespace

void solve_without_scratch(const uint64_t *items, size_t count, uint64_t *words, size_t written,
                           work_meter &meter) {
  std::fill_n(words, written, uint64_t{0});
  words[0] = 1;
  const uint64_t limit = static_cast<uint64_t>(written - 1) * kWordBits + (kWordBits - 1);
  // Only items within the window make sums in it; their total sets the mirror.
  uint64_t total = 0;
  for (size_t k = 0; k < count; ++k) {
    if (items[k] <= limit)
      total = total > UINT64_MAX - items[k] ? UINT64_MAX : total + items[k];
  }
  if (meter.add(count))
    return;
  const size_t last = std::min(written - 1, static_cast<size_t>(total / 2 / kWordBits));
  sweeper sweep(words, last, meter);
  value_count batch[kBatch];
  uint64_t after = 0;  // zeros add no sums
  while (true) {
    const size_t held = next_values(items, count, after, limit, batch);
    if (held == 0 || meter.add(count))
      break;
    for (size_t b = 0; b < held; ++b) {
      const uint64_t v = batch[b].value;
      uint64_t left = batch[b].copies;
      for (uint64_t times = 1; left > 0; times *= 2) {
        const uint64_t take = std::min(times, left);
        left -= take;
        if (v > limit / take)
          break;  // this many copies pass the window; the groups before cover fewer
        if (sweep.add(v * take))
          return;
      }
    }
    if (held < kBatch)
      break;  // every value was in this batch
    after = batch[held - 1].value;
  }
  if (written - 1 > last)
    mirror_upper_half(words, total, last + 1, written - 1, meter);
}

}  // namespace qern_local
