// The dense sweep with a summary of every block of eight words: empty, full
// or mixed. An item skips each destination block that is already full, and
// each one whose source blocks are empty, wherever they lie: sums that form
// layers with gaps (items of narrow spread) leave many of both.
#include <immintrin.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "local_solver.h"

namespace qern_local {
namespace {

constexpr size_t kBlock = 8;  // words per block, one 64-byte vector
enum : uint8_t { kEmpty = 0, kMixed = 1, kFull = 2 };
constexpr uint64_t kEightFull = 0x0202020202020202ull;
// Words below the block being swept that are fetched ahead: the sweep runs
// down through memory, and fetching in that direction alone keeps too few
// lines on the way.
constexpr size_t kAhead = 512;

uint8_t classify_words(const uint64_t *words, size_t count) {
  uint64_t any = 0, all = kAllOnes;
  for (size_t k = 0; k < count; ++k) {
    any |= words[k];
    all &= words[k];
  }
  return all == kAllOnes ? kFull : any == 0 ? kEmpty : kMixed;
}

// ORs the shifted sources into the eight words at target (high: the words
// word_shift below it; below: one word lower still) and classifies the result.
// One version per instruction set, with the whole block in registers.
[[gnu::always_inline]] inline uint8_t or_block_portable(uint64_t *target, const uint64_t *high,
                                                        unsigned bit_shift) {
  // Every source word is read before any target word is written: they
  // overlap when the shift is below eight words.
  uint64_t shifted[kBlock];
  for (size_t k = 0; k < kBlock; ++k) {
    shifted[k] = high[k] << bit_shift;
    if (bit_shift != 0)
      shifted[k] |= high[k - 1] >> (kWordBits - bit_shift);
  }
  uint64_t any = 0, all = kAllOnes;
  for (size_t k = 0; k < kBlock; ++k) {
    target[k] |= shifted[k];
    any |= target[k];
    all &= target[k];
  }
  return all == kAllOnes ? kFull : any == 0 ? kEmpty : kMixed;
}

[[gnu::target("avx2"), gnu::always_inline]] inline uint8_t or_block_avx2(uint64_t *target,
                                                                         const uint64_t *high,
                                                                         unsigned bit_shift) {
  auto *out = reinterpret_cast<__m256i *>(target);
  const auto *in = reinterpret_cast<const __m256i *>(high);
  __m256i shifted0 = _mm256_loadu_si256(in);
  __m256i shifted1 = _mm256_loadu_si256(in + 1);
  if (bit_shift != 0) {
    const auto *below = reinterpret_cast<const __m256i *>(high - 1);
    const __m128i up = _mm_cvtsi32_si128(static_cast<int>(bit_shift));
    const __m128i down = _mm_cvtsi32_si128(static_cast<int>(kWordBits - bit_shift));
    shifted0 = _mm256_or_si256(_mm256_sll_epi64(shifted0, up),
                               _mm256_srl_epi64(_mm256_loadu_si256(below), down));
    shifted1 = _mm256_or_si256(_mm256_sll_epi64(shifted1, up),
                               _mm256_srl_epi64(_mm256_loadu_si256(below + 1), down));
  }
  const __m256i value0 = _mm256_or_si256(_mm256_loadu_si256(out), shifted0);
  const __m256i value1 = _mm256_or_si256(_mm256_loadu_si256(out + 1), shifted1);
  _mm256_storeu_si256(out, value0);
  _mm256_storeu_si256(out + 1, value1);
  const __m256i all = _mm256_and_si256(value0, value1);
  const __m256i any = _mm256_or_si256(value0, value1);
  if (_mm256_testc_si256(all, _mm256_set1_epi64x(-1)))
    return kFull;
  return _mm256_testz_si256(any, any) ? kEmpty : kMixed;
}

[[gnu::target("avx512f"), gnu::always_inline]] inline uint8_t or_block_avx512(uint64_t *target,
                                                                              const uint64_t *high,
                                                                              unsigned bit_shift) {
  // The zero-masking forms: GCC 12's plain ones read an undefined register.
  constexpr __mmask8 kAllLanes = 0xFF;
  __m512i shifted = _mm512_loadu_si512(high);
  if (bit_shift != 0) {
    const __m128i up = _mm_cvtsi32_si128(static_cast<int>(bit_shift));
    const __m128i down = _mm_cvtsi32_si128(static_cast<int>(kWordBits - bit_shift));
    shifted =
        _mm512_or_si512(_mm512_maskz_sll_epi64(kAllLanes, shifted, up),
                        _mm512_maskz_srl_epi64(kAllLanes, _mm512_loadu_si512(high - 1), down));
  }
  const __m512i value = _mm512_or_si512(_mm512_loadu_si512(target), shifted);
  _mm512_storeu_si512(target, value);
  if (_mm512_cmpneq_epi64_mask(value, _mm512_set1_epi64(-1)) == 0)
    return kFull;
  return _mm512_test_epi64_mask(value, value) == 0 ? kEmpty : kMixed;
}

// One item over the destination blocks [low_block, top_block], never touching
// a word at or beyond end_word. Blocks go from the top down, and a block's
// sources are read before it is written, so the item is used at most once;
// the source blocks' states are those from before this item, as no block
// below the one being written has been written yet. Returns the number of
// blocks computed.
// The sweep below is built once per instruction set, each with its block
// operation inlined: a macro, as a template's body would keep the default
// target.
#define DEFINE_SWEEP_BLOCKS(NAME, ATTRIBUTES, OR_BLOCK)                                       \
  ATTRIBUTES size_t NAME(uint64_t *bits, uint8_t *states, size_t low_block, size_t top_block, \
                         size_t end_word, uint64_t shift) {                                   \
    const size_t word_shift = static_cast<size_t>(shift / kWordBits);                         \
    const unsigned bit_shift = shift % kWordBits;                                             \
    size_t computed = 0;                                                                      \
    size_t b = top_block + 1;                                                                 \
    while (b-- > low_block) {                                                                 \
      const size_t first = b * kBlock;                                                        \
      if (first + kBlock - 1 < word_shift)                                                    \
        break; /* this block's sources, and those of every block below, are below 0 */        \
      if (states[b] == kFull) {                                                               \
        /* Skip whole groups of eight full blocks at once. */                                 \
        while (b >= low_block + kBlock) {                                                     \
          uint64_t group;                                                                     \
          memcpy(&group, states + b - kBlock, sizeof group);                                  \
          if (group != kEightFull)                                                            \
            break;                                                                            \
          b -= kBlock;                                                                        \
        }                                                                                     \
        continue;                                                                             \
      }                                                                                       \
      const size_t source_high = (first + kBlock - 1 - word_shift) / kBlock;                  \
      const size_t source_low = first > word_shift ? (first - word_shift - 1) / kBlock : 0;   \
      if (states[source_high] == kEmpty && states[source_low] == kEmpty)                      \
        continue;                                                                             \
      ++computed;                                                                             \
      if (first > word_shift && first + kBlock <= end_word) {                                 \
        if (states[source_high] == kFull && states[source_low] == kFull) {                    \
          /* Every source bit is set (the carry word too): so is every target */              \
          /* bit, written without reading a word. */                                          \
          std::fill_n(bits + first, kBlock, kAllOnes);                                        \
          states[b] = kFull;                                                                  \
          continue;                                                                           \
        }                                                                                     \
        if (first >= word_shift + kAhead) {                                                   \
          __builtin_prefetch(bits + first - word_shift - kAhead, 0);                          \
          __builtin_prefetch(bits + first - kAhead, 1);                                       \
        }                                                                                     \
        states[b] = OR_BLOCK(bits + first, bits + first - word_shift, bit_shift);             \
        continue;                                                                             \
      }                                                                                       \
      /* A block at either end: word by word. */                                              \
      const size_t end = std::min(first + kBlock, end_word);                                  \
      for (size_t i = end; i-- > first && i >= word_shift;) {                                 \
        const size_t from = i - word_shift;                                                   \
        uint64_t shifted = bits[from] << bit_shift;                                           \
        if (bit_shift != 0 && from > 0)                                                       \
          shifted |= bits[from - 1] >> (kWordBits - bit_shift);                               \
        bits[i] |= shifted;                                                                   \
      }                                                                                       \
      states[b] = classify_words(bits + first, end - first);                                  \
    }                                                                                         \
    return computed;                                                                          \
  }

DEFINE_SWEEP_BLOCKS(sweep_blocks_portable, , or_block_portable)
DEFINE_SWEEP_BLOCKS(sweep_blocks_avx2, [[gnu::target("avx2")]], or_block_avx2)
DEFINE_SWEEP_BLOCKS(sweep_blocks_avx512, [[gnu::target("avx512f")]], or_block_avx512)

using sweep_kernel = size_t (*)(uint64_t *, uint8_t *, size_t, size_t, size_t, uint64_t);

// The widest version the CPU runs, or the portable one when asked.
sweep_kernel pick_sweep_kernel(bool portable) {
  if (portable)
    return sweep_blocks_portable;
  if (__builtin_cpu_supports("avx512f"))
    return sweep_blocks_avx512;
  if (__builtin_cpu_supports("avx2"))
    return sweep_blocks_avx2;
  return sweep_blocks_portable;
}

// Sweeps the blocks [low, top] in pieces of about a million words, from the
// top down, with the stop check between them. Returns the number of blocks
// computed (neither full nor with empty sources).
size_t sweep_range(sweep_kernel sweep, uint64_t *words, uint8_t *states, size_t low, size_t top,
                   size_t end_word, uint64_t w, work_meter &meter) {
  constexpr size_t kPiece = size_t{1} << 17;
  size_t piece_top = top, all_computed = 0;
  while (true) {
    const size_t piece_low = piece_top - low >= kPiece ? piece_top - kPiece + 1 : low;
    const size_t computed = sweep(words, states, piece_low, piece_top, end_word, w);
    all_computed += computed;
    if (meter.add((piece_top - piece_low) / 8 + computed * kBlock + 1) || piece_low == low)
      return all_computed;
    piece_top = piece_low - 1;
  }
}

// ---- Threads: a pipeline over the items --------------------------------------
//
// One item's sweep cannot be split between threads: a block's sources are
// blocks below it that the same item writes later. Items go to the threads in
// turn instead, and each thread sweeps its item from the top down in pieces,
// trailing the thread of the item before: it sweeps a piece once that item is
// done with every block from the piece's lowest source up. So every block
// an item reads or writes already holds all earlier items and none later,
// exactly as in the sweep on one thread, and no block is touched by two
// threads at once. A thread publishes how far down its item is done through
// an atomic, the acquire/release pair that hands the blocks on.

struct pipeline {
  sweep_kernel sweep;
  uint64_t *words;
  uint8_t *states;
  size_t end_word;
  const uint64_t *items;
  const size_t *tops;  // the highest block each item writes
  size_t count;
  size_t piece;
  size_t blocks;
  // Per piece (blocks [p * piece, (p + 1) * piece)): 1 once every block in it
  // is full. Blocks never leave full, so any later item skips such a piece
  // without reading or writing it, and without waiting for the item before:
  // what the single-threaded sweep gets from its run of full blocks.
  std::unique_ptr<std::atomic<uint8_t>[]> full;
  // Per item: every block from done[k] up holds item k (all of them once 0).
  std::unique_ptr<std::atomic<size_t>[]> done;
  // Per item: kPending until its thread takes it (kTaken) or the pipeline
  // gives it back to the calling thread (kGivenBack). Items are given back
  // from the last down to the first one taken, so those given back are
  // always the items [given_back_from, count).
  std::unique_ptr<std::atomic<uint8_t>[]> claim;
  std::atomic<bool> giving_back{false};
  size_t given_back_from = 0;  // written by the thread giving back; read after joining
  // The threads' waits for one another. A thread waits at most once every
  // 100 us, so a lock costs nothing here.
  std::mutex wait_lock;
  pipeline_waits waits;
  std::chrono::steady_clock::time_point started;  // set before the threads run
  size_t give_back_at = SIZE_MAX;  // for tests: give back when item k is reached, and only then
  bool judge_waits = true;         // for tests: false keeps the threads however they wait
  // Items that compute fewer blocks than this are cheap: the hand from
  // thread to thread costs more than the second thread saves on them. After
  // kCheapItemsToGiveBack in a row, the rest go back to the calling thread.
  size_t cheap_blocks = 0;
  std::atomic<unsigned> cheap_in_a_row{0};
  std::atomic<unsigned> workers{0};  // 0 until every thread is started
  std::atomic<bool> stop{false};
  thread_placement placement;
  std::mutex finished_lock;
  std::condition_variable finished_changed;
  unsigned finished = 0;
};

// How long a thread of the pipeline spins for the item before it to move on
// before it sleeps. Items hand on every few tens of microseconds, and a
// thread woken from sleep may wait for a CPU until the next tick, 4 ms, on
// schedulers that pack threads (see thread_placement).
constexpr auto kSpinBeforeSleep = std::chrono::microseconds(100);

// How often the calling thread wakes to ask the stop check while the
// pipeline sweeps. Each wake takes a CPU from a pipeline thread, which the
// thread of the next item then waits for: asked every millisecond, a stop
// check that only returned 0 cost `dense narrow` 16.4 ms against 13.9 ms
// without one; every 20 ms, 13.4-14.1 ms (qern_paths_bench --solve-in-place,
// two threads). Ctrl-C still ends the solve within a second.
constexpr auto kAskEvery = std::chrono::milliseconds(20);

constexpr unsigned kCheapItemsToGiveBack = 8;

constexpr uint8_t kPending = 0;
constexpr uint8_t kTaken = 1;
constexpr uint8_t kGivenBack = 2;

// Gives back every item no thread has taken yet, from the last down; once.
void give_back_the_rest(pipeline &line) {
  if (line.giving_back.exchange(true, std::memory_order_acq_rel))
    return;
  size_t k = line.count;
  for (; k > 0; --k) {
    uint8_t pending = kPending;
    if (!line.claim[k - 1].compare_exchange_strong(pending, kGivenBack, std::memory_order_acq_rel))
      break;
  }
  line.given_back_from = k;
}

// Counts a wait of `waited` that ended in sleep at `now`; gives the items
// back once the threads wait too much.
void note_wait(pipeline &line, std::chrono::steady_clock::duration waited,
               std::chrono::steady_clock::time_point now) {
  using std::chrono::nanoseconds;
  bool give_back;
  {
    std::lock_guard<std::mutex> hold(line.wait_lock);
    give_back = line.waits.note(std::chrono::duration_cast<nanoseconds>(now - line.started).count(),
                                std::chrono::duration_cast<nanoseconds>(waited).count(),
                                line.workers.load(std::memory_order_relaxed));
  }
  if (give_back && line.judge_waits && line.give_back_at == SIZE_MAX)
    give_back_the_rest(line);
}

// True once `value` is no longer `seen`; false after kSpinBeforeSleep.
bool spin_while(const std::atomic<size_t> &value, size_t seen) {
  const auto until = std::chrono::steady_clock::now() + kSpinBeforeSleep;
  for (unsigned i = 1;; ++i) {
    _mm_pause();
    if (value.load(std::memory_order_acquire) != seen)
      return true;
    if (i % 64 == 0 && std::chrono::steady_clock::now() >= until)
      return false;
  }
}

// Waits until item k is done from block `need` up; false when the sweep stops
// instead. Whoever abandons an item marks it done, so no wait outlives a stop.
bool wait_until_done(pipeline &line, size_t k, size_t need) {
  std::chrono::steady_clock::time_point from;
  bool slept = false;
  while (true) {
    const size_t seen = line.done[k].load(std::memory_order_acquire);
    if (line.stop.load(std::memory_order_acquire))
      return false;
    if (seen <= need)
      break;
    if (from == std::chrono::steady_clock::time_point{})
      from = std::chrono::steady_clock::now();
    if (!spin_while(line.done[k], seen)) {
      slept = true;
      line.done[k].wait(seen, std::memory_order_acquire);
    }
  }
  if (slept) {
    const auto now = std::chrono::steady_clock::now();
    note_wait(line, now - from, now);
  }
  return true;
}

void mark_done(pipeline &line, size_t k, size_t from) {
  line.done[k].store(from, std::memory_order_release);
  line.done[k].notify_all();
}

// True when every block in [low, top] is full.
bool all_full(const uint8_t *states, size_t low, size_t top) {
  size_t b = low;
  for (; b + kBlock <= top + 1; b += kBlock) {
    uint64_t group;
    memcpy(&group, states + b, sizeof group);
    if (group != kEightFull)
      return false;
  }
  for (; b <= top; ++b) {
    if (states[b] != kFull)
      return false;
  }
  return true;
}

// The items first, first + workers, ...: each, piece by piece, behind the
// item before it. Nothing here throws.
void run_worker(pipeline &line, unsigned first) noexcept {
  line.placement.widen();
  unsigned workers;
  while ((workers = line.workers.load(std::memory_order_acquire)) == 0)
    line.workers.wait(0, std::memory_order_acquire);
  size_t k = first;
  for (; k < line.count; k += workers) {
    if (k == line.give_back_at)
      give_back_the_rest(line);
    uint8_t pending = kPending;
    if (!line.claim[k].compare_exchange_strong(pending, kTaken, std::memory_order_acq_rel))
      break;  // given back, and every later item with it
    const size_t word_shift = static_cast<size_t>(line.items[k] / kWordBits);
    size_t piece_top = line.tops[k];
    size_t computed = 0;
    bool stopped = false;
    while (true) {
      // Pieces lie at multiples of line.piece, the same for every item; an
      // item's first may be cut at its top.
      const size_t p = piece_top / line.piece;
      const size_t piece_low = p * line.piece;
      const bool whole = piece_top + 1 == std::min(piece_low + line.piece, line.blocks);
      if (!whole || line.full[p].load(std::memory_order_acquire) == 0) {
        const size_t first_word = piece_low * kBlock;
        const size_t need = first_word > word_shift ? (first_word - word_shift - 1) / kBlock : 0;
        if ((k > 0 && !wait_until_done(line, k - 1, need)) ||
            line.stop.load(std::memory_order_acquire)) {
          stopped = true;
          break;
        }
        computed +=
            line.sweep(line.words, line.states, piece_low, piece_top, line.end_word, line.items[k]);
        // A cut piece's blocks above the item's top may be another thread's.
        if (whole && all_full(line.states, piece_low, piece_top))
          line.full[p].store(1, std::memory_order_release);
      }
      mark_done(line, k, piece_low);
      if (piece_low == 0)
        break;
      piece_top = piece_low - 1;
    }
    if (stopped)
      break;
    if (computed >= line.cheap_blocks) {
      line.cheap_in_a_row.store(0, std::memory_order_relaxed);
    } else if (line.cheap_in_a_row.fetch_add(1, std::memory_order_relaxed) + 1 ==
                   kCheapItemsToGiveBack &&
               line.give_back_at == SIZE_MAX) {
      give_back_the_rest(line);
    }
  }
  // Stopped or given back: release whoever waits on this thread's items.
  for (; k < line.count; k += workers)
    mark_done(line, k, 0);
  std::lock_guard<std::mutex> hold(line.finished_lock);
  ++line.finished;
  line.finished_changed.notify_all();
}

// What sweep_on_threads returns when it could not start: no memory for its
// records, or no thread.
constexpr size_t kNoPipeline = SIZE_MAX;

// Sweeps the items (ascending, each reaching the words) on up to `wanted`
// threads while the calling thread asks the meter every kAskEvery. Returns
// how many of the first items were swept: all of them (or the solve
// stopped), fewer when the threads gave the rest back; kNoPipeline when it
// could not start. Never throws.
size_t sweep_on_threads(sweep_kernel sweep, const uint64_t *items, size_t count, uint64_t *words,
                        uint8_t *states, size_t end_word, size_t last, uint64_t reach, size_t piece,
                        unsigned wanted, size_t cheap_blocks, size_t give_back_at, bool judge_waits,
                        work_meter &meter) noexcept {
  pipeline line;
  std::unique_ptr<size_t[]> tops(new (std::nothrow) size_t[count]);
  line.done.reset(new (std::nothrow) std::atomic<size_t>[count]);
  line.claim.reset(new (std::nothrow) std::atomic<uint8_t>[count]);
  line.piece = std::max<size_t>(piece, 1);
  line.blocks = (end_word + kBlock - 1) / kBlock;
  const size_t pieces = (line.blocks + line.piece - 1) / line.piece;
  line.full.reset(new (std::nothrow) std::atomic<uint8_t>[pieces]);
  std::unique_ptr<std::thread[]> threads(new (std::nothrow) std::thread[wanted]);
  if (!tops || !line.done || !line.claim || !line.full || !threads)
    return kNoPipeline;
  // Pieces already full (the sweep may start after items swept on the
  // calling thread) are skipped from the first item on.
  for (size_t p = 0; p < pieces; ++p) {
    const size_t low = p * line.piece;
    const size_t top = std::min(low + line.piece, line.blocks) - 1;
    line.full[p].store(all_full(states, low, top) ? 1 : 0, std::memory_order_relaxed);
  }
  for (size_t k = 0; k < count; ++k) {
    reach = reach > UINT64_MAX - items[k] ? UINT64_MAX : reach + items[k];
    tops[k] = std::min(static_cast<size_t>(reach / kWordBits), last) / kBlock;
    line.done[k].store(tops[k] + 1, std::memory_order_relaxed);  // nothing above is written
    line.claim[k].store(kPending, std::memory_order_relaxed);
  }
  line.give_back_at = give_back_at;
  line.cheap_blocks = cheap_blocks;
  line.judge_waits = judge_waits;
  line.sweep = sweep;
  line.words = words;
  line.states = states;
  line.end_word = end_word;
  line.items = items;
  line.tops = tops.get();
  line.count = count;
  unsigned started = 0;
  for (; started < wanted; ++started) {
    try {
      threads[started] = std::thread(run_worker, std::ref(line), started);
      line.placement.steer(threads[started], started);
    } catch (const std::exception &) {  // out of threads or memory: fewer do
      break;
    }
  }
  line.placement.let_go();
  if (started == 0)
    return kNoPipeline;
  line.started = std::chrono::steady_clock::now();
  line.workers.store(started, std::memory_order_release);
  line.workers.notify_all();
  const pid_t solving = getpid();
  bool forked = false;
  {
    std::unique_lock<std::mutex> hold(line.finished_lock);
    bool ask_now = true;  // as the threads start, then every kAskEvery
    while (line.finished < started) {
      if (!meter.active()) {
        line.finished_changed.wait(hold);
        continue;
      }
      if (!ask_now) {
        line.finished_changed.wait_for(hold, kAskEvery);
        if (line.finished == started || line.stop.load(std::memory_order_relaxed))
          continue;
      }
      ask_now = false;
      hold.unlock();
      const bool stop_now = meter.poll();
      // A stop check that forked (a signal handler may): in the child the
      // threads are gone, and the sweep with them. The lock is not taken
      // again there: a thread may have held it at the fork, for ever.
      forked = getpid() != solving;
      if (forked)
        break;
      hold.lock();
      if (stop_now)
        line.stop.store(true, std::memory_order_release);
    }
  }
  for (unsigned t = 0; t < started; ++t) {
    if (forked) {
      let_go_after_fork(threads[t]);  // no thread to join in this process
    } else {
      threads[t].join();
    }
  }
  if (forked)
    meter.halt();  // the words are not to be read
  if (forked || line.stop.load(std::memory_order_relaxed) || !line.giving_back.load())
    return count;
  return line.given_back_from;
}

}  // namespace

bool pipeline_waits::note(int64_t now_ns, int64_t waited_ns, unsigned workers) {
  // Threads note their waits in any order: a wait that ended before the last
  // one noted adds no time.
  const double since = now_ns > last_ns_ ? static_cast<double>(now_ns - last_ns_) : 0.0;
  // The time since, faded as it passed; a wait, at once.
  const double kept = std::exp(-since / kFadeNs);
  time_ns_ = time_ns_ * kept + kFadeNs * (1 - kept);
  waited_ns_ = waited_ns_ * kept + static_cast<double>(waited_ns);
  last_ns_ = std::max(last_ns_, now_ns);
  ++waits_;
  return workers > 0 && waits_ >= kWaitsToJudge && now_ns >= kJudgedFromNs &&
         waited_ns_ >= kGiveBackShare * time_ns_ * workers;
}

size_t swept_words(const uint64_t *items, size_t count, uint64_t reach, size_t last) {
  for (size_t k = 0; k < count && items[k] / kWordBits <= last; ++k)
    reach = reach > UINT64_MAX - items[k] ? UINT64_MAX : reach + items[k];
  return static_cast<size_t>(std::min<uint64_t>(reach / kWordBits, last)) + 1;
}

// Besides the per-block states, one run of full blocks [run_low, run_high) is
// kept and stepped over without looking at its states: in dense sums the run
// covers most of the middle.
void sweep_items_by_blocks(const uint64_t *items, size_t count, uint64_t *words, size_t last,
                           uint64_t reach, work_meter &meter, bool portable,
                           const sweep_threads &threads) {
  const size_t end_word = last + 1;
  const size_t blocks = (end_word + kBlock - 1) / kBlock;
  // The words hold no sum above reach: the blocks past it are empty unread.
  std::vector<uint8_t> states(blocks, kEmpty);
  const size_t reached =
      static_cast<size_t>(std::min<uint64_t>(reach / kWordBits, last)) / kBlock + 1;
  auto classify = [&states, words, end_word](size_t low, size_t high) {
    for (size_t b = low; b < high; ++b)
      states[b] = classify_words(words + b * kBlock, std::min(kBlock, end_word - b * kBlock));
  };
  if (threads.wanted > 1 && reached * kBlock >= threads.min_words) {
    if (!split_on_threads(reached, kSplitPiece / kBlock, threads.wanted, meter, classify,
                          threads.cpus))
      return;
  } else {
    // A piece at a time, each counted by the meter: the blocks may span
    // hundreds of megabytes, and the stop check is asked on the way.
    constexpr size_t kPiece = kSplitPiece / kBlock;
    for (size_t low = 0; low < reached; low += kPiece) {
      const size_t high = std::min(reached, low + kPiece);
      classify(low, high);
      if (meter.add((high - low) * 2))
        return;
    }
  }
  const sweep_kernel sweep = pick_sweep_kernel(portable);
  size_t reaching = 0;  // ascending: the items that reach the words come first
  while (reaching < count && items[reaching] / kWordBits <= last)
    ++reaching;
  bool may_thread =
      threads.wanted > 1 && swept_words(items, reaching, reach, last) >= threads.min_words;
  const unsigned cpus = may_thread && threads.cpus == 0 ? usable_cpus() : threads.cpus;
  // Items k and on on the pipeline of threads, when two of the budget are
  // free: tried before the first item and again before each later one, as
  // threads come free (a page toucher's, once it is done and joined, most
  // often). Out of threads or memory for the pipeline, the sweep stays on
  // this thread.
  // Returns how many items from k on the threads swept (0: none, and the
  // sweep stays here).
  std::chrono::steady_clock::time_point retry_from{};  // once threads gave items back
  auto rest_on_threads = [&](size_t k, uint64_t reach_before) -> size_t {
    if (!may_thread || reaching - k < 2)
      return 0;
    if (retry_from != std::chrono::steady_clock::time_point{} &&
        std::chrono::steady_clock::now() < retry_from)
      return 0;
    thread_grant grant(static_cast<unsigned>(std::min<size_t>(threads.wanted, reaching - k)), cpus);
    if (grant.count() < 2)
      return 0;
    // The test's item counts from the first; the pipeline's, from k.
    const size_t give_back_at = std::min(
        threads.each_gives_back_at, threads.give_back_at == SIZE_MAX
                                        ? SIZE_MAX
                                        : threads.give_back_at - std::min(threads.give_back_at, k));
    const size_t swept =
        sweep_on_threads(sweep, items + k, reaching - k, words, states.data(), end_word, last,
                         reach_before, threads.piece_blocks, grant.count(),
                         threads.min_item_blocks / 8, give_back_at, threads.judge_waits, meter);
    if (swept == kNoPipeline) {
      may_thread = false;  // out of memory or threads: the sweep stays here
      return 0;
    }
    if (k + swept < reaching && threads.retry_after_ns >= 0) {
      retry_from =
          std::chrono::steady_clock::now() + std::chrono::nanoseconds(threads.retry_after_ns);
    } else {
      may_thread = false;  // done: the rest stays here
    }
    if (threads.pipelines != nullptr)
      ++*threads.pipelines;
    if (threads.given_back != nullptr)
      *threads.given_back = reaching - k - swept;
    return swept;
  };
  size_t run_low = 0, run_high = 0;                   // empty while equal
  bool worth_threads = threads.min_item_blocks == 0;  // the item before swept enough
  for (size_t k = 0; k < count; ++k) {
    if (threads.toucher != nullptr && threads.toucher->done())
      threads.toucher->finish();  // joined first: its place is then free
    // An item that reaches far past the blocks swept so far is worth the
    // threads whatever the item before cost: it brings in as many blocks.
    auto top_of = [last](uint64_t r) {
      return std::min(static_cast<size_t>(r / kWordBits), last) / kBlock;
    };
    if (k < reaching && !worth_threads && may_thread) {
      const uint64_t next = reach > UINT64_MAX - items[k] ? UINT64_MAX : reach + items[k];
      worth_threads = top_of(next) - top_of(reach) >= threads.min_item_blocks;
    }
    if (k < reaching && worth_threads) {
      const size_t swept = rest_on_threads(k, reach);
      if (k + swept == reaching)
        return;
      // The threads gave the items from k + swept back. The
      // blocks' states are up to date, and a run of full blocks stays full.
      for (const size_t end = k + swept; k < end; ++k)
        reach = reach > UINT64_MAX - items[k] ? UINT64_MAX : reach + items[k];
    }
    const uint64_t w = items[k];
    reach = reach > UINT64_MAX - w ? UINT64_MAX : reach + w;
    if (w / kWordBits > last)
      break;  // ascending: no later item reaches the words either
    const size_t top = std::min(static_cast<size_t>(reach / kWordBits), last) / kBlock;
    size_t computed = 0;
    if (run_high > run_low) {
      // Above the run first: those blocks read sources the lower part is
      // about to overwrite.
      if (run_high <= top)
        computed += sweep_range(sweep, words, states.data(), run_high, top, end_word, w, meter);
      if (run_low > 0)
        computed += sweep_range(sweep, words, states.data(), 0, run_low - 1, end_word, w, meter);
    } else {
      computed = sweep_range(sweep, words, states.data(), 0, top, end_word, w, meter);
      run_low = 0;
      while (run_low <= top && states[run_low] != kFull)
        ++run_low;
      run_high = run_low;
      meter.add(run_low / 8);
    }
    const size_t before = run_high;
    while (run_high <= top && states[run_high] == kFull)
      ++run_high;
    while (run_low > 0 && run_high > run_low && states[run_low - 1] == kFull)
      --run_low;
    if (meter.add((run_high - before) / 8 + 1))
      return;
    worth_threads = computed >= threads.min_item_blocks;
  }
}

}  // namespace qern_local
