"""Long runs against the reference service: memory over many online calls,
and exits with solves still in flight."""

import os
import subprocess
import sys
import textwrap
import time

import pytest
from conftest import API_KEY, RSS_MB, certs_dir, exits_with_work_in_flight
from oracle import subset_sums as oracle
from raw_tls_server import RawServer

ONLINE_SOAK = (
    RSS_MB
    + """
import qernx
def run(calls):
    wrong = 0
    for k in range(calls):
        items = [k % 300, 5, 64 * (k % 7)]
        words = qernx.complete_subset_sum(items)
        reach = 1
        for w in items:
            reach |= reach << w
        wrong += int.from_bytes(b"".join(w.to_bytes(8, "little") for w in words), "little") != reach
    return wrong
wrong = run(50)
start = rss_mb()
wrong += run(500)
print(wrong, rss_mb() - start)
"""
)


@pytest.mark.memory_growth
def test_500_online_calls_keep_memory_flat(service, solve_online):
    server = service()
    # The recorder makes the pauses between polls instant, so a service slowed
    # by a busy machine would run out of the default 20 attempts.
    outcome = solve_online(
        None, server.origin, code=ONLINE_SOAK, timeout=600, QERN_MAXRETRIES="100000"
    )
    wrong, growth_mb = outcome.result.split()
    assert wrong == "0"
    print(f"500 online calls: resident memory grew {float(growth_mb):.2f} MB")
    assert float(growth_mb) < 5


def never_answers(request, connection):
    connection.settimeout(120)
    try:
        connection.recv(1)  # holds the transfer until the client is gone
    except OSError:
        pass


EXIT_IN_FLIGHT = """
import os, time, qernx
done = []
for k in range(6):   # local solves, long enough to outlive the script
    qernx.complete_subset_sum_async(list(range(1, 15000 + k)), done.append)
time.sleep(0.05)     # every local thread has chosen its solver by now
del os.environ["QERN_KILLSWITCH"]
for k in range(4):   # online: two held by a server that never answers
    os.environ["QERN_API_URL"] = STALLED if k < 2 else SERVICE
    qernx.complete_subset_sum_async([k, 3, 64], done.append)
for k in range(4, 8):
    qernx.complete_subset_sum_async([k, 9], done.append)
"""


# Under the sanitizers each exit takes seconds: fewer of them, still racing.
EXITS = 15 if os.environ.get("QERN_SANITIZED") == "1" else 50


def test_exits_with_local_and_online_solves_in_flight_are_clean(service, sleep_recorder):
    server = service()
    stalled = RawServer(certs_dir(), never_answers)
    env = {k: v for k, v in os.environ.items() if not k.startswith("QERN_")}
    env.update(QERN_KILLSWITCH="1", QERN_API_KEY=API_KEY, QERN_API_URL=server.origin)
    exits_with_work_in_flight(env)
    code = textwrap.dedent(EXIT_IN_FLIGHT)
    code = code.replace("STALLED", repr(stalled.origin)).replace("SERVICE", repr(server.origin))
    longest = 0.0
    try:
        for repetition in range(EXITS):
            started = time.monotonic()
            completed = subprocess.run(
                [sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60
            )
            elapsed = time.monotonic() - started
            context = (repetition, completed.returncode, completed.stderr[-3000:])
            assert completed.returncode == 0, context
            assert "Fatal Python error" not in completed.stderr, context
            assert "Traceback" not in completed.stderr, context
            assert API_KEY not in completed.stdout + completed.stderr
            assert elapsed < 20, context
            longest = max(longest, elapsed)
    finally:
        stalled.close()
    print(f"{EXITS} exits with solves in flight: all status 0, longest {longest:.2f} s")


def test_the_stalled_online_solve_is_really_in_flight_at_exit(service):
    # The exit test means something only if its online solves are still
    # running when the script ends: the server saw the submission, and the
    # result never came back.
    seen = []

    def record(request, connection):
        seen.append(request.path)
        never_answers(request, connection)

    stalled = RawServer(certs_dir(), record)
    env = {k: v for k, v in os.environ.items() if not k.startswith("QERN_")}
    env.update(QERN_API_KEY=API_KEY, QERN_API_URL=stalled.origin)
    exits_with_work_in_flight(env)
    script = "import qernx, time\nqernx.complete_subset_sum_async([1], print)\ntime.sleep(1)\n"
    try:
        completed = subprocess.run(
            [sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=60
        )
    finally:
        stalled.close()
    assert completed.returncode == 0
    assert seen == ["/v0/app/sspu"]
    printed = completed.stdout.splitlines()
    assert repr(oracle([1])) not in printed and "None" not in printed  # no callback ran
