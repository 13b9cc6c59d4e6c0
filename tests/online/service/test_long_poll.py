"""Result requests that wait for their result (RFC 7240's `Prefer: wait=N`)
on the service itself: answered as soon as the result is stored, wherever
it is stored, or 202 once the wait granted runs out; the wait is capped by
--max-poll-wait and ends before the request deadline and at shutdown."""

import gzip
import http.client
import json
import signal
import socket
import threading
import time

import pytest
from conftest import API_KEY
from oracle import subset_sums as oracle
from test_service_protocol import bitset_bytes, client_context, submit

pytestmark = pytest.mark.service_only

ITEMS = [3, 5, 64, 1000]


def long_poll(server, request_id, prefer):
    """One result request on a connection of its own; its status, headers,
    body and seconds."""
    connection = http.client.HTTPSConnection(
        "localhost", server.port, context=client_context(), timeout=60
    )
    headers = {"x-api-key": API_KEY}
    if prefer is not None:
        headers["Prefer"] = prefer
    began = time.monotonic()
    try:
        connection.request("GET", f"/v0/result?requestId={request_id}", headers=headers)
        response = connection.getresponse()
        body = response.read()
    finally:
        connection.close()
    return response.status, dict(response.getheaders()), body, time.monotonic() - began


class Polls:
    """Long polls running in threads, their answers gathered in order."""

    def __init__(self, server, request_id, prefer, count=1):
        self.answers = [None] * count
        self.threads = [
            threading.Thread(target=self.run, args=(i, server, request_id, prefer))
            for i in range(count)
        ]
        for thread in self.threads:
            thread.start()

    def run(self, index, server, request_id, prefer):
        self.answers[index] = long_poll(server, request_id, prefer)

    def running(self):
        return [thread.is_alive() for thread in self.threads]

    def join(self):
        for thread in self.threads:
            thread.join(90)
        assert None not in self.answers
        return self.answers


def subscribers(redis_server):
    """Subscriptions to the channel on which workers announce stored results."""
    return int(redis_server.cli("pubsub", "numsub", "qernx:stored").split()[1])


def test_a_long_poll_is_answered_when_the_result_is_stored_through_another_front_end(
    service, redis_server, worker
):
    options = ("--redis", redis_server.url, "--max-poll-wait", "25")
    first, second = service(*options), service(*options)
    solver = worker(redis_server.url, "--concurrency", "1")
    solver.signal_group(signal.SIGSTOP)
    request_id = submit(first, ITEMS)
    polls = Polls(second, request_id, "wait=25", count=4)
    time.sleep(2)
    assert polls.running() == [True] * 4  # nobody solves: they wait
    # One subscription per front-end, however many requests wait.
    assert subscribers(redis_server) == 2
    resumed = time.monotonic()
    solver.signal_group(signal.SIGCONT)
    for status, headers, body, _ in polls.join():
        assert status == 200 and gzip.decompress(body) == bitset_bytes(ITEMS)
        assert headers["preference-applied"] == "wait=25"
    # Answered once stored, well before the 25 s wait ran out.
    assert time.monotonic() - resumed < 15


def test_a_lost_subscription_is_renewed_and_its_waiting_requests_still_woken(
    service, redis_server, worker
):
    server = service("--redis", redis_server.url, "--max-poll-wait", "25")
    solver = worker(redis_server.url, "--concurrency", "1")
    solver.signal_group(signal.SIGSTOP)
    request_id = submit(server, ITEMS)
    polls = Polls(server, request_id, "wait=25", count=2)
    time.sleep(1)
    assert subscribers(redis_server) == 1
    assert redis_server.cli("client", "kill", "type", "pubsub").strip() == "1"
    deadline = time.monotonic() + 15
    while "listening for results again" not in server.log():
        assert time.monotonic() < deadline, server.log()
        time.sleep(0.1)
    assert "lost the announcements of results" in server.log()
    assert subscribers(redis_server) == 1 and polls.running() == [True] * 2
    resumed = time.monotonic()
    solver.signal_group(signal.SIGCONT)
    for status, _, body, _ in polls.join():
        assert status == 200 and gzip.decompress(body) == bitset_bytes(ITEMS)
    assert time.monotonic() - resumed < 15  # woken, not at the end of the 25 s wait


@pytest.mark.parametrize(
    ("prefer", "options", "applied", "least", "most"),
    [
        ("wait=2", [], "wait=2", 1.8, 12),
        ("wait=1000000", ["--max-poll-wait", "3"], "wait=3", 2.8, 13),
        ("wait=99999999999999999999999", ["--max-poll-wait", "3"], "wait=3", 2.8, 13),
        ("respond-async, wait=2;x=y", [], "wait=2", 1.8, 12),
        ("wait=20", ["--max-poll-wait", "0"], None, 0, 10),
        ("wait=0", ["--max-poll-wait", "10"], None, 0, 10),
        ("wait=soon", ["--max-poll-wait", "10"], None, 0, 10),
        ("wait=-1", ["--max-poll-wait", "10"], None, 0, 10),
        (None, ["--max-poll-wait", "10"], None, 0, 10),
        # The wait ends a second before the request deadline, which would
        # otherwise cut the answer off (408) or the connection.
        ("wait=20", ["--request-timeout", "4"], "wait=2", 1.8, 4),
    ],
)
def test_a_wait_that_runs_out_answers_202_within_its_bounds(
    service, redis_server, prefer, options, applied, least, most
):
    # Without a worker, nothing is ever solved.
    server = service("--redis", redis_server.url, *options)
    request_id = submit(server, ITEMS)
    status, headers, body, took = long_poll(server, request_id, prefer)
    assert (status, body) == (202, b'{"message":"Result not ready"}')
    assert headers.get("preference-applied") == applied
    assert least <= took < most


def test_shutdown_answers_the_requests_still_waiting(service, redis_server):
    server = service("--redis", redis_server.url)
    request_id = submit(server, ITEMS)
    polls = Polls(server, request_id, "wait=20", count=3)
    time.sleep(1.5)
    assert polls.running() == [True] * 3
    began = time.monotonic()
    assert server.stop() == 0
    assert time.monotonic() - began < 10  # not held up by the 20 s waits
    for status, headers, _, took in polls.join():
        assert status == 202 and headers["preference-applied"] == "wait=20"
        assert took < 15


class CountingProxy:
    """Forwards TCP connections from a port of its own to the service's,
    counting those it accepts; TLS passes through it untouched."""

    def __init__(self, port):
        self.port_to = port
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.accepted = 0
        self.sockets = []
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            self.accepted += 1
            upstream = socket.create_connection(("127.0.0.1", self.port_to))
            self.sockets += [client, upstream]
            for source, sink in ((client, upstream), (upstream, client)):
                threading.Thread(target=self.pump, args=(source, sink), daemon=True).start()

    @staticmethod
    def pump(source, sink):
        try:
            while data := source.recv(65536):
                sink.sendall(data)
        except OSError:
            pass
        finally:
            for end in (source, sink):
                try:
                    end.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

    def close(self):
        self.listener.close()
        for each in self.sockets:
            each.close()


ONLINE_SOLVES = """
import json, queue, qernx
box = queue.Queue()
for items in ITEMS:
    qernx.complete_subset_sum_async(items, box.put)
print(json.dumps(sorted(box.get(timeout=TIMEOUT) for _ in ITEMS)))
"""


@pytest.mark.parametrize("solves", [1, 3])
def test_the_module_waits_on_the_service_over_one_connection_per_solve(
    service, redis_server, worker, solve_online, solves
):
    server = service("--redis", redis_server.url)
    solver = worker(redis_server.url, "--concurrency", "1")
    solver.signal_group(signal.SIGSTOP)
    proxy = CountingProxy(server.port)
    problems = [ITEMS[: 2 + i] for i in range(solves)]
    # The worker resumes while the solves' first polls wait on the service.
    threading.Timer(3.0, solver.signal_group, (signal.SIGCONT,)).start()
    try:
        outcome = solve_online(
            problems, f"https://localhost:{proxy.port}", code=ONLINE_SOLVES, timeout=90
        )
    finally:
        proxy.close()
    assert json.loads(outcome.result) == sorted(oracle(items) for items in problems)
    assert proxy.accepted == solves
    assert outcome.stderr.count("> Prefer: wait=20") == solves
    assert "< preference-applied: wait=20" in outcome.stderr
    assert outcome.sleeps == []  # the service held the polls: no pause
