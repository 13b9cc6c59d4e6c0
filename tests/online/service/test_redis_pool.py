"""A Redis-mode front-end's bounded pool of Redis connections: requests
beyond it wait their turn instead of failing, Redis never sees more of the
front-end's connections than the pool and its health probe, and /healthz
tells whether Redis answers, whatever the pool's occupancy."""

import gzip
import json
import pathlib
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest
from test_service_protocol import bitset_bytes, request
from test_service_redis import status_of, wait_solved

pytestmark = pytest.mark.service_only

# What the front-end calls its connections in Redis's CLIENT LIST.
CLIENT_NAME = "qernx-front-end"


def front_end_connections(redis_server):
    """The front-end's connections Redis knows of, each as CLIENT LIST's fields."""
    found = []
    for line in redis_server.cli("CLIENT", "LIST").splitlines():
        fields = dict(part.split("=", 1) for part in line.split() if "=" in part)
        if fields.get("name") == CLIENT_NAME:
            found.append(fields)
    return found


class ConnectionWatch:
    """Samples the front-end's connections in Redis until stopped; `most`
    is the largest number seen at once."""

    def __init__(self, redis_server):
        self.redis_server = redis_server
        self.most = 0
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.run)
        self.thread.start()

    def run(self):
        while not self.done.is_set():
            self.most = max(self.most, len(front_end_connections(self.redis_server)))
            time.sleep(0.02)

    def stop(self):
        self.done.set()
        self.thread.join()


def submitted(server, items):
    response, data = request(
        server, "POST", "/v0/app/sspu", json.dumps(items).replace(" ", "").encode()
    )
    return response.status, data


def test_a_full_pool_makes_requests_wait_and_health_still_answers(service, redis_server, worker):
    pool = 2
    server = service("--redis", redis_server.url, "--redis-pool", str(pool))
    problems = [[3, 5, 7 + i] for i in range(24)]
    # Redis holds back every script, so each submission keeps its pooled
    # connection until Redis lets go: two hold the pool, the rest wait.
    redis_server.cli("CLIENT", "PAUSE", "60000", "WRITE")
    watch = ConnectionWatch(redis_server)
    try:
        with ThreadPoolExecutor(len(problems)) as pool_of_clients:
            answers = [pool_of_clients.submit(submitted, server, p) for p in problems]
            deadline = time.monotonic() + 30
            while (
                sum(
                    c.get("cmd") in ("evalsha", "eval") for c in front_end_connections(redis_server)
                )
                < pool
            ):
                assert time.monotonic() < deadline, front_end_connections(redis_server)
                time.sleep(0.02)
            # The pool is full and every submission is still waiting...
            response, data = request(server, "GET", "/healthz", key=None)
            assert (response.status, data) == (200, b'{"status":"ok"}')
            assert not any(answer.done() for answer in answers)
            # ... and waits a while longer, for a connection or for Redis.
            time.sleep(1)
            assert not any(answer.done() for answer in answers)
            redis_server.cli("CLIENT", "UNPAUSE")
            outcomes = [answer.result() for answer in answers]
    finally:
        redis_server.cli("CLIENT", "UNPAUSE")
        watch.stop()
    assert [status for status, _ in outcomes] == [200] * len(problems), outcomes
    # The pool and the health probe's own connection, never more.
    assert 1 <= watch.most <= pool + 1, watch.most

    # Nothing was lost on the way: each problem is solved, exactly.
    ids = [json.loads(data)["requestId"] for _, data in outcomes]
    worker(redis_server.url, "--concurrency", "1")
    wait_solved(server, ids)
    for request_id, items in zip(ids, problems):
        status, data = status_of(server, request_id)
        assert status == 200 and gzip.decompress(data) == bitset_bytes(items)


@pytest.mark.parametrize("pool", [1, 3])
def test_many_clients_share_a_small_pool_without_a_refusal(service, redis_server, pool):
    server = service(
        "--redis", redis_server.url, "--redis-pool", str(pool), "--max-queued-per-key", "100000"
    )
    first_id = json.loads(submitted(server, [1, 2])[1])["requestId"]
    watch = ConnectionWatch(redis_server)

    def client(index):
        statuses = []
        for round_number in range(6):
            if round_number % 2:
                statuses.append(status_of(server, first_id)[0])
            else:
                statuses.append(submitted(server, [index, round_number + 1])[0])
        statuses.append(request(server, "GET", "/healthz", key=None)[0].status)
        return statuses

    try:
        with ThreadPoolExecutor(40) as clients:
            statuses = [s for each in clients.map(client, range(40)) for s in each]
    finally:
        watch.stop()
    # Submissions and the health check answer 200, polls of the unsolved
    # problem 202: none is refused or failed.
    assert sorted(set(statuses)) == [200, 202], statuses
    assert 1 <= watch.most <= pool + 1, watch.most


def test_health_follows_redis_down_and_back(service, redis_server):
    server = service("--redis", redis_server.url, "--redis-pool", "1")
    assert request(server, "GET", "/healthz", key=None)[0].status == 200
    redis_server.stop()
    response, data = request(server, "GET", "/healthz", key=None)
    assert (response.status, data) == (503, b'{"status":"unavailable"}')
    redis_server.start()
    # The probe's connection is made again; the answer needs no restart.
    deadline = time.monotonic() + 30
    while request(server, "GET", "/healthz", key=None)[0].status != 200:
        assert time.monotonic() < deadline, "health never came back"
        time.sleep(0.1)
    assert submitted(server, [4, 6])[0] == 200


@pytest.mark.parametrize(
    "options, size",
    [([], 64), (["--max-connections", "10"], 10), (["--redis-pool", "5"], 5)],
)
def test_the_pool_size_is_the_option_or_fits_the_connection_limit(
    service, redis_server, options, size
):
    server = service("--redis", redis_server.url, *options)
    (settings,) = [line for line in server.log().splitlines() if " settings: " in line]
    assert f" redis-pool={size} " in f"{settings} "
    # As the README tells: the default is the service's, not redis-py's.
    readme = (pathlib.Path(__file__).parents[3] / "service" / "README.md").read_text()
    assert "`--redis-pool` connections (default 64, or `--max-connections` if that is" in readme
