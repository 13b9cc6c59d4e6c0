// How many solver threads this process may run: the CPUs it may use, and a
// process-wide count of those already running, so that concurrent solves
// share the CPUs instead of each taking all of them.
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <thread>

#include "local_solver.h"

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

// The CPUs a cgroup v2 quota "quota period" allows, rounded up; 0 for "max"
// or anything unreadable.
unsigned quota_cpus(const char *path) {
  FILE *file = fopen(path, "re");
  if (file == nullptr)
    return 0;
  char quota[32] = {0};
  unsigned long long period = 0;
  const int fields = fscanf(file, "%31s %llu", quota, &period);
  fclose(file);
  if (fields != 2 || period == 0 || strcmp(quota, "max") == 0)
    return 0;
  char *end = nullptr;
  const unsigned long long allowed = strtoull(quota, &end, 10);
  if (end == quota || *end != '\0' || allowed == 0)
    return 0;
  const unsigned long long cpus = (allowed + period - 1) / period;
  return cpus > 0xFFFF ? 0xFFFF : static_cast<unsigned>(cpus);
}

// The smallest cpu.max quota on the way from this process's cgroup (v2, the
// "0::" line of /proc/self/cgroup) up to the root; 0 when none is set.
unsigned cgroup_cpus() {
  FILE *file = fopen("/proc/self/cgroup", "re");
  if (file == nullptr)
    return 0;
  char line[4096];
  char group[4096] = {0};
  while (fgets(line, sizeof line, file) != nullptr) {
    if (strncmp(line, "0::", 3) == 0) {
      strncpy(group, line + 3, sizeof group - 1);
      group[strcspn(group, "\n")] = '\0';
      break;
    }
  }
  fclose(file);
  if (group[0] != '/')
    return 0;
  unsigned smallest = 0;
  char path[4096 + 64];
  while (true) {
    snprintf(path, sizeof path, "/sys/fs/cgroup%s/cpu.max", strcmp(group, "/") == 0 ? "" : group);
    const unsigned cpus = quota_cpus(path);
    if (cpus != 0 && (smallest == 0 || cpus < smallest))
      smallest = cpus;
    char *slash = strrchr(group, '/');
    if (slash == nullptr || slash == group)
      break;
    *slash = '\0';
  }
  return smallest;
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
  const unsigned quota = cgroup_cpus();
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

void touch_pages_on_threads(uint64_t *words, size_t count, unsigned wanted,
                            unsigned cpus) noexcept {
  constexpr size_t kPageWords = 4096 / sizeof(uint64_t);
  constexpr size_t kHugePageWords = (size_t{2} << 20) / sizeof(uint64_t);
  if (wanted < 2)
    return;
  // The calling thread is one of the touching threads: the grant covers it.
  thread_grant grant(wanted, cpus != 0 ? cpus : usable_cpus());
  if (grant.count() < 2)
    return;
  const unsigned parts = grant.count();
  // Whole huge pages to each thread, so that no two fault the same one.
  const size_t each = count / parts + (count % parts != 0 ? 1 : 0);
  const size_t share = (each + kHugePageWords - 1) / kHugePageWords * kHugePageWords;
  const auto touch = [words, count, share](unsigned part) noexcept {
    const size_t low = std::min(count, share * part);
    const size_t high = std::min(count, low + share);
    for (size_t i = low; i < high; i += kPageWords)
      words[i] = 0;
  };
  std::unique_ptr<std::thread[]> helpers(new (std::nothrow) std::thread[parts - 1]);
  if (!helpers)
    return;
  unsigned started = 0;
  for (; started + 1 < parts; ++started) {
    try {
      helpers[started] = std::thread(touch, started + 1);
    } catch (const std::exception &) {  // out of threads or memory: the rest stays untouched
      break;
    }
  }
  touch(0);
  for (unsigned t = 0; t < started; ++t)
    helpers[t].join();
}

unsigned threads_running() {
  const uint64_t seen = running.load();
  return (seen & ~uint64_t{0xFFFFFFFF}) == this_process() ? static_cast<unsigned>(seen) : 0;
}

}  // namespace qern_local
