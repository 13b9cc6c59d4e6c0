// The local solver's pieces, shared between its source files: the bitset
// kernels, the stop meter, divisor reduction, residue rows and the sparse
// sums.
#pragma once

#include <sched.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "qern_types.h"

namespace qern_local {

constexpr unsigned kWordBits = 64;
constexpr uint64_t kAllOnes = ~uint64_t{0};

// The 64 bits [bit, bit + 64) of a bitset, where bits below 0 read as 0.
inline uint64_t bits_at(const uint64_t *words, int64_t bit) {
  if (bit <= -static_cast<int64_t>(kWordBits))
    return 0;
  if (bit < 0)
    return words[0] << static_cast<unsigned>(-bit);
  const size_t word = static_cast<size_t>(bit) / kWordBits;
  const unsigned shift = static_cast<unsigned>(bit) % kWordBits;
  if (shift == 0)
    return words[word];
  return (words[word] >> shift) | (words[word + 1] << (kWordBits - shift));
}

// Counts word operations and asks the stop check after every few million.
// Once the check has said stop, the meter stays stopped: every loop that adds
// to it returns as soon as add or poll answers true, and the words are then
// not to be read. (No exception: one thrown inside a module that a sanitized
// interpreter loads cannot be caught there.)
class work_meter {
 public:
  // Words swept between two asks: about a millisecond of work.
  static constexpr uint64_t kCheckEvery = uint64_t{1} << 21;

  explicit work_meter(const qern_stop *stop)
      : stop_(stop != nullptr && stop->check != nullptr ? stop : nullptr) {}

  bool active() const { return stop_ != nullptr; }

  // Returns true when the solve must end.
  bool add(uint64_t operations) {
    if (stop_ == nullptr)
      return false;
    done_ += operations;
    if (done_ >= kCheckEvery) {
      done_ = 0;
      return poll();
    }
    return stopped_;
  }

  // Asks the check now; returns true when the solve must end.
  bool poll() {
    if (stop_ != nullptr && !stopped_ && stop_->check(stop_->context) != 0) {
      stopped_ = true;
      told_to_stop_ = true;
    }
    return stopped_;
  }

  bool stopped() const { return stopped_; }

  // Ends the solve without asking the check: the check forked, and in the
  // child the solve's threads are lost with their share of the words.
  void halt() { stopped_ = true; }

  // Ended by halt() alone: the check never said stop, so a child of fork()
  // may solve again on its calling thread.
  bool halted_only() const { return stopped_ && !told_to_stop_; }

 private:
  const qern_stop *stop_;
  uint64_t done_ = 0;
  bool stopped_ = false;
  bool told_to_stop_ = false;
};

// ---- Threads (thread_budget.cpp) -------------------------------------------

// The CPUs this process may use: its affinity mask, within the smallest
// cgroup CPU quota over its cgroup and their parents. At least 1.
unsigned usable_cpus();

// The CPUs the cgroup CPU quotas allow (cpu.max in cgroup v2,
// cpu.cfs_quota_us over cpu.cfs_period_us in v1, rounded up), the smallest
// from the process's cgroup up to each hierarchy's mount, as `cgroups` (a
// /proc/self/cgroup) and `mountinfo` (a /proc/self/mountinfo) tell where to
// look; 0 when none is set or none can be read. (cpu_quota.cpp)
unsigned cgroup_cpu_limit(const char *cgroups, const char *mountinfo);

// Threads taken from the process-wide count of solver threads, which never
// passes the limit a grant is asked with: the grant holds what was free, up
// to `wanted`, perhaps 0, and gives it back when it ends. Never waits.
class thread_grant {
 public:
  thread_grant(unsigned wanted, unsigned limit);
  ~thread_grant() { give_back(count_); }
  thread_grant(const thread_grant &) = delete;
  thread_grant &operator=(const thread_grant &) = delete;

  unsigned count() const { return count_; }
  // Returns threads that were not started after all.
  void give_back(unsigned count);

 private:
  unsigned count_ = 0;
};

// One piece of a pass over words: words [low, high) of it. Never throws.
using range_task = void (*)(void *context, size_t low, size_t high);

// Runs task over [0, count) in pieces of `piece` (2 MiB of words: two threads
// seldom fault the same huge page), on up to `wanted` threads of the budget
// (within `cpus`; 0: usable_cpus()), the calling thread among them, or on the
// calling thread alone when no other is free. The meter is asked on the
// calling thread between its pieces; returns false when it stopped the pass
// (some pieces then never ran). Never throws.
constexpr size_t kSplitPiece = (size_t{2} << 20) / sizeof(uint64_t);

// The skew that puts split_on_threads' piece edges for words from `first`
// on 2 MiB boundaries of the address space: each piece then faults whole
// huge pages of its own.
inline size_t huge_page_skew(const uint64_t *first) {
  return static_cast<size_t>(reinterpret_cast<uintptr_t>(first) / sizeof(uint64_t)) % kSplitPiece;
}
bool split_on_threads(size_t count, size_t piece, unsigned wanted, work_meter &meter,
                      range_task task, void *context, unsigned cpus = 0, size_t skew = 0) noexcept;

// The same with any callable taking (low, high).
template <class Task>
bool split_on_threads(size_t count, size_t piece, unsigned wanted, work_meter &meter, Task &task,
                      unsigned cpus = 0, size_t skew = 0) noexcept {
  return split_on_threads(
      count, piece, wanted, meter,
      [](void *context, size_t low, size_t high) { (*static_cast<Task *>(context))(low, high); },
      &task, cpus, skew);
}

// Faults in the pages of words [0, count) on the calling thread before a pass
// on threads writes them first (qern_memory::populate_for_writing says why),
// 2 MiB at a time, each counted by the meter, which asks the stop check every
// 16 MiB: pages a virtual machine's host hands out for the first time came in
// at under 0.5 GB/s here. False when the meter stopped it.
bool fault_in(uint64_t *words, size_t count, work_meter &meter);

// Where a solve's new threads first run: each on a CPU of its own from the
// starting thread's mask, the one the starter runs on last. A scheduler that
// packs threads onto few CPUs (guests of some hypervisors do) otherwise
// queues a new thread behind its starter until the next tick, 3-4 ms later,
// which is as long as many whole solves (qern_paths_bench --thread-start).
// Once running, each thread takes back the whole mask, so that the scheduler
// balances it as any other.
class thread_placement {
 public:
  thread_placement() noexcept;
  thread_placement(const thread_placement &) = delete;
  thread_placement &operator=(const thread_placement &) = delete;

  // The starter, right after starting its nth thread (from 0): a starter
  // that works beside its threads starts fewer than the mask's CPUs, and so
  // never shares its own. The thread is still alive here, held in widen():
  // the mask of one that had ended would land on the starter itself.
  void steer(std::thread &started, unsigned nth) const noexcept;
  // The starter, once it has started (or failed to start) all its threads.
  // Never left out: each thread waits for it in widen().
  void let_go() noexcept;
  // A started thread, before anything else.
  void widen() const noexcept;

 private:
  cpu_set_t all_;
  int here_ = -1;  // the starter's CPU; -1: threads are left to the scheduler
  std::atomic<bool> let_go_{false};
};

// Faults the pages of words [0, count) on a thread of its own while the
// calling thread goes on, so that the kernel clears them beside the caller's
// work rather than when the caller first writes them: the words a spread
// writes on one thread once a smaller problem (packed residue rows, the items
// divided by their divisor) is solved, and the upper half of a dense answer
// while a sweep that stays on one thread solves the lower half. Starts only
// when the budget
// (within `cpus`; 0: usable_cpus()) has room for it beside the caller; the
// words' values are not kept. finish() (or the destructor) ends and joins the
// thread; in a child of fork() it leaves it, as it does not exist there.
class page_toucher {
 public:
  page_toucher(uint64_t *words, size_t count, unsigned cpus = 0) noexcept;
  ~page_toucher() { finish(); }
  page_toucher(const page_toucher &) = delete;
  page_toucher &operator=(const page_toucher &) = delete;

  bool started() const { return thread_.joinable(); }
  // True once the thread has touched its last page (or stopped): finish()
  // then only joins it.
  bool done() const { return done_.load(std::memory_order_acquire); }
  // Stops touching where it is, waits for the thread and gives its place in
  // the budget back.
  void finish() noexcept;

 private:
  thread_grant grant_;
  thread_placement placement_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> done_{false};
  std::thread thread_;
  int owner_ = 0;  // the process that started the thread
};

// Solver threads running in this process now (tests watch the budget).
unsigned threads_running();

// Lets go of a solver thread's handle in a child of fork(), where the thread
// does not exist: neither joined nor detached, since the child may already
// have started threads of its own on the lost one's descriptor, and
// detaching that one fails or frees it under them. The handle is never
// destroyed (its destructor would end the process); it holds nothing else.
inline void let_go_after_fork(std::thread &lost) noexcept {
  union forgotten {
    explicit forgotten(std::thread &&from) : thread(std::move(from)) {}
    ~forgotten() {}
    std::thread thread;
  } handle(std::move(lost));
}

// How a dense sweep may use threads: `wanted` of them (0 or 1: none),
// only when it spans at least `min_words` words, each handing on its work in
// pieces of `piece_blocks` blocks of eight words, the process's solver
// threads kept within `cpus` (0: usable_cpus()). Tests lower min_words and
// piece_blocks to reach the boundaries on small bitsets, and raise cpus to
// run more threads than this machine has.
struct sweep_threads {
  // Below about 2 MiB of swept words a second thread costs more than it saves
  // (bench/bench.py, the threads table).
  static constexpr size_t kMinWords = size_t{1} << 18;
  // An item's thread starts once the item before is a piece or two below
  // the top, and waits whenever it catches up: pieces of 2^11 blocks (128
  // KiB) took dense uniform from 1.31x to 1.41x against 2^12, the other
  // dense families within noise (qern_paths_bench --solve-in-place).
  static constexpr size_t kPieceBlocks = size_t{1} << 11;

  // The pipeline hands every item from thread to thread, a few microseconds
  // each: it starts once an item computed this many blocks (neither full nor
  // with empty sources) on the calling thread, and gives the rest back once
  // items compute an eighth of that. 8,000 items of 2^14-2^16 (a 41 MB
  // answer, about a hundred blocks and a microsecond an item once the middle
  // is full) took 1.7 times as long on two threads as on one.
  static constexpr size_t kMinItemBlocks = size_t{1} << 11;

  unsigned wanted = 1;
  size_t min_words = kMinWords;
  size_t min_item_blocks = kMinItemBlocks;  // 0: from the first item on, to the last
  size_t piece_blocks = kPieceBlocks;
  unsigned cpus = 0;
  // A thread faulting pages beside the sweep, or null: once it is done, the
  // sweep joins it between two items, and its place in the budget can go to
  // the sweep's own threads.
  page_toucher *toucher = nullptr;
  // After the threads gave items back, the calling thread tries them again
  // this long after: a machine busy for a moment does not keep a long sweep
  // on one thread. Negative: never.
  static constexpr int64_t kRetryAfterNs = 100'000'000;
  int64_t retry_after_ns = kRetryAfterNs;
  // For tests: the pipeline gives the items from this one on back to the
  // calling thread, as it does when its threads stall (and then never on a
  // stall), and writes how many it gave back to *given_back, if set.
  size_t give_back_at = SIZE_MAX;
  size_t *given_back = nullptr;
  unsigned *pipelines = nullptr;  // for tests: counts the pipelines run
  // For tests: every pipeline gives back at its own item j (counted from
  // the first it was given), and none when its threads wait.
  size_t each_gives_back_at = SIZE_MAX;
  bool judge_waits = true;
};

// ---- Shift-or (shift_kernels.cpp) -----------------------------------------------

// ORs (bits << shift) into bits over the words [low, top], in place, from the
// top down, so each item is used at most once. One sweep, no stop check.
void shift_or_words(uint64_t *bits, size_t low, size_t top, uint64_t shift);

// The same sweep in pieces of about a million words, asking the meter between
// them. Pieces go from the top down, as the sweep itself does.
void shift_or_metered(uint64_t *bits, size_t low, size_t top, uint64_t shift, work_meter &meter);

// ---- Dense sweep (block_sweep.cpp) and mirror (mirror.cpp) -----------------

// The words [0, n) a sweep of the items (ascending) over words [0, last]
// writes, from bitsets that reach `reach`: up to the sums of those that reach
// the words. Below sweep_threads::min_words of them the sweep stays on one
// thread.
size_t swept_words(const uint64_t *items, size_t count, uint64_t reach, size_t last);

// ORs the items (ascending, non-zero) into the bitset in words [0, last],
// which already holds the sums of items totalling `reach`, skipping every
// block of eight words that is already full or whose sources are empty.
// Runs the widest kernel the CPU has, or the portable one when asked (tests
// check it on CPUs that would never choose it). Big sweeps run on threads
// as `threads` allows; the meter is then asked on the calling thread alone.
void sweep_items_by_blocks(const uint64_t *items, size_t count, uint64_t *words, size_t last,
                           uint64_t reach, work_meter &meter, bool portable = false,
                           const sweep_threads &threads = sweep_threads{});

// How much of the pipeline threads' time went to waits for one another that
// ended in sleep, older waits counting less and less (they fade by e every
// kFadeNs). On an idle machine such waits are rare. When another process
// keeps a CPU busy, the thread of the item before loses its CPU at nearly
// every hand: with one such process on two CPUs, 1,168 items of 2^18-2^19
// (a 57 MiB answer) slept over 1,000 times for about 130 us each, and took
// 150 ms against 33 ms on one thread.
class pipeline_waits {
 public:
  static constexpr double kFadeNs = 100e6;
  // Judged only from the third wait and 4 ms on: a thread's start, or one
  // long wait, is not a busy machine.
  static constexpr unsigned kWaitsToJudge = 3;
  static constexpr int64_t kJudgedFromNs = 4'000'000;
  // Waits that took this share of the time of every thread.
  static constexpr double kGiveBackShare = 0.25;

  // Counts a wait of `waited_ns` that ended at `now_ns` (since the pipeline
  // started); true once the waits call for giving the items back.
  bool note(int64_t now_ns, int64_t waited_ns, unsigned workers);

 private:
  double time_ns_ = 0;
  double waited_ns_ = 0;
  int64_t last_ns_ = 0;
  unsigned waits_ = 0;
};

// The mirror's kernels: the widest the CPU runs, or one named (tests check
// each one the CPU runs).
enum class mirror_kernel { widest, portable, avx2, avx512 };
bool mirror_kernel_runs(mirror_kernel kernel);

// Sum s is reachable exactly when total - s is: writes the words [first, last]
// (whatever they held) from the mirrored bits below them, all known, on up to
// `threads` threads when they are many, the process's solver threads kept
// within `cpus` (0: usable_cpus()).
void mirror_upper_half(uint64_t *bits, uint64_t total, size_t first, size_t last, work_meter &meter,
                       mirror_kernel kernel = mirror_kernel::widest, unsigned threads = 1,
                       unsigned cpus = 0);

// ---- Divisor reduction (divisor_reduction.cpp) -----------------------------

// The bitset of the reduced sums sits in words [0, reduced_words); writes the
// words [0, out_words) with bit g*s set for every reduced bit s, from the top
// down, in place. g >= 2. Uses BMI2's deposit when the CPU has it, unless
// the portable version is asked for.
void spread_multiples(uint64_t *words, size_t out_words, size_t reduced_words, uint64_t g,
                      work_meter &meter, bool portable = false);

// ---- Residue rows (residue_rows.cpp) ----------------------------------------

// Every item is `residue` plus a multiple of `stride`, and a sum of any number
// of items keeps its columns (multiples of the residue) below `packed`, at
// most half the stride: the sums are rows of `stride` bits, row t at bit
// stride*t, each empty from column `packed` on. stride == 0: no such rows.
struct residue_rows {
  uint64_t stride;
  uint64_t packed;
  uint64_t residue;
  uint64_t last_row;      // the highest row the window reaches
  uint64_t packed_limit;  // the highest packed sum those rows need
};

// The rows of the items (ascending, non-zero, gcd 1) in a window whose
// highest sum is limit, when packing them at least halves the words.
residue_rows find_residue_rows(const uint64_t *items, size_t count, uint64_t limit);

// Rewrites each item residue + stride*k as residue + packed*k.
void pack_items(uint64_t *items, size_t count, const residue_rows &rows);

// The packed rows' sums sit in the low words; moves row t from bit packed*t
// to bit stride*t and clears the rest of every row, within the words
// [0, out_words), in place; words above the packed rows' last (packed_limit)
// that are `zeroed` are not cleared again. The rows whose new places lie
// above all the packed rows still to move go on up to `threads` threads
// (within `cpus`; 0: usable_cpus()) in pieces of `piece` words, while they
// span `min_words`; tests lower both to reach the edges on small bitsets.
void spread_rows(uint64_t *words, size_t out_words, const residue_rows &rows, work_meter &meter,
                 bool zeroed = false, unsigned threads = 1, unsigned cpus = 0,
                 size_t min_words = sweep_threads::kMinWords, size_t piece = kSplitPiece);

// ---- Without scratch memory (scratch_free.cpp) -------------------------------

// Writes the words [0, written) (written > 0) for the items in the caller's
// order, only read, allocating nothing: for when scratch memory ran out.
void solve_without_scratch(const uint64_t *items, size_t count, uint64_t *words, size_t written,
                           work_meter &meter);

// ---- Sparse sums (sparse_sums.cpp) ------------------------------------------

// Follows the sums of the items (ascending, non-zero) as a sorted array while
// it stays small next to the words it spans. Returns the number of items
// taken. When all are taken the words [0, written) hold the answer, each
// written once; otherwise the words [0, last] hold the sums of the items taken
// and the words above last are not yet written.
// Long runs of empty words are cleared on up to `threads` threads, within
// `cpus` as the mirror's, or left alone when the words are `zeroed` already
// and every item is taken.
size_t solve_sparse(const uint64_t *items, size_t count, uint64_t *words, size_t written,
                    size_t last, work_meter &meter, unsigned threads = 1, unsigned cpus = 0,
                    bool zeroed = false);

// True when so few items cannot have many sums next to the words: the sorted
// array is then the cheapest path whatever divisor the items share.
bool sums_stay_few(size_t count, size_t written);

}  // namespace qern_local
