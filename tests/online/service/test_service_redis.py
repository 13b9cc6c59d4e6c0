"""The service with its Redis back-end: several front-ends and solver workers
sharing one real redis-server, started per test on a free port."""

import gzip
import json
import re
import signal
import time

import pytest
from oracle import subset_sums as oracle
from test_service_e2e import BATCH, EDGES, random_problems
from test_service_protocol import bitset_bytes, request, submit

pytestmark = pytest.mark.service_only


def front_ends(service, redis_server, count, *options):
    return [service("--redis", redis_server.url, *options) for _ in range(count)]


def status_of(server, request_id):
    response, data = request(server, "GET", f"/v0/result?requestId={request_id}")
    return response.status, data


def wait_solved(server, request_ids, timeout=60):
    deadline = time.monotonic() + timeout
    pending = set(request_ids)
    while pending:
        pending = {i for i in pending if status_of(server, i)[0] == 202}
        assert time.monotonic() < deadline, f"{len(pending)} never solved"
        time.sleep(0.05)


def test_problems_queue_without_workers_and_any_front_end_serves_their_results(
    service, redis_server, worker
):
    first, second = front_ends(service, redis_server, 2)
    problems = [[3, 5, 64], [], [524287], [1] * 70] + random_problems(3, 6)
    ids = [submit(first if i % 2 else second, p) for i, p in enumerate(problems)]
    for request_id in ids:  # queued, nobody solves
        assert status_of(first, request_id) == (202, b'{"message":"Result not ready"}')
        assert status_of(second, request_id)[0] == 202
    response, data = request(first, "GET", "/metrics")
    assert re.search(rb"\nqernx_queue_depth 10\.0\n", data)

    worker(redis_server.url, "--concurrency", "1")
    worker(redis_server.url, "--concurrency", "1")
    wait_solved(first, ids)
    for request_id, items in zip(ids, problems):
        for server in (first, second):
            status, data = status_of(server, request_id)
            assert status == 200 and gzip.decompress(data) == bitset_bytes(items)
    # The other key sees none of them.
    response, data = request(second, "GET", f"/v0/result?requestId={ids[0]}", key="other")
    assert response.status == 403


def test_results_survive_a_restart_of_every_front_end(service, redis_server, worker):
    worker(redis_server.url, "--concurrency", "2")
    before = front_ends(service, redis_server, 2, "--redirect-results")
    items = [11, 13, 4096]
    request_id = submit(before[0], items)
    wait_solved(before[1], [request_id])
    response, _ = request(before[0], "GET", f"/v0/result?requestId={request_id}")
    location = response.getheader("Location")
    for server in before:
        assert server.stop() == 0
    after = front_ends(service, redis_server, 2, "--redirect-results")
    for server in after:  # the signing key is shared through Redis, and kept
        response, data = request(server, "GET", location, key=None)
        assert response.status == 200 and gzip.decompress(data) == bitset_bytes(items)
        status, data = status_of(server, request_id)
        assert status == 302
        response, data = request(server, "GET", json.loads(data)["location"], key=None)
        assert gzip.decompress(data) == bitset_bytes(items)


def test_queue_bounds_refuse_with_retry_after(service, redis_server):
    (server,) = front_ends(
        service, redis_server, 1, "--max-queued", "5", "--max-queued-per-key", "3"
    )
    for _ in range(3):
        submit(server, [1])
    response, data = request(server, "POST", "/v0/app/sspu", b"[1]")
    assert response.status == 429 and int(response.getheader("Retry-After")) > 0
    assert json.loads(data) == {"message": "Too many problems queued for this key"}
    (other,) = front_ends(service, redis_server, 1, "--max-queued", "5", "--api-key", "k2")
    for _ in range(2):
        submit(other, [1], key="k2")
    response, data = request(other, "POST", "/v0/app/sspu", b"[1]", key="k2")
    assert response.status == 503 and int(response.getheader("Retry-After")) > 0


def test_a_stopped_then_killed_worker_loses_no_problem(service, redis_server, worker):
    (server,) = front_ends(service, redis_server, 1)
    doomed = worker(redis_server.url, "--concurrency", "1")
    # A stopped worker still holds the read it was blocked in: Redis hands it
    # the next problem, which then waits in the worker's pending list.
    held = None
    for _ in range(20):
        doomed.signal_group(signal.SIGSTOP)
        items = [7, 300, 4095]
        request_id = submit(server, items)
        time.sleep(0.5)
        if status_of(server, request_id)[0] == 202:
            pending = redis_server.cli("XPENDING", "qernx:problems", "solvers")
            if pending.split()[0] != "0":
                held = request_id
                break
        doomed.signal_group(signal.SIGCONT)
        time.sleep(1.2)  # its blocked read times out and starts over
    assert held, "the worker never took a problem while stopped"
    doomed.signal_group(signal.SIGKILL)
    doomed.process.wait()
    assert status_of(server, held)[0] == 202
    started = time.monotonic()
    rescuer = worker(redis_server.url, "--concurrency", "1", "--reclaim-after", "2")
    wait_solved(server, [held], timeout=30)
    assert time.monotonic() - started < 20
    assert f"took over {held}" in rescuer.log()
    status, data = status_of(server, held)
    assert status == 200 and gzip.decompress(data) == bitset_bytes(items)
    assert redis_server.cli("XPENDING", "qernx:problems", "solvers").split()[0] == "0"


def test_health_follows_redis(service, redis_server):
    (server,) = front_ends(service, redis_server, 1)
    response, data = request(server, "GET", "/healthz", key=None)
    assert response.status == 200
    redis_server.stop()
    response, data = request(server, "GET", "/healthz", key=None)
    assert response.status == 503 and json.loads(data) == {"status": "unavailable"}
    response, data = request(server, "POST", "/v0/app/sspu", b"[1]")
    assert response.status == 503 and json.loads(data) == {"message": "Queue unavailable"}
    redis_server.start()
    for _ in range(100):
        response, data = request(server, "GET", "/healthz", key=None)
        if response.status == 200:
            break
        time.sleep(0.1)
    assert response.status == 200


@pytest.mark.parametrize("redirect", [False, True], ids=["direct", "redirect-results"])
def test_the_module_solves_exactly_through_redis_workers(
    service, redis_server, worker, solve_online, redirect
):
    options = ["--redirect-results"] if redirect else []
    (server,) = front_ends(service, redis_server, 1, *options)
    worker(redis_server.url, "--concurrency", "1")
    worker(redis_server.url, "--concurrency", "1")
    problems = EDGES + random_problems(21 + redirect, 12)
    # Pauses return at once under the sleep recorder: room for many more polls
    # than a real client's back-off needs.
    outcome = solve_online(problems, server.origin, code=BATCH, timeout=300, QERN_MAXRETRIES="5000")
    results = json.loads(outcome.result)
    expected = [oracle(p) for p in problems]
    assert results["online"] == expected
    assert results["local"] == expected
    assert sorted(results["background"]) == [[i, words] for i, words in enumerate(expected)]


@pytest.mark.parametrize("concurrency", ["1", "2"])
def test_a_worker_started_before_redis_waits_for_it(service, redis_server, worker, concurrency):
    redis_server.stop()
    made = worker(redis_server.url, "--concurrency", concurrency)
    deadline = time.monotonic() + 30
    while "cannot reach Redis" not in made.log():
        assert made.process.poll() is None, made.log()
        assert time.monotonic() < deadline, made.log()
        time.sleep(0.1)
    time.sleep(1.5)  # at least one more try, still down
    assert made.process.poll() is None, made.log()
    redis_server.start()
    (front,) = front_ends(service, redis_server, 1)
    problems = [[3, 5, 64], [1] * 70]
    ids = [submit(front, p) for p in problems]
    wait_solved(front, ids)
    for request_id, items in zip(ids, problems):
        status, data = status_of(front, request_id)
        assert status == 200 and gzip.decompress(data) == bitset_bytes(items)
    assert "Traceback" not in made.log()
    assert made.stop() == 0
