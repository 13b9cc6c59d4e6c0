// The CPUs a cgroup CPU quota lets this process use. The quota may be set in
// cgroup v2 (cpu.max) or, on hosts that still mount the v1 cpu controller
// (many container hosts; Docker's --cpus and systemd's CPUQuota= set it
// there), in v1 (cpu.cfs_quota_us over cpu.cfs_period_us); at the process's
// own cgroup or at any parent up to where the hierarchy is mounted, the
// smallest counting.
// Everything is read into fixed buffers: nothing here throws.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "local_solver.h"

namespace qern_local {
namespace {

// Longer cgroup paths and mount points are not looked at: the affinity mask
// alone counts then. Kept short, as a caller's thread may have a small stack.
constexpr size_t kPathMax = 1024;
// A mount point and a cgroup path below it.
constexpr size_t kDirectoryMax = 2 * kPathMax;

// This process's cgroup in one hierarchy that may hold a CPU quota, and
// where that cgroup can be seen.
struct hierarchy {
  bool joined = false;
  bool mounted = false;
  char group[kPathMax] = {};  // this process's cgroup, from the top
  char mount[kPathMax] = {};  // where a mount showing it is
  size_t shown = 0;           // the length of the part of `group` the mount leaves out
};

// Whether a cgroup path climbs with "..": a cgroup namespace shows so the
// cgroups outside it, which none of its mounts can show.
bool climbs(const char *path) {
  const char *at = strstr(path, "/..");
  for (; at != nullptr; at = strstr(at + 1, "/..")) {
    if (at[3] == '\0' || at[3] == '/')
      return true;
  }
  return false;
}

// Whether `name` is one of the comma-separated words of `list`.
bool listed(const char *list, const char *name) {
  const size_t length = strlen(name);
  for (const char *at = list; *at != '\0';) {
    const char *end = strchr(at, ',');
    const size_t word = end != nullptr ? static_cast<size_t>(end - at) : strlen(at);
    if (word == length && strncmp(at, name, length) == 0)
      return true;
    if (end == nullptr)
      break;
    at = end + 1;
  }
  return false;
}

// Copies a mountinfo path, whose spaces, tabs, newlines and backslashes come
// as three octal digits after a backslash. False when it does not fit.
bool copy_unescaped(char *to, const char *from) {
  size_t n = 0;
  for (const char *at = from; *at != '\0'; ++n) {
    if (n + 1 >= kPathMax)
      return false;
    if (at[0] == '\\' && at[1] >= '0' && at[1] <= '3' && at[2] >= '0' && at[2] <= '7' &&
        at[3] >= '0' && at[3] <= '7') {
      to[n] = static_cast<char>((at[1] - '0') * 64 + (at[2] - '0') * 8 + (at[3] - '0'));
      at += 4;
    } else {
      to[n] = *at++;
    }
  }
  to[n] = '\0';
  return true;
}

// Reads a whole line into `line`; false at the end of the file. A line that
// does not fit is skipped, and `line` left empty.
bool read_line(FILE *file, char *line, size_t size) {
  if (fgets(line, static_cast<int>(size), file) == nullptr)
    return false;
  const size_t length = strlen(line);
  if (length > 0 && line[length - 1] == '\n') {
    line[length - 1] = '\0';
  } else if (!feof(file)) {
    int c;
    while ((c = fgetc(file)) != EOF && c != '\n') {
    }
    line[0] = '\0';
  }
  return true;
}

// This process's cgroups from a /proc/self/cgroup file: "0::path" for v2,
// "id:controllers:path" for v1, where the controllers include cpu.
void find_groups(const char *cgroups, hierarchy &v2, hierarchy &v1) {
  FILE *file = fopen(cgroups, "re");
  if (file == nullptr)
    return;
  char line[kPathMax + 256];
  while (read_line(file, line, sizeof line)) {
    char *first = strchr(line, ':');
    char *second = first != nullptr ? strchr(first + 1, ':') : nullptr;
    if (second == nullptr || second[1] != '/' || strlen(second + 1) >= kPathMax)
      continue;
    *second = '\0';
    hierarchy *found = nullptr;
    if (strcmp(line, "0:") == 0) {
      found = &v2;
    } else if (listed(first + 1, "cpu")) {
      found = &v1;
    }
    if (found == nullptr || found->joined || climbs(second + 1))
      continue;
    strcpy(found->group, second + 1);
    found->joined = true;
  }
  fclose(file);
}

// Where this process's cgroups can be seen, from a mountinfo file: "id
// parent dev root mount options [optional fields] - type source
// super-options". A mount shows the hierarchy from its root down (a
// container's own cgroup, say), so only one whose root holds the cgroup will
// do; of those the last, since a mount made later may cover one before it
// (in a namespace the covered one's root climbs out of it with "..").
void find_mounts(const char *mountinfo, hierarchy &v2, hierarchy &v1) {
  FILE *file = fopen(mountinfo, "re");
  if (file == nullptr)
    return;
  char line[3 * kPathMax];  // longer ones are skipped
  while (read_line(file, line, sizeof line)) {
    char *fields[64];
    size_t count = 0;
    char *save = nullptr;
    for (char *field = strtok_r(line, " ", &save); field != nullptr && count < 64;
         field = strtok_r(nullptr, " ", &save)) {
      fields[count++] = field;
    }
    size_t dash = 6;
    while (dash < count && strcmp(fields[dash], "-") != 0)
      ++dash;
    if (dash + 3 >= count)
      continue;
    const char *type = fields[dash + 1];
    hierarchy *found = nullptr;
    if (strcmp(type, "cgroup2") == 0) {
      found = &v2;
    } else if (strcmp(type, "cgroup") == 0 && listed(fields[dash + 3], "cpu")) {
      found = &v1;
    }
    char root[kPathMax];
    char mount[kPathMax];
    if (found == nullptr || !found->joined || !copy_unescaped(root, fields[3]) ||
        !copy_unescaped(mount, fields[4]) || climbs(root)) {
      continue;
    }
    const size_t shown = strcmp(root, "/") == 0 ? 0 : strlen(root);
    if (strncmp(found->group, root, shown) != 0 ||
        (found->group[shown] != '\0' && found->group[shown] != '/')) {
      continue;  // another part of the hierarchy
    }
    memcpy(found->mount, mount, sizeof mount);
    found->shown = shown;
    found->mounted = true;
  }
  fclose(file);
}

// The CPUs a quota of `allowed` in each `period` gives, rounded up; 0 for
// none.
unsigned cpus_of(long long allowed, long long period) {
  if (allowed <= 0 || period <= 0)
    return 0;
  const long long cpus = allowed / period + (allowed % period != 0 ? 1 : 0);
  return cpus > 0xFFFF ? 0xFFFF : static_cast<unsigned>(cpus);
}

// A whole file of at most a line, or false.
bool read_small_file(const char *path, char *text, size_t size) {
  FILE *file = fopen(path, "re");
  if (file == nullptr)
    return false;
  const size_t length = fread(text, 1, size - 1, file);
  fclose(file);
  text[length] = '\0';
  return length > 0;
}

// Reads a number that fills a field; false for anything else.
bool whole_number(const char *text, long long &value) {
  char *end = nullptr;
  value = strtoll(text, &end, 10);
  return end != text && (*end == '\0' || *end == '\n' || *end == ' ');
}

// cgroup v2's "quota period" (or "max period": none).
unsigned v2_quota(const char *directory) {
  char path[kDirectoryMax + 32];
  char text[64];
  snprintf(path, sizeof path, "%s/cpu.max", directory);
  if (!read_small_file(path, text, sizeof text))
    return 0;
  char *space = strchr(text, ' ');
  long long allowed = 0, period = 0;
  if (space == nullptr || !whole_number(text, allowed) || !whole_number(space + 1, period))
    return 0;  // "max"
  return cpus_of(allowed, period);
}

// cgroup v1's quota (-1: none) and period, in microseconds, in two files.
unsigned v1_quota(const char *directory) {
  char path[kDirectoryMax + 32];
  char text[64];
  long long allowed = 0, period = 0;
  snprintf(path, sizeof path, "%s/cpu.cfs_quota_us", directory);
  if (!read_small_file(path, text, sizeof text) || !whole_number(text, allowed))
    return 0;
  snprintf(path, sizeof path, "%s/cpu.cfs_period_us", directory);
  if (!read_small_file(path, text, sizeof text) || !whole_number(text, period))
    return 0;
  return cpus_of(allowed, period);
}

// The smallest quota from this process's cgroup up to the mount's top, or 0.
unsigned smallest_quota(const hierarchy &where, unsigned (*quota)(const char *)) {
  if (!where.mounted)
    return 0;
  const char *below = where.group + where.shown;
  char directory[kDirectoryMax];
  const size_t top = strlen(where.mount);
  snprintf(directory, sizeof directory, "%s%s", where.mount, strcmp(below, "/") == 0 ? "" : below);
  unsigned smallest = 0;
  while (true) {
    const unsigned cpus = quota(directory);
    if (cpus != 0 && (smallest == 0 || cpus < smallest))
      smallest = cpus;
    char *slash = strlen(directory) > top ? strrchr(directory + top, '/') : nullptr;
    if (slash == nullptr)
      break;
    *slash = '\0';
  }
  return smallest;
}

}  // namespace

unsigned cgroup_cpu_limit(const char *cgroups, const char *mountinfo) {
  hierarchy v2, v1;
  find_groups(cgroups, v2, v1);
  find_mounts(mountinfo, v2, v1);
  const unsigned by_v2 = smallest_quota(v2, v2_quota);
  const unsigned by_v1 = smallest_quota(v1, v1_quota);
  if (by_v2 == 0 || by_v1 == 0)
    return by_v2 + by_v1;
  return by_v2 < by_v1 ? by_v2 : by_v1;
}

}  // namespace qern_local
