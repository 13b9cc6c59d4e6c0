"""The module against the reference service, online and local, blocking and
in the background, checked against Python's own int arithmetic."""

import json
import os
import random
import re
import time

import pytest
from conftest import API_KEY
from oracle import subset_sums as oracle

BATCH = """
import json, os, queue, qernx
problems = ITEMS
online = [qernx.complete_subset_sum(p) for p in problems]
box = queue.Queue()
for index, p in enumerate(problems):
    qernx.complete_subset_sum_async(p, lambda words, index=index: box.put((index, words)))
background = [box.get(timeout=TIMEOUT) for _ in problems]
os.environ["QERN_KILLSWITCH"] = "1"
local = [qernx.complete_subset_sum(p) for p in problems]
print(json.dumps({"online": online, "background": background, "local": local}))
"""


def random_problems(seed, count):
    rng = random.Random(seed)
    shapes = [
        lambda: [rng.randint(0, 50) for _ in range(rng.randint(0, 12))],
        lambda: [rng.randint(1, 3000) for _ in range(rng.randint(1, 200))],
        lambda: [rng.choice([64, 128, 4096]) for _ in range(rng.randint(1, 30))],
        lambda: [rng.randint(1, 5000) for _ in range(100)],
    ]
    return [shapes[i % len(shapes)]() for i in range(count)]


EDGES = [[], [0], [0, 0, 0], [63], [64], [1] * 100, [524287], [524286, 1], [262144, 262143]]


@pytest.mark.parametrize("redirect", [False, True], ids=["direct", "redirect-results"])
def test_online_background_and_local_solves_equal_the_oracle(service, solve_online, redirect):
    server = service(*(["--redirect-results"] if redirect else []))
    problems = EDGES + random_problems(7 + redirect, 24)
    outcome = solve_online(problems, server.origin, code=BATCH, timeout=300, QERN_MAXRETRIES="5000")
    results = json.loads(outcome.result)
    expected = [oracle(p) for p in problems]
    assert results["online"] == expected
    assert results["local"] == expected
    assert sorted(results["background"]) == [[i, words] for i, words in enumerate(expected)]
    assert outcome.stdout.count("Result not ready") == len(outcome.sleeps)


MANY_AT_ONCE = """
import json, queue, qernx, threading
problems = ITEMS
box = queue.Queue()
calls = [0] * len(problems)
lock = threading.Lock()
def done(index, words):
    with lock:
        calls[index] += 1
    box.put((index, words))
for index, p in enumerate(problems):
    qernx.complete_subset_sum_async(p, lambda words, index=index: done(index, words))
results = dict(box.get(timeout=TIMEOUT) for _ in problems)
threading.Event().wait(0.5)  # room for a second, wrong call
print(json.dumps({"calls": calls, "results": [results[i] for i in range(len(problems))]}))
"""


# Under the sanitizers the service and the client run many times slower:
# fewer solves at once there, so that none waits past the transfer time-outs.
AT_ONCE = 40 if os.environ.get("QERN_SANITIZED") == "1" else 200


def test_many_background_solves_at_once_are_each_exact_and_called_back_once(service, solve_online):
    server = service("--workers", "2")
    problems = random_problems(11, AT_ONCE)
    # Pauses return at once under the sleep recorder: room for many more polls
    # than a real client's back-off needs, however slow the machine.
    outcome = solve_online(
        problems, server.origin, code=MANY_AT_ONCE, timeout=300, QERN_MAXRETRIES="5000"
    )
    results = json.loads(outcome.result)
    assert results["calls"] == [1] * len(problems)
    assert results["results"] == [oracle(p) for p in problems]
    print(f"{AT_ONCE} background online solves at once: all exact, in {outcome.elapsed:.1f} s")


def test_a_wrong_key_is_forbidden(service, solve_online):
    server = service(keys="another-key")
    outcome = solve_online([1, 2], server.origin)
    assert outcome.result == "ConnectionError('Forbidden')"
    assert "Bad API key\n" in outcome.stdout
    assert "POST /v0/app/sspu 403" in server.log()


def test_a_total_the_client_cannot_receive_is_refused_with_the_reason(service, solve_online):
    server = service()
    outcome = solve_online([524287, 1], server.origin)
    assert outcome.result.startswith("ConnectionError('Item total 524288 is 524288 or more")
    assert outcome.sleeps == []


def test_an_untrusted_service_certificate_is_refused(service, solve_online):
    server = service(cert="untrusted")
    outcome = solve_online([1, 2], server.origin)
    assert outcome.result == "ConnectionError('Submit problem curl failed with 60')"
    assert " /v0/app/sspu " not in server.log()  # nothing got past the handshake


def test_the_service_log_has_one_line_per_request_and_never_the_key(service, solve_online):
    server = service()
    outcome = solve_online([5, 9], server.origin)
    assert outcome.result == repr(oracle([5, 9]))
    expected = 1 + 1 + len(outcome.sleeps)  # submission, polls
    # The last answer can reach the client before its line reaches the log.
    deadline = time.monotonic() + 10
    while True:
        requests = [line for line in server.log().splitlines() if " /v0/" in line]
        if len(requests) >= expected or time.monotonic() > deadline:
            break
        time.sleep(0.05)
    assert len(requests) == expected
    assert " 127.0.0.1 POST /v0/app/sspu 200 " in requests[0]
    assert all(" 127.0.0.1 GET /v0/result?requestId=" in line for line in requests[1:])
    assert all(re.search(r" \d+\.\dms id=[0-9a-f]{16}$", line) for line in requests)
    assert API_KEY not in server.log()
