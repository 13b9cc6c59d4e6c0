// The dense sweep on several threads: against a plain shift-or at every
// thread count and piece size, where one thread's piece ends and the next
// begins, with items larger than a piece and smaller than a word; the whole
// solve on threads against the same oracle, with a window cut by the
// capacity; the stop check; and the process-wide count of solver threads,
// in this process and in a child of fork().
#include <dirent.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "local_solver.h"
#include "qern_local.h"
#include "qern_memory.h"

namespace {

// The sums of the items within the words [0, words.size()), one item after
// another, word by word from the top down: the textbook shift-or, written
// apart from the solver.
void shift_or_reference(std::vector<uint64_t> &words, const std::vector<uint64_t> &items) {
  const size_t n = words.size();
  for (const uint64_t w : items) {
    const size_t word_shift = static_cast<size_t>(w / 64);
    const unsigned bit_shift = static_cast<unsigned>(w % 64);
    if (word_shift >= n)
      continue;
    for (size_t i = n; i-- > word_shift;) {
      const size_t from = i - word_shift;
      uint64_t shifted = words[from] << bit_shift;
      if (bit_shift != 0 && from > 0)
        shifted |= words[from - 1] >> (64 - bit_shift);
      words[i] |= shifted;
    }
  }
}

std::vector<uint64_t> reference_solve(const std::vector<uint64_t> &items, size_t count) {
  std::vector<uint64_t> words(count, 0);
  words[0] = 1;
  shift_or_reference(words, items);
  return words;
}

// A pipeline on up to `threads` threads of a budget of 64 that starts
// whatever the words and the items' blocks, in pieces of `piece_blocks`.
qern_local::sweep_threads eager_pipeline(unsigned threads, size_t piece_blocks) {
  qern_local::sweep_threads on_threads;
  on_threads.wanted = threads;
  on_threads.min_words = 0;
  on_threads.min_item_blocks = 0;
  on_threads.piece_blocks = piece_blocks;
  on_threads.cpus = 64;
  return on_threads;
}

// Threads, piece size in blocks.
class ThreadedSweep : public ::testing::TestWithParam<std::tuple<unsigned, size_t>> {};

// Random starting sums with empty, full and mixed stretches, and items of
// every size: below a word, a piece, many pieces, beyond the words.
TEST_P(ThreadedSweep, MatchesShiftOrAcrossPieces) {
  const auto [threads, piece] = GetParam();
  std::mt19937_64 rng(41 + threads * 7 + piece);
  for (int round = 0; round < 60; ++round) {
    const size_t last = 1 + rng() % 700;
    const size_t words_count = last + 1;
    const uint64_t bits = 64 * static_cast<uint64_t>(words_count);
    const uint64_t reach = rng() % bits;
    std::vector<uint64_t> words(words_count, 0);
    for (uint64_t s = 0; s <= reach;) {
      const uint64_t stretch = 1 + rng() % 900;
      const int kind = static_cast<int>(rng() % 3);  // empty, full, random
      for (uint64_t k = 0; k < stretch && s <= reach; ++k, ++s) {
        if (kind == 1 || (kind == 2 && rng() % 3 == 0))
          words[s / 64] |= uint64_t{1} << (s % 64);
      }
    }
    std::vector<uint64_t> items(2 + rng() % 24);
    const uint64_t piece_bits = 64 * 8 * piece;
    for (auto &w : items) {
      switch (rng() % 5) {
        case 0:
          w = 1 + rng() % 63;  // within a word: the follower trails closest
          break;
        case 1:
          w = piece_bits * (1 + rng() % 3) + rng() % 3 - 1;  // at a piece's edge
          break;
        case 2:
          w = 64 * (1 + rng() % 40);  // whole words
          break;
        default:
          w = 1 + rng() % (bits + 200);  // anything, beyond the words too
      }
    }
    std::sort(items.begin(), items.end());

    std::vector<uint64_t> expected = words;
    shift_or_reference(expected, items);
    qern_local::work_meter meter(nullptr);
    qern_local::sweep_threads on_threads = eager_pipeline(threads, piece);
    // Every third round the pipeline gives its items back part way, as its
    // threads do when they stall, and this thread sweeps the rest.
    if (round % 3 == 0)
      on_threads.give_back_at = rng() % (items.size() + 1);
    qern_local::sweep_items_by_blocks(items.data(), items.size(), words.data(), last, reach, meter,
                                      rng() % 2 == 0, on_threads);
    ASSERT_EQ(words, expected) << "round " << round << " giving back at "
                               << static_cast<long long>(on_threads.give_back_at);
    ASSERT_EQ(qern_local::threads_running(), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Threads, ThreadedSweep,
                         ::testing::Combine(::testing::Values(2u, 3u, 8u),
                                            ::testing::Values(size_t{1}, size_t{2}, size_t{5},
                                                              size_t{64})));

uint64_t total_of(const std::vector<uint64_t> &items) {
  uint64_t total = 0;
  for (const uint64_t w : items)
    total += w;
  return total;
}

// Waits of `wait_ns` every `every_ns` on `workers` threads: the wait at
// which the pipeline gives back (its index), or -1 when it keeps its
// threads through `waits` of them.
struct WaitsCase {
  const char *name;
  int64_t every_ns;
  int64_t wait_ns;
  unsigned workers;
  int waits;
  int gives_back_at;
};

class PipelineWaits : public ::testing::TestWithParam<WaitsCase> {};

TEST_P(PipelineWaits, GiveBackOnlyWhenWaitsTakeTheThreadsTime) {
  const WaitsCase &c = GetParam();
  qern_local::pipeline_waits waits;
  int gave_back = -1;
  for (int k = 0; k < c.waits && gave_back < 0; ++k) {
    if (waits.note((k + 1) * c.every_ns, c.wait_ns, c.workers))
      gave_back = k;
  }
  EXPECT_EQ(gave_back, c.gives_back_at);
}

INSTANTIATE_TEST_SUITE_P(, PipelineWaits,
                         ::testing::Values(
                             // A busy CPU: the thread before loses its CPU at nearly every hand.
                             WaitsCase{"busy_short_waits", 130'000, 120'000, 2, 1000, 30},
                             // Long waits, one after another: each as long as the time between.
                             WaitsCase{"busy_long_waits", 16'000'000, 16'000'000, 2, 100, 2},
                             WaitsCase{"busy_longer_waits", 24'000'000, 23'000'000, 2, 100, 2},
                             // An idle machine: a short wait now and then, for ten seconds.
                             WaitsCase{"idle", 10'000'000, 200'000, 2, 1000, -1},
                             // Waits of a fifth of the time on each of two threads: not enough.
                             WaitsCase{"some_waits", 1'000'000, 400'000, 2, 10000, -1},
                             // On eight threads, waits of half of one thread's time are little.
                             WaitsCase{"eight_threads", 100'000, 50'000, 8, 10000, -1}),
                         [](const auto &info) { return std::string(info.param.name); });

// One long wait, or two at the start, is not a busy machine; a busy moment
// fades, and a busy spell after it still counts.
TEST(PipelineWaitsAlone, JudgeFromTheThirdWaitAndForget) {
  qern_local::pipeline_waits start;
  EXPECT_FALSE(start.note(20'000'000, 20'000'000, 2));
  EXPECT_FALSE(start.note(20'100'000, 3'000'000, 2));

  qern_local::pipeline_waits faded;
  int64_t now = 0;
  for (int k = 0; k < 5; ++k)
    EXPECT_FALSE(faded.note(now += 1'000'000, 100'000, 2));
  // A second of sweeping with no wait, then the threads wait 40% of a tick.
  now += 1'000'000'000;
  EXPECT_FALSE(faded.note(now, 400'000, 2));
  EXPECT_FALSE(faded.note(now += 1'000'000, 400'000, 2));
  // Threads that note their waits out of order add no time.
  EXPECT_FALSE(faded.note(now - 500'000, 400'000, 2));
  bool gave_back = false;
  for (int k = 0; k < 1000 && !gave_back; ++k)
    gave_back = faded.note(now += 200'000, 200'000, 2);
  EXPECT_TRUE(gave_back);
}

// Threads, the item the pipeline gives back at (as a share of the items).
class GivingBack : public ::testing::TestWithParam<std::tuple<unsigned, int>> {};

// The pipeline gives back every item no thread has taken: the items at and
// above the one the knob names, give or take one round of the threads. Even
// items never fill a word, so every item waits for the one before and no
// thread can run a round ahead of the one giving back.
TEST_P(GivingBack, LeavesTheRestToTheCallingThread) {
  const auto [threads, percent] = GetParam();
  std::mt19937_64 rng(threads * 100 + percent);
  const size_t last = 799;
  for (int round = 0; round < 20; ++round) {
    std::vector<uint64_t> items(24);
    for (auto &w : items)
      w = 2 * (1 + rng() % (last * 16));
    std::sort(items.begin(), items.end());
    std::vector<uint64_t> words(last + 1, 0);
    words[0] = 1;
    std::vector<uint64_t> expected = words;
    shift_or_reference(expected, items);

    const size_t at = (items.size() - 1) * percent / 100;
    size_t given_back = SIZE_MAX;
    qern_local::work_meter meter(nullptr);
    qern_local::sweep_threads on_threads = eager_pipeline(threads, 2);
    on_threads.give_back_at = at;
    on_threads.given_back = &given_back;
    on_threads.retry_after_ns = -1;
    qern_local::sweep_items_by_blocks(items.data(), items.size(), words.data(), last, 0, meter,
                                      false, on_threads);
    ASSERT_EQ(words, expected) << "round " << round;
    const size_t upto_knob = items.size() - at;
    EXPECT_GE(given_back + threads, upto_knob) << "round " << round;
    EXPECT_LE(given_back, upto_knob + threads - 1) << "round " << round;
    EXPECT_LE(given_back, items.size());
    ASSERT_EQ(qern_local::threads_running(), 0u);
  }
}

// Random words never hold a full block, so the first items compute every
// block; a dozen small shifts later nearly all blocks are full and the items
// compute only a few. The pipeline starts on the former and gives the latter
// back to the calling thread.
TEST_P(GivingBack, ItemsThatTurnCheap) {
  const unsigned threads = std::get<0>(GetParam());
  std::mt19937_64 rng(threads * 31 + std::get<1>(GetParam()));
  const size_t last = 1999;
  std::vector<uint64_t> words(last + 1);
  for (auto &word : words)
    word = rng() & rng();  // no word is full
  std::vector<uint64_t> items(40);
  for (auto &w : items)
    w = 1 + rng() % 200;
  std::sort(items.begin(), items.end());
  std::vector<uint64_t> expected = words;
  shift_or_reference(expected, items);

  size_t given_back = SIZE_MAX;
  qern_local::work_meter meter(nullptr);
  qern_local::sweep_threads on_threads = eager_pipeline(threads, 16);
  on_threads.min_item_blocks = 128;  // of the 250 blocks
  on_threads.given_back = &given_back;
  on_threads.retry_after_ns = -1;
  on_threads.judge_waits = false;  // on a busy machine the waits would give back first
  qern_local::sweep_items_by_blocks(items.data(), items.size(), words.data(), last, 64 * last,
                                    meter, false, on_threads);
  EXPECT_EQ(words, expected);
  EXPECT_GT(given_back, 0u);  // started, and gave some back
  EXPECT_LT(given_back, items.size() - 8);
  EXPECT_EQ(qern_local::threads_running(), 0u);
}

// Every pipeline gives its items back at its eighth, having swept at least
// one (the thread that reaches the eighth swept one before it), and the
// calling thread, having swept one item, starts the next from there: the
// sweep goes back and forth between the threads and this one, each pipeline
// from sums some earlier items made.
TEST_P(GivingBack, AndTryingAgainAtEveryItem) {
  const unsigned threads = std::get<0>(GetParam());
  std::mt19937_64 rng(threads * 7 + std::get<1>(GetParam()));
  // The sums stay below the words' top: every item's reach matters.
  const size_t last = 2999;
  std::vector<uint64_t> items(60);
  for (auto &w : items)
    w = 1 + rng() % 4800;
  std::sort(items.begin(), items.end());
  std::vector<uint64_t> words(last + 1, 0);
  words[0] = 1;
  std::vector<uint64_t> expected = words;
  shift_or_reference(expected, items);

  unsigned pipelines = 0;
  qern_local::work_meter meter(nullptr);
  qern_local::sweep_threads on_threads = eager_pipeline(threads, 4);
  on_threads.each_gives_back_at = 8;
  on_threads.retry_after_ns = 0;
  on_threads.pipelines = &pipelines;
  qern_local::sweep_items_by_blocks(items.data(), items.size(), words.data(), last, 0, meter, false,
                                    on_threads);
  EXPECT_EQ(words, expected);
  // A pipeline sweeps at most 8 + threads - 1 items, the calling thread one.
  EXPECT_GE(pipelines, items.size() / (8 + threads));
  EXPECT_EQ(qern_local::threads_running(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Knob, GivingBack,
                         ::testing::Combine(::testing::Values(2u, 3u, 8u),
                                            ::testing::Values(0, 50, 100)));

// Dense sums of about 4 MiB, big enough for the solve to choose threads.
std::vector<uint64_t> dense_items(uint64_t seed, size_t count, uint64_t high) {
  std::mt19937_64 rng(seed);
  std::vector<uint64_t> items(count);
  for (auto &w : items)
    w = 1 + rng() % high;
  return items;
}

class ThreadedSolve : public ::testing::TestWithParam<unsigned> {};

TEST_P(ThreadedSolve, WholeAnswerAndCutWindowMatchShiftOr) {
  const unsigned threads = GetParam();
  // Odd items keep the divisor paths away; the large ones make the window
  // long enough, the small ones keep the sums dense but not all full.
  std::vector<uint64_t> items = dense_items(threads, 90, uint64_t{1} << 20);
  for (auto &w : items)
    w |= 1;
  items.push_back((uint64_t{1} << 24) + 1);
  items.push_back((uint64_t{1} << 23) + 3);
  const size_t needed = static_cast<size_t>(total_of(items) / 64 + 1);
  ASSERT_GE(needed / 2, qern_local::sweep_threads::kMinWords);
  const std::vector<uint64_t> expected = reference_solve(items, needed);

  std::vector<uint64_t> words(needed, 0xA5A5A5A5A5A5A5A5ull);
  size_t count = needed;
  ASSERT_EQ(
      qern_local_solve_threads(items.data(), items.size(), words.data(), &count, nullptr, threads),
      0);
  EXPECT_EQ(count, needed);
  EXPECT_EQ(words, expected);

  // The caller's capacity cuts the window just past the threads' minimum.
  const size_t capacity = 2 * qern_local::sweep_threads::kMinWords + 3;
  std::vector<uint64_t> cut(capacity + 1, 0xA5A5A5A5A5A5A5A5ull);
  count = capacity;
  ASSERT_EQ(
      qern_local_solve_threads(items.data(), items.size(), cut.data(), &count, nullptr, threads),
      0);
  EXPECT_EQ(count, capacity);
  EXPECT_EQ(cut.back(), 0xA5A5A5A5A5A5A5A5ull);  // past the capacity: untouched
  cut.pop_back();
  EXPECT_TRUE(std::equal(cut.begin(), cut.end(), expected.begin()));
  EXPECT_EQ(qern_local::threads_running(), 0u);
}

// The paths that solve into the low words and then spread over all of them
// (a shared divisor, residue rows), whose upper words are faulted on a thread
// meanwhile: the same answer as shift-or.
TEST_P(ThreadedSolve, SpreadPathsMatchShiftOr) {
  const unsigned threads = GetParam();
  std::mt19937_64 rng(threads + 90);
  std::vector<uint64_t> divisor(60), rows(40);
  for (auto &w : divisor)
    w = 3 * ((rng() % (uint64_t{1} << 18)) * 2 + 1);
  divisor.push_back(3 * (uint64_t{1} << 23));
  for (auto &w : rows)
    w = 1 + 1009 * (rng() % 2000);
  for (const auto &items : {divisor, rows}) {
    const size_t needed = static_cast<size_t>(total_of(items) / 64 + 1);
    ASSERT_GE(needed, 2 * qern_local::sweep_threads::kMinWords);
    std::vector<uint64_t> words(needed, 0xA5A5A5A5A5A5A5A5ull);
    size_t count = needed;
    ASSERT_EQ(qern_local_solve_threads(items.data(), items.size(), words.data(), &count, nullptr,
                                       threads),
              0);
    EXPECT_EQ(words, reference_solve(items, needed));
    EXPECT_EQ(qern_local::threads_running(), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Threads, ThreadedSolve, ::testing::Values(1u, 2u, 3u, 8u));

// Threads of this process the kernel lists now.
unsigned os_threads() {
  unsigned count = 0;
  if (DIR *tasks = opendir("/proc/self/task")) {
    while (const dirent *entry = readdir(tasks))
      count += entry->d_name[0] != '.';
    closedir(tasks);
  }
  return count;
}

// A stop check that holds the solve while one solver thread more than before
// it runs (the page toucher, on the residue-row path), then notes the most
// threads running at any ask.
struct toucher_watch {
  unsigned before = os_threads();
  unsigned most = 0;
  static int check(void *context) {
    auto *self = static_cast<toucher_watch *>(context);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    unsigned now = os_threads();
    while (now == self->before + 1 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      now = os_threads();
    }
    self->most = std::max(self->most, now);
    return 0;
  }
};

// Residue rows fault the words they spread to on a thread that holds the
// budget while the rows are swept. Once it is done, the sweep takes up its
// place: two pipeline threads beside the calling one, and the same answer.
TEST(ThreadedSolve, ResidueRowSweepTakesUpTheTouchersPlace) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "counts the process's threads, and ThreadSanitizer starts one of its own";
#endif
  if (qern_local::usable_cpus() < 2)
    GTEST_SKIP() << "one CPU: no toucher, no pipeline";
  std::mt19937_64 rng(1009);
  // Enough items that the packed rows' lower half is well past the sweep's
  // threads minimum (about 150 reach it).
  std::vector<uint64_t> items(200);
  for (auto &w : items)
    w = 1 + 1009 * (rng() % 3000);
  const size_t needed = static_cast<size_t>(total_of(items) / 64 + 1);
  std::vector<uint64_t> words(needed, 0xA5A5A5A5A5A5A5A5ull);
  toucher_watch watch;
  const qern_stop stop{toucher_watch::check, &watch};
  size_t count = needed;
  ASSERT_EQ(qern_local_solve_threads(items.data(), items.size(), words.data(), &count, &stop, 2),
            0);
  EXPECT_EQ(watch.most, watch.before + 2);
  EXPECT_EQ(words, reference_solve(items, needed));
  EXPECT_EQ(qern_local::threads_running(), 0u);
}

// Small items beside one huge one: their sweep reaches too few words for the
// pipeline and stays on the calling thread while a thread faults the upper
// half. The answer is the small items' sums and those sums plus the huge one,
// into fresh words and into stale ones, however many threads are asked for.
TEST(ThreadedSolve, SmallItemsBesideAHugeOneMatchTheirSumsShifted) {
  std::mt19937_64 rng(208);
  std::vector<uint64_t> small(1000);
  for (auto &w : small)
    w = 1 + rng() % 2000;
  const uint64_t huge = (uint64_t{1} << 27) + 1;
  std::vector<uint64_t> items = small;
  items.push_back(huge);
  const size_t needed = static_cast<size_t>(total_of(items) / 64 + 1);
  // The oracle: the small items' sums by the textbook shift-or, then each of
  // them also shifted by the huge item, bit by bit.
  const std::vector<uint64_t> sums = reference_solve(small, total_of(small) / 64 + 1);
  std::vector<uint64_t> expected(needed, 0);
  for (uint64_t s = 0; s < 64 * sums.size(); ++s) {
    if ((sums[s / 64] >> (s % 64)) & 1) {
      expected[s / 64] |= uint64_t{1} << (s % 64);
      expected[(s + huge) / 64] |= uint64_t{1} << ((s + huge) % 64);
    }
  }
  for (const unsigned threads : {1u, 2u, 3u}) {
    std::unique_ptr<uint64_t, decltype(&std::free)> fresh(
        static_cast<uint64_t *>(std::calloc(needed, sizeof(uint64_t))), &std::free);
    ASSERT_NE(fresh, nullptr);
    size_t count = needed;
    ASSERT_EQ(qern_local_solve_into_zeros(items.data(), items.size(), fresh.get(), &count, nullptr,
                                          threads),
              0);
    ASSERT_EQ(count, needed);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), fresh.get())) << threads;
    std::vector<uint64_t> stale(needed, 0xA5A5A5A5A5A5A5A5ull);
    count = needed;
    ASSERT_EQ(qern_local_solve_threads(items.data(), items.size(), stale.data(), &count, nullptr,
                                       threads),
              0);
    EXPECT_EQ(stale, expected) << threads;
    EXPECT_EQ(qern_local::threads_running(), 0u);
  }
}

// Blocks classified a piece at a time on one thread: sums in every other
// block of eight words, so that a block left out at a piece's edge would read
// as empty and its sums would never be shifted on.
TEST(ThreadedSweep, OneThreadClassifiesEveryBlockAcrossPieces) {
  constexpr size_t kWords = (size_t{1} << 19) + 77;
  std::mt19937_64 rng(19);
  std::vector<uint64_t> words(kWords, 0);
  for (size_t b = 0; b * 8 < kWords; b += 2)
    words[b * 8 + rng() % std::min<size_t>(8, kWords - b * 8)] = uint64_t{1} << (rng() % 64);
  const std::vector<uint64_t> items = {8 * 64, 3 * 8 * 64 + 5, 1000003};
  std::vector<uint64_t> expected = words;
  shift_or_reference(expected, items);
  qern_local::work_meter meter(nullptr);
  qern_local::sweep_threads one_thread;  // one thread, the default
  qern_local::sweep_items_by_blocks(items.data(), items.size(), words.data(), kWords - 1,
                                    64 * kWords, meter, false, one_thread);
  EXPECT_EQ(words, expected);
}

// The words a sweep writes, which decide whether it goes on the pipeline: up
// to the sums of the items that reach the words, never past them, and items
// beyond the words (a huge one after small ones) add nothing.
TEST(ThreadedSweep, SweptWordsCountOnlyTheItemsThatReachTheWords) {
  struct Case {
    std::vector<uint64_t> items;
    uint64_t reach;
    size_t last;
  };
  const size_t most = (size_t{1} << 58) - 1;  // the most words a bitset of 2^64 bits has
  const Case cases[] = {
      {{}, 0, 100},
      {{}, 64 * 7 + 3, 100},
      {{1, 2, 60}, 0, 100},               // sums up to 63: one word
      {{1, 2, 61}, 0, 100},               // 64 is in word 1
      {{64, 64 * 99}, 64, 100},           // cut at last
      {{5, 64 * 200, 64 * 300}, 0, 100},  // beyond the words: only 5 counts
      {{64 * 100, 64 * 101}, 0, 100},     // the first reaches word 100 exactly
      {{UINT64_MAX / 2, UINT64_MAX / 2 + 9}, UINT64_MAX - 5, most},  // past 2^64
  };
  for (const auto &c : cases) {
    // The oracle: Python-style unbounded sums of the items within the words.
    unsigned __int128 reach = c.reach;
    for (uint64_t w : c.items) {
      if (w / 64 > c.last)
        break;
      reach += w;
    }
    const unsigned __int128 top = std::min<unsigned __int128>(reach / 64, c.last);
    const size_t expected = std::min<size_t>(static_cast<size_t>(top) + 1, c.last + 1);
    EXPECT_EQ(qern_local::swept_words(c.items.data(), c.items.size(), c.reach, c.last), expected)
        << "reach " << c.reach << " last " << c.last;
  }
}

// Threads, items in the pass, skew of the pieces' grid.
class ThreadedPass : public ::testing::TestWithParam<std::tuple<unsigned, size_t, size_t>> {};

// Every index in exactly one piece, run once, each piece within the grid
// (skewed or not), and never more solver threads at a time than the limit
// allows, however many are asked for.
TEST_P(ThreadedPass, RunsEveryPieceOnceWithinTheBudget) {
  const auto [threads, count, skew] = GetParam();
  constexpr size_t kPiece = 7;
  constexpr unsigned kLimit = 3;
  std::vector<uint8_t> runs(count + 1, 0);
  std::atomic<unsigned> most{0};
  auto task = [&](size_t low, size_t high) {
    ASSERT_LT(low, high);
    ASSERT_EQ((low + skew) / kPiece, (high - 1 + skew) / kPiece) << low << ".." << high;
    ASSERT_TRUE(low == 0 || (low + skew) % kPiece == 0) << low;
    for (size_t i = low; i < high; ++i)
      ++runs[i];  // pieces never overlap: no two threads write one index
    unsigned seen = most.load();
    const unsigned now = qern_local::threads_running();
    while (now > seen && !most.compare_exchange_weak(seen, now)) {
    }
  };
  qern_local::work_meter meter(nullptr);
  EXPECT_TRUE(qern_local::split_on_threads(count, kPiece, threads, meter, task, kLimit, skew));
  for (size_t i = 0; i < count; ++i)
    ASSERT_EQ(runs[i], 1) << "index " << i;
  EXPECT_EQ(runs[count], 0);
  EXPECT_LE(most.load(), kLimit);
  if (threads < 2 || count + skew % kPiece <= kPiece) {
    EXPECT_EQ(most.load(), 0u);  // one thread alone takes nothing from the budget
  }
  EXPECT_EQ(qern_local::threads_running(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Threads, ThreadedPass,
    ::testing::Combine(::testing::Values(1u, 2u, 3u, 8u),
                       ::testing::Values(size_t{0}, size_t{1}, size_t{6}, size_t{7}, size_t{8},
                                         size_t{14}, size_t{5000}),
                       ::testing::Values(size_t{0}, size_t{3}, size_t{6}, size_t{7})));

// A stop check that, on its first ask, frees the budget a test held while the
// sweep began, and then notes the most solver threads running at any ask.
struct freeing_stop {
  qern_local::thread_grant *held;
  unsigned most_running = 0;
  int asks = 0;
  static int check(void *context) {
    auto *self = static_cast<freeing_stop *>(context);
    ++self->asks;
    if (self->held != nullptr) {
      self->held->give_back(self->held->count());
      self->held = nullptr;
    } else {
      self->most_running = std::max(self->most_running, qern_local::threads_running());
    }
    return 0;
  }
};

// Random even sums over 2^18 words, the first full_words of them full, and
// even items: the odd bits stay clear, so no block fills but those full from
// the start, and every item sweeps every word above it. `expected` is the
// shift-or answer.
struct even_sweep {
  even_sweep(uint64_t seed, size_t item_count, size_t full_words)
      : words(kWords), items(item_count) {
    std::mt19937_64 rng(seed);
    for (auto &word : words)
      word = rng() & 0x5555555555555555ull;
    std::fill(words.begin(), words.begin() + static_cast<ptrdiff_t>(full_words), ~uint64_t{0});
    for (auto &w : items)
      w = 2 * (1 + rng() % 4000);
    std::sort(items.begin(), items.end());
    expected = words;
    shift_or_reference(expected, items);
  }
  // The sweep on up to two threads of a budget of `cpus`, beside `toucher`.
  void run(qern_local::work_meter &meter, unsigned cpus, qern_local::page_toucher *toucher) {
    qern_local::sweep_threads on_threads;
    on_threads.wanted = 2;
    on_threads.min_words = 0;
    on_threads.min_item_blocks = 0;
    on_threads.cpus = cpus;
    on_threads.toucher = toucher;
    qern_local::sweep_items_by_blocks(items.data(), items.size(), words.data(), kWords - 1,
                                      64 * kWords, meter, false, on_threads);
  }
  static constexpr size_t kWords = size_t{1} << 18;
  std::vector<uint64_t> words, items, expected;
};

// Words full from the start: none, or a stretch that ends inside a piece of
// the pipeline.
class SweepTakingUpThreads : public ::testing::TestWithParam<size_t> {};

// A sweep that begins with no thread free goes on alone, and takes up threads
// as soon as they come free between items: the rest of the items run on the
// pipeline, which skips the pieces already full and no other, with the same
// answer.
TEST_P(SweepTakingUpThreads, TakesUpThreadsThatComeFreeBetweenItems) {
  constexpr unsigned kCpus = 4;
  const size_t full_words = GetParam();
  // Long enough for the check to be asked while the pipeline runs.
  even_sweep sweep(77 + full_words, 480, full_words);
  qern_local::thread_grant held(kCpus, kCpus);
  ASSERT_EQ(held.count(), kCpus);
  freeing_stop freeing{&held};
  const qern_stop stop{freeing_stop::check, &freeing};
  qern_local::work_meter meter(&stop);
  sweep.run(meter, kCpus, nullptr);
  EXPECT_EQ(sweep.words, sweep.expected);
  EXPECT_GE(freeing.asks, 2);
  EXPECT_EQ(freeing.most_running, 2u);  // the pipeline's two, once the budget was free
  EXPECT_EQ(qern_local::threads_running(), 0u);
}

// A page toucher that holds the budget and is done: the sweep joins it before
// its first item and runs on the threads it frees.
TEST(ThreadedSweep, JoinsADoneToucherAndTakesItsPlace) {
  constexpr unsigned kCpus = 2;
  std::vector<uint64_t> touched(size_t{1} << 16, 1);
  qern_local::page_toucher toucher(touched.data(), touched.size(), kCpus);
  ASSERT_TRUE(toucher.started());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!toucher.done() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(toucher.done());
  ASSERT_EQ(qern_local::threads_running(), 2u);

  even_sweep sweep(78, 480, 0);  // long enough for the check to be asked on the way
  freeing_stop watching{nullptr};
  const qern_stop stop{freeing_stop::check, &watching};
  qern_local::work_meter meter(&stop);
  sweep.run(meter, kCpus, &toucher);
  EXPECT_EQ(sweep.words, sweep.expected);
  EXPECT_FALSE(toucher.started());  // joined by the sweep
  EXPECT_EQ(watching.most_running, 2u);
  EXPECT_EQ(qern_local::threads_running(), 0u);
}

constexpr size_t kPieceWords = qern_local::sweep_threads::kPieceBlocks * 8;
INSTANTIATE_TEST_SUITE_P(Threads, SweepTakingUpThreads,
                         ::testing::Values(size_t{0}, 3 * kPieceWords + kPieceWords / 2));

// Cpus the budget allows, words.
class PageToucher : public ::testing::TestWithParam<std::tuple<unsigned, size_t>> {};

// A zero at the start of some 4 KiB pages of the words and nowhere else, none
// past them, and nothing at all when the budget has no room beside the
// caller; the thread's place in the budget comes back.
TEST_P(PageToucher, ZeroesOnlyPageStartsWithinTheWords) {
  const auto [cpus, count] = GetParam();
  constexpr uint64_t kMark = 0xA5A5A5A5A5A5A5A5ull;
  std::vector<uint64_t> words(count + 1, kMark);
  {
    qern_local::page_toucher toucher(words.data(), count, cpus);
    EXPECT_EQ(toucher.started(), cpus >= 2 && count > 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (toucher.started() && !toucher.done() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(toucher.done(), toucher.started());
    // Done or not, the thread keeps its place until it is joined.
    EXPECT_EQ(qern_local::threads_running(), toucher.started() ? 2u : 0u);
    toucher.finish();
    EXPECT_FALSE(toucher.started());
    EXPECT_EQ(qern_local::threads_running(), 0u);
  }
  size_t wrong = 0, touched = 0;
  for (size_t i = 0; i <= count; ++i) {
    if (words[i] == kMark)
      continue;
    ++touched;
    wrong += words[i] != 0 || i % 512 != 0 || i == count || cpus < 2 ? 1 : 0;
  }
  EXPECT_EQ(wrong, 0u);
  if (cpus < 2) {
    EXPECT_EQ(touched, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Threads, PageToucher,
                         ::testing::Combine(::testing::Values(1u, 2u, 8u),
                                            ::testing::Values(size_t{0}, size_t{1}, size_t{513},
                                                              size_t{1} << 18)));

// Threads, mirror kernel.
class ThreadedMirror
    : public ::testing::TestWithParam<std::tuple<unsigned, qern_local::mirror_kernel>> {};

// An upper half of several pieces, mirrored on threads over stale words,
// against the bit-by-bit mirror of a random lower half, at a total on a word
// boundary and off it.
TEST_P(ThreadedMirror, MatchesTheMirrorBitByBit) {
  const auto [threads, kernel] = GetParam();
  if (!qern_local::mirror_kernel_runs(kernel))
    GTEST_SKIP() << "this CPU does not run the kernel";
  std::mt19937_64 rng(threads);
  for (const uint64_t offset : {uint64_t{0}, uint64_t{37}}) {
    const uint64_t total = 64 * 2 * (3 * qern_local::kSplitPiece + 77) + offset;
    const size_t first = static_cast<size_t>(total / 2 / 64) + 1;
    const size_t last = static_cast<size_t>(total / 64);
    ASSERT_GE(last - first + 1, qern_local::sweep_threads::kMinWords);
    std::vector<uint64_t> words(last + 1, 0);
    for (size_t k = 0; k < first; ++k)
      words[k] = rng() % 3 == 0 ? ~uint64_t{0} : rng();
    std::vector<uint64_t> expected = words;
    for (uint64_t s = 64 * first; s <= total; ++s) {
      const uint64_t from = total - s;
      if ((words[from / 64] >> (from % 64)) & 1)
        expected[s / 64] |= uint64_t{1} << (s % 64);
    }
    for (size_t k = first; k <= last; ++k)
      words[k] = rng();  // stale: every upper word is written
    qern_local::work_meter meter(nullptr);
    qern_local::mirror_upper_half(words.data(), total, first, last, meter, kernel, threads);
    ASSERT_EQ(words, expected) << "total " << total;
    EXPECT_EQ(qern_local::threads_running(), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Threads, ThreadedMirror,
    ::testing::Combine(::testing::Values(2u, 3u),
                       ::testing::Values(qern_local::mirror_kernel::widest,
                                         qern_local::mirror_kernel::portable)));

// Offset of the block in its first page, its length in bytes.
class PopulateForWriting : public ::testing::TestWithParam<std::tuple<size_t, size_t>> {};

// Fresh pages: exactly the whole pages inside the block come in, none beside
// it, and they read as zero.
TEST_P(PopulateForWriting, BringsInExactlyTheWholePagesInside) {
  const auto [offset, bytes] = GetParam();
  constexpr size_t kPage = 4096, kPages = 16;
  void *mapped =
      mmap(nullptr, kPages * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mapped, MAP_FAILED);
  auto *base = static_cast<unsigned char *>(mapped);
  madvise(base, kPages * kPage, MADV_NOHUGEPAGE);  // one 4 KiB page per fault
  const bool there = qern_memory::populate_for_writing(base + kPage + offset, bytes);
  const size_t first = (kPage + offset + kPage - 1) / kPage, end = (kPage + offset + bytes) / kPage;
  if (!there) {
    munmap(mapped, kPages * kPage);
    GTEST_SKIP() << "this kernel does not populate pages for writing";
  }
  unsigned char resident[kPages];
  ASSERT_EQ(mincore(mapped, kPages * kPage, resident), 0);
  for (size_t page = 0; page < kPages; ++page)
    EXPECT_EQ(resident[page] & 1, page >= first && page < end ? 1 : 0) << "page " << page;
  for (size_t page = first; page < end; ++page)
    EXPECT_EQ(base[page * kPage], 0);
  // Populated for writing: the first writes fault no more.
  rusage before, after;
  ASSERT_EQ(getrusage(RUSAGE_THREAD, &before), 0);
  for (size_t page = first; page < end; ++page)
    base[page * kPage] = 1;
  ASSERT_EQ(getrusage(RUSAGE_THREAD, &after), 0);
  EXPECT_EQ(after.ru_minflt, before.ru_minflt);
  munmap(mapped, kPages * kPage);
}

INSTANTIATE_TEST_SUITE_P(Pages, PopulateForWriting,
                         ::testing::Combine(::testing::Values(size_t{0}, size_t{100}, size_t{4095}),
                                            ::testing::Values(size_t{0}, size_t{4095}, size_t{4096},
                                                              size_t{5 * 4096 + 7})));

// Pages already written keep every value, those of a block partly paged in
// all come in, and a block the process may only read is refused without harm.
TEST(PopulateForWriting, KeepsValuesAndRefusesReadOnlyPages) {
  std::vector<uint64_t> words(size_t{1} << 16);
  std::mt19937_64 rng(23);
  for (auto &word : words)
    word = rng();
  const std::vector<uint64_t> before = words;
  qern_memory::populate_for_writing(words.data() + 3, (words.size() - 5) * sizeof(uint64_t));
  EXPECT_EQ(words, before);

  // Every other page of four 2 MiB stretches written first.
  constexpr size_t kStretches = 4, kStretchBytes = size_t{2} << 20, kPage = 4096;
  void *fresh = mmap(nullptr, kStretches * kStretchBytes, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(fresh, MAP_FAILED);
  auto *bytes = static_cast<unsigned char *>(fresh);
  madvise(fresh, kStretches * kStretchBytes, MADV_NOHUGEPAGE);
  for (size_t at = 0; at < kStretches * kStretchBytes; at += 2 * kPage)
    bytes[at] = 0x5A;
  if (qern_memory::populate_for_writing(fresh, kStretches * kStretchBytes)) {
    std::vector<unsigned char> there(kStretches * kStretchBytes / kPage);
    ASSERT_EQ(mincore(fresh, kStretches * kStretchBytes, there.data()), 0);
    EXPECT_EQ(std::count_if(there.begin(), there.end(), [](unsigned char t) { return t & 1; }),
              static_cast<ptrdiff_t>(there.size()));
    for (size_t at = 0; at < kStretches * kStretchBytes; at += kPage)
      EXPECT_EQ(bytes[at], at % (2 * kPage) == 0 ? 0x5A : 0) << "byte " << at;
  }
  munmap(fresh, kStretches * kStretchBytes);

  constexpr size_t kBytes = 8 * 4096;
  void *mapped = mmap(nullptr, kBytes, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mapped, MAP_FAILED);
  EXPECT_FALSE(qern_memory::populate_for_writing(mapped, kBytes));
  munmap(mapped, kBytes);
}

// Fresh words faulted in for a pass on threads: all of them when the check
// never says stop, and the check asked on the way, so that one saying stop
// leaves most of a big block as it was (a host handing out fresh pages slowly
// would otherwise hold Ctrl-C back for seconds).
TEST(FaultIn, AsksTheCheckOnTheWayAndStopsWhenItSaysSo) {
  constexpr size_t kWords = size_t{8} << 20;  // 64 MiB
  constexpr size_t kBytes = kWords * sizeof(uint64_t), kPage = 4096;
  for (const bool stop_at_once : {false, true}) {
    void *mapped =
        mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    int asks = 0;
    struct counting {
      int *asks;
      bool stop;
      static int check(void *context) {
        auto *self = static_cast<counting *>(context);
        ++*self->asks;
        return self->stop ? 1 : 0;
      }
    } counter{&asks, stop_at_once};
    const qern_stop stop{counting::check, &counter};
    qern_local::work_meter meter(&stop);
    const bool done = qern_local::fault_in(static_cast<uint64_t *>(mapped), kWords, meter);
    std::vector<unsigned char> there(kBytes / kPage);
    ASSERT_EQ(mincore(mapped, kBytes, there.data()), 0);
    const auto resident =
        std::count_if(there.begin(), there.end(), [](unsigned char t) { return t & 1; });
    munmap(mapped, kBytes);
    if (!stop_at_once && resident == 0)
      GTEST_SKIP() << "this kernel does not populate pages for writing";
    EXPECT_EQ(done, !stop_at_once);
    if (stop_at_once) {
      EXPECT_EQ(asks, 1);
      EXPECT_GT(resident, 0);
      EXPECT_LT(resident, static_cast<ptrdiff_t>(there.size()) / 2);
    } else {
      EXPECT_GE(asks, 2);
      EXPECT_EQ(resident, static_cast<ptrdiff_t>(there.size()));
    }
  }
}

// A stop check that says stop on its third ask, from whichever thread asks.
struct counted_stop {
  std::atomic<int> asks{0};
  std::thread::id asker;
  std::atomic<bool> other_thread{false};
  static int check(void *context) {
    auto *self = static_cast<counted_stop *>(context);
    if (std::this_thread::get_id() != self->asker)
      self->other_thread = true;
    return ++self->asks >= 3 ? 1 : 0;
  }
};

TEST(ThreadedStop, EndsTheSolveOnTheCallingThreadAndReturnsItsThreads) {
  // Many items, so the sweep lasts long past three asks.
  std::vector<uint64_t> items = dense_items(5, 12000, uint64_t{1} << 16);
  for (auto &w : items)
    w |= 1;
  const size_t needed = static_cast<size_t>(total_of(items) / 64 + 1);
  std::vector<uint64_t> words(needed);
  counted_stop stopper;
  stopper.asker = std::this_thread::get_id();
  const qern_stop stop{counted_stop::check, &stopper};
  size_t count = needed;
  EXPECT_EQ(qern_local_solve_threads(items.data(), items.size(), words.data(), &count, &stop, 2),
            QERN_STATUS_STOPPED);
  EXPECT_EQ(stopper.asks.load(), 3);
  EXPECT_FALSE(stopper.other_thread.load());
  EXPECT_EQ(qern_local::threads_running(), 0u);
}

// A pass on two threads of `pieces` pieces that each take a while, so that
// the calling thread gets its share of them however the threads are
// scheduled; `ran` counts the indices its pieces covered.
struct slow_pass {
  explicit slow_pass(size_t pieces) : count(pieces * piece) {}
  bool run(qern_local::work_meter &meter) {
    auto task = [this](size_t low, size_t high) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      ran += high - low;
    };
    return qern_local::split_on_threads(count, piece, 2, meter, task, 2);
  }
  const size_t piece = qern_local::work_meter::kCheckEvery / 4;
  const size_t count;
  std::atomic<size_t> ran{0};
};

// The pass asks the check between the calling thread's pieces only, and ends
// early: some pieces never run.
TEST(ThreadedStop, EndsAPassOnTheCallingThread) {
  counted_stop stopper;
  stopper.asker = std::this_thread::get_id();
  const qern_stop stop{counted_stop::check, &stopper};
  qern_local::work_meter meter(&stop);
  slow_pass pass(1000);
  EXPECT_FALSE(pass.run(meter));
  EXPECT_EQ(stopper.asks.load(), 3);
  EXPECT_FALSE(stopper.other_thread.load());
  EXPECT_LT(pass.ran.load(), pass.count);
  EXPECT_EQ(qern_local::threads_running(), 0u);
}

// A stop check that forks on its first ask, and in the child starts and
// joins a thread of its own, which may take over the descriptor of a solver
// thread lost to the fork.
struct forking_stop {
  pid_t child = -1;
  bool own_thread_ran = false;
  static int check(void *context) {
    auto *self = static_cast<forking_stop *>(context);
    if (self->child < 0) {
      self->child = fork();
      if (self->child == 0) {
        std::thread own([self] { self->own_thread_ran = true; });
        own.join();
      }
    }
    return 0;
  }
};

// A pass on threads whose stop check forks: in the child the helper is gone
// with its pieces, so the pass lets go of it (neither joined nor detached)
// and ends unfinished, halted though never told to stop; in the parent it
// runs every piece.
TEST(ThreadedStop, AForkInTheCheckLetsGoOfTheLostThreads) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer ends a child of a threaded process that starts a thread";
#endif
  forking_stop forking;
  const qern_stop stop{forking_stop::check, &forking};
  qern_local::work_meter meter(&stop);
  slow_pass pass(200);
  const bool finished = pass.run(meter);
  if (forking.child == 0) {
    const bool lost = !finished && meter.halted_only() && pass.ran.load() < pass.count;
    _exit(lost && forking.own_thread_ran ? 0 : 1);
  }
  ASSERT_GT(forking.child, 0) << "the check was never asked";
  EXPECT_TRUE(finished);
  EXPECT_EQ(pass.ran.load(), pass.count);
  EXPECT_FALSE(meter.stopped());
  int status = 0;
  ASSERT_EQ(waitpid(forking.child, &status, 0), forking.child);
  ASSERT_TRUE(WIFEXITED(status)) << "the child ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(qern_local::threads_running(), 0u);
}

TEST(ThreadBudget, GrantsNeverPassTheLimitAndComeBack) {
  ASSERT_EQ(qern_local::threads_running(), 0u);
  {
    qern_local::thread_grant first(3, 4);
    EXPECT_EQ(first.count(), 3u);
    qern_local::thread_grant second(3, 4);
    EXPECT_EQ(second.count(), 1u);
    qern_local::thread_grant third(1, 4);
    EXPECT_EQ(third.count(), 0u);
    EXPECT_EQ(qern_local::threads_running(), 4u);
    first.give_back(2);
    EXPECT_EQ(first.count(), 1u);
    EXPECT_EQ(qern_local::threads_running(), 2u);
    qern_local::thread_grant fourth(5, 4);
    EXPECT_EQ(fourth.count(), 2u);
  }
  EXPECT_EQ(qern_local::threads_running(), 0u);
}

// Solves on three calling threads at once, each asking for more threads
// than there are CPUs: they share the budget (ThreadSanitizer watches the
// count and the pipelines), never pass it, answer exactly and give every
// thread back.
TEST(ThreadBudget, ConcurrentSolvesShareItAndAnswerExactly) {
  std::vector<uint64_t> items = dense_items(13, 90, uint64_t{1} << 20);
  for (auto &w : items)
    w |= 1;
  items.push_back((uint64_t{1} << 24) + 1);
  const size_t needed = static_cast<size_t>(total_of(items) / 64 + 1);
  ASSERT_GE(needed / 2, qern_local::sweep_threads::kMinWords);
  const std::vector<uint64_t> expected = reference_solve(items, needed);
  const unsigned cpus = qern_local::usable_cpus();
  std::atomic<int> wrong{0};
  std::atomic<int> finished{0};
  std::vector<std::thread> callers;
  for (int c = 0; c < 3; ++c) {
    callers.emplace_back([&] {
      std::vector<uint64_t> words(needed);
      size_t count = needed;
      if (qern_local_solve_threads(items.data(), items.size(), words.data(), &count, nullptr, 8) !=
              0 ||
          words != expected)
        ++wrong;
      ++finished;
    });
  }
  unsigned most = 0;
  while (finished.load() < 3) {
    most = std::max(most, qern_local::threads_running());
    std::this_thread::yield();
  }
  for (auto &caller : callers)
    caller.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_LE(most, cpus);
  EXPECT_EQ(qern_local::threads_running(), 0u);
}

// Which of the starter's CPUs a thread is steered to: the first after the
// starter's, the starter's own (the last), and one past the last (wraps).
class ThreadPlacement : public ::testing::TestWithParam<int> {};

// The thread first runs on exactly the CPU chosen for it, counted round the
// mask from the starter's, and runs on the whole mask once let go.
TEST_P(ThreadPlacement, StartsOnItsOwnCpuThenTakesTheWholeMask) {
  cpu_set_t mask;
  CPU_ZERO(&mask);
  ASSERT_EQ(sched_getaffinity(0, sizeof mask, &mask), 0);
  const int cpus = CPU_COUNT(&mask);
  if (cpus < 2)
    GTEST_SKIP() << "one CPU: nothing to steer to";
  const unsigned nth = static_cast<unsigned>(GetParam() == 0 ? 0 : cpus - 2 + GetParam());
  // The CPU the placement saw: the same before and after it was made.
  std::optional<qern_local::thread_placement> placement;
  int here = -1;
  for (int tries = 0; tries < 1000 && here < 0; ++tries) {
    const int before = sched_getcpu();
    placement.emplace();
    if (sched_getcpu() == before)
      here = before;
  }
  ASSERT_GE(here, 0);
  std::vector<int> round;  // the CPUs after the starter's, the starter's last
  for (int step = 1; step <= CPU_SETSIZE; ++step) {
    if (CPU_ISSET((here + step) % CPU_SETSIZE, &mask))
      round.push_back((here + step) % CPU_SETSIZE);
  }
  const int expected = round[nth % round.size()];

  std::atomic<bool> steered{false};
  cpu_set_t first, then;
  int ran_on = -1;
  std::thread thread([&] {
    steered.wait(false);
    sched_getaffinity(0, sizeof first, &first);
    ran_on = sched_getcpu();
    placement->widen();
    sched_getaffinity(0, sizeof then, &then);
  });
  placement->steer(thread, nth);
  steered = true;
  steered.notify_all();
  placement->let_go();
  thread.join();
  EXPECT_EQ(CPU_COUNT(&first), 1);
  EXPECT_TRUE(CPU_ISSET(expected, &first));
  EXPECT_EQ(ran_on, expected);
  EXPECT_TRUE(CPU_EQUAL(&then, &mask));
}

INSTANTIATE_TEST_SUITE_P(Nth, ThreadPlacement, ::testing::Values(0, 1, 2));

// No helper of a pass works on a narrowed mask: each took the whole one back
// before its first piece.
TEST(ThreadPlacement, SplitHelpersWorkOnTheWholeMask) {
  cpu_set_t mask;
  CPU_ZERO(&mask);
  ASSERT_EQ(sched_getaffinity(0, sizeof mask, &mask), 0);
  if (CPU_COUNT(&mask) < 2)
    GTEST_SKIP() << "one CPU: nothing to steer to";
  std::mutex lock;
  size_t pieces = 0, narrowed = 0;
  auto task = [&](size_t, size_t) {
    cpu_set_t now;
    sched_getaffinity(0, sizeof now, &now);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    std::lock_guard<std::mutex> hold(lock);
    ++pieces;
    narrowed += !CPU_EQUAL(&now, &mask);
  };
  qern_local::work_meter meter(nullptr);
  ASSERT_TRUE(qern_local::split_on_threads(64, 1, 4, meter, task, 4));
  EXPECT_EQ(pieces, 64u);
  EXPECT_EQ(narrowed, 0u);
}

TEST(ThreadBudget, UsableCpusWithinTheAffinityMaskAndQuota) {
  cpu_set_t set;
  CPU_ZERO(&set);
  ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
  const unsigned cpus = qern_local::usable_cpus();
  EXPECT_GE(cpus, 1u);
  EXPECT_LE(cpus, static_cast<unsigned>(CPU_COUNT(&set)));
  const unsigned quota = qern_local::cgroup_cpu_limit("/proc/self/cgroup", "/proc/self/mountinfo");
  if (quota != 0) {
    EXPECT_LE(cpus, quota);
  }
}

// A child of fork() starts with none of its parent's solver threads counted,
// and solves on threads there.
TEST(ThreadBudget, ForkedChildStartsWithTheWholeBudget) {
  qern_local::thread_grant held(4, 4);
  ASSERT_EQ(held.count(), 4u);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int failures = 0;
    if (qern_local::threads_running() != 0)
      failures |= 1;
    {
      qern_local::thread_grant fresh(4, 4);
      if (fresh.count() != 4)
        failures |= 2;
    }
    std::vector<uint64_t> items = dense_items(9, 90, uint64_t{1} << 20);
    for (auto &w : items)
      w |= 1;
    items.push_back((uint64_t{1} << 24) + 1);
    const size_t needed = static_cast<size_t>(total_of(items) / 64 + 1);
    std::vector<uint64_t> words(needed);
    size_t count = needed;
    if (qern_local_solve_threads(items.data(), items.size(), words.data(), &count, nullptr, 2) !=
            0 ||
        words != reference_solve(items, needed))
      failures |= 4;
    _exit(failures);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(qern_local::threads_running(), 4u);  // the parent's own, still held
}

}  // namespace
