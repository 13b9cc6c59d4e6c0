"""The local solver's paths on input families, for the list call and the bytes
call, against Python's int; the bytes call's argument checks; Ctrl-C during a
long local solve."""

import os
import random
import signal
import subprocess
import sys
import textwrap
import time

import pytest
import qernx
from oracle import reachable, subset_sums
from test_errors import SOLVE_ERRORS

pytestmark = pytest.mark.usefixtures("local")


def uniform(seed, count, low, high, times=1):
    rng = random.Random(seed)
    return [times * rng.randint(low, high) for _ in range(count)]


def fibonacci(n):
    a, b = 0, 1
    for _ in range(n):
        a, b = b, a + b
    return a


FAMILIES = {
    "divisor 2": uniform(1, 400, 1, 2000, 2),
    "divisor 3": uniform(2, 300, 1, 2000, 3),
    "divisor 64": uniform(3, 100, 1, 2000, 64),
    "divisor 1000": uniform(4, 30, 1, 2000, 1000),
    "divisor 2**20": uniform(5, 6, 1, 9, 2**20) + [0],
    "divisor 6 and zeros": uniform(6, 200, 1, 500, 6) + [0] * 5,
    "even but one odd": uniform(7, 400, 1, 2000, 2) + [4003],
    "multiples of 64 and three odd": uniform(8, 200, 1, 2000, 64) + [3, 5, 7],
    "residue 1 mod 1009": [1009 * k + 1 for k in uniform(9, 120, 0, 200)],
    "residue 1 mod 1009, repeated": [1009 * k + 1 for k in uniform(15, 300, 0, 60)],
    "residue 7 mod 5000 and zeros": [5000 * k + 7 for k in uniform(16, 200, 0, 30)] + [0, 0],
    "residue 3 mod 12": [12 * k + 3 for k in uniform(17, 2, 0, 3000)],
    "sparse": uniform(10, 12, 5 * 10**6, 15 * 10**6),
    "sparse then dense": uniform(11, 8, 10**6, 3 * 10**6) + uniform(12, 300, 1, 300),
    "2**k + 1": [2**k + 1 for k in range(22)],
    "2**k - 1": [2**k - 1 for k in range(1, 23)],
    "3 * 2**k": [3 * 2**k for k in range(20)],
    "huge among small": uniform(13, 300, 1, 2000) + [10**7 + 1],
    "narrow spread": uniform(14, 300, 10**4, 10500),
    # Too few items to have many sums, whatever divisor most of them share.
    "powers of 5 and one": [5**k for k in range(1, 10)] + [1],
    "every third Fibonacci and one odd": [fibonacci(3 * k) for k in range(1, 12)] + [5],
    "one huge": [2**25 + 3],
    "three far apart": [2**25, 2**24 + 1, 5],
    "few, repeated": [2**22 + 1] * 3 + [7],
    # 2^10 sums at most, against 2^14 and 2^14 - 1 words: either side of the
    # point where the sorted array is always kept.
    "few at the edge": [2**k for k in range(9)] + [64 * 16383 - 511],
    "few past the edge": [2**k for k in range(9)] + [64 * 16382 - 511],
    "zeros only": [0] * 7,
    "empty": [],
}


@pytest.mark.parametrize("items", FAMILIES.values(), ids=FAMILIES.keys())
def test_list_call_matches_python_int(items):
    assert qernx.complete_subset_sum(items) == subset_sums(items)


@pytest.mark.parametrize("items", FAMILIES.values(), ids=FAMILIES.keys())
def test_bytes_call_matches_python_int(items):
    answer = qernx.complete_subset_sum_bytes(items)
    assert type(answer) is bytes
    assert len(answer) == 8 * (sum(items) // 64 + 1)
    assert int.from_bytes(answer, "little") == reachable(items)


def rss_mib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


@pytest.mark.memory_growth
@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize(
    "items", [[2**31 + 3], [2**31, 2**30 + 1, 5]], ids=["one huge", "three huge"]
)
def test_a_near_empty_huge_answer_leaves_its_empty_pages_untouched(items, threads):
    """bytes(n) is fresh zeroed memory: of an answer of hundreds of MiB with a
    handful of sums, only the pages that hold one are written."""
    before = rss_mib()
    answer = qernx.complete_subset_sum_bytes(items, threads=threads)
    grown = rss_mib() - before
    assert len(answer) == 8 * (sum(items) // 64 + 1)
    assert grown < 32, f"{grown:.0f} MiB of a {len(answer) >> 20} MiB answer paged in"
    # The sums of a few items, enumerated: bytearray(n) is zeroed and untouched
    # too, where two Python ints of this size would cost seconds.
    expected = bytearray(len(answer))
    for chosen in range(2 ** len(items)):
        s = sum(w for k, w in enumerate(items) if chosen >> k & 1)
        expected[s // 8] |= 1 << (s % 8)
    assert answer == expected


@pytest.mark.memory_growth
@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("huge", [2**31 + 5, 2**30 + 64 * 7])
def test_small_sums_beside_a_huge_item_page_in_only_their_words(huge, threads):
    """Small items' sums and the same sums shifted by a huge item: the
    hundreds of MiB between them stay untouched."""
    small = uniform(18, 1000, 1, 2000)
    before = rss_mib()
    answer = qernx.complete_subset_sum_bytes(small + [huge], threads=threads)
    grown = rss_mib() - before
    assert len(answer) == 8 * ((sum(small) + huge) // 64 + 1)
    assert grown < 32, f"{grown:.0f} MiB of a {len(answer) >> 20} MiB answer paged in"
    low = reachable(small)
    expected = bytearray(len(answer))
    low_bytes = low.to_bytes((sum(small) + 8) // 8, "little")
    expected[: len(low_bytes)] = low_bytes
    expected[huge // 8 :] = (low << huge % 8).to_bytes(len(answer) - huge // 8, "little")
    assert answer == expected


def test_bytes_call_solves_locally_whatever_the_killswitch(monkeypatch):
    monkeypatch.delenv("QERN_KILLSWITCH")
    monkeypatch.setenv("QERN_API_URL", "https://127.0.0.1:9")  # nothing listens there
    items = [3, 5, 64, 100]
    assert int.from_bytes(qernx.complete_subset_sum_bytes(items), "little") == reachable(items)


@pytest.mark.parametrize(("args", "error", "printed"), SOLVE_ERRORS)
def test_bytes_call_refuses_what_the_list_call_refuses(capfd, args, error, printed):
    with pytest.raises(error):
        qernx.complete_subset_sum_bytes(*args)
    assert capfd.readouterr().out == printed
    assert qernx.complete_subset_sum_bytes([1, 2]) == (15).to_bytes(8, "little")


# A local solve of a few seconds (every item is 1 modulo 1009: no block of the
# bitset fills up or stays empty for long), interrupted a third of a second
# in; then a small solve in the same process must be exact.
INTERRUPTED_CHILD = """
    import random, sys, time
    import qernx
    call = getattr(qernx, sys.argv[1])
    rng = random.Random(1)
    items = [1009 * rng.randint(0, 2000) + 1 for _ in range(1000)]
    print("solving", flush=True)
    try:
        call(items)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    small = [rng.randint(1, 3000) for _ in range(300)]
    reach = 1
    for w in small:
        reach |= reach << w
    words = call(small)
    got = words if isinstance(words, bytes) else b"".join(w.to_bytes(8, "little") for w in words)
    print("exact" if int.from_bytes(got, "little") == reach else "wrong", flush=True)
"""


@pytest.mark.parametrize("call", ["complete_subset_sum", "complete_subset_sum_bytes"])
def test_ctrl_c_ends_a_long_local_solve_within_a_second(call):
    env = dict(os.environ, QERN_KILLSWITCH="1")
    with subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(INTERRUPTED_CHILD), call],
        stdout=subprocess.PIPE,
        text=True,
        env=env,
    ) as child:
        try:
            assert child.stdout.readline() == "solving\n"
            time.sleep(0.3)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            line = child.stdout.readline()
            elapsed = time.monotonic() - sent
            assert line == "interrupted\n"
            assert elapsed < 1.0
            assert child.stdout.readline() == "exact\n"
            assert child.wait(timeout=60) == 0
        finally:
            if child.poll() is None:
                child.kill()


DIVISORS = [2, 3, 5, 7, 63, 64, 65, 127, 128, 1000, 1 << 20]


def random_shape(rng):
    """Items at the solver's path boundaries: a shared divisor, all but a few
    sharing one, sparse, one huge item, totals at a word boundary, repeats
    and zeros, residues, narrow spread."""
    kind = rng.randrange(8)
    g = rng.choice(DIVISORS)
    hi = max(1, 4000 // g) if g < 1000 else 6
    if kind == 0:
        return [g * rng.randint(0, hi) for _ in range(rng.randint(0, 40))]
    if kind == 1:
        items = [g * rng.randint(1, hi) for _ in range(rng.randint(8, 60))]
        items += [rng.randint(1, 3 * min(g, 2000) + 50) for _ in range(rng.randint(1, 20))]
        rng.shuffle(items)
        return items
    if kind == 2:
        total = rng.choice([10**6, 10**7])
        count = rng.randint(1, 14)
        return [rng.randint(1, 2 * total // count) for _ in range(count)]
    if kind == 3:
        items = [rng.randint(0, 200) for _ in range(rng.randint(0, 30))]
        return items + [rng.randint(10**5, 10**7)]
    if kind == 4:
        target = 64 * rng.randint(1, 200) + rng.choice([-1, 0, 1])
        cuts = sorted(rng.randint(0, target) for _ in range(rng.randint(0, 9)))
        return [b - a for a, b in zip([0, *cuts], [*cuts, target])]
    if kind == 5:
        values = [rng.randint(0, 300) for _ in range(rng.randint(1, 5))]
        return [rng.choice(values) for _ in range(rng.randint(0, 80))] + [0] * rng.randint(0, 3)
    if kind == 6:
        m = rng.choice([1009, 64, 65, 127, 12, 5000])
        r = rng.randint(1, m - 1) if rng.random() < 0.5 else rng.randint(1, 3)
        return [m * rng.randint(0, 30) + r for _ in range(rng.randint(1, 40))]
    low = rng.randint(100, 20000)
    return [rng.randint(low, low + low // 10) for _ in range(rng.randint(1, 80))]


SHAPES_PER_SEED = 150


# Under the sanitizers every Python int made here unwinds its stack, which takes
# minutes for these answers; the library's own random-shape test runs under the
# sanitizers in the GoogleTest suite.
@pytest.mark.skipif(os.environ.get("QERN_SANITIZED") == "1", reason="minutes under the sanitizers")
@pytest.mark.parametrize("seed", range(6))
def test_random_shapes_match_int_in_both_calls(seed):
    rng = random.Random(seed)
    for _ in range(SHAPES_PER_SEED):
        items = random_shape(rng)
        reach = reachable(items)
        count = sum(items) // 64 + 1
        words = qernx.complete_subset_sum(items)
        assert len(words) == count, items
        listed = int.from_bytes(b"".join(w.to_bytes(8, "little") for w in words), "little")
        assert listed == reach, items
        packed = qernx.complete_subset_sum_bytes(items)
        assert len(packed) == 8 * count, items
        assert int.from_bytes(packed, "little") == reach, items
