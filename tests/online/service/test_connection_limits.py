"""Connections counted from their accept: bare TCP connections that never
start TLS, one address holding many connections, and a process near its
descriptor limit must not shut other clients out."""

import re
import resource
import socket
import ssl
import time

import pytest
from test_service_protocol import client_context, request

pytestmark = pytest.mark.service_only

# The other loopback address the crowd comes from; 127.0.0.1 is everyone else.
CROWD = "127.0.0.2"


def refused(server, reason):
    _, data = request(server, "GET", "/metrics")
    found = re.search(
        rf'qernx_connections_refused_total\{{reason="{reason}"\}} (\S+)'.encode(), data
    )
    assert found, data
    return float(found.group(1))


def bare_connections(port, count):
    """`count` TCP connections from CROWD that never send a byte; those the
    service closes at once show as closed ones."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard < count + 200:
        pytest.skip(f"this process may open {hard} descriptors")
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, count + 500)), hard))
    held = []
    for _ in range(count):
        sock = socket.socket()
        sock.bind((CROWD, 0))
        sock.settimeout(10)
        sock.connect(("127.0.0.1", port))
        held.append(sock)
    return held


def closed_by_service(sockets, wait=5.0):
    """How many of `sockets` the service closed, looking for up to `wait` s."""
    closed = set()
    deadline = time.monotonic() + wait
    while time.monotonic() < deadline:
        for index, sock in enumerate(sockets):
            if index in closed:
                continue
            sock.setblocking(False)
            try:
                if sock.recv(1) == b"":
                    closed.add(index)
            except BlockingIOError:
                pass
            except OSError:
                closed.add(index)
        time.sleep(0.2)
    return len(closed)


def refusal_lines(server):
    return [line for line in server.log().splitlines() if "connection(s) refused" in line]


def test_1300_bare_connections_from_one_address_leave_others_served(service):
    server = service(
        "--workers", "1", "--handshake-timeout", "30", "--request-timeout", "30", open_files=1200
    )
    held = bare_connections(server.port, 1300)
    try:
        response, _ = request(server, "GET", "/healthz", key=None)
        assert response.status == 200
        assert closed_by_service(held, wait=2.0) == 1300 - 256
        assert refused(server, "per_client") == 1300 - 256
        assert refused(server, "descriptors") == 0
        # One line however many were refused, naming the limit and the address.
        (line,) = refusal_lines(server)
        assert "--max-connections-per-client 256" in line and f"from {CROWD}" in line
    finally:
        for sock in held:
            sock.close()
    assert "Traceback" not in server.log() and "Too many open files" not in server.log()


def test_connections_past_the_descriptor_margin_are_closed_at_once(service):
    server = service(
        "--workers",
        "1",
        "--max-connections-per-client",
        "5000",
        "--handshake-timeout",
        "30",
        "--request-timeout",
        "30",
        open_files=1200,
    )
    held = bare_connections(server.port, 1300)
    try:
        closed = closed_by_service(held, wait=2.0)
        # The service keeps 100 descriptors, and those it had open at start.
        assert 200 < closed < 400
        (line,) = refusal_lines(server)
        assert "fewer than 100 file descriptors left" in line
    finally:
        for sock in held:
            sock.close()
    time.sleep(0.5)
    response, _ = request(server, "GET", "/healthz", key=None)
    assert response.status == 200
    assert refused(server, "descriptors") == closed
    assert "Traceback" not in server.log() and "Too many open files" not in server.log()


def tls_connection(port, source):
    sock = socket.socket()
    sock.bind((source, 0))
    sock.settimeout(10)
    sock.connect(("127.0.0.1", port))
    return client_context().wrap_socket(sock, server_hostname="localhost")


def test_one_address_cannot_hold_every_connection(service):
    server = service(
        "--workers", "1", "--max-connections", "5", "--max-connections-per-client", "2"
    )
    held, failed = [], 0
    for _ in range(5):
        try:
            held.append(tls_connection(server.port, CROWD))
        except (OSError, ssl.SSLError):
            failed += 1
    try:
        assert len(held) == 2 and failed == 3
        response, _ = request(server, "GET", "/healthz", key=None)
        assert response.status == 200
        assert refused(server, "per_client") == 3
    finally:
        for tls in held:
            tls.close()


def test_connections_in_their_handshake_count_toward_the_cap(service):
    server = service("--workers", "1", "--max-connections", "3")
    held = bare_connections(server.port, 3)
    try:
        response, data = request(server, "GET", "/healthz", key=None)
        assert response.status == 503 and response.getheader("Retry-After") == "1"
    finally:
        for sock in held:
            sock.close()
    time.sleep(0.5)
    response, _ = request(server, "GET", "/healthz", key=None)
    assert response.status == 200
    assert refused(server, "max_connections") == 1


@pytest.mark.parametrize("handshake_timeout", [1, 3])
def test_a_silent_tcp_connection_ends_at_the_handshake_timeout(service, handshake_timeout):
    server = service(
        "--workers", "1", "--handshake-timeout", str(handshake_timeout), "--request-timeout", "30"
    )
    (sock,) = bare_connections(server.port, 1)
    started = time.monotonic()
    sock.settimeout(40)
    try:
        while sock.recv(4096):
            pass
    except OSError:
        pass
    closed_after = time.monotonic() - started
    sock.close()
    assert handshake_timeout - 0.5 < closed_after < handshake_timeout + 10
