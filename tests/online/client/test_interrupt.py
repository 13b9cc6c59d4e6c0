"""Ctrl-C during a blocking online solve: in a back-off pause and in a
transfer that stalls, the call ends soon after SIGINT with KeyboardInterrupt,
and the module goes on working."""

import os
import signal
import subprocess
import sys
import time

import pytest
from conftest import API_KEY, certs_dir
from oracle import subset_sums as oracle
from raw_tls_server import RawServer

INTERRUPTED = """
import os, sys, time, qernx
print("solving", flush=True)
try:
    qernx.complete_subset_sum([1, 2])
    print("no interrupt", flush=True)
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
os.environ["QERN_KILLSWITCH"] = "1"
print(repr(qernx.complete_subset_sum([3, 5, 64])), flush=True)
del os.environ["QERN_KILLSWITCH"]
os.environ["QERN_API_URL"] = sys.argv[1]
print(repr(qernx.complete_subset_sum([3, 5, 64])), flush=True)
"""


def never_answers(request, connection):
    connection.settimeout(60)
    try:
        connection.recv(1)  # holds the transfer until the client is gone
    except OSError:
        pass


def interrupt_after(origin, ready_origin, seconds):
    """Runs a blocking solve against origin, sends SIGINT after `seconds`, and
    returns the delay until the call raised, and the lines printed."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("QERN_")}
    env.update(QERN_API_URL=origin, QERN_API_KEY=API_KEY)
    process = subprocess.Popen(
        [sys.executable, "-c", INTERRUPTED, ready_origin],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
    )
    try:
        lines = [process.stdout.readline()]
        assert lines[0] == "solving\n"
        time.sleep(seconds)
        sent = time.monotonic()
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=60)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    lines += out.splitlines()
    assert process.returncode == 0, err[-3000:]
    assert API_KEY not in out + err
    printed = [line for line in lines if line.startswith("interrupted")]
    assert printed, lines
    return float(printed[0].split()[1]) - sent, lines


@pytest.fixture
def ready_origin(scenario):
    return scenario("ready").origin


def test_ctrl_c_ends_a_pause_between_polls(scenario, ready_origin):
    never = scenario("never")
    delay, lines = interrupt_after(never.origin, ready_origin, 1.5)
    print(f"KeyboardInterrupt {delay:.3f} s after SIGINT in a back-off pause")
    assert delay < 1.0 + 0.5  # within a slice of 100 ms; margin for a loaded machine
    assert lines.count(repr(oracle([3, 5, 64]))) == 2  # local, then online again


def test_ctrl_c_ends_a_transfer_that_stalls(ready_origin):
    stalled = RawServer(certs_dir(), never_answers)
    try:
        delay, lines = interrupt_after(stalled.origin, ready_origin, 1.5)
    finally:
        stalled.close()
    print(f"KeyboardInterrupt {delay:.3f} s after SIGINT in a stalled transfer")
    assert delay < 1.0 + 0.5
    assert [r.method for r in stalled.requests] == ["POST"]
    assert lines.count(repr(oracle([3, 5, 64]))) == 2  # local, then online again
