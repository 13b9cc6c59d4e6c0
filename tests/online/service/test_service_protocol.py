"""The solver service's answers over real TLS, from `python -m qernx_service`
(uvicorn in a subprocess), byte for byte where the client depends on them."""

import gzip
import hashlib
import hmac
import http.client
import json
import os
import re
import signal
import socket
import ssl
import subprocess
import sys
import time

import pytest
from conftest import API_KEY, Service, certs_dir
from oracle import subset_sums as oracle

pytestmark = pytest.mark.service_only

OTHER_KEY = "second-key-77"


def client_context():
    return ssl.create_default_context(cafile=str(certs_dir() / "ca.pem"))


def exchange(connection, method, path, body=None, key=API_KEY, headers=None):
    """One request on a new connection (TLS or plain), with the key unless None."""
    sent = dict(headers or {})
    if key is not None:
        sent["x-api-key"] = key
    connection.request(method, path, body=body, headers=sent)
    response = connection.getresponse()
    data = response.read()
    connection.close()
    return response, data


def request(server, method, path, body=None, key=API_KEY, headers=None):
    connection = http.client.HTTPSConnection(
        "localhost", server.port, context=client_context(), timeout=10
    )
    return exchange(connection, method, path, body, key, headers)


def raw_exchange(server, data, pause=None):
    """Sends raw bytes over TLS; returns everything the service answers until it closes."""
    with socket.create_connection(("127.0.0.1", server.port), timeout=15) as plain:
        with client_context().wrap_socket(plain, server_hostname="localhost") as tls:
            tls.sendall(data)
            answer = b""
            while chunk := tls.recv(65536):
                answer += chunk
    return answer


def submit(server, items, key=API_KEY):
    response, data = request(
        server, "POST", "/v0/app/sspu", json.dumps(items).replace(" ", ""), key
    )
    assert response.status == 200, data
    return json.loads(data)["requestId"]


def wait_ready(server, path, key=API_KEY):
    for _ in range(500):
        response, data = request(server, "GET", path, key=key)
        if response.status == 200:
            return response, data
        time.sleep(0.02)
    raise AssertionError(f"never ready: {response.status} {data!r}")


def bitset_bytes(items):
    words = oracle(items)
    return b"".join(w.to_bytes(8, "little") for w in words)


def assert_compact_json(response, data, expected):
    assert response.getheader("Content-Type") == "application/json"
    assert int(response.getheader("Content-Length")) == len(data)
    assert data == json.dumps(expected, separators=(",", ":")).encode()


@pytest.fixture(scope="module")
def shared(tmp_path_factory):
    """One embedded service for the tests that only ask and read answers."""
    folder = tmp_path_factory.mktemp("shared")
    keys = f"{API_KEY},{OTHER_KEY}"
    server = Service(folder / "service.log", "--workers", "1", keys=keys)
    yield server
    assert server.stop() == 0
    assert API_KEY not in server.log()


def test_a_submission_gets_an_identifier_and_the_result_once_solved(shared):
    items = [3, 5, 64]
    response, data = request(shared, "POST", "/v0/app/sspu", b"[3,5,64]")
    assert response.status == 200
    request_id = json.loads(data)["requestId"]
    assert_compact_json(response, data, {"requestId": request_id})
    response, data = wait_ready(shared, f"/v0/result?requestId={request_id}")
    assert response.getheader("Content-Type") == "application/octet-stream"
    assert int(response.getheader("Content-Length")) == len(data)
    assert gzip.decompress(data) == bitset_bytes(items)


@pytest.mark.parametrize(
    "body",
    [json.dumps([3, 5, 64]), json.dumps([3, 5, 64], indent=1) + "\n", "\r\n[3 ,5,\t64]\r\n"],
    ids=["json.dumps", "indented with a line end", "CRLF and tabs"],
)
def test_json_whitespace_is_welcome_in_a_submission(shared, body):
    response, data = request(shared, "POST", "/v0/app/sspu", body.encode())
    assert response.status == 200, data
    request_id = json.loads(data)["requestId"]
    _, data = wait_ready(shared, f"/v0/result?requestId={request_id}")
    assert gzip.decompress(data) == bitset_bytes([3, 5, 64])


@pytest.mark.parametrize(
    ("method", "path", "body", "key", "status", "text", "allow"),
    [
        ("POST", "/v0/app/sspu", b"[1]", None, 403, "Forbidden", None),
        ("POST", "/v0/app/sspu", b"[1]", "not-a-key", 403, "Forbidden", None),
        ("POST", "/v0/app/sspu", b"[1]", API_KEY + "x", 403, "Forbidden", None),
        ("POST", "/v0/app/sspu", b"[1 2]", API_KEY, 400, None, None),
        ("POST", "/v0/app/sspu", b"[600000]", API_KEY, 422, None, None),
        ("POST", "/v0/app/sspu", b"[" + b"1," * 600000 + b"1]", API_KEY, 413, None, None),
        ("GET", "/v0/result?requestId=nope", None, API_KEY, 404, "Unknown requestId", None),
        ("GET", "/v0/result", None, API_KEY, 400, "requestId missing", None),
        ("GET", "/v0/result?requestId=nope", None, "bad", 403, "Forbidden", None),
        ("GET", "/v0/app/sspu", None, API_KEY, 405, "Method not allowed", "POST"),
        ("DELETE", "/v0/app/sspu", None, API_KEY, 405, "Method not allowed", "POST"),
        ("POST", "/v0/result?requestId=x", b"[]", API_KEY, 405, "Method not allowed", "GET, HEAD"),
        ("PUT", "/healthz", b"", None, 405, "Method not allowed", "GET, HEAD"),
        ("GET", "/", None, API_KEY, 404, "Not found", None),
        ("GET", "/v0/objects/abc", None, None, 404, "Not found", None),
    ],
)
def test_refusals_are_compact_json_messages_with_their_status(
    shared, method, path, body, key, status, text, allow
):
    response, data = request(shared, method, path, body, key)
    assert response.status == status
    message = json.loads(data)["message"]
    assert_compact_json(response, data, {"message": message})
    if text is not None:
        assert message == text
    assert response.getheader("Allow") == allow


def test_a_result_belongs_to_the_key_that_submitted_it(shared):
    request_id = submit(shared, [1, 2], key=OTHER_KEY)
    wait_ready(shared, f"/v0/result?requestId={request_id}", key=OTHER_KEY)
    response, data = request(shared, "GET", f"/v0/result?requestId={request_id}")
    assert response.status == 404 and json.loads(data) == {"message": "Unknown requestId"}


def test_chunked_submissions_are_read_up_to_1_mb(shared):
    items = [5, 7, 11]
    body = b"[5,7,11]"
    connection = http.client.HTTPSConnection("localhost", shared.port, context=client_context())
    connection.request(
        "POST",
        "/v0/app/sspu",
        body=iter([body[:3], body[3:]]),
        headers={"x-api-key": API_KEY},
        encode_chunked=True,
    )
    response = connection.getresponse()
    assert response.status == 200
    request_id = json.loads(response.read())["requestId"]
    big = iter([b"[" + b"1," * 300000, b"1," * 300000 + b"1]"])
    connection.request(
        "POST", "/v0/app/sspu", body=big, headers={"x-api-key": API_KEY}, encode_chunked=True
    )
    response = connection.getresponse()
    assert response.status == 413
    assert json.loads(response.read()) == {"message": "Problem larger than 1 MB"}
    connection.close()
    _, data = wait_ready(shared, f"/v0/result?requestId={request_id}")
    assert gzip.decompress(data) == bitset_bytes(items)


HEAD = "POST /v0/app/sspu HTTP/1.1\r\nx-api-key: " + API_KEY + "\r\n"


@pytest.mark.parametrize(
    ("raw", "status"),
    [
        ("NONSENSE\r\n\r\n", 400),
        ("GET /\x01 HTTP/1.1\r\nHost: x\r\n\r\n", 400),
        (HEAD + "Host: x\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\n[1]", 400),
        (HEAD + "Host: x\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\n[1]", 400),
        (HEAD + "Host: x\r\nContent-Length: 3, 4\r\n\r\n[1]", 400),
        (HEAD + "Host: x\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n", 400),
        (HEAD + "Content-Length: 3\r\n\r\n[1]", 400),
        ("GET /healthz HTTP/1.0\r\n\r\n", 200),
    ],
    ids=[
        "request-line",
        "control-character",
        "two-lengths",
        "repeated-length",
        "length-list",
        "chunked-and-length",
        "no-host",
        "http-1.0-without-host",
    ],
)
def test_ambiguous_or_malformed_requests_get_json_and_a_closed_connection(shared, raw, status):
    started = time.monotonic()
    answer = raw_exchange(shared, raw.encode("latin-1"))
    head, _, body = answer.partition(b"\r\n\r\n")
    assert head.startswith(f"HTTP/1.1 {status} ".encode())
    assert b"connection: close" in head.lower()
    assert json.loads(body)
    assert time.monotonic() - started < 5  # closed, not left to a time-out


def test_keep_alive_serves_several_requests_on_one_connection(shared):
    connection = http.client.HTTPSConnection("localhost", shared.port, context=client_context())
    for items in ([1], [2, 3], []):
        connection.request(
            "POST",
            "/v0/app/sspu",
            body=json.dumps(items).replace(" ", ""),
            headers={"x-api-key": API_KEY},
        )
        response = connection.getresponse()
        assert response.status == 200 and b"requestId" in response.read()
        assert response.getheader("Connection") is None
    connection.close()


def test_health_needs_no_key_and_metrics_count_requests(shared):
    response, data = request(shared, "GET", "/healthz", key=None)
    assert response.status == 200 and json.loads(data) == {"status": "ok"}

    def submissions():
        _, page = request(shared, "GET", "/metrics")
        found = re.search(rb'qernx_requests_total\{route="submit",status="200"\} (\S+)', page)
        return float(found.group(1)) if found else 0.0, page

    def forbidden():
        _, page = request(shared, "GET", "/metrics")
        found = re.search(rb'qernx_requests_total\{route="submit",status="403"\} (\S+)', page)
        return float(found.group(1)) if found else 0.0

    before, _ = submissions()
    refused = forbidden()
    for items in ([1], [2], [3]):
        submit(shared, items)
    request(shared, "POST", "/v0/app/sspu", b"[1]", key="wrong")
    after, page = submissions()
    assert after - before == 3
    assert forbidden() - refused == 1
    assert b"qernx_solve_seconds_bucket" in page
    assert re.search(rb"\nqernx_queue_depth \d", page)
    assert re.search(rb"\nqernx_results_held \d", page)
    assert API_KEY.encode() not in page


def test_the_log_has_a_timestamped_line_per_request_with_escapes_and_masks(shared):
    response, _ = request(shared, "GET", "/v0/result?requestId=%01x&token=secret-value&b=2")
    request(shared, "GET", f"/v0/result?requestId={API_KEY}")
    raw_exchange(shared, b'GET /a"b\\c HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n')
    raw_exchange(shared, b"GET /a\x7fb HTTP/1.1\r\nHost: x\r\n\r\n")
    request_id = response.getheader("X-Request-Id")
    time.sleep(0.2)
    lines = shared.log().splitlines()
    pattern = re.compile(
        r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}\+00:00 127\.0\.0\.1 ([A-Z]+|-) (\S+) (\d{3}) "
        r"\d+\.\dms id=([0-9a-f]{16})"
    )
    by_id = {}
    for line in lines[2:]:
        if "qernx_service" in line:
            continue
        found = pattern.fullmatch(line)
        assert found, line
        by_id[found.group(4)] = found.groups()
    assert by_id[request_id] == (
        "GET",
        "/v0/result?requestId=%01x&token=***&b=2",
        "404",
        request_id,
    )
    assert any(g[1] == "/v0/result?requestId=***" for g in by_id.values())
    assert any(g[1] == "/a\\x22b\\x5cc" and g[2] == "404" for g in by_id.values())
    assert any(g[0] == "-" and g[2] == "400" for g in by_id.values())
    assert "\x7f" not in shared.log()
    assert "secret-value" not in shared.log()


@pytest.mark.parametrize(
    ("version", "ciphers", "accepted"),
    [
        (ssl.TLSVersion.TLSv1_3, None, True),
        (ssl.TLSVersion.TLSv1_2, "ECDHE-RSA-AES128-GCM-SHA256", True),
        (ssl.TLSVersion.TLSv1_2, "ECDHE-RSA-CHACHA20-POLY1305", True),
        (ssl.TLSVersion.TLSv1_2, "ECDHE-RSA-AES128-SHA256:ECDHE-RSA-AES128-SHA", False),
        (ssl.TLSVersion.TLSv1_2, "AES128-GCM-SHA256", False),
        (ssl.TLSVersion.TLSv1_2, "DHE-RSA-AES128-GCM-SHA256", False),
    ],
)
def test_tls_offers_the_intermediate_suites_and_http_1_1(shared, version, ciphers, accepted):
    context = client_context()
    context.minimum_version = context.maximum_version = version
    if ciphers:
        context.set_ciphers(ciphers)
    context.set_alpn_protocols(["h2", "http/1.1"])
    with socket.create_connection(("127.0.0.1", shared.port), timeout=10) as plain:
        if not accepted:
            with pytest.raises(ssl.SSLError):
                context.wrap_socket(plain, server_hostname="localhost")
            return
        with context.wrap_socket(plain, server_hostname="localhost") as tls:
            assert tls.selected_alpn_protocol() == "http/1.1"
            assert tls.version() == {"TLSv1_3": "TLSv1.3", "TLSv1_2": "TLSv1.2"}[version.name]


def test_a_trickling_client_is_cut_off_at_the_request_deadline(service):
    server = service("--request-timeout", "2", "--keep-alive", "1", "--workers", "1")
    with socket.create_connection(("127.0.0.1", server.port), timeout=15) as plain:
        with client_context().wrap_socket(plain, server_hostname="localhost") as tls:
            started = time.monotonic()
            closed_after = None
            for byte in b"GET /healthz HTTP/1.1\r\nHost: x\r\n":
                try:
                    tls.sendall(bytes([byte]))
                except OSError:
                    closed_after = time.monotonic() - started
                    break
                time.sleep(0.3)
            if closed_after is None:
                tls.settimeout(15)
                try:
                    answer = tls.recv(4096)
                    while tls.recv(4096):
                        pass
                except OSError:
                    answer = b""
                closed_after = time.monotonic() - started
                assert answer == b"" or answer.startswith(b"HTTP/1.1 408 ")
    assert 1.5 < closed_after < 9


@pytest.mark.parametrize("handshake", [False, True], ids=["silent-tcp", "silent-after-tls"])
def test_a_silent_connection_is_closed_at_the_request_deadline(service, handshake):
    server = service("--request-timeout", "2", "--workers", "1")
    with socket.create_connection(("127.0.0.1", server.port), timeout=15) as plain:
        started = time.monotonic()
        try:
            if handshake:
                with client_context().wrap_socket(plain, server_hostname="localhost") as tls:
                    while tls.recv(4096):
                        pass
            else:
                while plain.recv(4096):
                    pass
        except OSError:
            pass
        closed_after = time.monotonic() - started
    assert 1.5 < closed_after < 9


def test_an_idle_kept_alive_connection_is_closed_after_the_keep_alive_time(service):
    server = service("--keep-alive", "1", "--workers", "1")
    connection = http.client.HTTPSConnection("localhost", server.port, context=client_context())
    connection.request("GET", "/healthz")
    assert connection.getresponse().read()
    time.sleep(2.5)
    assert connection.sock.recv(1) == b""  # the service closed its side
    connection.close()


def test_connections_beyond_the_cap_are_refused_with_503(service):
    server = service("--max-connections", "4", "--workers", "1")
    held = []
    for _ in range(4):
        connection = http.client.HTTPSConnection("localhost", server.port, context=client_context())
        connection.request("GET", "/healthz")
        assert connection.getresponse().read()
        held.append(connection)
    response, data = request(server, "GET", "/healthz", key=None)
    assert response.status == 503 and response.getheader("Retry-After") == "1"
    assert json.loads(data) == {"message": "Too many connections"}
    for connection in held:
        connection.close()
    time.sleep(0.5)
    response, _ = request(server, "GET", "/healthz", key=None)
    assert response.status == 200


def signed(key, request_id, expires):
    digest = hmac.new(key, f"{request_id}\n{expires}".encode(), hashlib.sha256).hexdigest()
    return f"/v0/objects/{request_id}?expires={expires}&signature={digest}"


def test_redirected_results_go_to_signed_object_urls(service, tmp_path):
    key_file = tmp_path / "signing.key"
    key_file.write_bytes(os.urandom(32).hex().encode())
    key = key_file.read_bytes()
    server = service("--redirect-results", "--signing-key-file", str(key_file), "--workers", "1")
    items = [7, 9]
    request_id = submit(server, items)
    before = int(time.time())
    response, data = request(server, "GET", f"/v0/result?requestId={request_id}")
    assert response.status == 302
    location = response.getheader("Location")
    assert json.loads(data) == {"location": location}
    expires = int(re.search(r"expires=(\d+)", location).group(1))
    assert before + 3600 <= expires <= int(time.time()) + 3600
    assert location == signed(key, request_id, expires)
    response, data = wait_ready(server, location, key=None)
    assert gzip.decompress(data) == bitset_bytes(items)

    other = submit(server, [1])
    for url in (
        f"/v0/objects/{request_id}",
        f"/v0/objects/{request_id}?expires={expires}&signature=" + "0" * 64,
        signed(key, other, expires).replace(other, request_id),
        signed(key, request_id, expires + 1).replace(str(expires + 1), str(expires)),
        signed(key, request_id, int(time.time()) - 1),
        signed(b"another key", request_id, expires),
    ):
        response, data = request(server, "GET", url, key=None)
        assert response.status == 403, url
        assert response.getheader("Content-Type") == "application/xml"
        assert data.startswith(b'<?xml version="1.0" encoding="UTF-8"?>')


@pytest.mark.parametrize("signal_number", [signal.SIGTERM, signal.SIGINT])
def test_the_service_stops_cleanly_on_a_signal(service, signal_number):
    server = service("--workers", "1")
    assert server.stop(signal_number) == 0
    assert re.search(
        r"\+00:00 qernx_service stopped after [\d.]+ s$", server.log().splitlines()[-1]
    )
    assert "Traceback" not in server.log()


@pytest.mark.parametrize(
    ("options", "env_keys", "complaint"),
    [
        ([], "", "no API key"),
        (["--workers", "0"], "k", "must be 1 or more"),
        (["--request-timeout", "-1"], "k", "must be above 0"),
        (["--cert", "/nonexistent.pem"], "k", "cannot load the certificate"),
        (["--signing-key-file", "/nonexistent.key"], "k", "cannot read the signing key"),
        (["--host", "192.0.2.1"], "k", "cannot listen on"),
    ],
)
def test_bad_options_stop_the_service_with_a_reason(options, env_keys, complaint):
    folder = certs_dir()
    command = [sys.executable, "-m", "qernx_service", "--port", "0"]
    command += ["--cert", str(folder / "server.pem"), "--key", str(folder / "server.key")]
    env = dict(os.environ, QERN_SERVICE_KEYS=env_keys)
    completed = subprocess.run(
        command + options, capture_output=True, text=True, env=env, timeout=60
    )
    assert completed.returncode != 0
    assert complaint in completed.stderr


def test_keys_given_as_options_and_in_the_environment_are_all_accepted(service):
    server = service("--api-key", "from-option", "--workers", "1", keys=f" {API_KEY} , ,other ")
    statuses = {}
    for key in ("from-option", API_KEY, "other", "", "unknown"):
        response, _ = request(server, "POST", "/v0/app/sspu", b"[1]", key=key)
        statuses[key] = response.status
    assert statuses == {"from-option": 200, API_KEY: 200, "other": 200, "": 403, "unknown": 403}
