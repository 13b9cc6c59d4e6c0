// The local solver against the plain sweep it would otherwise run: every item
// shift-or'd over the words it reaches up to half the total, the upper half
// mirrored. Medians of whole solves into a buffer already paged in, so that
// only the work itself is timed. Run by `make bench-paths`.
//
// With `--sweep-bandwidth TOTAL`, the dense sweep alone instead: passes of
// three items over the lower half of a total of TOTAL bits, every block mixed
// so none is skipped, on one thread and on two, in bytes moved per second (a
// pass reads its sources and reads and writes its targets: 24 bytes a word,
// as `a |= b` on two arrays). bench/bench.py sets them beside numpy's.
//
// With `--fault-bandwidth MIB`, the kernel's side of every big answer: MIB of
// fresh memory, advised to huge pages as answers are, faulted in by writing
// a byte per page, on one thread and on two, and on a thread of its own while
// the calling thread computes, in bytes cleared per second.
//
// With `--solve-in-place`, the items read from standard input solved on one
// thread and on two, in turn, into an answer already paged in: what threads
// gain on the solve itself, without the kernel clearing a fresh answer.
//
// With `--ask-gaps`, how long a solve goes without asking its stop check
// (what Ctrl-C waits for, on top of the bytes call's own 50 ms): the longest
// gap between two asks in whole solves of answers near 512 MiB, into fresh
// words from calloc as the bytes call's are, on one thread and on two.
//
// With `--thread-start`, how long a new thread takes to run once the other
// CPUs have been idle a while, while its starter keeps its own CPU busy as a
// solve does: left to the scheduler, and steered as the solver's threads are.
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "local_solver.h"
#include "qern_lib.h"
#include "qern_local.h"
#include "qern_memory.h"

namespace {

using clock_type = std::chrono::steady_clock;

std::vector<uint64_t> uniform(uint64_t seed, size_t count, uint64_t low, uint64_t high) {
  std::mt19937_64 rng(seed);
  std::vector<uint64_t> items(count);
  for (auto &w : items)
    w = low + rng() % (high - low + 1);
  return items;
}

std::vector<uint64_t> residue(uint64_t seed, size_t count, uint64_t m, uint64_t r, uint64_t high) {
  std::vector<uint64_t> items = uniform(seed, count, 0, high);
  for (auto &w : items)
    w = r + m * w;
  return items;
}

void plain_sweep(std::vector<uint64_t> items, std::vector<uint64_t> &words) {
  std::sort(items.begin(), items.end());
  uint64_t total = 0;
  for (uint64_t w : items)
    total += w;
  const size_t last = std::min(words.size() - 1, static_cast<size_t>(total / 2 / 64));
  std::fill(words.begin(), words.end(), uint64_t{0});
  words[0] = 1;
  uint64_t reach = 0;
  for (uint64_t w : items) {
    reach += w;
    const size_t top = std::min(static_cast<size_t>(reach / 64), last);
    if (w != 0 && w / 64 <= top)
      qern_local::shift_or_words(words.data(), w / 64, top, w);
  }
  qern_local::work_meter meter(nullptr);
  qern_local::mirror_upper_half(words.data(), total, last + 1, words.size() - 1, meter);
}

template <typename Solve>
double median_ms(Solve solve, int repeat) {
  std::vector<double> times;
  for (int k = 0; k < repeat; ++k) {
    const auto start = clock_type::now();
    solve();
    times.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// Milliseconds per pass of the dense sweep over `words` words, every word
// random (about half its bits set), on `threads` threads: the time of three
// items less that of one, halved, so that reading the block states once and
// starting the threads are left out.
double sweep_pass_ms(size_t words, unsigned threads) {
  std::mt19937_64 rng(301);
  std::vector<uint64_t> pristine(words), bits(words);
  for (auto &word : pristine)
    word = rng();
  // Shifts of a few thousand words: each pass covers nearly all the words.
  const uint64_t items[] = {64 * 4001 + 17, 64 * 6007 + 33, 64 * 9001 + 5};
  qern_local::sweep_threads on_threads;
  on_threads.wanted = threads;
  on_threads.min_item_blocks = 0;  // the pipeline from the first item, as timed
  auto timed = [&](size_t count) {
    std::vector<double> times;
    for (int k = 0; k < 7; ++k) {
      std::memcpy(bits.data(), pristine.data(), words * sizeof(uint64_t));
      qern_local::work_meter meter(nullptr);
      const auto start = clock_type::now();
      qern_local::sweep_items_by_blocks(items, count, bits.data(), words - 1, 64 * words, meter,
                                        false, on_threads);
      times.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
  };
  const double one = timed(1);
  return (timed(3) - one) / 2;
}

int sweep_bandwidth(uint64_t total) {
  const size_t words = static_cast<size_t>(total / 2 / 64) + 1;
  for (unsigned threads : {1u, 2u}) {
    const double ms = sweep_pass_ms(words, threads);
    std::printf("sweep pass: total %llu, %zu words, %u thread%s: %.2f ms, %.2f GB/s\n",
                static_cast<unsigned long long>(total), words, threads, threads == 1 ? "" : "s", ms,
                24.0 * static_cast<double>(words) / ms / 1e6);
  }
  return 0;
}

// Milliseconds to fault in `bytes` of fresh memory on `threads` threads,
// each writing one byte per 4 KiB page of its share; -1 without the memory.
double fault_ms(size_t bytes, unsigned threads) {
  void *block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED)
    return -1;
  auto *bytes_at = static_cast<unsigned char *>(block);
  qern_memory::advise_huge_pages(block, bytes);
  const size_t share = bytes / threads / 4096 * 4096;
  auto touch = [&](unsigned t) {
    const size_t end = t + 1 == threads ? bytes : (t + 1) * share;
    for (size_t at = t * share; at < end; at += 4096)
      bytes_at[at] = 1;
  };
  // Started as the solver starts its threads: left to the scheduler, a new
  // thread may wait a tick for a CPU, and this would time that wait.
  qern_local::thread_placement placement;
  const auto start = clock_type::now();
  std::vector<std::thread> helpers;
  for (unsigned t = 1; t < threads; ++t) {
    helpers.emplace_back([&placement, &touch, t] {
      placement.widen();
      touch(t);
    });
    placement.steer(helpers.back(), t - 1);
  }
  placement.let_go();
  touch(0);
  for (auto &helper : helpers)
    helper.join();
  const double ms = std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
  munmap(block, bytes);
  return ms;
}

// The same on a thread of its own, steered to another CPU as the solver's
// page toucher is, while the calling thread only computes: how fast a
// toucher clears pages beside a solve.
double fault_beside_busy_ms(size_t bytes) {
  void *block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED)
    return -1;
  auto *bytes_at = static_cast<unsigned char *>(block);
  qern_memory::advise_huge_pages(block, bytes);
  std::atomic<bool> done{false};
  double ms = 0;
  qern_local::thread_placement placement;
  std::thread toucher([&] {
    placement.widen();
    const auto start = clock_type::now();
    for (size_t at = 0; at < bytes; at += 4096)
      bytes_at[at] = 1;
    ms = std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
    done.store(true, std::memory_order_release);
  });
  placement.steer(toucher, 0);
  placement.let_go();
  volatile double x = 1;
  while (!done.load(std::memory_order_acquire))
    x = x * 1.0000001 + 1;
  toucher.join();
  munmap(block, bytes);
  return ms;
}

int fault_bandwidth(size_t mib) {
  const size_t bytes = mib << 20;
  for (unsigned threads : {1u, 2u}) {
    std::vector<double> times;
    for (int k = 0; k < 9; ++k) {
      times.push_back(fault_ms(bytes, threads));
      if (times.back() < 0)
        return 1;  // no memory for it
    }
    std::sort(times.begin(), times.end());
    const double ms = times[times.size() / 2];
    std::printf("fresh pages: %zu MiB, %u thread%s: %.2f ms, %.2f GB/s\n", mib, threads,
                threads == 1 ? "" : "s", ms, static_cast<double>(bytes) / ms / 1e6);
  }
  std::vector<double> times;
  for (int k = 0; k < 9; ++k) {
    times.push_back(fault_beside_busy_ms(bytes));
    if (times.back() < 0)
      return 1;
  }
  std::sort(times.begin(), times.end());
  const double ms = times[times.size() / 2];
  std::printf("fresh pages: %zu MiB, toucher beside: %.2f ms, %.2f GB/s\n", mib, ms,
              static_cast<double>(bytes) / ms / 1e6);
  return 0;
}

// Microseconds from starting a thread to its first instruction, after 5 ms
// with nothing to run; `steered`: through a thread_placement.
double start_us(bool steered) {
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  qern_local::thread_placement placement;
  std::atomic<bool> running{false};
  clock_type::time_point began;
  const auto start = clock_type::now();
  std::thread thread([&] {
    began = clock_type::now();
    running.store(true, std::memory_order_release);
    placement.widen();
  });
  if (steered)
    placement.steer(thread, 0);
  placement.let_go();
  while (!running.load(std::memory_order_acquire)) {
  }
  thread.join();
  return std::chrono::duration<double, std::micro>(began - start).count();
}

int thread_start() {
  for (const bool steered : {false, true}) {
    std::vector<double> times;
    for (int k = 0; k < 21; ++k)
      times.push_back(start_us(steered));
    std::sort(times.begin(), times.end());
    std::printf("thread start: %s: median %.0f us, most %.0f us\n",
                steered ? "steered" : "unsteered", times[times.size() / 2], times.back());
  }
  return 0;
}

// Medians of whole solves of the items on standard input with threads=1 and
// threads=2, taken in turn, into the same words each time.
int solve_in_place() {
  std::vector<uint64_t> items;
  unsigned long long item;
  while (std::scanf("%llu", &item) == 1)
    items.push_back(item);
  unsigned __int128 total = 0;
  for (uint64_t w : items)
    total += w;
  const size_t count = static_cast<size_t>(total / 64) + 1;
  std::vector<uint64_t> words(count, 1);  // paged in before the first solve
  std::vector<double> times[2];
  for (int k = 0; k < 15; ++k) {
    for (unsigned threads : {1u, 2u}) {
      size_t written = count;
      const auto start = clock_type::now();
      if (qern_local_solve_threads(items.data(), items.size(), words.data(), &written, nullptr,
                                   threads) != 0)
        return 1;
      times[threads - 1].push_back(
          std::chrono::duration<double, std::milli>(clock_type::now() - start).count());
    }
  }
  for (unsigned threads : {1u, 2u}) {
    auto &ms = times[threads - 1];
    std::sort(ms.begin(), ms.end());
    std::printf("solve in place: %u thread%s: %.3f ms\n", threads, threads == 1 ? "" : "s",
                ms[ms.size() / 2]);
  }
  return 0;
}

// The longest gap in milliseconds between two asks of the stop check (or
// the start and the first, or the last and the end) over `rounds` solves;
// negative when a solve failed.
double longest_ask_gap(const std::vector<uint64_t> &items, unsigned threads, int rounds) {
  struct asks {
    clock_type::time_point last;
    double longest = 0;
    static int check(void *context) {
      auto *self = static_cast<asks *>(context);
      const auto now = clock_type::now();
      self->longest = std::max(self->longest,
                               std::chrono::duration<double, std::milli>(now - self->last).count());
      self->last = now;
      return 0;
    }
  } seen;
  unsigned __int128 total = 0;
  for (uint64_t w : items)
    total += w;
  const size_t count = static_cast<size_t>(total / 64) + 1;
  const qern_stop stop{asks::check, &seen};
  for (int round = 0; round < rounds; ++round) {
    qern_memory::heap_ptr<uint64_t[]> words(static_cast<uint64_t *>(calloc(count, 8)));
    if (!words)
      return -1;
    size_t written = count;
    seen.last = clock_type::now();
    if (qern_local_solve_into_zeros(items.data(), items.size(), words.get(), &written, &stop,
                                    threads) != 0)
      return -1;
    asks::check(&seen);
  }
  return seen.longest;
}

int ask_gaps() {
  std::vector<uint64_t> shared = uniform(303, 150, 1 << 22, 1 << 23);
  for (auto &w : shared)
    w *= 10;
  shared.push_back(7);
  std::vector<uint64_t> sixes = uniform(302, 150, 1 << 22, 1 << 23);
  for (auto &w : sixes)
    w *= 6;
  const struct {
    const char *name;
    std::vector<uint64_t> items;
  } families[] = {
      {"dense", uniform(301, 300, 1 << 23, 1 << 24)},
      {"divisor 6", sixes},
      {"all but one share 10", shared},
      {"residues 1009k+1", residue(304, 60, 1009, 1, 300000)},
      // Copied and sorted for hundreds of milliseconds before any word.
      {"20M items up to 100", uniform(305, 20000000, 1, 100)},
  };
  for (const auto &family : families) {
    const double one = longest_ask_gap(family.items, 1, 3);
    const double two = longest_ask_gap(family.items, 2, 3);
    if (one < 0 || two < 0)
      return 1;
    std::printf("ask gap: %s: 1 thread %.1f ms, 2 threads %.1f ms\n", family.name, one, two);
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && std::strcmp(argv[1], "--sweep-bandwidth") == 0)
    return sweep_bandwidth(std::strtoull(argv[2], nullptr, 10));
  if (argc == 3 && std::strcmp(argv[1], "--fault-bandwidth") == 0)
    return fault_bandwidth(std::strtoull(argv[2], nullptr, 10));
  if (argc == 2 && std::strcmp(argv[1], "--ask-gaps") == 0)
    return ask_gaps();
  if (argc == 2 && std::strcmp(argv[1], "--thread-start") == 0)
    return thread_start();
  if (argc == 2 && std::strcmp(argv[1], "--solve-in-place") == 0)
    return solve_in_place();
  const struct {
    const char *name;
    std::vector<uint64_t> items;
  } families[] = {
      {"1 mod 1009", residue(206, 300, 1009, 1, 200)},
      {"5 mod 4001", residue(207, 300, 4001, 5, 100)},
      {"1 mod 257", residue(208, 100, 257, 1, 400)},
      {"narrow 1e4", uniform(210, 2000, 10000, 10500)},
      {"dense 1..2000", uniform(211, 1000, 1, 2000)},
  };
  std::printf("%-14s %8s %10s %10s %8s\n", "family", "words", "plain ms", "solver ms", "x plain");
  for (const auto &family : families) {
    uint64_t total = 0;
    for (uint64_t w : family.items)
      total += w;
    std::vector<uint64_t> plain(total / 64 + 1), ours(total / 64 + 1);
    const double plain_ms = median_ms([&] { plain_sweep(family.items, plain); }, 9);
    const double our_ms = median_ms(
        [&] {
          size_t count = ours.size();
          qern_local_solve(family.items.data(), family.items.size(), ours.data(), &count, nullptr);
        },
        9);
    if (plain != ours) {
      std::printf("%s: the answers differ\n", family.name);
      return 1;
    }
    std::printf("%-14s %8zu %10.2f %10.2f %8.1f\n", family.name, ours.size(), plain_ms, our_ms,
                plain_ms / our_ms);
  }
  return 0;
}
