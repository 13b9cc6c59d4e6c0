"""What one tenant or one mistake must not do to the service: a blank key that
would admit anyone, a Redis password leaked by a URL that does not parse, an
object URL whose signature bytes crash the check."""

import gzip
import http.client
import json
import os
import random
import re
import secrets
import subprocess
import sys
import time
from urllib.parse import quote

import pytest
from conftest import API_KEY, certs_dir
from qernx_service.solver import solve_payload
from test_service_protocol import (
    bitset_bytes,
    client_context,
    raw_exchange,
    request,
    submit,
    wait_ready,
)
from test_service_redis import front_ends

pytestmark = pytest.mark.service_only


def front_end_command(*options):
    folder = certs_dir()
    return [sys.executable, "-m", "qernx_service", "--port", "0"] + [
        "--cert",
        str(folder / "server.pem"),
        "--key",
        str(folder / "server.key"),
        *options,
    ]


def plain_env(**extra):
    env = {k: v for k, v in os.environ.items() if not k.startswith("QERN_")}
    env.update(extra)
    return env


@pytest.mark.parametrize(
    ("options", "file_text", "complaint"),
    [
        (["--api-key", ""], None, "--api-key is empty or blank"),
        (["--api-key", "   "], None, "--api-key is empty or blank"),
        (["--api-key", "fine", "--api-key", ""], None, "--api-key is empty or blank"),
        ([], "", "holds no key"),
        ([], "\n  \n", "holds no key"),
    ],
    ids=["empty", "blank", "second-empty", "empty-file", "blank-file"],
)
def test_a_blank_key_stops_the_service_at_start_in_one_line(
    tmp_path, options, file_text, complaint
):
    if file_text is not None:
        (tmp_path / "keys").write_text(file_text)
        options = options + ["--api-key-file", str(tmp_path / "keys")]
    # A valid key in the environment: the blank one alone must stop the start.
    completed = subprocess.run(
        front_end_command(*options, "--workers", "1"),
        capture_output=True,
        text=True,
        env=plain_env(QERN_SERVICE_KEYS=API_KEY),
        timeout=60,
    )
    assert completed.returncode == 2
    lines = completed.stderr.splitlines()
    # One line, stamped with its time like every other line the service writes.
    assert len(lines) == 1 and complaint in lines[0]
    assert re.match(r"\d{4}-\d\d-\d\dT[\d:.]+\+00:00 qernx_service: ", lines[0]), lines[0]
    assert "listening" not in completed.stderr and API_KEY not in completed.stderr


def test_keys_from_a_file_are_accepted_and_an_empty_key_header_is_not(service, tmp_path):
    (tmp_path / "keys").write_text("file-key-one\n\n  file-key-two  \n")
    server = service("--api-key-file", str(tmp_path / "keys"), "--workers", "1")
    statuses = {}
    for key in ("file-key-one", "file-key-two", API_KEY, "", " "):
        response, _ = request(server, "POST", "/v0/app/sspu", b"[1]", key=key)
        statuses[key] = response.status
    assert statuses == {"file-key-one": 200, "file-key-two": 200, API_KEY: 200, "": 403, " ": 403}


PASSWORD_PARTS = [secrets.token_hex(6) for _ in range(3)]


@pytest.mark.parametrize("separator", ["/", "#", "?"])
def test_a_password_that_breaks_the_redis_url_never_shows(redis_server, separator):
    password = separator.join(PASSWORD_PARTS)
    url = f"redis://:{password}@127.0.0.1:{redis_server.port}/0"
    commands = {
        "front-end": front_end_command(),
        "worker": [sys.executable, "-m", "qernx_service", "worker", "--concurrency", "1"],
    }
    for name, command in commands.items():
        completed = subprocess.run(
            command,
            capture_output=True,
            text=True,
            env=plain_env(QERN_SERVICE_KEYS=API_KEY, QERN_REDIS_URL=url),
            timeout=60,
        )
        output = completed.stdout + completed.stderr
        assert completed.returncode == 2, (name, output)
        assert len(completed.stderr.splitlines()) == 1, (name, output)
        assert "percent-encode" in output and "Traceback" not in output, name
        assert not any(part in output for part in PASSWORD_PARTS), (name, output)


def test_a_percent_encoded_password_works_for_front_end_and_worker(
    service, redis_server, worker, tmp_path
):
    password = "/#?@:%".join(PASSWORD_PARTS)
    redis_server.cli("CONFIG", "SET", "requirepass", password)
    url = f"redis://:{quote(password, safe='')}@127.0.0.1:{redis_server.port}/0"
    (server,) = [service("--redis", url)]
    made = worker(url, "--concurrency", "1")
    items = [3, 9, 27]
    request_id = submit(server, items)
    _, data = wait_ready(server, f"/v0/result?requestId={request_id}")
    assert gzip.decompress(data) == bitset_bytes(items)
    for log in (server.log(), made.log()):
        assert not any(part in log for part in PASSWORD_PARTS)


@pytest.fixture(scope="module")
def redirecting(tmp_path_factory):
    from conftest import Service

    server = Service(
        tmp_path_factory.mktemp("tenants") / "service.log", "--redirect-results", "--workers", "1"
    )
    yield server
    assert server.stop() == 0


def object_answer(server, signature):
    request_id = submit(server, [4, 6])
    expires = int(time.time()) + 600
    target = f"/v0/objects/{request_id}?expires={expires}&signature={signature}"
    answer = raw_exchange(
        server,
        f"GET {target} HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n".encode("latin-1"),
    )
    head, _, body = answer.partition(b"\r\n\r\n")
    assert " failed: " not in server.log() and "Traceback" not in server.log()
    # The connection was answered, not dropped: the next request is served.
    response, _ = request(server, "GET", "/healthz", key=None)
    assert response.status == 200
    return head, body


@pytest.mark.parametrize(
    "signature",
    ["%C3%A9" * 64, "%FF" * 64, "%D9%A1" * 64, "%00", "%ED%A0%80", "%E2%80%AE" + "0" * 63],
    ids=["e-acute", "invalid-utf8", "arabic-digits", "nul", "surrogate", "right-to-left"],
)
def test_a_signature_of_any_characters_is_answered_403(redirecting, signature):
    head, body = object_answer(redirecting, signature)
    assert head.startswith(b"HTTP/1.1 403 "), head
    assert b"content-type: application/xml" in head.lower()
    assert body.startswith(b'<?xml version="1.0" encoding="UTF-8"?>')


@pytest.mark.parametrize(
    "signature", ["\u00e9".encode().decode("latin-1") * 64, "\xff\xfe"], ids=["utf8", "bytes"]
)
def test_raw_bytes_beyond_ascii_in_a_target_are_refused_by_the_parser(redirecting, signature):
    # Unencoded, they break the request line itself: the request never
    # reaches the signature check and is answered as unreadable.
    head, body = object_answer(redirecting, signature)
    assert head.startswith(b"HTTP/1.1 400 "), head
    assert body == b'{"message":"Bad request"}'


def test_front_ends_in_redis_mode_share_the_signing_check(service, redis_server):
    (server,) = front_ends(service, redis_server, 1, "--redirect-results")
    request_id = submit(server, [1])
    response, _ = request(
        server, "GET", f"/v0/objects/{request_id}?expires=99999999999&signature=%C3%A9", key=None
    )
    assert response.status == 403


def incompressible(seed):
    """18 items whose result gzip shrinks little: over 40 KB from ~120 bytes sent."""
    rng = random.Random(seed)
    items = [rng.randrange(1, 58_000) for _ in range(18)]
    total = sum(items)
    return [item * 524287 // total for item in items] if total > 524287 else items


class KeptAlive:
    """One kept-alive HTTPS connection for a stream of requests with one key."""

    def __init__(self, server, key):
        self.connection = http.client.HTTPSConnection(
            "localhost", server.port, context=client_context(), timeout=30
        )
        self.key = key

    def submit(self, items):
        body = json.dumps(items).replace(" ", "")
        self.connection.request("POST", "/v0/app/sspu", body, {"x-api-key": self.key})
        response = self.connection.getresponse()
        return response, json.loads(response.read())

    def close(self):
        self.connection.close()


def queue_drained(server, timeout=90):
    deadline = time.monotonic() + timeout
    while True:
        _, data = request(server, "GET", "/metrics")
        if re.search(rb"\nqernx_queue_depth 0\.0\n", data):
            return data
        assert time.monotonic() < deadline, "the queue never drained"
        time.sleep(0.1)


def flood(server, key, count, seconds=90):
    """Up to `count` submissions within `seconds`, stopping at the first
    refusal: the ids accepted, oldest first, and the refusal (or None)."""
    client = KeptAlive(server, key)
    accepted, refused = [], None
    deadline = time.monotonic() + seconds
    try:
        for seed in range(count):
            response, answer = client.submit(incompressible(seed))
            if response.status != 200:
                refused = (response.status, response.getheader("Retry-After"), answer)
                break
            accepted.append(answer["requestId"])
            if time.monotonic() > deadline:
                break
    finally:
        client.close()
    return accepted, refused


B_KEY = "tenant-b-4e0a91"


@pytest.mark.parametrize("mode", ["embedded", "redis"])
@pytest.mark.parametrize("bound", ["share", "total"])
def test_one_keys_flood_never_costs_another_key_its_result(
    service, redis_server, worker, mode, bound
):
    # share: B's share binds first and B is refused with 429. total: no share
    # binds before the total, and B loses its own oldest results, not A's.
    limits = (
        ["--max-result-bytes", "4000000", "--max-result-bytes-per-key", "600000"]
        if bound == "share"
        else ["--max-result-bytes", "600000", "--max-result-bytes-per-key", "100000000"]
    )
    backend = ["--redis", redis_server.url] if mode == "redis" else ["--workers", "1"]
    server = service(*backend, *limits, keys=f"{API_KEY},{B_KEY}")
    if mode == "redis":
        worker(redis_server.url, "--concurrency", "1")
    a_items = incompressible(1000)
    a_id = submit(server, a_items)
    queue_drained(server)  # A's result is stored, and A does not fetch it yet
    accepted, refused = flood(server, B_KEY, 60)
    queue_drained(server)
    statuses = [status_of_key(server, i, B_KEY) for i in accepted]
    if bound == "share":
        assert refused is not None, "B was never refused"
        status, retry_after, answer = refused
        assert status == 429 and int(retry_after) >= 1
        assert answer == {"message": "This key's results fill its share of the result store"}
        assert 5 <= len(accepted) < 20 and statuses == [200] * len(accepted)
    else:
        assert refused is None and len(accepted) == 60
        # B lost its oldest, and only those: what it kept is its newest.
        assert statuses == sorted(statuses, reverse=True) and statuses[0] == 404
        assert statuses[-1] == 200 and 5 <= statuses.count(200) <= 14
    response, data = request(server, "GET", f"/v0/result?requestId={a_id}")
    assert response.status == 200 and gzip.decompress(data) == bitset_bytes(a_items)
    _, metrics = request(server, "GET", "/metrics")
    held = float(re.search(rb"\nqernx_result_bytes (\S+)\n", metrics).group(1))
    assert 0 < held <= (600000 if bound == "total" else 4000000)


def status_of_key(server, request_id, key):
    response, _ = request(server, "GET", f"/v0/result?requestId={request_id}", key=key)
    return response.status


def test_redis_memory_stays_bounded_under_a_flood(service, redis_server, worker):
    bound = 2_000_000
    (server,) = front_ends(
        service,
        redis_server,
        1,
        "--max-result-bytes",
        str(bound),
        "--max-result-bytes-per-key",
        str(10 * bound),
    )
    worker(redis_server.url, "--concurrency", "1")
    queue_drained(server)

    def used():
        info = redis_server.cli("INFO", "memory")
        return int(re.search(r"used_memory:(\d+)", info).group(1))

    before = used()
    accepted, refused = flood(server, API_KEY, 200)
    queue_drained(server)
    sent = len(accepted)
    assert refused is None and sent == 200
    smallest = min(len(solve_payload(incompressible(s))[0]) for s in range(5))
    assert sent * smallest > 3 * bound  # unbounded, Redis would have grown past the check
    grown = used() - before
    assert grown < bound + 1_500_000, grown
    assert int(redis_server.cli("GET", "qernx:held-total")) <= bound
    # What the service needs is still there, and it still serves.
    assert redis_server.cli("EXISTS", "qernx:signing-key").strip() in ("0", "1")
    assert redis_server.cli("TYPE", "qernx:problems").strip() == "stream"
    assert status_of_key(server, accepted[-1], API_KEY) == 200


def test_front_ends_enforce_the_bounds_kept_in_redis(service, redis_server):
    (first,) = front_ends(service, redis_server, 1, "--max-result-bytes-per-key", "100")
    assert redis_server.cli("HGET", "qernx:limits", "max-result-bytes-per-key").strip() == "100"
    (later,) = front_ends(service, redis_server, 1, "--max-result-bytes-per-key", "70000")
    assert redis_server.cli("HGET", "qernx:limits", "max-result-bytes-per-key").strip() == "70000"
    # No worker: every problem keeps its reservation. The first front-end
    # was started with a share of 100 bytes, and follows Redis's 70000.
    for items in ([1], [1], incompressible(1)):
        submit(first, items)
    for server in (first, later):
        response, data = request(
            server, "POST", "/v0/app/sspu", json.dumps(incompressible(2)).replace(" ", "")
        )
        assert response.status == 429 and int(response.getheader("Retry-After")) >= 1, data


def test_an_eviction_policy_that_could_take_the_stream_is_warned_about(service, redis_server):
    redis_server.cli("CONFIG", "SET", "maxmemory-policy", "allkeys-lru")
    (server,) = front_ends(service, redis_server, 1)
    assert "maxmemory-policy allkeys-lru may evict" in server.log()
    redis_server.cli("CONFIG", "SET", "maxmemory-policy", "volatile-ttl")
    (server,) = front_ends(service, redis_server, 1)
    assert "may evict" not in server.log()
