"""The bytes call solves without the interpreter lock: other Python threads
run while it solves, bytes calls on several threads solve side by side, and
each solves the items its list held when the call was made, however other
threads change that list meanwhile."""

import random
import threading
import time

import pytest
import qernx
from oracle import reachable


def residue_items(count, high, seed=3):
    """Items that are all 1 modulo 1009: no block of words fills up for long."""
    rng = random.Random(seed)
    return [1009 * rng.randint(0, high) + 1 for _ in range(count)]


def long_items():
    """Items whose solve takes at least 0.4 s on this machine and build: 500 of
    them, or more where the solver is faster (twice the items, about four
    times the work). Python's int would take minutes to check such answers;
    those under concurrency are checked on smaller problems below."""
    count = 500
    for _ in range(5):
        items = residue_items(count, 1000)
        started = time.monotonic()
        qernx.complete_subset_sum_bytes(items)
        if time.monotonic() - started >= 0.4:
            break
        count *= 2
    return items


def test_other_threads_run_while_the_bytes_call_solves():
    items = long_items()
    solving = {}

    def solve():
        solving["start"] = time.monotonic()
        solving["answer"] = qernx.complete_subset_sum_bytes(items)
        solving["end"] = time.monotonic()

    worker = threading.Thread(target=solve)
    ticks = []
    worker.start()
    while worker.is_alive():
        ticks.append(time.monotonic())
        time.sleep(0.0005)  # needs the lock back after each sleep
    worker.join()
    start, end = solving["start"], solving["end"]
    during = [start] + [t for t in ticks if start < t < end] + [end]
    # Holding the lock for the whole solve would leave one gap as long as the
    # solve; without it this thread waits at most a few switch intervals.
    longest_gap = max(b - a for a, b in zip(during, during[1:]))
    assert longest_gap < (end - start) / 3, (longest_gap, end - start)
    total = sum(items)
    assert len(solving["answer"]) == 8 * (total // 64 + 1)
    answer = int.from_bytes(solving["answer"], "little")
    assert answer & 1 and answer >> total == 1


def states(seed):
    """Two contents a list flips between, with different answers."""
    rng = random.Random(seed)
    first = [rng.randint(1, 3000) for _ in range(rng.randint(50, 300))]
    second = [rng.randint(1, 500) * 7 for _ in range(rng.randint(10, 400))] + [3]
    return first, second


@pytest.mark.parametrize("solve_threads", [None, 2])
@pytest.mark.parametrize("solvers", [2, 4])
def test_concurrent_bytes_calls_solve_a_whole_state_of_lists_other_threads_change(
    solvers, solve_threads
):
    shared = [list(states(k)[0]) for k in range(solvers)]
    answers = {
        (k, which): reachable(state)
        for k in range(solvers)
        for which, state in enumerate(states(k))
    }
    stop = threading.Event()
    wrong = []
    solved = [0] * solvers

    def mutate():
        rng = random.Random(99)
        while not stop.is_set():
            k = rng.randrange(solvers)
            # One slice assignment: a whole state at every moment. Between
            # flips the list passes through a longer and a shorter state too,
            # each made and undone under the lock.
            shared[k][:] = states(k)[rng.randrange(2)]
            time.sleep(0)

    def solve(k):
        while not stop.is_set():
            got = int.from_bytes(
                qernx.complete_subset_sum_bytes(shared[k], threads=solve_threads), "little"
            )
            if got not in (answers[(k, 0)], answers[(k, 1)]):
                wrong.append((k, got.bit_length()))
            solved[k] += 1

    threads = [threading.Thread(target=mutate)]
    threads += [threading.Thread(target=solve, args=(k,)) for k in range(solvers)]
    for thread in threads:
        thread.start()
    time.sleep(2.0)
    stop.set()
    for thread in threads:
        thread.join(60)
    assert not wrong
    assert all(count > 5 for count in solved), solved


@pytest.mark.parametrize("threads", [1, 2])
def test_a_list_changed_during_the_call_does_not_change_its_answer(threads):
    # The solve holds a copy: once it has started, another thread empties the
    # list and puts a huge item in it, and the answer is still the first one.
    # On two threads the answer (8 MiB) is big enough to use them.
    items = residue_items(300, 600)
    expected = reachable(items)
    got = {}

    def solve():
        got["start"] = time.monotonic()
        got["answer"] = qernx.complete_subset_sum_bytes(items, threads=threads)
        got["end"] = time.monotonic()

    worker = threading.Thread(target=solve)
    worker.start()
    while "start" not in got:
        time.sleep(0.001)
    time.sleep(0.005)
    items.clear()
    items.append(10**15)
    changed = time.monotonic()
    worker.join(60)
    assert int.from_bytes(got["answer"], "little") == expected
    assert got["end"] > changed  # the list changed while the call solved
