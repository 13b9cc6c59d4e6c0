"""The service under what operators and odd clients do to it: ambiguous framing,
unreadable requests carrying secrets, forged object URLs, a signal while a
request is half sent, a Redis that comes back empty, a consumer killed."""

import contextlib
import gzip
import http.client
import json
import os
import re
import secrets
import signal
import socket
import ssl
import subprocess
import sys
import time
import types
from urllib.parse import quote, unquote

import pytest
from conftest import API_KEY, certs_dir
from test_service_protocol import (
    bitset_bytes,
    client_context,
    raw_exchange,
    request,
    submit,
    wait_ready,
)
from test_service_redis import front_ends, status_of, wait_solved

pytestmark = pytest.mark.service_only

POST = "POST /v0/app/sspu HTTP/1.1\r\nHost: x\r\nx-api-key: " + API_KEY + "\r\n"


@pytest.fixture(scope="module")
def shared(tmp_path_factory):
    from conftest import Service

    server = Service(tmp_path_factory.mktemp("hardening") / "service.log", "--workers", "1")
    yield server
    assert server.stop() == 0
    assert API_KEY not in server.log()


def queued(server):
    _, data = request(server, "GET", "/metrics")
    return re.findall(rb'qernx_requests_total\{route="submit",status="200"\} (\S+)', data)


def logged_line(server, request_id):
    """The log line of the request whose answer carried `request_id`."""
    deadline = time.monotonic() + 10
    while f"id={request_id}" not in server.log():
        assert time.monotonic() < deadline, server.log()
        time.sleep(0.05)
    (line,) = [x for x in server.log().splitlines() if x.endswith(f"id={request_id}")]
    return line


@pytest.mark.parametrize(
    ("raw", "status"),
    [
        ("GET /healthz HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", 400),
        ("GET /healthz HTTP/1.0\r\nHost: a\r\nHost: a\r\n\r\n", 400),
        (POST + "Transfer-Encoding: gzip, chunked\r\n\r\n3\r\n[1]\r\n0\r\n\r\n", 501),
        (
            POST + "Transfer-Encoding: deflate\r\nTransfer-Encoding: chunked\r\n\r\n"
            "3\r\n[1]\r\n0\r\n\r\n",
            501,
        ),
        (POST + "Transfer-Encoding: chunked, chunked\r\n\r\n3\r\n[1]\r\n0\r\n\r\n", 400),
    ],
    ids=[
        "two-hosts",
        "two-hosts-http-1.0",
        "gzip-chunked",
        "deflate-then-chunked",
        "chunked-twice",
    ],
)
def test_requests_read_two_ways_are_refused_and_queue_nothing(shared, raw, status):
    before = queued(shared)
    answer = raw_exchange(shared, raw.encode("latin-1"))
    head, _, body = answer.partition(b"\r\n\r\n")
    assert head.startswith(f"HTTP/1.1 {status} ".encode()), answer
    assert b"connection: close" in head.lower()
    assert "message" in json.loads(body)
    assert queued(shared) == before


def test_plain_chunked_bodies_are_still_read(shared):
    answer = raw_exchange(
        shared,
        (
            POST
            + "Transfer-Encoding: Chunked\r\nConnection: close\r\n\r\n"
            + "2\r\n[4\r\n1\r\n]\r\n0\r\n\r\n"
        ).encode(),
    )
    assert answer.startswith(b"HTTP/1.1 200 "), answer
    assert b'{"requestId":"' in answer


@pytest.mark.parametrize(
    "query",
    ["token=TOPSECRET-1", "apikey=TOPSECRET-1&x=1", "x=1&signature=TOPSECRET-1", f"key={API_KEY}"],
)
def test_an_unreadable_request_is_logged_with_its_secrets_masked_and_its_id(shared, query):
    answer = raw_exchange(
        shared,
        f"GET /v0/result?requestId=1&{query} HTTP/1.1\r\nHost: x\r\nBad Header\r\n\r\n".encode(),
    )
    assert answer.startswith(b"HTTP/1.1 400 ")
    request_id = re.search(rb"\r\nx-request-id: ([0-9a-f]{16})\r\n", answer).group(1).decode()
    line = logged_line(shared, request_id)
    assert "TOPSECRET" not in line and API_KEY not in line
    assert "=***" in line and " /v0/result?requestId=1&" in line and " 400 " in line
    assert re.match(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}\+00:00 127\.0\.0\.1 - /", line)


@pytest.mark.parametrize(
    "target",
    [
        "/v0/result?requestId=" + quote(API_KEY, safe=""),
        "/v0/result?requestId=" + "".join(f"%{b:02x}" for b in API_KEY.encode()),
        "/" + quote(API_KEY, safe="").replace("-", "%2d") + "/x",
    ],
)
def test_a_percent_encoded_key_in_a_url_is_masked_in_the_log(shared, target):
    response, _ = request(shared, "GET", target)
    line = logged_line(shared, response.getheader("X-Request-Id"))
    assert API_KEY not in unquote(line) and "***" in line


def counted(server, route, status):
    _, data = request(server, "GET", "/metrics")
    found = re.search(
        rf'qernx_requests_total\{{route="{route}",status="{status}"\}} (\S+)'.encode(), data
    )
    return float(found.group(1)) if found else 0.0


def test_refusals_before_the_application_are_logged_and_counted(service):
    server = service("--max-connections", "2", "--workers", "1")
    held = []
    for _ in range(2):
        connection = http.client.HTTPSConnection("localhost", server.port, context=client_context())
        connection.request("GET", "/healthz")
        assert connection.getresponse().read()
        held.append(connection)
    response, data = request(server, "GET", "/v0/app/sspu", key=None)
    assert response.status == 503 and response.getheader("Retry-After") == "1"
    line = logged_line(server, response.getheader("X-Request-Id"))
    assert " GET /v0/app/sspu 503 " in line
    for connection in held:
        connection.close()
    time.sleep(0.5)
    assert counted(server, "submit", 503) == 1
    before = counted(server, "other", 400)
    for _ in range(3):
        assert raw_exchange(server, b"GET / HTTP/1.1\r\nBad Header\r\n\r\n").startswith(
            b"HTTP/1.1 400 "
        )
    assert counted(server, "other", 400) == before + 3


@pytest.mark.parametrize(
    "expires",
    [
        "%C2%B2",
        "%D9%A3%D9%A3",
        "1" * 5000,
        "-1",
        "%2B99999999999",
        "1e12",
        "%2099999999999",
        "%EF%BC%99",
        "",
    ],
)
def test_object_urls_with_odd_expiry_are_refused_not_failed(service, expires):
    server = service("--redirect-results", "--workers", "1")
    request_id = submit(server, [1, 2])
    response, data = request(
        server, "GET", f"/v0/objects/{request_id}?expires={expires}&signature={'0' * 64}", key=None
    )
    assert response.status == 403, data
    assert data.startswith(b'<?xml version="1.0" encoding="UTF-8"?>')
    assert "Traceback" not in server.log() and "failed" not in server.log()


@pytest.mark.parametrize(
    "signals",
    [[signal.SIGTERM], [signal.SIGINT], [signal.SIGINT, signal.SIGINT]],
    ids=["SIGTERM", "SIGINT", "Ctrl-C-twice"],
)
def test_a_request_half_sent_at_a_signal_is_dropped_without_an_answer(service, signals):
    server = service("--workers", "1")
    with socket.create_connection(("127.0.0.1", server.port), timeout=30) as plain:
        with client_context().wrap_socket(plain, server_hostname="localhost") as tls:
            tls.sendall((POST + "Content-Length: 10\r\n\r\n[1,").encode())
            time.sleep(0.5)
            started = time.monotonic()
            for signal_number in signals:
                server.process.send_signal(signal_number)
                time.sleep(0.2)
            answer = b""
            try:
                while chunk := tls.recv(65536):
                    answer += chunk
            except (ConnectionResetError, ssl.SSLError):
                pass
            dropped_after = time.monotonic() - started
    assert server.process.wait(timeout=30) == 0
    assert answer == b""  # neither a 500 nor any other made-up answer
    assert dropped_after < 15
    assert "Traceback" not in server.log() and "Error" not in server.log()
    assert re.search(
        r"\+00:00 qernx_service stopped after [\d.]+ s$", server.log().splitlines()[-1]
    )


def test_problems_are_solved_after_redis_comes_back_empty(service, redis_server, worker):
    (server,) = front_ends(service, redis_server, 1)
    solver = worker(redis_server.url, "--concurrency", "1")
    first = [3, 9, 27]
    request_id = submit(server, first)
    wait_solved(server, [request_id])
    redis_server.stop()  # no persistence: it comes back with nothing
    redis_server.start()
    items = [5, 77, 1000]
    deadline = time.monotonic() + 30
    while True:  # the front-end reconnects on its own
        response, data = request(server, "POST", "/v0/app/sspu", json.dumps(items).replace(" ", ""))
        if response.status == 200:
            break
        assert response.status == 503 and time.monotonic() < deadline, data
        time.sleep(0.2)
    request_id = json.loads(data)["requestId"]
    wait_solved(server, [request_id], timeout=30)
    status, data = status_of(server, request_id)
    assert status == 200 and gzip.decompress(data) == bitset_bytes(items)
    assert "creating it again" in solver.log()


def consumers_of(worker_process):
    children = f"/proc/{worker_process.pid}/task/{worker_process.pid}/children"
    with open(children) as listing:
        pids = [int(p) for p in listing.read().split()]
    commands = {}
    for pid in pids:
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as command:
                commands[pid] = command.read()
        except (FileNotFoundError, ProcessLookupError):
            pass  # it ended between the listing and the read
    return [pid for pid, command in commands.items() if b"spawn_main" in command]


def test_a_killed_consumer_is_replaced_and_nothing_is_lost(service, redis_server, worker):
    (server,) = front_ends(service, redis_server, 1)
    solver = worker(redis_server.url, "--concurrency", "2", "--reclaim-after", "2")
    deadline = time.monotonic() + 60
    while len(consumers_of(solver.process)) < 2:
        assert time.monotonic() < deadline, solver.log()
        time.sleep(0.1)
    victim = consumers_of(solver.process)[0]
    os.kill(victim, signal.SIGKILL)
    # One listing a round: two could see the victim alive, then already gone.
    while True:
        consumers = consumers_of(solver.process)
        if len(consumers) == 2 and victim not in consumers:
            break
        assert time.monotonic() < deadline, solver.log()
        time.sleep(0.1)
    assert "starting another" in solver.log()
    problems = [[i, 2 * i + 1, 64] for i in range(12)]
    ids = [submit(server, items) for items in problems]
    wait_solved(server, ids, timeout=60)
    for request_id, items in zip(ids, problems):
        status, data = status_of(server, request_id)
        assert status == 200 and gzip.decompress(data) == bitset_bytes(items)
    assert solver.stop() == 0


def test_front_ends_agree_on_object_urls_again_after_redis_comes_back_empty(
    service, redis_server, worker
):
    old = front_ends(service, redis_server, 2, "--redirect-results")
    worker(redis_server.url, "--concurrency", "1")
    redis_server.stop()  # the shared signing key goes with everything else
    redis_server.start()
    (new,) = front_ends(service, redis_server, 1, "--redirect-results")
    everyone = [*old, new]
    items = [6, 10, 15]
    request_id = None
    deadline = time.monotonic() + 30
    while request_id is None:  # until the front-ends have reconnected
        response, data = request(new, "POST", "/v0/app/sspu", json.dumps(items).replace(" ", ""))
        if response.status == 200:
            request_id = json.loads(data)["requestId"]
        assert time.monotonic() < deadline, data
        time.sleep(0.2)
    # Within seconds every front-end's URL opens on every other front-end.
    deadline = time.monotonic() + 30
    while True:
        refused = []
        for signer in everyone:
            status, data = status_of(signer, request_id)
            assert status == 302, data
            location = json.loads(data)["location"]
            for server in everyone:
                response, data = request(server, "GET", location, key=None)
                if response.status != 200:
                    refused.append((signer.port, server.port, response.status))
                else:
                    assert gzip.decompress(data) == bitset_bytes(items)
        if not refused:
            break
        assert time.monotonic() < deadline, refused
        time.sleep(0.5)


def test_the_embedded_service_solves_on_after_a_solver_process_is_killed(service):
    server = service("--workers", "2")
    deadline = time.monotonic() + 60
    while len(consumers_of(server.process)) < 2:
        assert time.monotonic() < deadline, server.log()
        time.sleep(0.1)
    for round_number in range(2):  # one of them, then all of those that replaced them
        solvers = consumers_of(server.process)
        for victim in solvers[:1] if round_number == 0 else solvers:
            # A broken pool ends its other processes itself: one may be gone.
            with contextlib.suppress(ProcessLookupError):
                os.kill(victim, signal.SIGKILL)
        time.sleep(0.5)
        problems = [[round_number, i, 2 * i + 1, 4095] for i in range(10)]
        ids = [submit(server, items) for items in problems]
        for request_id, items in zip(ids, problems):
            response, data = wait_ready(server, f"/v0/result?requestId={request_id}")
            assert gzip.decompress(data) == bitset_bytes(items)
        response, _ = request(server, "GET", "/healthz", key=None)
        assert response.status == 200
    assert "a solver process died" in server.log()


def resident_bytes(pid):
    with open(f"/proc/{pid}/status") as status:
        found = re.search(r"VmRSS:\s+(\d+) kB", status.read())
    return int(found.group(1)) * 1024


@pytest.mark.memory_growth
@pytest.mark.parametrize(
    ("start", "filler"),
    [
        (b"GET /healthz HTTP/1.1\r\nHost: x\r\n", b"X-Pad: " + b"a" * 8000 + b"\r\n"),
        (b"GET /healthz HTTP/1.1\r\nHost: x\r\n", b"X: v\r\n"),
        (b"GET /healthz?", b"a" * 8000),
    ],
    ids=["long-headers", "many-headers", "long-url"],
)
def test_an_endless_request_head_is_refused_before_it_grows_the_service(service, start, filler):
    server = service("--workers", "1")
    before = resident_bytes(server.process.pid)
    answer = b""
    started = time.monotonic()
    with socket.create_connection(("127.0.0.1", server.port), timeout=30) as plain:
        with client_context().wrap_socket(plain, server_hostname="localhost") as tls:
            tls.sendall(start)
            block = filler * max(1, 65536 // len(filler))
            try:
                while time.monotonic() - started < 30:
                    tls.sendall(block)
            except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
                pass
            cut_after = time.monotonic() - started
            try:
                while chunk := tls.recv(65536):
                    answer += chunk
            except (ConnectionResetError, ssl.SSLError):
                pass
    assert cut_after < 15, "the service read on"
    assert answer.startswith(b"HTTP/1.1 431 "), answer[:200]
    assert b"connection: close" in answer.lower()
    assert resident_bytes(server.process.pid) - before < 32 << 20
    response, _ = request(server, "GET", "/healthz", key=None)
    assert response.status == 200


def test_a_large_but_bounded_request_head_is_served(shared):
    response, data = request(
        shared, "GET", "/healthz", key=None, headers={f"X-{i}": "v" * 900 for i in range(40)}
    )
    assert response.status == 200, data


def test_a_redis_password_stays_out_of_the_process_list_and_the_logs(redis_server, tmp_path):
    password = "pw-" + secrets.token_hex(12)
    redis_server.cli("CONFIG", "SET", "requirepass", password)
    env = {k: v for k, v in os.environ.items() if not k.startswith("QERN_")}
    env["QERN_SERVICE_KEYS"] = API_KEY
    env["QERN_REDIS_URL"] = f"redis://:{password}@127.0.0.1:{redis_server.port}/0"
    folder = certs_dir()
    commands = {
        "front-end": [sys.executable, "-m", "qernx_service", "--port", "0"]
        + ["--cert", str(folder / "server.pem"), "--key", str(folder / "server.key")],
        "worker": [sys.executable, "-m", "qernx_service", "worker", "--concurrency", "1"],
    }
    logs = {name: tmp_path / f"{name}.log" for name in commands}
    processes = {}
    try:
        for name, command in commands.items():
            with open(logs[name], "w") as log:
                processes[name] = subprocess.Popen(
                    command, stdout=subprocess.DEVNULL, stderr=log, env=env
                )
        deadline = time.monotonic() + 60
        while "listening on" not in logs["front-end"].read_text():
            assert processes["front-end"].poll() is None, logs["front-end"].read_text()
            assert time.monotonic() < deadline
            time.sleep(0.05)
        front_end = types.SimpleNamespace(
            port=int(logs["front-end"].read_text().splitlines()[0].rsplit(":", 1)[1])
        )
        items = [2, 3, 5, 7]
        request_id = submit(front_end, items)
        response, data = wait_ready(front_end, f"/v0/result?requestId={request_id}")
        assert gzip.decompress(data) == bitset_bytes(items)
        for name, process in processes.items():
            with open(f"/proc/{process.pid}/cmdline", "rb") as command_line:
                assert password.encode() not in command_line.read(), name
    finally:
        for process in processes.values():
            process.send_signal(signal.SIGTERM)
        statuses = [process.wait(timeout=30) for process in processes.values()]
    assert statuses == [0, 0]
    for log in logs.values():
        assert password not in log.read_text() and API_KEY not in log.read_text()


ISO_START = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}\+00:00 ")


def test_every_line_about_a_failure_starts_with_its_time(service, redis_server):
    (server,) = front_ends(service, redis_server, 1, "--redirect-results")
    redis_server.stop()
    for path, body in (("/metrics", None), ("/healthz", None), ("/v0/app/sspu", b"[1]")):
        request(server, "POST" if body else "GET", path, body=body)
    response, _ = request(server, "GET", "/v0/objects/x?expires=99999999999&signature=00", key=None)
    logged_line(server, response.getheader("X-Request-Id"))  # the last line is written
    lines = server.log().splitlines()
    assert any("back-end unavailable" in line for line in lines)
    stamped = [line for line in lines if not line.startswith("qernx_service ")]
    assert len(stamped) >= 5
    for line in stamped:
        assert ISO_START.match(line), line


def test_consumers_that_keep_dying_young_are_restarted_ever_less_often(redis_server, worker):
    # A consumer waits out Redis being down: what ends one young is a kill.
    made = worker(redis_server.url, "--concurrency", "2")
    deadline = time.monotonic() + 9
    while time.monotonic() < deadline:
        for pid in consumers_of(made.process):
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)
        time.sleep(0.05)
    assert made.process.poll() is None, made.log()
    assert made.stop() == 0
    ended = r"consumer (\d) ended \((-?\d+)\), starting another"
    restarts = re.findall(ended, made.log())
    assert {code for _, code in restarts} == {str(-signal.SIGKILL)}
    for index in ("0", "1"):
        # every 0.5 s before; now after 1, 2, 4 ... seconds: 3 or 4 in 9 s
        assert 1 <= sum(1 for i, _ in restarts if i == index) <= 5, restarts
    assert "Traceback" not in made.log()
