"""Plain-HTTP listeners for a proxy in front: a Unix socket and a loopback
port, the client's address taken from X-Forwarded-For only from a trusted
peer, and the per-client share kept for real clients, not the proxy."""

import gzip
import http.client
import json
import re
import socket
import subprocess
import sys
import time

import pytest
from conftest import API_KEY, certs_dir
from test_operations import ISO_START, plain_env
from test_service_protocol import bitset_bytes, exchange

pytestmark = pytest.mark.service_only


class UnixConnection(http.client.HTTPConnection):
    def __init__(self, path, timeout=10):
        super().__init__("localhost", timeout=timeout)
        self.path = path

    def connect(self):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(self.timeout)
        self.sock.connect(self.path)


class PlainListener:
    """How to reach a service's plain listener: its Unix socket or its port."""

    def __init__(self, server, kind, path=None):
        self.server = server
        self.kind = kind
        self.path = path
        if kind == "tcp":
            found = re.search(r"listening on http://127\.0\.0\.1:(\d+)", server.log())
            assert found, server.log()
            self.port = int(found.group(1))

    def connection(self, source=None):
        if self.kind == "unix":
            return UnixConnection(str(self.path))
        return http.client.HTTPConnection(
            "127.0.0.1", self.port, timeout=10, source_address=(source, 0) if source else None
        )

    def request(self, method, path, body=None, key=API_KEY, headers=None, source=None):
        return exchange(self.connection(source), method, path, body, key, headers)


def plain_service(service, tmp_path, kind, *options):
    if kind == "unix":
        path = tmp_path / "service.sock"
        server = service("--workers", "1", "--uds", str(path), *options)
        return PlainListener(server, kind, path)
    server = service("--workers", "1", "--plain-port", "0", *options)
    return PlainListener(server, kind)


def logged(server, request_id):
    deadline = time.monotonic() + 10
    while True:
        lines = [line for line in server.log().splitlines() if f"id={request_id}" in line]
        if lines:
            return lines[0]
        assert time.monotonic() < deadline, server.log()
        time.sleep(0.02)


@pytest.mark.parametrize(
    ("kind", "options", "forwarded", "seen"),
    [
        ("unix", [], "198.51.100.7", "198.51.100.7"),
        ("unix", [], None, "-"),
        ("tcp", ["--forwarded-allow-ips", "127.0.0.1"], "198.51.100.7", "198.51.100.7"),
        ("tcp", ["--forwarded-allow-ips", "127.0.0.0/8"], "1.2.3.4, 198.51.100.7", "198.51.100.7"),
        ("tcp", [], "198.51.100.7", "127.0.0.1"),
        ("tcp", ["--forwarded-allow-ips", "10.0.0.1"], "198.51.100.7", "127.0.0.1"),
    ],
    ids=["unix", "unix-no-header", "tcp-trusted", "tcp-network", "tcp-untrusted", "tcp-other"],
)
def test_a_plain_listener_solves_and_logs_the_client_a_trusted_proxy_names(
    service, tmp_path, kind, options, forwarded, seen
):
    listener = plain_service(service, tmp_path, kind, *options)
    headers = {"x-forwarded-for": forwarded} if forwarded else {}
    items = [2, 3, 11]
    response, data = listener.request("POST", "/v0/app/sspu", b"[2,3,11]", headers=headers)
    assert response.status == 200, data
    line = logged(listener.server, response.getheader("x-request-id"))
    assert ISO_START.match(line) and line.split(" ")[1] == seen, line
    request_id = json.loads(data)["requestId"]
    for _ in range(500):
        response, data = listener.request("GET", f"/v0/result?requestId={request_id}")
        if response.status == 200:
            break
        time.sleep(0.02)
    assert gzip.decompress(data) == bitset_bytes(items)
    # The public port's rules hold on the plain one: no key, no metrics.
    response, _ = listener.request("GET", "/metrics", key=None, headers=headers)
    assert response.status == 403


def test_a_tcp_client_naming_another_address_is_seen_as_its_own(service, tmp_path):
    # The connection comes from 127.0.0.3, which nobody trusts: its header is a lie.
    listener = plain_service(service, tmp_path, "tcp", "--forwarded-allow-ips", "127.0.0.1")
    response, _ = listener.request(
        "GET", "/healthz", key=None, headers={"x-forwarded-for": "198.51.100.7"}, source="127.0.0.3"
    )
    line = logged(listener.server, response.getheader("x-request-id"))
    assert line.split(" ")[1] == "127.0.0.3", line


def test_the_per_client_share_does_not_count_the_proxy_as_one_client(service, tmp_path):
    listener = plain_service(service, tmp_path, "unix", "--max-connections-per-client", "2")
    held = [listener.connection() for _ in range(5)]
    try:
        for connection in held:
            connection.request("GET", "/healthz")
            assert connection.getresponse().read() == b'{"status":"ok"}'
    finally:
        for connection in held:
            connection.close()


def test_a_socket_file_left_by_a_dead_service_is_replaced(service, tmp_path):
    path = tmp_path / "service.sock"
    leftover = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    leftover.bind(str(path))
    leftover.close()  # the file stays, nobody listens
    server = service("--workers", "1", "--uds", str(path), "--uds-mode", "600")
    assert oct(path.stat().st_mode & 0o777) == "0o600"
    response, _ = PlainListener(server, "unix", path).request("GET", "/healthz", key=None)
    assert response.status == 200
    assert server.stop() == 0
    assert not path.exists()  # removed at stop


def start(*options, with_certificate=True):
    folder = certs_dir()
    certificate = ["--cert", str(folder / "server.pem"), "--key", str(folder / "server.key")]
    return subprocess.run(
        [sys.executable, "-m", "qernx_service", "--port", "0"]
        + (certificate if with_certificate else [])
        + list(options),
        capture_output=True,
        text=True,
        env=plain_env(QERN_SERVICE_KEYS=API_KEY),
        timeout=60,
    )


@pytest.mark.parametrize(
    ("options", "with_certificate", "status", "complaint"),
    [
        (["--plain-port", "0", "--plain-host", "0.0.0.0"], True, 2, "not a loopback address"),
        (["--plain-port", "0", "--plain-host", "192.0.2.1"], True, 2, "--plain-allow-remote"),
        (["--forwarded-allow-ips", "proxy.local"], True, 2, "not an address or network"),
        ([], False, 2, "nothing to listen on"),
        (["--cert", "x.pem"], False, 2, "--cert and --key go together"),
        (["--uds", "/nonexistent/dir/s.sock"], True, 1, "cannot listen on /nonexistent/dir"),
        (["--uds", "REGULAR"], True, 1, "is not a socket"),
        (["--uds", "LIVE"], True, 1, "Address already in use"),
        (["--uds-mode", "9"], True, 2, "not an octal file mode"),
    ],
    ids=[
        "any-address",
        "remote-address",
        "proxy-name",
        "no-listener",
        "cert-alone",
        "uds-no-dir",
        "uds-regular-file",
        "uds-in-use",
        "uds-mode",
    ],
)
def test_a_bad_listener_setting_is_one_line(tmp_path, options, with_certificate, status, complaint):
    (tmp_path / "regular").write_text("mine\n")
    live = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    live.bind(str(tmp_path / "live.sock"))
    live.listen()
    try:
        options = [
            {"REGULAR": str(tmp_path / "regular"), "LIVE": str(tmp_path / "live.sock")}.get(o, o)
            for o in options
        ]
        completed = start(*options, with_certificate=with_certificate)
    finally:
        live.close()
    assert completed.returncode == status, completed.stderr
    (line,) = completed.stderr.splitlines()
    assert complaint in line and ISO_START.match(line), line
    assert (tmp_path / "regular").read_text() == "mine\n"  # never removed
