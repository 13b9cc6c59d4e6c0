"""Big answers solved on several threads: exact against Python's int at every
thread count, from the threads= argument and from QERN_THREADS; threads are
started only for big answers and only as many as the process's CPUs allow,
all concurrent solves together; a forked child solves on threads of its own."""

import os
import random
import shutil
import subprocess
import sys
import textwrap
import time

import pytest
import qernx
from oracle import reachable, subset_sums

TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def dense(seed):
    """Odd items up to 2^20 and two large ones: a dense answer of about 8 MiB."""
    rng = random.Random(seed)
    return [rng.randint(0, 2**19) * 2 + 1 for _ in range(90)] + [2**24 + 1, 2**23 + 3]


def beyond_a_piece(seed):
    """Items each larger than one thread's piece (2^21 sums), a few smaller."""
    rng = random.Random(seed)
    big = [2**21 + rng.choice((-1, 0, 1)) + rng.randint(0, 2**22) for _ in range(24)]
    return big + [rng.randint(1, 5000) for _ in range(30)] + [1, 3]


def small_and_large(seed):
    """Many items below a word, where threads trail each other closest."""
    rng = random.Random(seed)
    return [rng.randint(1, 63) for _ in range(400)] + [rng.randint(2**20, 2**22) for _ in range(20)]


def shared_divisor(seed):
    """Multiples of 3: solved divided by 3 into the low words, then spread
    over all of them, whose pages are faulted meanwhile."""
    rng = random.Random(seed)
    return [3 * (rng.randint(0, 2**18) * 2 + 1) for _ in range(60)] + [3 * 2**23]


def residue_rows(seed):
    """1 plus multiples of 1009: solved packed into narrower rows, then moved
    apart over all the words."""
    rng = random.Random(seed)
    return [1 + 1009 * rng.randint(0, 2000) for _ in range(40)]


FAMILIES = [
    pytest.param(dense, id="dense"),
    pytest.param(beyond_a_piece, id="items beyond a piece"),
    pytest.param(small_and_large, id="items below a word"),
    pytest.param(shared_divisor, id="shared divisor"),
    pytest.param(residue_rows, id="residue rows"),
]
THREADS = [1, 2, 3, 8]


@pytest.mark.parametrize("threads", THREADS)
@pytest.mark.parametrize("family", FAMILIES)
def test_bytes_call_on_threads_matches_int(family, threads):
    items = family(threads)
    assert sum(items) // 64 >= 2**19  # the sweep spans enough words for threads
    answer = qernx.complete_subset_sum_bytes(items, threads=threads)
    assert int.from_bytes(answer, "little") == reachable(items)


# Counts and junk alike (the settings' own tests read every form of junk).
@pytest.mark.parametrize("threads", ["1", "2", "8", "two", "2000x"])
def test_list_call_under_qern_threads_matches_int(monkeypatch, threads):
    monkeypatch.setenv("QERN_KILLSWITCH", "1")
    monkeypatch.setenv("QERN_THREADS", threads)
    items = dense(len(threads))
    assert qernx.complete_subset_sum(items) == subset_sums(items)


@pytest.mark.parametrize(
    ("value", "error"),
    [
        (0, ValueError),
        (-1, ValueError),
        (-(10**30), ValueError),
        ("2", TypeError),
        (2.0, TypeError),
    ],
)
def test_threads_argument_refuses_what_is_no_count(value, error):
    with pytest.raises(error):
        qernx.complete_subset_sum_bytes([1, 2], threads=value)


def test_threads_argument_is_keyword_only_and_large_counts_are_capped():
    with pytest.raises(TypeError):
        qernx.complete_subset_sum_bytes([1, 2], 2)
    items = dense(5)
    assert int.from_bytes(
        qernx.complete_subset_sum_bytes(items, threads=10**30), "little"
    ) == reachable(items)


# Runs in a child, so that its affinity mask and environment stay its own:
# counts this process's threads while bytes calls solve, and prints the
# most seen beyond the threads it started itself.
WATCHER = """
import os, random, sys, threading, time
sys.path.insert(0, {tests!r})
import qernx
{setup}
rng = random.Random(7)
items = [1009 * rng.randint(0, 3000) + 1 for _ in range(400)]
small = [rng.randint(1, 1000) for _ in range(200)]
def tasks():
    return len(os.listdir("/proc/self/task"))
def solve():
    # Long enough for the watcher to see, even on a loaded machine where it
    # waits its turn for the interpreter lock: small solves go on for a
    # while, not just a number of times.
    until = time.monotonic() + 0.3
    calls = 0
    while calls < (300 if {small} else 3) or ({small} and time.monotonic() < until):
        qernx.complete_subset_sum_bytes(small if {small} else items, **{kwargs})
        calls += 1
solvers = [threading.Thread(target=solve) for _ in range({solvers})]
watching = True
most = [0]
def watch():
    while watching:
        most[0] = max(most[0], tasks())
        time.sleep(0.0005)
watcher = threading.Thread(target=watch)
watcher.start()
time.sleep(0.01)
base = tasks()
for solver in solvers:
    solver.start()
for solver in solvers:
    solver.join()
watching = False
watcher.join()
print(most[0] - base, flush=True)
"""


def extra_threads(solvers=1, kwargs="{}", setup="", small=False, wrapper=()):
    """`wrapper`: a command that runs the child's, given as its arguments."""
    code = textwrap.dedent(WATCHER).format(
        tests=TESTS, setup=setup, kwargs=kwargs, solvers=solvers, small=small
    )
    out = subprocess.run(
        [*wrapper, sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=300,
        check=True,
    )
    # Less the solving threads themselves.
    return int(out.stdout) - solvers


CPUS = len(os.sched_getaffinity(0))


@pytest.mark.skipif(CPUS < 2, reason="needs two CPUs for a second solver thread")
@pytest.mark.parametrize(
    ("how", "kwargs", "setup", "expected"),
    [
        pytest.param("argument", "{'threads': 2}", "", 2, id="threads=2"),
        pytest.param("argument", "{'threads': 1}", "", 0, id="threads=1"),
        pytest.param(
            "environment", "{}", "os.environ['QERN_THREADS'] = '2'", 2, id="QERN_THREADS=2"
        ),
        pytest.param(
            "environment", "{}", "os.environ['QERN_THREADS'] = '1'", 0, id="QERN_THREADS=1"
        ),
        pytest.param(
            "environment", "{}", "os.environ['QERN_THREADS'] = '2000x'", 2, id="QERN_THREADS junk"
        ),
        pytest.param(
            "default", "{}", "os.environ.pop('QERN_THREADS', None)", 2, id="QERN_THREADS unset"
        ),
        pytest.param(
            "affinity",
            "{'threads': 2}",
            "os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})",
            0,
            id="one CPU in the mask",
        ),
    ],
)
def test_threads_started_for_a_big_answer(how, kwargs, setup, expected):
    # At most the threads asked for run beside the caller, and at least one
    # when two are asked for: some passes share the work with the caller,
    # others run on threads of their own while it waits.
    extra = extra_threads(kwargs=kwargs, setup=setup)
    assert (extra > 0) == (expected > 0) and extra <= expected, (how, extra)


def cpu_hierarchy():
    """Where this process's cgroup with the cpu controller lies, and how to
    mount its hierarchy: v1's cpu one, or v2 when the process is in its root
    (where the controller may be handed down to a child at once); None
    elsewhere."""
    groups = {}
    with open("/proc/self/cgroup") as lines:
        for line in lines:
            number, controllers, path = line.rstrip("\n").split(":", 2)
            groups["v2" if number == "0" else controllers] = path
    with open("/proc/self/mountinfo") as lines:
        for line in lines:
            fields = line.split()
            kind, options = fields[fields.index("-") + 1], fields[fields.index("-") + 3]
            if fields[3] != "/":
                continue  # shows part of the hierarchy: leave it to the host
            joined = [(c, p) for c, p in groups.items() if "cpu" in c.split(",")]
            if kind == "cgroup" and "cpu" in options.split(",") and joined:
                controllers, path = joined[0]
                return "v1", fields[4] + path.rstrip("/"), f"-t cgroup -o {controllers}"
            if kind == "cgroup2" and groups.get("v2") == "/":
                with open(os.path.join(fields[4], "cgroup.controllers")) as listed:
                    if "cpu" in listed.read().split():
                        return "v2", fields[4], "-t cgroup2"
    return None


@pytest.fixture
def cgroup_with_quota():
    """Makes cgroups with a CPU quota below this process's (root only), and
    gives the file a process writes its id to, to join one. Its attribute
    `mount` holds mount(8)'s options for the hierarchy."""
    found = cpu_hierarchy() if os.geteuid() == 0 else None
    if found is None:
        pytest.skip("needs root and a cgroup hierarchy with the cpu controller")
    kind, parent, mount = found
    made = []

    def make(cpus):
        group = os.path.join(parent, f"qernx-test-{os.getpid()}-{len(made)}")
        try:
            if kind == "v2":
                with open(os.path.join(parent, "cgroup.subtree_control"), "w") as control:
                    control.write("+cpu")
            os.mkdir(group)
            made.append(group)
            if kind == "v2":
                with open(os.path.join(group, "cpu.max"), "w") as quota:
                    quota.write(f"{cpus * 50000} 100000")
            else:
                with open(os.path.join(group, "cpu.cfs_period_us"), "w") as period:
                    period.write("100000")
                with open(os.path.join(group, "cpu.cfs_quota_us"), "w") as quota:
                    quota.write(str(cpus * 50000))
        except OSError as error:
            pytest.skip(f"cannot set a CPU quota here: {error}")
        return os.path.join(group, "cgroup.procs")

    make.mount = mount
    yield make
    for group in made:
        for _ in range(100):  # until the child that joined it is gone
            try:
                os.rmdir(group)
                break
            except OSError:
                time.sleep(0.05)


# A CPU quota (cgroup v1's cpu.cfs_quota_us on hosts that mount it, v2's
# cpu.max) caps the solver threads as a narrower affinity mask does: the
# child joins a cgroup whose quota allows half a CPU, or two and a half,
# rounded up, and solves a big answer asking for two threads, or for as
# many as there are CPUs.
@pytest.mark.skipif(CPUS < 2, reason="needs two CPUs for a second solver thread")
@pytest.mark.parametrize(
    ("half_cpus", "kwargs", "threaded"),
    [
        pytest.param(1, "{'threads': 2}", False, id="half a CPU, threads=2"),
        pytest.param(1, "{}", False, id="half a CPU, default"),
        pytest.param(5, "{'threads': 2}", True, id="two and a half CPUs, threads=2"),
    ],
)
def test_a_cgroup_cpu_quota_caps_the_threads(cgroup_with_quota, half_cpus, kwargs, threaded):
    procs = cgroup_with_quota(half_cpus)
    setup = f"open({procs!r}, 'w').write(str(os.getpid()))\nos.environ.pop('QERN_THREADS', None)"
    extra = extra_threads(kwargs=kwargs, setup=setup)
    assert (extra > 0) == threaded and extra <= 2, extra


# As a container runtime sets it up: the child joins the cgroup with the
# quota, then a cgroup namespace of its own, in which it sees that cgroup as
# "/"; the hierarchy is mounted afresh at a new path (with a space in it)
# over an empty /sys/fs/cgroup, whose old mounts still show in mountinfo,
# their roots climbing out of the namespace.
@pytest.mark.skipif(CPUS < 2, reason="needs two CPUs for a second solver thread")
def test_a_quota_seen_from_a_cgroup_namespace_caps_the_threads(cgroup_with_quota):
    procs = cgroup_with_quota(1)
    if (
        shutil.which("unshare") is None
        or subprocess.run(["unshare", "--cgroup", "--mount", "--fork", "true"]).returncode != 0
    ):
        pytest.skip("cannot make cgroup and mount namespaces here")
    inside = (
        "mount -t tmpfs none /sys/fs/cgroup && mkdir '/sys/fs/cgroup/cpu x' && "
        f'mount {cgroup_with_quota.mount} none \'/sys/fs/cgroup/cpu x\' && exec "$0" "$@"'
    )
    wrapper = [
        "sh",
        "-c",
        f'echo $$ > {procs} && exec unshare --cgroup --mount --fork sh -c "$0" "$@"',
        inside,
    ]
    setup = "os.environ.pop('QERN_THREADS', None)"
    assert extra_threads(kwargs="{'threads': 2}", setup=setup, wrapper=wrapper) == 0


def test_no_threads_for_a_small_answer():
    assert extra_threads(kwargs="{'threads': 8}", small=True) == 0


@pytest.mark.skipif(CPUS < 2, reason="needs two CPUs for a second solver thread")
def test_concurrent_solves_share_the_cpus():
    # Three solves asking for 8 threads each: solver threads never pass the
    # CPUs, though each solve that finds none free still solves, on its own
    # calling thread.
    cpus = len(os.sched_getaffinity(0))
    assert 0 < extra_threads(solvers=3, kwargs="{'threads': 8}") <= cpus


FORKED = """
import os, random, sys, threading, warnings
sys.path.insert(0, {tests!r})
import qernx
from oracle import reachable
rng = random.Random(3)
items = [rng.randint(0, 2**19) * 2 + 1 for _ in range(90)] + [2**24 + 1, 2**23 + 3]
long_items = [1009 * rng.randint(0, 3000) + 1 for _ in range(400)]
busy = None
if {before!r} == "threads done":
    qernx.complete_subset_sum_bytes(items, threads=2)
elif {before!r} == "threads running":
    busy = threading.Thread(target=qernx.complete_subset_sum_bytes, args=(long_items,),
                            kwargs={{"threads": 2}})
    busy.start()  # solving on threads while the process forks
warnings.simplefilter("ignore", DeprecationWarning)
child = os.fork()
if child == 0:
    answer = qernx.complete_subset_sum_bytes(items, threads={child_threads})
    os._exit(0 if int.from_bytes(answer, "little") == reachable(items) else 3)
_, status = os.waitpid(child, 0)
if busy is not None:
    busy.join()
print(os.waitstatus_to_exitcode(status), flush=True)
"""


# The child of fork() solves exactly, on threads of its own or on one, whether
# the parent had used threads before, or was solving on them at the fork (the
# child then holds none of them and must not wait for them).
@pytest.mark.parametrize("child_threads", [1, 2])
@pytest.mark.parametrize("before", ["no solve", "threads done", "threads running"])
def test_a_forked_child_solves(before, child_threads):
    if before == "threads running" and os.environ.get("QERN_SANITIZED") == "1":
        # The sanitizers' allocator (GCC 12) takes no lock around fork(): a
        # parent thread inside malloc at the fork leaves its lock held in the
        # child for ever, and the child's first free waits on it. glibc's
        # malloc takes its locks around fork(), and the plain runs cover this.
        pytest.skip("the sanitizers' allocator is not fork-safe while other threads allocate")
    code = textwrap.dedent(FORKED).format(tests=TESTS, before=before, child_threads=child_threads)
    out = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=300, check=True
    )
    assert out.stdout == "0\n", out.stderr[-2000:]


FORKED_IN_A_HANDLER = """
import array, os, random, signal, sys, warnings
sys.path.insert(0, {tests!r})
os.environ["QERN_KILLSWITCH"] = "1"
os.environ["QERN_THREADS"] = "2"
import qernx
from oracle import reachable
rng = random.Random(5)
items = [rng.randint(0, 2**21) * 2 + 1 for _ in range(160)]
expected = reachable(items)
warnings.simplefilter("ignore", DeprecationWarning)
in_child = False
forks = []

def fork_here(signum, frame):
    global in_child
    if in_child:
        return
    pid = os.fork()
    if pid == 0:
        in_child = True
        # Threads of the child's own first, which may take over the lost
        # threads' descriptors, then back into the parent's solve.
        answer = qernx.complete_subset_sum_bytes(items, threads=2)
        if int.from_bytes(answer, "little") != expected:
            os._exit(4)
    else:
        forks.append(pid)

signal.signal(signal.SIGALRM, fork_here)
for delay in {delays!r}:
    signal.setitimer(signal.ITIMER_REAL, delay)
    try:
        words = qernx.complete_subset_sum(items)
        exact = int.from_bytes(array.array("Q", words).tobytes(), sys.byteorder) == expected
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
    if in_child:
        os._exit(0 if exact else 3)
    assert exact
codes = [os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) for pid in forks]
print(len(forks), *codes, flush=True)
"""


# A signal handler that forks while a list call solves on threads: in the
# child the solve's threads are gone with their share of the words, and its
# handler starts threads of its own before the solve goes on. The child's list
# call still answers in full (on its calling thread), as the parent's does.
@pytest.mark.skipif(CPUS < 2, reason="needs two CPUs for a second solver thread")
def test_a_handler_that_forks_mid_solve_leaves_both_answers_exact():
    # Spread over the solve (about 20 ms here), into its threaded passes.
    delays = [0.002 * k for k in range(1, 9)]
    code = textwrap.dedent(FORKED_IN_A_HANDLER).format(tests=TESTS, delays=delays)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr[-3000:]
    forks, *codes = map(int, out.stdout.split())
    assert forks >= 4  # most timers went off inside a solve
    assert codes == [0] * forks
