// The CPUs a cgroup quota allows, read from files laid out as the kernel
// lays them out (cgroup v2's cpu.max, v1's cpu.cfs_quota_us and
// cpu.cfs_period_us, /proc/self/cgroup and /proc/self/mountinfo) in a
// scratch directory: hosts, containers and hybrid machines, quotas at the
// process's cgroup and above it, and files a careless reader would take.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "local_solver.h"

namespace {

namespace fs = std::filesystem;

struct quota_case {
  const char *name;
  std::string mountinfo;  // "@" stands for the scratch directory
  std::string cgroups;
  std::vector<std::pair<std::string, std::string>> files;  // below the scratch directory
  unsigned expected;
};

void PrintTo(const quota_case &c, std::ostream *out) {
  *out << c.name;
}

std::string with_scratch(std::string text, const std::string &scratch) {
  for (size_t at = text.find('@'); at != std::string::npos;
       at = text.find('@', at + scratch.size()))
    text.replace(at, 1, scratch);
  return text;
}

class CgroupQuota : public ::testing::TestWithParam<quota_case> {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qern-cgroup-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    scratch_ = pattern;
  }
  void TearDown() override { fs::remove_all(scratch_); }

  void write(const std::string &path, const std::string &text) {
    const fs::path full = fs::path(scratch_) / path;
    fs::create_directories(full.parent_path());
    std::ofstream(full) << text;
  }

  std::string scratch_;
};

const std::string kV2 = "30 22 0:26 / @/cg cgroup2 rw,nosuid - cgroup2 cgroup2 rw,nsdelegate\n";
const std::string kV1 =
    "33 32 0:30 / @/cpu,cpuacct rw,relatime shared:9 - cgroup cgroup rw,cpu,cpuacct\n";

TEST_P(CgroupQuota, SmallestQuotaUpToTheMount) {
  const quota_case &c = GetParam();
  write("mountinfo", with_scratch(c.mountinfo, scratch_));
  write("cgroup", c.cgroups);
  for (const auto &[path, text] : c.files)
    write(path, text);
  EXPECT_EQ(qern_local::cgroup_cpu_limit((scratch_ + "/cgroup").c_str(),
                                         (scratch_ + "/mountinfo").c_str()),
            c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, CgroupQuota,
    ::testing::Values(
        quota_case{
            "V2OwnQuotaRoundedUp", kV2, "0::/app\n", {{"cg/app/cpu.max", "150000 100000\n"}}, 2},
        quota_case{
            "V2ParentsQuota",
            kV2,
            "0::/user/app\n",
            {{"cg/user/app/cpu.max", "max 100000\n"}, {"cg/user/cpu.max", "200000 100000\n"}},
            2},
        quota_case{"V2SmallestOnTheWay",
                   kV2,
                   "0::/a/b/c\n",
                   {{"cg/a/b/c/cpu.max", "300000 100000\n"},
                    {"cg/a/b/cpu.max", "50000 100000\n"},
                    {"cg/a/cpu.max", "800000 100000\n"}},
                   1},
        quota_case{"V2NoneSet", kV2, "0::/app\n", {{"cg/app/cpu.max", "max 100000\n"}}, 0},
        // A namespaced container sees its own cgroup as the mount's top.
        quota_case{"V2ContainerTop", kV2, "0::/\n", {{"cg/cpu.max", "400000 100000\n"}}, 4},
        quota_case{"V1ParentsQuota",
                   kV1,
                   "4:cpu,cpuacct:/system.slice/app.service\n",
                   {{"cpu,cpuacct/system.slice/app.service/cpu.cfs_quota_us", "-1\n"},
                    {"cpu,cpuacct/system.slice/app.service/cpu.cfs_period_us", "100000\n"},
                    {"cpu,cpuacct/system.slice/cpu.cfs_quota_us", "250000\n"},
                    {"cpu,cpuacct/system.slice/cpu.cfs_period_us", "100000\n"}},
                   3},
        quota_case{"V1NoneSet",
                   kV1,
                   "4:cpu,cpuacct:/\n",
                   {{"cpu,cpuacct/cpu.cfs_quota_us", "-1\n"},
                    {"cpu,cpuacct/cpu.cfs_period_us", "100000\n"}},
                   0},
        // Docker on a v1 host: the mount shows only the container's cgroup,
        // whose path in the hierarchy /proc/self/cgroup gives in full.
        quota_case{"V1ContainerMountRoot",
                   "41 32 0:30 /docker/abc @/cpu rw - cgroup cgroup rw,cpu\n",
                   "5:cpu:/docker/abc\n",
                   {{"cpu/cpu.cfs_quota_us", "100000\n"}, {"cpu/cpu.cfs_period_us", "100000\n"}},
                   1},
        // A mount that shows another part of the hierarchy shows nothing of
        // this process's: no quota, rather than another cgroup's.
        quota_case{"V1GroupOutsideTheMount",
                   "41 32 0:30 /kubepods/pod1 @/cpu rw - cgroup cgroup rw,cpu\n",
                   "5:cpu:/elsewhere\n",
                   {{"cpu/cpu.cfs_quota_us", "200000\n"}, {"cpu/cpu.cfs_period_us", "100000\n"}},
                   0},
        // /kubepods/pod10 is not inside /kubepods/pod1.
        quota_case{"V1PrefixIsNoParent",
                   "41 32 0:30 /kubepods/pod1 @/cpu rw - cgroup cgroup rw,cpu\n",
                   "5:cpu:/kubepods/pod10/c\n",
                   {{"cpu/cpu.cfs_quota_us", "300000\n"},
                    {"cpu/cpu.cfs_period_us", "100000\n"},
                    {"cpu0/c/cpu.cfs_quota_us", "100000\n"},
                    {"cpu0/c/cpu.cfs_period_us", "100000\n"}},
                   0},
        // A cgroup namespace shows cgroups outside it as climbing out with
        // "..": none of its mounts shows them, and nothing above a mount is
        // read.
        quota_case{"V1GroupAboveTheNamespace",
                   kV1,
                   "4:cpu,cpuacct:/../d\n",
                   {{"cpu,cpuacct/cpu.cfs_quota_us", "-1\n"},
                    {"cpu,cpuacct/cpu.cfs_period_us", "100000\n"},
                    {"cpu.cfs_quota_us", "100000\n"},
                    {"cpu.cfs_period_us", "100000\n"}},
                   0},
        quota_case{"V2GroupAboveTheNamespace",
                   kV2,
                   "0::/../d\n",
                   {{"cg/cpu.max", "max 100000\n"}, {"cpu.max", "100000 100000\n"}},
                   0},
        // A runtime's own mount, made after the host's that it covers (whose
        // root climbs out of the namespace), or over one that showed the
        // same: the later one counts.
        quota_case{
            "CoveredHostMountClimbs",
            "53 52 0:30 /../.. @/old rw - cgroup cgroup rw,cpu\n"
            "70 69 0:30 / @/new\\040x rw - cgroup cgroup rw,cpu\n",
            "1:cpu:/\n",
            {{"new x/cpu.cfs_quota_us", "100000\n"}, {"new x/cpu.cfs_period_us", "100000\n"}},
            1},
        quota_case{"LaterMountCounts",
                   "30 22 0:26 / @/old rw - cgroup2 cgroup2 rw\n"
                   "31 22 0:26 / @/new rw - cgroup2 cgroup2 rw\n",
                   "0::/app\n",
                   {{"old/app/cpu.max", "400000 100000\n"}, {"new/app/cpu.max", "100000 100000\n"}},
                   1},
        // A directory named like "..x" is no climb.
        quota_case{"DotsInAName", kV2, "0::/..x/app\n", {{"cg/..x/cpu.max", "200000 100000\n"}}, 2},
        // Hybrid: v2 mounted beside v1's cpu controller; the smaller counts.
        quota_case{"HybridV1Only",
                   kV2 + kV1,
                   "4:cpu,cpuacct:/app\n0::/app\n",
                   {{"cpu,cpuacct/app/cpu.cfs_quota_us", "200000\n"},
                    {"cpu,cpuacct/app/cpu.cfs_period_us", "100000\n"}},
                   2},
        quota_case{"HybridBothSet",
                   kV1 + kV2,
                   "0::/app\n4:cpu,cpuacct:/app\n",
                   {{"cpu,cpuacct/app/cpu.cfs_quota_us", "500000\n"},
                    {"cpu,cpuacct/app/cpu.cfs_period_us", "100000\n"},
                    {"cg/app/cpu.max", "300000 100000\n"}},
                   3},
        // cpuacct alone is not the cpu controller, nor is a v1 cgroup line
        // without cpu among its controllers.
        quota_case{
            "V1CpuacctIsNotCpu",
            "34 32 0:31 / @/cpuacct rw - cgroup cgroup rw,cpuacct\n",
            "3:cpuacct:/\n",
            {{"cpuacct/cpu.cfs_quota_us", "100000\n"}, {"cpuacct/cpu.cfs_period_us", "100000\n"}},
            0},
        quota_case{"V1LineWithoutCpu",
                   kV1,
                   "3:cpuset:/app\n4:cpu,cpuacct:/\n",
                   {{"cpu,cpuacct/app/cpu.cfs_quota_us", "100000\n"},
                    {"cpu,cpuacct/app/cpu.cfs_period_us", "100000\n"},
                    {"cpu,cpuacct/cpu.cfs_quota_us", "300000\n"},
                    {"cpu,cpuacct/cpu.cfs_period_us", "100000\n"}},
                   3},
        // The walk stops at the mount: files above it are none of its.
        quota_case{"NothingAboveTheMount",
                   "30 22 0:26 / @/a/cg rw - cgroup2 cgroup2 rw\n",
                   "0::/app\n",
                   {{"a/cpu.max", "100000 100000\n"}, {"a/cg/app/cpu.max", "max 100000\n"}},
                   0},
        // Mount points with spaces come escaped; other mounts' lines may be
        // longer than any path.
        quota_case{"EscapedMountPoint",
                   "30 22 0:26 / @/with\\040space rw - cgroup2 cgroup2 rw\n",
                   "0::/\n",
                   {{"with space/cpu.max", "100000 50000\n"}},
                   2},
        quota_case{
            "LongLinesSkipped",
            "20 1 0:1 / / rw - overlay overlay rw,lowerdir=" + std::string(9000, 'x') + "\n" + kV2,
            "0::/" + std::string(2000, 'y') + "\n0::/app\n",
            {{"cg/app/cpu.max", "100000 100000\n"}},
            1},
        quota_case{"Unreadable",
                   kV2 + kV1,
                   "0::/app\n4:cpu,cpuacct:/app\n",
                   {{"cg/app/cpu.max", "lots 100000\n"},
                    {"cpu,cpuacct/app/cpu.cfs_quota_us", "100000\n"},
                    {"cpu,cpuacct/app/cpu.cfs_period_us", "0\n"},
                    {"cpu,cpuacct/cpu.cfs_quota_us", "\n"},
                    {"cpu,cpuacct/cpu.cfs_period_us", "100000\n"}},
                   0},
        quota_case{"HugeQuotaCapped", kV2, "0::/\n", {{"cg/cpu.max", "9000000000000 1\n"}}, 0xFFFF},
        quota_case{"NoCgroupFiles", "", "", {}, 0}),
    [](const ::testing::TestParamInfo<quota_case> &info) { return std::string(info.param.name); });

TEST(CgroupQuota, MissingFilesMeanNoQuota) {
  EXPECT_EQ(qern_local::cgroup_cpu_limit("/nonexistent/cgroup", "/nonexistent/mountinfo"), 0u);
}

}  // namespace
