// How many solver threads this process may run: the CPUs it may use, and a
// process-wide count of those already running, so that concurrent solves
// share the CPUs instead of each taking all of them.
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <new>
#include <thread>

#include "local_solver.h"
#include "qern_memory.h"

namespace qern_local {
namespace {

// The CPUs in this process's affinity mask; the online count when the mask
// does not fit a cpu_set_t.
unsigned affinity_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0)
      return static_cast<unsigned>(count);
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned>(online) : 1;
}

// Threads running for solves: the process id in the high half, the count in
// the low. A child of fork() has none of its parent's threads, so a count
// stamped with another process's id reads as 0: nothing to reset, nothing
// that a lock held across fork() could block.
std::atomic<uint64_t> running{0};

uint64_t this_process() {
  return static_cast<uint64_t>(static_cast<uint32_t>(getpid())) << 32;
}

}  // namespace

unsigned usable_cpus() {
  const unsigned cpus = affinity_cpus();
  const unsigned quota = cgroup_cpu_limit("/proc/self/cgroup", "/proc/self/mountinfo");
  return std::max(1u, quota != 0 ? std::min(cpus, quota) : cpus);
}

thread_grant::thread_grant(unsigned wanted, unsigned limit) {
  const uint64_t self = this_process();
  uint64_t seen = running.load();
  while (true) {
    const uint64_t used = (seen & ~uint64_t{0xFFFFFFFF}) == self ? seen & 0xFFFFFFFF : 0;
    const uint64_t room = used < limit ? limit - used : 0;
    const unsigned taken = static_cast<unsigned>(std::min<uint64_t>(wanted, room));
    if (taken == 0)
      return;
    if (running.compare_exchange_weak(seen, self | (used + taken))) {
      count_ = taken;
      return;
    }
  }
}

void thread_grant::give_back(unsigned count) {
  count = std::min(count, count_);
  if (count == 0)
    return;
  count_ -= count;
  const uint64_t self = this_process();
  uint64_t seen = running.load();
  while ((seen & ~uint64_t{0xFFFFFFFF}) == self) {
    const uint64_t used = seen & 0xFFFFFFFF;
    const uint64_t left = used > count ? used - count : 0;
    if (running.compare_exchange_weak(seen, self | left))
      return;
  }
}

thread_placement::thread_placement() noexcept {
  CPU_ZERO(&all_);
  const int here = sched_getcpu();
  if (here < 0 || here >= CPU_SETSIZE || sched_getaffinity(0, sizeof all_, &all_) != 0)
    return;  // unknown, or more CPUs than a cpu_set_t holds: left to the scheduler
  if (CPU_ISSET(here, &all_) && CPU_COUNT(&all_) > 1)
    here_ = here;
}

void thread_placement::steer(std::thread &started, unsigned nth) const noexcept {
  if (here_ < 0 || !started.joinable())
    return;
  // The CPUs after the starter's in the mask, wrapping round to it.
  const unsigned cpus = static_cast<unsigned>(CPU_COUNT(&all_));
  unsigned skip = nth % cpus;
  for (int step = 1; step <= CPU_SETSIZE; ++step) {
    const int cpu = (here_ + step) % CPU_SETSIZE;
    if (!CPU_ISSET(cpu, &all_) || skip-- > 0)
      continue;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    pthread_setaffinity_np(started.native_handle(), sizeof one, &one);
    return;
  }
}

void thread_placement::let_go() noexcept {
  let_go_.store(true, std::memory_order_release);
  let_go_.notify_all();
}

void thread_placement::widen() const noexcept {
  if (here_ < 0)
    return;
  // Not before the starter has steered it: a mask set after this one would
  // hold the thread for good.
  let_go_.wait(false, std::memory_order_acquire);
  sched_setaffinity(0, sizeof all_, &all_);
}

namespace {

// One split pass: pieces handed out in turn from `next`; `stop` ends it.
struct split_pass {
  range_task task;
  void *context;
  size_t count;
  size_t piece;
  size_t skew;  // the grid of pieces starts this far before 0
  std::atomic<size_t> next{0};
  std::atomic<bool> stop{false};
  thread_placement placement;

  // Runs pieces until none is left; returns the words done.
  size_t take_one() noexcept {
    if (stop.load(std::memory_order_relaxed))
      return 0;
    const size_t grid = next.fetch_add(piece, std::memory_order_relaxed);
    const size_t low = grid == 0 ? 0 : grid - skew;
    if (low >= count)
      return 0;
    const size_t high = std::min(count, grid + piece - skew);
    task(context, low, high);
    return high - low;
  }
};

}  // namespace

bool split_on_threads(size_t count, size_t piece, unsigned wanted, work_meter &meter,
                      range_task task, void *context, unsigned cpus, size_t skew) noexcept {
  split_pass pass;
  pass.task = task;
  pass.context = context;
  pass.count = count;
  pass.piece = std::max<size_t>(piece, 1);
  pass.skew = skew % pass.piece;
  const size_t pieces =
      (count + pass.skew) / pass.piece + ((count + pass.skew) % pass.piece != 0 ? 1 : 0);
  // The calling thread is one of the threads: the grant covers it.
  // One thread alone takes nothing from the budget, as the plain sweep.
  const unsigned asked = static_cast<unsigned>(std::min<size_t>(wanted, pieces));
  const bool threaded = asked >= 2;
  thread_grant grant(threaded ? asked : 0, threaded ? (cpus != 0 ? cpus : usable_cpus()) : 0);
  std::unique_ptr<std::thread[]> helpers;
  unsigned started = 0;
  if (grant.count() >= 2) {
    helpers.reset(new (std::nothrow) std::thread[grant.count() - 1]);
    for (; helpers && started + 1 < grant.count(); ++started) {
      try {
        helpers[started] = std::thread([&pass] {
          pass.placement.widen();
          while (pass.take_one() != 0) {
          }
        });
        pass.placement.steer(helpers[started], started);
      } catch (const std::exception &) {  // out of threads or memory: fewer do
        break;
      }
    }
  }
  pass.placement.let_go();
  grant.give_back(grant.count() - std::min(grant.count(), started + 1));
  const pid_t solving = getpid();
  bool forked = false;
  while (true) {
    const size_t done = pass.take_one();
    if (done == 0)
      break;
    if (meter.add(done)) {
      pass.stop.store(true, std::memory_order_relaxed);
      break;
    }
    // A stop check that forked (a signal handler may): the helpers are
    // gone in the child, and their pieces with them.
    if (getpid() != solving) {
      forked = true;
      break;
    }
  }
  for (unsigned t = 0; t < started; ++t) {
    if (forked) {
      let_go_after_fork(helpers[t]);
    } else {
      helpers[t].join();
    }
  }
  if (forked)
    meter.halt();
  return !meter.stopped();
}

page_toucher::page_toucher(uint64_t *words, size_t count, unsigned cpus) noexcept
    : grant_(2, cpus != 0 ? cpus : usable_cpus()), owner_(getpid()) {
  constexpr size_t kPageWords = 4096 / sizeof(uint64_t);
  constexpr size_t kPagesBetweenLooks = 512;  // 2 MiB
  if (grant_.count() < 2 || count == 0) {
    grant_.give_back(grant_.count());
    return;
  }
  try {
    thread_ = std::thread([this, words, count] {
      placement_.widen();
      for (size_t i = 0; i < count; i += kPageWords) {
        if ((i / kPageWords) % kPagesBetweenLooks == 0 && stop_.load(std::memory_order_relaxed))
          break;
        words[i] = 0;
      }
      // Done long before the solve below, as a rule: the sweep then joins
      // this thread and takes up its place.
      done_.store(true, std::memory_order_release);
    });
    placement_.steer(thread_, 0);
  } catch (const std::exception &) {  // out of threads or memory: the caller faults them
    grant_.give_back(grant_.count());
  }
  placement_.let_go();
}

void page_toucher::finish() noexcept {
  if (!thread_.joinable())
    return;
  stop_.store(true, std::memory_order_relaxed);
  if (getpid() != owner_) {
    let_go_after_fork(thread_);  // forked in a stop check: no thread to join here
  } else {
    thread_.join();
  }
  grant_.give_back(grant_.count());
}

bool fault_in(uint64_t *words, size_t count, work_meter &meter) {
  // Pieces end on 2 MiB boundaries of the address space: a page across two
  // pieces would be left out of both.
  size_t length = kSplitPiece - huge_page_skew(words);
  for (size_t from = 0; from < count; from += length, length = kSplitPiece) {
    length = std::min(length, count - from);
    qern_memory::populate_for_writing(words + from, length * sizeof(uint64_t));
    if (meter.add(length))
      return false;
  }
  return true;
}

unsigned threads_running() {
  const uint64_t seen = running.load();
  return (seen & ~uint64_t{0xFFFFFFFF}) == this_process() ? static_cast<unsigned>(seen) : 0;
}

}  // namespace qern_local
