"""Times qernx.complete_subset_sum (list in, list out) against what a Python user
would write instead: Python's int, gmpy2's mpz and a numpy boolean array; then
the family table: input families that defeat plain sweeps, and W0-W5, for the
list call and the bytes call against int and gmpy2, with peak memory per call.

Usage: python bench/bench.py [--repeat N] [--json PATH] [--only W1,W2]
                             [--families all|none|NAME,NAME] [--no-memory]
"""

from __future__ import annotations

import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import threading
import time

os.environ["QERN_KILLSWITCH"] = "1"  # the local solver

import qernx  # noqa: E402

# name: (count, low, high, seed)
WORKLOADS = {
    "W0": (100, 1, 2000, 100),
    "W1": (1_000, 1, 2000, 101),
    "W2": (10_000, 1, 1000, 102),
    "W3": (100, 1, 100_000, 103),
    "W4": (100_000, 1, 50, 104),
    "W5": (1_000, 1, 100_000, 105),
}


def make_items(name: str) -> list[int]:
    count, low, high, seed = WORKLOADS[name]
    rng = random.Random(seed)
    return [rng.randint(low, high) for _ in range(count)]


def python_int(items: list[int]) -> int:
    reach = 1
    for w in items:
        reach |= reach << w
    return reach


def make_gmpy2():
    try:
        import gmpy2
    except ImportError:
        return None

    def solve(items):
        reach = gmpy2.mpz(1)
        for w in items:
            reach |= reach << w
        return reach

    return solve


def make_numpy():
    try:
        import numpy as np
    except ImportError:
        return None

    def solve(items):
        reach = np.zeros(sum(items) + 1, dtype=bool)
        reach[0] = True
        for w in items:
            if w:
                reach[w:] |= reach[:-w].copy()
        return reach

    return solve


# The boolean-array loop costs n * T byte operations: past this it is skipped.
NUMPY_BUDGET = 3e10


def make_hash_search():
    """The hash search driven through the module's exported toolkit."""
    import ctypes

    lib = ctypes.CDLL(qernx.__file__)
    u32 = ctypes.c_uint32
    p32 = ctypes.POINTER(u32)
    lib.find_new_sums.restype = p32
    lib.find_new_sums.argtypes = [p32, p32, p32, u32, u32, u32, u32, u32]
    lib.add_new_sums.argtypes = [p32, p32, p32, u32, u32, u32]
    libc = ctypes.CDLL(None)
    libc.free.argtypes = [ctypes.c_void_p]

    def solve(items):
        total = sum(items) & 0xFFFFFFFF
        powers = (u32 * (2 * total + 1))()
        powers[0] = 1
        for i in range(2 * total):
            powers[i + 1] = powers[i] * 1234567891 % 314804936
        tree = (u32 * (2 * total + 1))()
        flags = (u32 * (total + 1))()
        if total:
            lib.add_new_sums(flags, powers, tree, total, 0, 0)
        for w in items:
            found = lib.find_new_sums(flags, tree, powers, total, 1234567891, 0, total, w)
            for k in range(1, found[0] + 1):
                lib.add_new_sums(flags, powers, tree, total, found[k], w)
            libc.free(found)
        return flags

    return solve


def median_ms(fn, items, repeat: int, budget_s: float) -> float:
    times = []
    deadline = time.perf_counter() + budget_s
    for _ in range(repeat):
        start = time.perf_counter()
        fn(items)
        times.append((time.perf_counter() - start) * 1000)
        if time.perf_counter() > deadline and len(times) >= 3:
            break
    return statistics.median(times)


def ratio(slow, fast):
    return None if slow is None or fast is None else slow / fast


def fmt(value, width=10, digits=3):
    return f"{'-':>{width}}" if value is None else f"{value:>{width}.{digits}f}"


# ---- Family table -------------------------------------------------------------


def _uniform(seed: int, count: int, low: int, high: int, times: int = 1) -> list[int]:
    rng = random.Random(seed)
    return [times * rng.randint(low, high) for _ in range(count)]


# name: (maker, target ratio of the list call to Python's int)
FAMILIES = {
    "divisor 2": (lambda: _uniform(201, 1000, 1, 2000, 2), 50),
    "divisor 64": (lambda: _uniform(202, 600, 1, 2000, 64), 50),
    "divisor 1000": (lambda: _uniform(203, 100, 1, 2000, 1000), 50),
    "even + one odd": (lambda: _uniform(204, 1000, 1, 2000, 2) + [4003], 20),
    "64k + 3 odd": (lambda: _uniform(205, 600, 1, 2000, 64) + [3, 5, 7], 20),
    "1 mod 1009": (lambda: [1009 * k + 1 for k in _uniform(206, 300, 0, 200)], 10),
    "sparse 16": (lambda: _uniform(207, 16, 5 * 10**7, 15 * 10**7), 10),
    "2^k + 1": (lambda: [2**k + 1 for k in range(28)], 1),
    "2^k - 1": (lambda: [2**k - 1 for k in range(1, 29)], 1),
    "3 * 2^k": (lambda: [3 * 2**k for k in range(26)], 1),
    "huge + small": (lambda: _uniform(208, 1000, 1, 2000) + [10**9], 1.5),
    "narrow 1e5": (lambda: _uniform(209, 1000, 10**5, 11 * 10**4), 20),
    "narrow 1e4": (lambda: _uniform(210, 2000, 10**4, 10500), 20),
    # Tens of thousands of distinct words, repeated but never in runs.
    "near 2^k": (lambda: _near_powers_of_two(211, 28), 1.5),
    # Few sums over many words, most items sharing a divisor.
    "3^k + 1": (lambda: [3**k for k in range(1, 20)] + [1], 1.5),
    "fib 3k + odd": (lambda: [_fibonacci(3 * k) for k in range(1, 16)] + [5], 1.5),
    # Near-empty huge answers.
    "one huge": (lambda: [2**31 + 3], 1.5),
    "three huge": (lambda: [2**31, 2**30 + 1, 5], 1.5),
}


def _fibonacci(n: int) -> int:
    a, b = 0, 1
    for _ in range(n):
        a, b = b, a + b
    return a


def _near_powers_of_two(seed: int, top: int) -> list[int]:
    rng = random.Random(seed)
    return [2**k + rng.randint(0, 2 ** (k - 3)) for k in range(3, top)]


def family_items(name: str) -> list[int]:
    if name in WORKLOADS:
        return make_items(name)
    return FAMILIES[name][0]()


def _call_named(method: str):
    if method == "list":
        return qernx.complete_subset_sum
    if method == "bytes":
        return qernx.complete_subset_sum_bytes
    if method == "int":
        return python_int
    return make_gmpy2()


def peak_mb(name: str, method: str) -> float | None:
    """Peak resident memory one call adds, measured in a fresh interpreter."""
    result = subprocess.run(
        [sys.executable, __file__, "--peak-of", name, method],
        capture_output=True,
        text=True,
        timeout=600,
    )
    return float(result.stdout) if result.returncode == 0 and result.stdout.strip() else None


def _report_peak(name: str, method: str) -> int:
    call = _call_named(method)
    if call is None:
        return 1
    items = family_items(name)
    before = _peak_rss_kib()
    answer = call(items)
    after = _peak_rss_kib()
    del answer
    print(f"{(after - before) / 1024:.1f}")
    return 0


def _peak_rss_kib() -> int:
    """This process's resident high-water mark (VmHWM starts afresh at exec,
    unlike ru_maxrss, which a child inherits from its parent)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise RuntimeError("no VmHWM in /proc/self/status")


def family_table(args) -> list[dict]:
    gmpy2_solve = make_gmpy2()
    names = list(FAMILIES) + list(WORKLOADS)
    if args.families not in ("all", ""):
        names = args.families.split(",")
    print()
    print("family table (medians in ms; x = Python int's time / ours; peak MB added per call)")
    print(
        f"{'family':15} {'n':>5} {'total':>11} {'list':>8} {'bytes':>8} {'int':>8} {'gmpy2':>8}"
        f" {'x list':>7} {'x bytes':>7} {'xg list':>7} {'target':>6}"
        f" {'MB list':>7} {'MB byt':>7} {'MB int':>7}"
    )
    rows = []
    for name in names:
        items = family_items(name)
        reach = python_int(items)
        words = qernx.complete_subset_sum(items)
        answer = qernx.complete_subset_sum_bytes(items)
        packed = int.from_bytes(b"".join(w.to_bytes(8, "little") for w in words), "little")
        if packed != reach or int.from_bytes(answer, "little") != reach:
            print(f"{name}: WRONG RESULT", file=sys.stderr)
            raise SystemExit(1)
        del words, answer, reach
        budget = 10
        ours = median_ms(qernx.complete_subset_sum, items, args.repeat, budget)
        ours_bytes = median_ms(qernx.complete_subset_sum_bytes, items, args.repeat, budget)
        theirs = median_ms(python_int, items, args.repeat, budget)
        gm = median_ms(gmpy2_solve, items, args.repeat, budget) if gmpy2_solve else None
        memory = {m: None for m in ("list", "bytes", "int")}
        if not args.no_memory:
            memory = {m: peak_mb(name, m) for m in memory}
        target = FAMILIES[name][1] if name in FAMILIES else None
        row = {
            "family": name,
            "n": len(items),
            "total": sum(items),
            "list_ms": ours,
            "bytes_ms": ours_bytes,
            "python_int_ms": theirs,
            "gmpy2_ms": gm,
            "ratio_int_list": theirs / ours,
            "ratio_int_bytes": theirs / ours_bytes,
            "ratio_gmpy2_list": ratio(gm, ours),
            "target_list": target,
            "peak_mb": memory,
        }
        rows.append(row)
        print(
            f"{name:15} {len(items):>5} {sum(items):>11} {fmt(ours, 8, 1)} {fmt(ours_bytes, 8, 1)}"
            f" {fmt(theirs, 8, 1)} {fmt(gm, 8, 1)} {fmt(row['ratio_int_list'], 7, 1)}"
            f" {fmt(row['ratio_int_bytes'], 7, 1)} {fmt(row['ratio_gmpy2_list'], 7, 1)}"
            f" {fmt(target, 6, 1)} {fmt(memory['list'], 7, 0)} {fmt(memory['bytes'], 7, 0)}"
            f" {fmt(memory['int'], 7, 0)}",
            flush=True,
        )
    family_rows = [r for r in rows if r["family"] in FAMILIES]
    if family_rows:
        geo = statistics.geometric_mean([r["ratio_int_list"] for r in family_rows])
        geo_bytes = statistics.geometric_mean([r["ratio_int_bytes"] for r in family_rows])
        missed = [r["family"] for r in family_rows if r["ratio_int_list"] < r["target_list"]]
        slow_bytes = [r["family"] for r in family_rows if r["ratio_int_bytes"] < 3]
        print(
            f"families: geometric mean {geo:.1f}x (list), {geo_bytes:.1f}x (bytes) against int;"
            f" list targets missed: {', '.join(missed) or 'none'};"
            f" bytes below 3x: {', '.join(slow_bytes) or 'none'}"
        )
        # Below the 1.5x every family aims for with the list call: how much of
        # that is CPython's own cost of a list this long.
        for row in family_rows:
            if row["ratio_int_list"] < 1.5:
                _list_floor(row["family"], row, args.repeat)
    return rows


def _list_floor(name: str, row: dict, repeat: int) -> None:
    """What CPython itself takes to build and free a list of the same ints (a
    copy of the answer list), beside the list call and int: the part of the
    list call no solver can save."""
    words = qernx.complete_subset_sum(family_items(name))
    floor = median_ms(lambda w: w[:], words, repeat, 10)
    print(
        f"  {name}: CPython copies and frees the same list of {len(words)} ints in"
        f" {floor:.1f} ms; the list call takes {row['list_ms']:.1f} ms, int"
        f" {row['python_int_ms']:.1f} ms"
    )


# The membership check against the expression a Python user would write, on a
# result of 16,000 words: the check reads one word, so it must stay within
# CHECK_LIMIT times of the expression.
CHECK_WORDS = 16_000
CHECK_LIMIT = 5.0


def membership_check_bench() -> bool:
    rng = random.Random(16_000)
    items = [rng.randint(1, 2000) for _ in range(1000)]
    items.append(64 * CHECK_WORDS - 1 - sum(items))
    words = qernx.complete_subset_sum(items)
    assert len(words) == CHECK_WORDS
    sums = [rng.randrange(64 * CHECK_WORDS) for _ in range(20_000)]
    check = qernx.subset_sum_result_check
    if [check(words, s) for s in sums] != [bool((words[s >> 6] >> (s & 63)) & 1) for s in sums]:
        print("membership check: WRONG ANSWER", file=sys.stderr)
        return False

    def by_check(sums):
        for s in sums:
            check(words, s)

    def by_expression(sums):
        for s in sums:
            (words[s >> 6] >> (s & 63)) & 1

    ours = median_ms(by_check, sums, 15, 20) * 1e6 / len(sums)
    theirs = median_ms(by_expression, sums, 15, 20) * 1e6 / len(sums)
    print(
        f"membership check on {CHECK_WORDS} words: {ours:.0f} ns per check, the list expression"
        f" {theirs:.0f} ns: {ours / theirs:.2f}x (limit {CHECK_LIMIT:.0f}x)"
    )
    return ours <= CHECK_LIMIT * theirs


# ---- Threads table ------------------------------------------------------------


def _threads_families() -> dict[str, list[int]]:
    """Dense answers of 32 MiB and more, and small ones under 1 MiB."""
    rng = random.Random(16)
    return {
        "dense uniform 2^22 (n=160)": [rng.randint(0, 2**21) * 2 + 1 for _ in range(160)],
        "dense residues 1009k+1 (n=200)": [1009 * rng.randint(0, 3000) + 1 for _ in range(200)],
        "dense small+large (n=480)": [rng.randint(1, 63) for _ in range(400)]
        + [rng.randint(2**21, 2**23) for _ in range(80)],
        "dense narrow 2^20..2^21 (n=250)": [rng.randint(2**20, 2**21) for _ in range(250)],
        "small uniform 2^16 (n=200)": [rng.randint(1, 2**16) for _ in range(200)],
        "small residues 1009k+1 (n=80)": [1009 * rng.randint(0, 100) + 1 for _ in range(80)],
    }


def threads_table(args) -> list[dict]:
    """The bytes call with threads=2 against threads=1, interleaved in one run."""
    print()
    print("threads table (bytes call, medians in ms; x = threads=1 / threads=2;")
    print("  in place: the same solve into an answer already paged in, bench/paths.cpp)")
    print(f"{'family':34} {'MiB':>7} {'1 thread':>10} {'2 threads':>10} {'x':>7} {'in place':>9}")
    rows = []
    for name, items in _threads_families().items():
        expected = qernx.complete_subset_sum_bytes(items, threads=1)
        assert qernx.complete_subset_sum_bytes(items, threads=2) == expected, name
        one, two = [], []
        for _ in range(args.threads_repeat):
            for threads, times in ((1, one), (2, two)):
                start = time.perf_counter()
                qernx.complete_subset_sum_bytes(items, threads=threads)
                times.append((time.perf_counter() - start) * 1000)
        row = {
            "family": name,
            "mib": len(expected) / 2**20,
            "one_ms": statistics.median(one),
            "two_ms": statistics.median(two),
        }
        row["ratio"] = row["one_ms"] / row["two_ms"]
        in_place = _solve_in_place(items)
        if in_place:
            row.update(in_place)
        rows.append(row)
        print(
            f"{name:34} {row['mib']:7.2f} {row['one_ms']:10.2f} {row['two_ms']:10.2f}"
            f" {row['ratio']:7.2f} {row.get('in_place_ratio', float('nan')):9.2f}"
        )
    dense = [r["ratio"] for r in rows if r["mib"] >= 32]
    in_place_ratios = [
        r["in_place_ratio"] for r in rows if r["mib"] >= 32 and "in_place_ratio" in r
    ]
    small = [r["ratio"] for r in rows if r["mib"] < 1]
    if dense:
        print(f"dense (>= 32 MiB) geometric mean: {statistics.geometric_mean(dense):.2f}x")
    if in_place_ratios:
        print(
            "  in place (answer already paged in):"
            f" {statistics.geometric_mean(in_place_ratios):.2f}x"
        )
    if small:
        print(f"small (< 1 MiB) slowest ratio: {min(small):.2f}x (1.0 = no slower)")
    rows.append(_side_by_side(args.threads_repeat))
    bandwidth = _sweep_bandwidth(10**9)
    if bandwidth:
        rows.append(bandwidth)
    faults = _fault_bandwidth(48)
    if faults:
        rows.append(faults)
    start = _thread_start()
    if start:
        rows.append(start)
    gaps = _ask_gaps()
    if gaps:
        rows.append(gaps)
    return rows


PATHS_BENCH = os.path.join(os.path.dirname(__file__), "..", "build", "gtest", "tests", "lib")


def _sweep_bandwidth(total: int) -> dict | None:
    """A pass of the dense sweep over the lower half of a total of `total`
    bits (bench/paths.cpp, every block mixed), against numpy's `a |= b` on
    arrays of as many words: both read two words and write one per word."""
    binary = os.path.join(PATHS_BENCH, "qern_paths_bench")
    try:
        import numpy
    except ImportError:
        print("sweep bandwidth: numpy is not installed")
        return None
    if not os.path.exists(binary):
        print("sweep bandwidth: build/gtest/tests/lib/qern_paths_bench is missing (make gtest)")
        return None
    out = subprocess.run(
        [binary, "--sweep-bandwidth", str(total)], capture_output=True, text=True, check=True
    ).stdout
    pass_ms = {}
    for line in out.splitlines():
        fields = line.replace(",", "").split()
        # "sweep pass: total T N words K thread(s): MS ms G GB/s"
        pass_ms[int(fields[6])] = float(fields[8])
    words = total // 2 // 64 + 1
    rng = numpy.random.default_rng(1)
    a = rng.integers(0, 2**64, size=words, dtype=numpy.uint64)
    b = rng.integers(0, 2**64, size=words, dtype=numpy.uint64)
    times = []
    for _ in range(7):
        start = time.perf_counter()
        a |= b
        times.append((time.perf_counter() - start) * 1000)
    numpy_ms = statistics.median(times)
    row = {"family": "sweep bandwidth", "total": total, "numpy_ms": numpy_ms}
    parts = []
    for threads, ms in sorted(pass_ms.items()):
        row[f"pass_ms_{threads}"] = ms
        parts.append(
            f"{threads} thread{'s' if threads > 1 else ''} {ms:.1f} ms ({numpy_ms / ms:.2f})"
        )
    print(
        f"sweep pass at T = {total:.0e} ({words} words, {24 * words / 2**20:.0f} MiB moved):"
        f" numpy a |= b {numpy_ms:.1f} ms; sweep "
        + ", ".join(parts)
        + " (share of numpy's bandwidth)"
    )
    return row


# Calls each thread makes in a row: a thread's first call pays for fresh
# memory (its allocator arena faults new pages), so a single call per thread
# measures starting threads more than solving.
SIDE_BY_SIDE_CALLS = 16


def _solve_in_place(items: list[int]) -> dict | None:
    """The same solve with threads=1 and threads=2 into an answer already
    paged in (bench/paths.cpp): what the threads gain on the solve itself,
    while the bytes call's answer is fresh memory the kernel clears first."""
    binary = os.path.join(PATHS_BENCH, "qern_paths_bench")
    if not os.path.exists(binary):
        return None
    run = subprocess.run(
        [binary, "--solve-in-place"],
        input=" ".join(map(str, items)),
        capture_output=True,
        text=True,
    )
    row = {}
    for line in run.stdout.splitlines():
        # "solve in place: K thread(s): MS ms"
        fields = line.split()
        row[f"in_place_ms_{fields[3]}"] = float(fields[5])
    if run.returncode != 0 or len(row) != 2:
        return None
    row["in_place_ratio"] = row["in_place_ms_1"] / row["in_place_ms_2"]
    return row


def _fault_bandwidth(mib: int) -> dict | None:
    """How fast the kernel hands out fresh pages on one thread and on two
    (bench/paths.cpp): every big answer is fresh memory, so this bounds what
    threads can gain on the dense families."""
    binary = os.path.join(PATHS_BENCH, "qern_paths_bench")
    if not os.path.exists(binary):
        return None
    run = subprocess.run([binary, "--fault-bandwidth", str(mib)], capture_output=True, text=True)
    if run.returncode != 0:
        print(f"fresh pages: no {mib} MiB to fault in")
        return None
    out = run.stdout
    row = {"family": "fresh pages", "mib": mib}
    for line in out.splitlines():
        # "fresh pages: M MiB, K thread(s): MS ms, G GB/s"
        fields = line.replace(",", "").split()
        row[f"fault_ms_{fields[4]}"] = float(fields[6])
    one, two, busy = row.get("fault_ms_1"), row.get("fault_ms_2"), row.get("fault_ms_toucher")
    if one and two and busy:
        print(
            f"fresh pages ({mib} MiB, advised huge): 1 thread {one:.1f} ms"
            f" ({mib / 1024 / one * 1000:.1f} GiB/s), 2 threads {two:.1f} ms, {one / two:.2f}x;"
            f" a toucher thread beside a busy caller {busy:.1f} ms"
        )
    return row


def _thread_start() -> dict | None:
    """How long a new thread waits for a CPU once the others have idled
    (bench/paths.cpp): left to the scheduler, and steered to a CPU of its own
    as the solver's threads are. Every threaded phase of a solve pays it."""
    binary = os.path.join(PATHS_BENCH, "qern_paths_bench")
    if not os.path.exists(binary):
        return None
    out = subprocess.run([binary, "--thread-start"], capture_output=True, text=True, check=True)
    row = {"family": "thread start"}
    for line in out.stdout.splitlines():
        # "thread start: steered: median US us, most US us"
        fields = line.replace(",", "").split()
        row[f"{fields[2].rstrip(':')}_us"] = float(fields[4])
    if "unsteered_us" in row and "steered_us" in row:
        print(
            f"thread start after 5 ms idle (median): left to the scheduler"
            f" {row['unsteered_us']:.0f} us, steered {row['steered_us']:.0f} us"
        )
    return row


def _ask_gaps() -> dict | None:
    """The longest a solve of about 512 MiB goes without asking its stop
    check, on one thread and on two (bench/paths.cpp): what Ctrl-C waits for,
    beside the bytes call's own 50 ms between looks at the signals."""
    binary = os.path.join(PATHS_BENCH, "qern_paths_bench")
    if not os.path.exists(binary):
        return None
    out = subprocess.run([binary, "--ask-gaps"], capture_output=True, text=True, check=True)
    row = {"family": "ask gaps"}
    shown = []
    for line in out.stdout.splitlines():
        # "ask gap: NAME: 1 thread MS ms, 2 threads MS ms"
        name, times = line[len("ask gap: ") :].rsplit(": ", 1)
        fields = times.replace(",", "").split()
        row[f"{name} 1"], row[f"{name} 2"] = float(fields[2]), float(fields[6])
        shown.append(f"{name} {fields[2]}/{fields[6]}")
    print("longest wait for the stop check (ms, 1/2 threads): " + ", ".join(shown))
    return row


def _side_by_side(repeat: int) -> dict:
    """Two Python threads, each making SIDE_BY_SIDE_CALLS bytes calls with
    threads=1, against the same calls one after the other on one thread (the
    call solves without the interpreter lock)."""
    rng = random.Random(17)
    items = [rng.randint(0, 2**20) * 2 + 1 for _ in range(160)]

    def calls():
        for _ in range(SIDE_BY_SIDE_CALLS):
            qernx.complete_subset_sum_bytes(items, threads=1)

    in_turn, together = [], []
    for _ in range(repeat):
        start = time.perf_counter()
        calls()
        calls()
        in_turn.append((time.perf_counter() - start) * 1000)
        pair = [threading.Thread(target=calls) for _ in range(2)]
        start = time.perf_counter()
        for thread in pair:
            thread.start()
        for thread in pair:
            thread.join()
        together.append((time.perf_counter() - start) * 1000)
    row = {
        "family": "two threads of calls, threads=1 each",
        "mib": (sum(items) // 64 + 1) * 8 / 2**20,
        "calls_per_thread": SIDE_BY_SIDE_CALLS,
        "in_turn_ms": statistics.median(in_turn),
        "side_by_side_ms": statistics.median(together),
    }
    row["ratio"] = row["in_turn_ms"] / row["side_by_side_ms"]
    print(
        f"two threads of {SIDE_BY_SIDE_CALLS} bytes calls ({row['mib']:.1f} MiB, threads=1):"
        f" one after the other {row['in_turn_ms']:.1f} ms, side by side"
        f" {row['side_by_side_ms']:.1f} ms, {row['ratio']:.2f}x"
    )
    return row


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--json", default="bench/results.json")
    parser.add_argument("--only", default=",".join(WORKLOADS))
    parser.add_argument("--families", default="all", help="all, none, or names")
    parser.add_argument("--no-memory", action="store_true", help="skip the peak memory")
    parser.add_argument(
        "--threads", default="all", help="all, none or only: the threads table (only: nothing else)"
    )
    parser.add_argument("--threads-repeat", type=int, default=7)
    parser.add_argument("--peak-of", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.peak_of:
        return _report_peak(*args.peak_of)
    if args.threads == "only":
        threads_table(args)
        return 0

    gmpy2_solve, numpy_solve = make_gmpy2(), make_numpy()
    rows = []
    print(
        f"{'load':5} {'n':>7} {'total':>9} {'qernx ms':>10} {'int ms':>10} {'gmpy2 ms':>10}"
        f" {'numpy ms':>10} {'x int':>8} {'x gmpy2':>8} {'x numpy':>8}"
    )
    for name in args.only.split(","):
        items = make_items(name)
        words = qernx.complete_subset_sum(items)
        got = int.from_bytes(b"".join(w.to_bytes(8, "little") for w in words), "little")
        if got != python_int(items):
            print(f"{name}: WRONG RESULT", file=sys.stderr)
            return 1
        ours = median_ms(qernx.complete_subset_sum, items, args.repeat, 20)
        theirs = median_ms(python_int, items, args.repeat, 20)
        gm = median_ms(gmpy2_solve, items, args.repeat, 20) if gmpy2_solve else None
        nump = None
        if numpy_solve and len(items) * sum(items) <= NUMPY_BUDGET:
            nump = median_ms(numpy_solve, items, 3, 10)
        row = {
            "workload": name,
            "n": len(items),
            "total": sum(items),
            "qernx_ms": ours,
            "python_int_ms": theirs,
            "gmpy2_ms": gm,
            "numpy_ms": nump,
            "ratio_int": ratio(theirs, ours),
            "ratio_gmpy2": ratio(gm, ours),
            "ratio_numpy": ratio(nump, ours),
        }
        rows.append(row)
        print(
            f"{name:5} {len(items):>7} {sum(items):>9} {fmt(ours)} {fmt(theirs)} {fmt(gm)}"
            f" {fmt(nump)} {fmt(row['ratio_int'], 8, 1)} {fmt(row['ratio_gmpy2'], 8, 1)}"
            f" {fmt(row['ratio_numpy'], 8, 1)}"
        )
    ratios = [r["ratio_int"] for r in rows]
    geomean = statistics.geometric_mean(ratios)
    print(f"geometric mean of the ratios to Python's int: {geomean:.1f}x")

    hash_row = None
    if "W0" in args.only.split(","):
        items = make_items("W0")
        hash_ms = median_ms(make_hash_search(), items, 3, 30)
        ours = next(r["qernx_ms"] for r in rows if r["workload"] == "W0")
        hash_row = {"workload": "W0", "hash_search_ms": hash_ms, "ratio": hash_ms / ours}
        print(f"hash search on W0: {hash_ms:.1f} ms, {hash_ms / ours:.0f}x slower than qernx")

    families = family_table(args) if args.families != "none" else []
    threads_rows = threads_table(args) if args.threads != "none" else []

    with open(args.json, "w") as out:
        json.dump(
            {
                "python": sys.version,
                "rows": rows,
                "geomean_int": geomean,
                "hash_search": hash_row,
                "families": families,
                "threads": threads_rows,
            },
            out,
            indent=2,
        )
    print(f"figures written to {args.json}")
    return 0 if membership_check_bench() else 1


if __name__ == "__main__":
    sys.exit(main())
