"""Memory that runs out inside the module's C++ code (a std::bad_alloc from
operator new) raises MemoryError, or reaches a background callback as None with
MemoryError reported; it never ends the process. A preloaded library replaces
operator new: after n allocations every later one fails. Each solve is run with
every n from 0 to the number of allocations it makes, so every allocation of
it fails once."""

import json
import os
import pathlib
import shutil
import subprocess

import pytest
from conftest import run_python

pytestmark = pytest.mark.skipif(
    os.environ.get("QERN_SANITIZED") == "1",
    reason="AddressSanitizer's runtime comes first and replaces operator new itself",
)

SOURCE = pathlib.Path(__file__).with_name("throwing_new.cpp")
LIBRARY_TEXT = "[Local failure] not enough memory"


@pytest.fixture(scope="module")
def throwing_new(tmp_path_factory):
    compiler = shutil.which("c++") or shutil.which("g++")
    assert compiler, "a C++ compiler builds the module, and this test's library"
    library = tmp_path_factory.mktemp("throwing_new") / "libthrowing_new.so"
    subprocess.run(
        [compiler, "-std=c++20", "-O1", "-shared", "-fPIC", "-o", str(library), str(SOURCE)],
        check=True,
    )
    return str(library)


PRELUDE = """
import ctypes, json, os, socket, sys, threading
from oracle import subset_sums
process = ctypes.CDLL(None)
fail_after = process.qern_test_fail_new_after
fail_after.argtypes = [ctypes.c_long]
allocations = process.qern_test_allocations
allocations.restype = ctypes.c_long
for name in ("QERN_KILLSWITCH", "QERN_API_URL", "QERN_API_KEY", "QERN_MAXRETRIES"):
    os.environ.pop(name, None)
import qernx

def attempt(n, run):
    \"\"\"run() with operator new failing after n allocations (None: never).\"\"\"
    fail_after(-1 if n is None else n)
    try:
        return run()
    except MemoryError as error:
        return "MemoryError: " + str(error)
    except ConnectionError:
        return "ConnectionError"
    finally:
        fail_after(-1)

def sweep(run):
    \"\"\"The outcome of run() for every n up to its number of allocations.\"\"\"
    before = allocations()
    normal = attempt(None, run)
    made = allocations() - before
    outcomes = [attempt(n, run) for n in range(made + 1)]
    print(json.dumps({"made": made, "outcomes": outcomes, "normal": normal}))
"""


def sweep(library, body):
    env = {
        "LD_PRELOAD": " ".join(filter(None, [library, os.environ.get("LD_PRELOAD")])),
        "PYTHONPATH": os.pathsep.join(
            filter(None, [str(pathlib.Path(__file__).parents[1]), os.environ.get("PYTHONPATH")])
        ),
    }
    result = run_python(PRELUDE + body, env_extra=env, timeout=600)
    assert result.returncode == 0, (result.returncode, result.stderr[-3000:])
    found = json.loads(result.stdout.strip().splitlines()[-1])
    return found["made"], found["outcomes"], found["normal"]


def test_a_local_solve_raises_memory_error_wherever_memory_runs_out(throwing_new):
    # Repeated items are merged through the solver's scratch map.
    made, outcomes, normal = sweep(
        throwing_new,
        """
os.environ["QERN_KILLSWITCH"] = "1"
items = [5] * 40 + [3] * 33 + [7] * 9 + [1000]
expected = subset_sums(items)
sweep(lambda: "exact" if qernx.complete_subset_sum(items) == expected else "WRONG")
""",
    )
    assert normal == "exact"
    assert made > 0
    assert outcomes[-1] == "exact"
    # The solver falls back to a solve without scratch memory where it can;
    # otherwise the call raises. Never a wrong answer, never a crash.
    assert set(outcomes) <= {"exact", "MemoryError: " + LIBRARY_TEXT + " for the local solver"}


def test_an_online_solve_raises_memory_error_wherever_memory_runs_out(throwing_new):
    # Nothing listens on the port: without a memory failure the solve fails to
    # connect.
    made, outcomes, normal = sweep(
        throwing_new,
        """
holder = socket.socket()
holder.bind(("127.0.0.1", 0))
os.environ["QERN_API_URL"] = "https://127.0.0.1:%d/" % holder.getsockname()[1]
os.environ["QERN_API_KEY"] = "a key long enough to live on the heap"
sweep(lambda: qernx.complete_subset_sum([3, 5]))
""",
    )
    assert normal == "ConnectionError"
    assert outcomes[-1] == "ConnectionError"
    memory = [o for o in outcomes if o.startswith("MemoryError")]
    assert len(memory) == made, outcomes
    # The first allocations are the binding's copies of the settings; the
    # later ones are the library's.
    assert any(LIBRARY_TEXT in o for o in memory), outcomes


def test_a_background_solve_delivers_none_and_reports_memory_error(throwing_new):
    made, outcomes, normal = sweep(
        throwing_new,
        """
os.environ["QERN_KILLSWITCH"] = "1"
items = [5] * 40 + [3] * 33 + [1000]
expected = subset_sums(items)
reported = []
sys.unraisablehook = lambda u: reported.append(f"{type(u.exc_value).__name__}: {u.exc_value}")

def run():
    done = threading.Event()
    got = []
    del reported[:]
    def callback(words):
        got.append(words)
        done.set()
    qernx.complete_subset_sum_async(items, callback)
    assert done.wait(60)
    if got == [expected] and not reported:
        return "exact"
    return f"{got} {reported}"

sweep(run)
""",
    )
    assert normal == "exact"
    assert outcomes[-1] == "exact"
    in_thread = f"[None] ['MemoryError: {LIBRARY_TEXT} for the local solver']"
    # A failure at the call raises there (the launch record); one on the
    # thread reaches the callback as None, with MemoryError reported, unless
    # the solver could fall back to a solve without scratch memory.
    assert set(outcomes[:-1]) <= {"MemoryError: ", in_thread, "exact"}, outcomes
    assert "MemoryError: " in outcomes
