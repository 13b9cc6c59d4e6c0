"""The settings of a solve are read when the call is made, on the caller's
thread: what the environment says afterwards does not reach a solve that has
already been started."""

import os
import pathlib
import shutil
import socket
import subprocess
import threading

import pytest
import qernx
from conftest import run_python
from oracle import subset_sums

CALLS = 200
WAIT_S = 120


@pytest.fixture
def refused_origin():
    """An https origin on 127.0.0.1 where nothing listens: the port is bound
    but never listened on, so a connection to it is refused for as long as the
    test runs. An online solve against it can only fail."""
    holder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    holder.bind(("127.0.0.1", 0))
    yield f"https://127.0.0.1:{holder.getsockname()[1]}"
    holder.close()


def test_deleting_the_kill_switch_after_a_background_call_keeps_that_solve_local(
    monkeypatch, refused_origin
):
    monkeypatch.setenv("QERN_API_URL", refused_origin)
    monkeypatch.setenv("QERN_MAXRETRIES", "0")
    problems = [[k % 97, 3, 1000 + k] for k in range(CALLS)]
    results = [[] for _ in problems]
    arrived = threading.Semaphore(0)

    def make_callback(k):
        def callback(words):
            results[k].append(words)
            arrived.release()

        return callback

    for k, items in enumerate(problems):
        os.environ["QERN_KILLSWITCH"] = "1"
        qernx.complete_subset_sum_async(items, make_callback(k))
        del os.environ["QERN_KILLSWITCH"]
    for _ in problems:
        assert arrived.acquire(timeout=WAIT_S)
    wrong = [k for k, items in enumerate(problems) if results[k] != [subset_sums(items)]]
    assert wrong == [], f"{len(wrong)} of {CALLS} solves did not stay local"


@pytest.mark.parametrize(
    ("at_call", "afterwards"),
    [
        pytest.param({"QERN_KILLSWITCH": "1"}, {"QERN_KILLSWITCH": "0"}, id="switch flipped"),
        pytest.param(
            {"QERN_KILLSWITCH": "1"},
            {"QERN_KILLSWITCH": None, "QERN_API_URL": "http://plain.invalid"},
            id="switch and origin changed",
        ),
    ],
)
def test_a_background_solve_uses_the_settings_of_its_call(monkeypatch, at_call, afterwards):
    for name, value in at_call.items():
        monkeypatch.setenv(name, value)
    done = threading.Event()
    got = []
    # Large enough that the solve is still running when the environment changes.
    items = list(range(1, 1200))

    def callback(words):
        got.append(words)
        done.set()

    qernx.complete_subset_sum_async(items, callback)
    for name, value in afterwards.items():
        if value is None:
            monkeypatch.delenv(name, raising=False)
        else:
            monkeypatch.setenv(name, value)
    assert done.wait(WAIT_S)
    assert got == [subset_sums(items)]


def test_a_blocking_solve_reads_the_settings_at_each_call(monkeypatch, refused_origin):
    monkeypatch.setenv("QERN_API_URL", refused_origin)
    monkeypatch.setenv("QERN_KILLSWITCH", "1")
    assert qernx.complete_subset_sum([3, 5]) == subset_sums([3, 5])
    monkeypatch.setenv("QERN_API_URL", "http://plain.invalid")
    monkeypatch.delenv("QERN_KILLSWITCH")
    with pytest.raises(ConnectionError, match="QERN_API_URL must start with https://"):
        qernx.complete_subset_sum([3, 5])


# Background threads never read the environment, which the interpreter may be
# changing at that moment (glibc does not make getenv safe against setenv).
OFF_THREAD = """
import ctypes, os, threading, qernx
process = ctypes.CDLL(None)
counted = process.qern_test_getenv_off_thread
counted.restype = ctypes.c_long
first_name = process.qern_test_getenv_first_name
first_name.restype = ctypes.c_char_p
done = threading.Semaphore(0)
os.environ["QERN_KILLSWITCH"] = "1"
for k in range(50):
    qernx.complete_subset_sum_async([k, 3, 700], lambda words: done.release())
# Online too, where libcurl would read the proxy variables (the origin refuses).
del os.environ["QERN_KILLSWITCH"]
os.environ["QERN_API_URL"] = ORIGIN
for k in range(4):
    qernx.complete_subset_sum_async([k, 3, 700], lambda words: done.release())
for k in range(54):
    assert done.acquire(timeout=60)
solves = counted()
# The recorder itself: a blocking call made on a thread of the program's own
# reads the settings there, and is counted.
os.environ["QERN_KILLSWITCH"] = "1"
caller = threading.Thread(target=lambda: qernx.complete_subset_sum([1, 2]))
caller.start()
caller.join()
print(solves, counted(), first_name().decode() or "-")
"""


@pytest.mark.skipif(
    os.environ.get("QERN_SANITIZED") == "1",
    reason="the sanitizer runtime comes first in the preload list",
)
def test_background_solves_never_read_the_environment(tmp_path, refused_origin):
    compiler = shutil.which("cc") or shutil.which("gcc")
    assert compiler
    library = tmp_path / "librecord_getenv.so"
    source = pathlib.Path(__file__).with_name("record_getenv.c")
    subprocess.run(
        [compiler, "-O1", "-shared", "-fPIC", "-o", str(library), str(source)], check=True
    )
    script = OFF_THREAD.replace("ORIGIN", repr(refused_origin))
    result = run_python(script, env_extra={"LD_PRELOAD": str(library)})
    assert result.returncode == 0, result.stderr[-3000:]
    background, with_blocking, first = result.stdout.split()[-3:]
    assert int(background) == 0, first
    assert int(with_blocking) > 0
