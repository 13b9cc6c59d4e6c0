"""The list a local solve returns is built in the array that first held the
bitset's words: the garbage collector never sees that array while it holds
words, and a memory failure while the words become ints leaves no word where
an object should be."""

import array
import collections
import math
import os
import random
import sys
import threading

import pytest
import qernx
from conftest import run_python
from oracle import subset_sums

# A signal handler collects garbage and walks every object the collector
# tracks, over and over, while a long local solve runs (handlers run at the
# solver's stop checks): a list holding words, not objects, would crash it.
COLLECTING_DURING_THE_SOLVE = """
import array, gc, os, random, signal, sys
os.environ["QERN_KILLSWITCH"] = "1"
import qernx

rng = random.Random(7)
items = [rng.randint(10**5, 11 * 10**4) for _ in range(800)]
inside = False
busy = False
collections = 0
during = []

def collect(signum, frame):
    global busy, collections
    if busy or collections >= 25:
        return  # a tick while the last one still collects, or enough of them
    busy = True
    collections += 1
    gc.collect()
    for found in gc.get_objects():
        if type(found) is list and len(found) > 1000:
            sum(1 for _ in found)  # every item of every long list is an object
    if inside:
        during.append(signum)
    busy = False

signal.signal(signal.SIGALRM, collect)
signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
inside = True
words = qernx.complete_subset_sum(items)
inside = False
signal.setitimer(signal.ITIMER_REAL, 0)
packed = array.array("Q", qernx.complete_subset_sum_bytes(items))
if sys.byteorder == "big":
    packed.byteswap()
assert words == packed.tolist()
print(len(during))
"""


def test_a_collection_during_the_solve_never_sees_the_words():
    result = run_python(COLLECTING_DURING_THE_SOLVE, timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]
    assert int(result.stdout.split()[-1]) > 0  # the handler did run inside the solve


# Every allocation of the interpreter fails from the n-th on (or only the
# n-th, inside the fill), for each n from the list itself to ints deep inside
# it: the call raises MemoryError or answers exactly, and the process lives
# on to make the next attempt. On a debug build of Python no attempt may move
# the total of references.
FAILING_ALLOCATIONS = """
import os, sys
os.environ["QERN_KILLSWITCH"] = "1"
import _testcapi, qernx

items = ITEMS
reach = 1
for w in items:
    reach |= reach << w
expected = [(reach >> (64 * k)) & (2**64 - 1) for k in range(sum(items) // 64 + 1)]
total = getattr(sys, "gettotalrefcount", lambda: 0)
qernx.complete_subset_sum(items)
outcomes = {"MemoryError": 0, "exact": 0}
for n in [*range(0, 120), 300, 600, len(expected) - 1, len(expected) + 5]:
    for stop in (0, n + 1):
        # No collection here: it empties the free lists, and with every
        # allocation failing the interpreter may then never leave the except.
        before = total()
        _testcapi.set_nomemory(n, stop)
        try:
            words = qernx.complete_subset_sum(items)
        except MemoryError:
            words = None
        finally:
            _testcapi.remove_mem_hooks()
        if words is None:
            outcomes["MemoryError"] += 1
        else:
            assert words == expected, n
            outcomes["exact"] += 1
        del words
        drift = total() - before
        assert abs(drift) < 5, (n, stop, drift)
print(outcomes["MemoryError"], outcomes["exact"])
"""


@pytest.mark.parametrize(
    "items",
    [
        # Each word of these answers is a distinct int.
        "[rng.randint(1, 10**4) for _ in range(10)]",
        # Runs of equal words of many values inside batches: failures land in
        # the middle of a run.
        "[3, 5, 17, 33] + [64] * 20 + [64 * 37 + 9, 64 * 101 + 21, 64 * 250 + 40, 64 * 411 + 1]",
        # The multiples of 37 up to 37 * 2600, then a gap and a copy of them:
        # periods of 37 distinct words, copied once their ints are made;
        # failures land among those ints, a copy pending.
        "[37 * 2**k for k in range(11)] + [37 * 553, 64 * 16 * 1300]",
    ],
    ids=["distinct words", "runs", "long period"],
)
def test_memory_failures_while_the_words_become_ints_raise_memory_error(items):
    pytest.importorskip("_testcapi")
    script = "import random\nrng = random.Random(11)\n" + FAILING_ALLOCATIONS.replace(
        "ITEMS", items
    )
    result = run_python(script, timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]
    failed, exact = map(int, result.stdout.split()[-2:])
    assert failed > 30  # the failures reached the list and the ints
    assert exact >= 1  # and the last attempts allocate few enough to succeed


# Zero words, then full ones from any place in a batch of the fill: the
# period check must see the step wherever it lies, or the full words after
# it take the int of 0.
def test_a_step_from_empty_to_full_words_anywhere_in_a_batch(local):
    low = [1 << k for k in range(14)]  # words 0-255 full
    for offset in range(64):
        items = low + [64 * (640 + offset)]
        assert qernx.complete_subset_sum(items) == subset_sums(items), offset


# A run of equal words shares one int and takes its references in one update:
# the object must hold exactly one reference per list slot, no more (it would
# never be freed) and no fewer (it would be freed while still listed).
@pytest.mark.parametrize(
    ("items", "run_word"),
    [
        pytest.param([1] * 640, 2**64 - 1, id="full words"),
        pytest.param([64] * 200 + [1, 2, 4, 8, 16], 2**32 - 1, id="low halves"),
        pytest.param([5, 7] * 2000, 2**64 - 1, id="full middle"),
        # Runs of 41 equal words that start and end inside batches of the
        # fill, between runs of 0: not periodic, so each run is looked up.
        pytest.param(
            [1, 2, 4, 8, 16] + [64] * 40 + [64 * 500, 64 * 1203], 2**32 - 1, id="runs in batches"
        ),
    ],
)
def test_a_run_of_equal_words_holds_one_reference_per_slot(local, items, run_word):
    words = qernx.complete_subset_sum(items)
    assert words == subset_sums(items)
    shared = [w for w in words if w == run_word]
    assert len(shared) > 2
    kept = shared[0]
    slots = sum(1 for w in words if w is kept)
    del shared
    # getrefcount's own argument, `kept`, and one per slot.
    assert sys.getrefcount(kept) == slots + 2
    del words
    assert sys.getrefcount(kept) == 2


# Sparse answers are mostly runs of 0 between single words; the 0 int takes
# one reference per slot too (until 3.12, whose small ints are immortal).
@pytest.mark.skipif(sys.version_info >= (3, 12), reason="small ints are immortal")
@pytest.mark.parametrize("divisor", [1000, 4099, 64 * 37])
def test_runs_of_zero_hold_one_reference_per_slot(local, divisor):
    rng = random.Random(divisor)
    items = [divisor * rng.randint(1, 2000) for _ in range(60)]
    # Counted outside assert statements, whose rewriting holds its operands.
    before = sys.getrefcount(0)
    words = qernx.complete_subset_sum(items)
    taken = sys.getrefcount(0) - before
    zeros = words.count(0)
    del words
    given_back = before - sys.getrefcount(0)
    assert zeros > 1000
    assert taken == zeros
    assert given_back == 0
    assert qernx.complete_subset_sum(items) == subset_sums(items)


# Sums of near powers of two: thousands of distinct words, each repeated many
# times and never in runs. Equal words still share ints (a list of fresh ints
# costs several times the memory and time), and every shared int holds
# exactly one reference per slot.
def test_thousands_of_distinct_words_share_their_ints(local):
    rng = random.Random(1)
    items = [2**k + rng.randint(0, 2 ** (k - 3)) for k in range(3, 24)]
    words = qernx.complete_subset_sum(items)
    assert words == subset_sums(items)
    distinct = len(set(words))
    assert distinct > 4096
    slots = collections.Counter(map(id, words))
    assert len(slots) < 2 * distinct
    checked = 0
    for kept in {id(w): w for w in words if w > 2**40}.values():
        if slots[id(kept)] > 1:
            # getrefcount's argument, `kept`, the dict's value and one per slot.
            assert sys.getrefcount(kept) == slots[id(kept)] + 3, hex(kept)
            checked += 1
    assert checked > 1000


def assert_one_reference_per_slot(words):
    """Every int above the interpreter's small ones holds exactly one reference
    per slot it fills; returns how many ints were checked."""
    slots = collections.Counter(map(id, words))
    checked = 0
    for kept in {id(w): w for w in words if w > 256}.values():
        # getrefcount's argument, `kept`, the dict's value and one per slot.
        assert sys.getrefcount(kept) == slots[id(kept)] + 3, hex(kept)
        checked += 1
    return checked


def multiples_of(divisor, count):
    """Items whose sums are exactly the multiples of divisor up to count of
    them: the divisor times 1, 2, 4, ... and what is left over."""
    parts = [1 << k for k in range(count.bit_length() - 1)]
    return [divisor * p for p in parts + [count - sum(parts)]]


def period_of(divisor):
    """The words after which an answer of multiples of divisor repeats."""
    return divisor // math.gcd(divisor, 64)


# Answers of items sharing a divisor d repeat every d / gcd(d, 64) words, and
# are filled by copying the ints a period back: periods 1 to 8 batch by
# batch, 9 and more once a search ahead has found them repeating for long
# enough, shorter stretches word by word. Lengths fall either side of the
# batches the fill reads, and a few items off the divisor break the period
# and let it start again mid-batch.
@pytest.mark.parametrize("divisor", [2, 3, 5, 6, 7, 9, 11, 24, 32, 40, 96, 160])
@pytest.mark.parametrize(
    "extra",
    [
        pytest.param([], id="periodic"),
        pytest.param([1], id="shifted copy"),
        pytest.param([3001, 20000], id="broken and resumed"),
    ],
)
@pytest.mark.parametrize("words_wanted", [63, 64, 65, 200, 4099])
def test_periodic_answers_share_their_ints(local, divisor, extra, words_wanted):
    count = max(1, (64 * words_wanted - sum(extra)) // divisor)
    items = multiples_of(divisor, count) + extra
    words = qernx.complete_subset_sum(items)
    assert words == subset_sums(items)
    assert len(set(map(id, words))) <= 2 * len(set(words))
    assert assert_one_reference_per_slot(words) >= 1


# Periods longer than a batch: found by the search ahead, up to 4096 words
# (4095 and 4096 + 1 stand either side of that reach, 8193 far beyond it),
# and copied in spans of whole periods from the ints of the first one. Where
# the stretch stops repeating moves with the count, so it lands at many
# places inside a span; the words after it are runs of 0 or another
# stretch, whose own period checks read the words the copy passed over.
@pytest.mark.parametrize("divisor", [9, 65, 127, 1000, 1009, 4095, 4097, 8193])
@pytest.mark.parametrize(
    "extra",
    [
        pytest.param([], id="periodic"),
        pytest.param([1], id="shifted copy"),
        pytest.param([2**22 + 3], id="gap, then a copy"),
        pytest.param([3001, 2**22 + 3], id="broken, gap, resumed"),
    ],
)
@pytest.mark.parametrize("call", ["list", "async"])
def test_long_periods_are_copied_exactly(local, divisor, extra, call):
    period = period_of(divisor)
    rng = random.Random(divisor)
    solve = qernx.complete_subset_sum if call == "list" else _async_solve
    for words_wanted in (6 * period + 17, 9 * period + rng.randint(0, period)):
        items = multiples_of(divisor, 64 * words_wanted // divisor) + extra
        words = solve(items)
        assert words == subset_sums(items), words_wanted
        assert len(set(map(id, words))) <= 2 * len(set(words))
        assert assert_one_reference_per_slot(words) >= 1


# Answers that nearly repeat: whole batches recur at a distance of up to a
# few thousand words, but not for long, and shifted stretches differ in a
# word or two. Each must be filled word by word where it does not repeat.
@pytest.mark.parametrize(
    "items",
    [
        pytest.param([2**k + 1 for k in range(22)], id="2^k + 1"),
        pytest.param([2**k - 1 for k in range(1, 23)], id="2^k - 1"),
        pytest.param(multiples_of(1000, 3000) + [1000 * 3001 + 64 * 7], id="one word off"),
        pytest.param(multiples_of(650, 4000) + [5, 2**19 + 64], id="two copies"),
    ],
)
def test_answers_that_nearly_repeat_are_exact(local, items):
    words = qernx.complete_subset_sum(items)
    assert words == subset_sums(items)
    assert assert_one_reference_per_slot(words) >= 1


# Under the sanitizers an id() per word costs tens of microseconds, minutes
# over the long answers below: there they check the copy's reads and writes,
# and their references are counted in the plain pass (and, as a running
# total, on the debug build of Python).
SLOTS_COUNTED = os.environ.get("QERN_SANITIZED") != "1"


def count_references_unless_sanitized(words):
    if SLOTS_COUNTED:
        # Answers of one bit in thousands of words hold only small ints.
        assert assert_one_reference_per_slot(words) >= 1 or max(words) <= 256


def shortest_copied_stretch(period):
    """The words of the shortest stretch sure to be found and copied: the
    fill's searches look at no more than an eighth of the answer's words at
    the start, and a search passes a period's words and a batch before it
    can find one."""
    return 8 * (period + 64) + max(256, period)


def copied_stretch_words(period, rng):
    shortest = shortest_copied_stretch(period)
    return rng.randint(shortest, shortest + 3000)


def three_copies(divisor, count, rng):
    """The multiples, then the same stretch twice more after gaps of zeros of
    any length: each stretch starts inside a batch, at any phase of the
    period, and is followed by zeros."""
    stretch = divisor * count
    first = stretch + 64 * rng.randint(100, 3000) + rng.randrange(64)
    second = first + stretch + 64 * rng.randint(100, 3000) + rng.randrange(64)
    return multiples_of(divisor, count) + [first, second]


def steps_to_full(divisor, count, rng):
    """Sums that gain one more residue of the divisor every `step`: periodic
    stretches, each denser than the one before, up to full words (where
    fewer than 16 residues make all of them), and down again at the end."""
    period = period_of(divisor)
    step = divisor * (64 * (5 * period + 900) // divisor + 1) + 1
    steps = min(divisor - 1, 16)
    return multiples_of(divisor, count + steps * step // divisor) + [step] * steps


def shifted_mid_stretch(divisor, count, rng):
    """Three times the multiples, and a copy shifted by a third of them plus
    a little: the pattern changes inside the stretch, at any phase, and again
    where the unshifted multiples end."""
    return multiples_of(divisor, 3 * count) + [divisor * count + rng.randrange(1, divisor)]


# Periods of 9 to 4096 words (2**18 gives 4096, the longest copied, with one
# bit in 4096 words; 4097 is one beyond), in answers long enough for the
# search to find their stretches: each found is copied from its first
# period's ints up to where it stops repeating, which falls anywhere in a
# span, and the period checks of the words after it (zeros, full words,
# another stretch) read the last words the copy leaves.
@pytest.mark.parametrize("divisor", [9, 63, 65, 100, 129, 513, 1009, 4095, 2**18, 4097])
@pytest.mark.parametrize(
    "shape",
    [
        pytest.param(lambda d, count, rng: multiples_of(d, count), id="to the last word"),
        pytest.param(three_copies, id="three copies"),
        pytest.param(steps_to_full, id="steps to full"),
        pytest.param(shifted_mid_stretch, id="shifted mid-stretch"),
    ],
)
@pytest.mark.parametrize("call", ["list", "async"])
def test_stretches_of_long_periods_are_copied_exactly(local, divisor, shape, call):
    period = period_of(divisor)
    rng = random.Random(divisor * 7 + len(call))
    solve = qernx.complete_subset_sum if call == "list" else _async_solve
    for _ in range(2):
        items = shape(divisor, 64 * copied_stretch_words(period, rng) // divisor, rng)
        words = solve(items)
        assert words == subset_sums(items), items
        count_references_unless_sanitized(words)


# The last stretch of an answer is found less than a span before its last
# word, right where the copy before it stops: the search, the saved period
# and the copy must each stop at the end of the words.
@pytest.mark.parametrize("divisor", [9, 63, 100])
def test_a_long_period_found_just_before_the_last_word(local, divisor):
    for stretch in range(320, 500, 3):
        count = 64 * stretch // divisor
        items = multiples_of(divisor, 3 * count) + [divisor * count + 5]
        words = qernx.complete_subset_sum(items)
        assert words == subset_sums(items), stretch
        count_references_unless_sanitized(words)


# A stretch of period 9, 25 or 129 words that stops at every offset within
# a span the copy compares (504, 500 and 387 words, reached by doubling from
# one period): one word longer each time, followed by zeros.
@pytest.mark.parametrize("divisor", [9, 100, 129])
def test_a_long_period_may_stop_anywhere_in_a_span(local, divisor):
    period = period_of(divisor)
    span = max(1, 512 // period) * period
    shortest = shortest_copied_stretch(period)
    for stretch in range(shortest, shortest + span + 1):
        items = multiples_of(divisor, 64 * stretch // divisor) + [64 * (stretch + 100)]
        words = qernx.complete_subset_sum(items)
        assert words == subset_sums(items), stretch
        count_references_unless_sanitized(words)


def small_int_references():
    """sys.getrefcount of each of the ints 0 to 256, each stored in an array
    as soon as it is read: a count is itself an int, often a small one, and
    kept in a list it would add to the count read after it."""
    counts = array.array("q", bytes(8 * 257))
    for v in range(257):
        counts[v] = sys.getrefcount(v)
    return counts


def slots_per_small_int(words):
    return array.array("q", (words.count(v) for v in range(257)))


# A copied stretch of a sparse answer is mostly the shared 0 and small powers
# of two, which the copy gives their references in bulk, neighbours holding
# one int together: each of the ints 0 to 256 takes exactly one reference per
# slot it fills and gives them all back with the list (a plain build keeps no
# running total, and assert_one_reference_per_slot passes over these ints).
# Stretches run to the last word, or start mid-batch after a gap of zeros.
@pytest.mark.skipif(sys.version_info >= (3, 12), reason="small ints are immortal")
@pytest.mark.parametrize("divisor", [64 * 9, 1000, 64 * 129, 2**18])
@pytest.mark.parametrize("gap", [None, 5, 63], ids=["to the last word", "gap, +5", "gap, +63"])
def test_copied_stretches_hold_one_reference_per_small_int(local, divisor, gap):
    period = period_of(divisor)
    rng = random.Random(divisor + (gap or 0))
    count = 64 * copied_stretch_words(period, rng) // divisor
    items = multiples_of(divisor, count)
    if gap is not None:
        items.append(divisor * count + 64 * rng.randint(100, 2000) + gap)
    # Another thread (pytest-xdist keeps one) may move a small int's count
    # between two readings: three tries, any one of them clean. A reference
    # lost or kept by the copy moves every try.
    moved = []
    for _ in range(3):
        # Counted outside assert statements, whose rewriting holds its operands.
        before = small_int_references()
        words = qernx.complete_subset_sum(items)
        taken = small_int_references()
        slots = slots_per_small_int(words)
        exact = words == subset_sums(items)
        del words
        after = small_int_references()
        assert exact
        assert slots[0] > 1000
        moved = [
            (v, t - b, s, a - b)
            for v, (b, t, s, a) in enumerate(zip(before, taken, slots, after))
            if t - b != s or a != b
        ]
        if not moved:
            break
    assert moved == []  # (int, references taken, slots, references kept)


# A debug build of Python keeps a running total of all references, which only
# Py_INCREF and Py_DECREF move. The ints a result list shares among runs and
# periods of equal words take their references in bulk: the total must move
# with them, or it drifts by the list's length at every call.
TOTAL_SHAPES = {
    "full words": [1] * 20000,
    "period 3": [3 * 2**k for k in range(14)],
    "runs of 0": [1000 * k for k in range(1, 60)],
    "runs in batches": [1, 2, 4, 8, 16] + [64] * 40 + [64 * 500, 64 * 1203],
    "period 125": [1000 * 2**k for k in range(12)],
    # Periods of 9 words (two stretches, a gap between) and of 4096, copied.
    "period 9, copied": multiples_of(9, 64 * 1500 // 9) + [64 * 16 * 2000],
    "period 4096, copied": multiples_of(2**18, 64 * 21000 // 2**18) + [64 * 16 * 21000],
}


def _async_solve(items):
    done = threading.Event()
    results = []

    def callback(words):
        results.append(words)
        done.set()

    qernx.complete_subset_sum_async(items, callback)
    assert done.wait(60)
    return results[0]


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="a debug build keeps the total")
@pytest.mark.parametrize("call", ["list", "bytes", "async"])
@pytest.mark.parametrize("items", TOTAL_SHAPES.values(), ids=TOTAL_SHAPES.keys())
def test_calls_leave_the_reference_total_as_it_was(local, call, items):
    solve = {
        "list": qernx.complete_subset_sum,
        "bytes": qernx.complete_subset_sum_bytes,
        "async": _async_solve,
    }[call]
    words = len(solve(items))  # the first call's one-time objects
    drifts = []
    for _ in range(3):
        before = sys.gettotalrefcount()
        for _ in range(10):
            solve(items)
        drifts.append(sys.gettotalrefcount() - before)
    assert words > 100
    # Another thread of this process (pytest-xdist's channel to its
    # controller) may move the total while a call has let go of the
    # interpreter lock; one reference lost or kept per call moves it by 10 or
    # more in every round.
    assert min(map(abs, drifts)) < 10, drifts
