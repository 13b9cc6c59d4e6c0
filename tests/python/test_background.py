import random
import sys
import textwrap
import threading

import pytest
import qernx
from conftest import RSS_MB, exits_with_work_in_flight, random_items, run_python
from oracle import subset_sums

WAIT_S = 60


class Collector:
    """A callback that records every call and the thread it ran on."""

    def __init__(self, expected_calls=1):
        self.calls = []
        self.threads = []
        self._lock = threading.Lock()
        self._expected = expected_calls
        self.done = threading.Event()

    def __call__(self, result):
        with self._lock:
            self.calls.append(result)
            self.threads.append(threading.get_ident())
            if len(self.calls) >= self._expected:
                self.done.set()

    def wait(self):
        assert self.done.wait(WAIT_S), f"only {len(self.calls)} completions arrived"


@pytest.mark.usefixtures("local")
@pytest.mark.parametrize(
    "items",
    [[], [1, 2], [64], [0, 0], random_items(random.Random(3), 500, 0, 3000)],
    ids=["empty", "1 2", "64", "zeros", "random"],
)
def test_callback_runs_once_on_another_thread_with_the_exact_words(items):
    callback = Collector()
    assert qernx.complete_subset_sum_async(items, callback) is None
    callback.wait()
    assert callback.calls == [subset_sums(items)]
    assert callback.threads[0] != threading.get_ident()


@pytest.mark.usefixtures("local")
def test_many_calls_back_to_back_each_complete_once_with_their_own_result():
    rng = random.Random(300)
    problems = [random_items(rng, rng.randint(0, 30), 0, 200) for _ in range(300)]
    results = {k: [] for k in range(len(problems))}
    remaining = threading.Semaphore(0)

    def make_callback(k):
        def callback(words):
            results[k].append(words)
            remaining.release()

        return callback

    for k, items in enumerate(problems):
        qernx.complete_subset_sum_async(items, make_callback(k))
    for _ in problems:
        assert remaining.acquire(timeout=WAIT_S)
    for k, items in enumerate(problems):
        assert results[k] == [subset_sums(items)], f"problem {k}"


@pytest.mark.usefixtures("local")
def test_a_raising_callback_is_reported_and_later_completions_still_run(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: seen.append(unraisable))

    def bad(words):
        raise ValueError("callback failed")

    qernx.complete_subset_sum_async([1], bad)
    good = Collector()
    qernx.complete_subset_sum_async([2, 3], good)
    good.wait()
    for _ in range(100):
        if seen:
            break
        threading.Event().wait(0.05)
    assert [type(u.exc_value) for u in seen] == [ValueError]
    assert seen[0].object is bad
    assert good.calls == [[45]]


def test_a_failed_solve_reports_connection_error_then_calls_back_with_none(monkeypatch):
    monkeypatch.delenv("QERN_KILLSWITCH", raising=False)
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: seen.append(unraisable))
    callback = Collector()
    qernx.complete_subset_sum_async([3, 5], callback)
    callback.wait()
    assert callback.calls == [None]
    assert len(seen) == 1 and isinstance(seen[0].exc_value, ConnectionError)
    assert str(seen[0].exc_value)


REFUSED = [
    pytest.param(([1],), TypeError, id="one argument"),
    pytest.param(((1,), print), TypeError, id="tuple"),
    pytest.param(([1, "x"], print), TypeError, id="str element"),
    pytest.param(([-1], print), OverflowError, id="negative element"),
    pytest.param(([2**64], print), OverflowError, id="element of 2**64"),
    pytest.param(([2**63, 2**63], print), OverflowError, id="total overflows"),
    pytest.param(([1, 2], 5), TypeError, id="callback not callable"),
    pytest.param(([1, 2], None), TypeError, id="callback None"),
]


@pytest.mark.usefixtures("local")
@pytest.mark.parametrize(("args", "error"), REFUSED)
def test_refused_calls_raise_and_keep_no_reference(args, error):
    held = args[-1]
    before = sys.getrefcount(held)
    with pytest.raises(error):
        qernx.complete_subset_sum_async(*args)
    assert sys.getrefcount(held) == before
    assert qernx.complete_subset_sum([1, 2]) == [15]


@pytest.mark.address_space
def test_a_thread_that_cannot_start_raises_runtime_error_and_releases_the_callback():
    # With no address space left for a thread stack, pthread_create fails.
    result = run_python(
        """
        import resource, sys, qernx
        def vm_size():
            with open("/proc/self/status") as status:
                for line in status:
                    if line.startswith("VmSize"):
                        return int(line.split()[1]) * 1024
        callback = lambda words: print("called")
        before = sys.getrefcount(callback)
        resource.setrlimit(resource.RLIMIT_AS, (vm_size() + 4 * 2**20, resource.RLIM_INFINITY))
        try:
            qernx.complete_subset_sum_async([1, 2], callback)
        except RuntimeError as error:
            print("RuntimeError", str(error).startswith("can't start new thread"))
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        print(sys.getrefcount(callback) - before)
        """,
        env_extra={"QERN_KILLSWITCH": "1"},
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "RuntimeError True\n0\n"


# Eight solves that outlive the process, and a stream of completions that
# keep arriving while the interpreter shuts down.
EXIT_WHILE_SOLVING = """
import qernx
for _ in range(8):
    qernx.complete_subset_sum_async(list(range(1, 20000)), lambda words: len(words))
for k in range(100, 3000, 10):
    qernx.complete_subset_sum_async(list(range(1, k)), lambda words: len(words))
"""


@pytest.mark.parametrize("attempt", range(12))
def test_exit_with_solves_in_flight_is_clean(attempt):
    env = exits_with_work_in_flight({"QERN_KILLSWITCH": "1"})
    result = run_python(EXIT_WHILE_SOLVING, env_extra=env, timeout=60)
    assert result.returncode == 0, (result.returncode, result.stderr[-2000:])
    assert "Fatal Python error" not in result.stderr
    assert "Traceback" not in result.stderr


@pytest.mark.memory_growth
def test_memory_stays_flat_over_many_calls():
    result = run_python(
        RSS_MB
        + textwrap.dedent(
            """
        import threading, qernx
        done = threading.Semaphore(0)
        def run(calls):
            for k in range(calls):
                qernx.complete_subset_sum_async([k % 500, 7, 1000], lambda words: done.release())
                if k % 50 == 49:
                    for _ in range(50):
                        done.acquire()
        run(2000)
        start = rss_mb()
        run(10000)
        print(rss_mb() - start)
        """
        ),
        env_extra={"QERN_KILLSWITCH": "1"},
        timeout=300,
    )
    assert result.returncode == 0, result.stderr
    growth_mb = float(result.stdout.split()[-1])
    print(f"10,000 background local calls: resident memory grew {growth_mb:.2f} MB")
    assert growth_mb < 5


def test_completions_after_shutdown_began_never_enter_the_interpreter():
    # Running the exit hooks closes the gate, as interpreter shutdown does:
    # solves that finish afterwards must not call back.
    result = run_python(
        """
        import atexit, time, qernx
        calls = []
        qernx.complete_subset_sum_async([1, 2], calls.append)
        deadline = time.monotonic() + 30
        while not calls and time.monotonic() < deadline:
            time.sleep(0.01)
        atexit._run_exitfuncs()
        for k in range(50):
            qernx.complete_subset_sum_async([k], calls.append)
        time.sleep(1)
        print(calls)
        """,
        env_extra={"QERN_KILLSWITCH": "1"},
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "[[15]]\n"
