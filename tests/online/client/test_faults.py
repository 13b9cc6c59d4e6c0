"""The module against services that misbehave at the socket level. Every
case ends with the exact result or a ConnectionError naming the fault, and
within a bounded time."""

import gzip
import json
import socket
import struct
import time

import pytest
from conftest import certs_dir
from oracle import subset_sums as oracle
from raw_tls_server import RawServer, answer

ITEMS = [3, 5, 64]
ACCEPTED = b'{"requestId":"r-1"}'


def payload_for(body, pad_to=0):
    raw = b"".join(w.to_bytes(8, "little") for w in oracle(json.loads(body)))
    return gzip.compress(raw.ljust(pad_to, b"\0"))


class Service:
    """A well-behaved script: subclasses override one step to misbehave."""

    def __init__(self):
        self.problem = b"[]"

    def __call__(self, request, connection):
        if request.method == "POST":
            self.problem = request.body
            return self.submit(request, connection)
        return self.result(request, connection)

    def submit(self, request, connection):
        answer(connection, "200 OK", ACCEPTED)

    def result(self, request, connection):
        answer(connection, "200 OK", payload_for(self.problem), content_type="application/gzip")


def reset(connection):
    connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))


def stall(connection, head, first_bytes):
    connection.sendall(head + first_bytes)
    connection.settimeout(120)
    try:
        connection.recv(1)  # until the client gives up
    except OSError:
        pass


class StallingSubmission(Service):
    def submit(self, request, connection):
        if request.number > 1:
            return super().submit(request, connection)
        stall(connection, b"HTTP/1.1 200 OK\r\nContent-Length: 40\r\n\r\n", b'{"requ')


class ResetSubmission(Service):
    def submit(self, request, connection):
        reset(connection)


class ResetResult(Service):
    def result(self, request, connection):
        reset(connection)


class TruncatedResult(Service):
    def result(self, request, connection):
        body = payload_for(self.problem)
        connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % (len(body) + 50))
        connection.sendall(body[:10])


class TruncatedSubmission(Service):
    def submit(self, request, connection):
        connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 30\r\n\r\n" + ACCEPTED[:16])


def chunked(connection, body, size):
    connection.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")
    for start in range(0, len(body), size):
        part = body[start : start + size]
        connection.sendall(b"%x\r\n%s\r\n" % (len(part), part))
        time.sleep(0.005)  # separate deliveries to the client
    connection.sendall(b"0\r\n\r\n")


class SubmissionInChunks(Service):
    def submit(self, request, connection):
        chunked(connection, ACCEPTED, 3)


class ResultInChunks(Service):
    def result(self, request, connection):
        chunked(connection, payload_for(self.problem), 7)


class RedirectToHttp(Service):
    def result(self, request, connection):
        answer(connection, "302 Found", headers=[("Location", "http://127.0.0.1:9/v0/objects/r-1")])


class RedirectToBadPort(Service):
    def result(self, request, connection):
        answer(connection, "302 Found", headers=[("Location", "https://127.0.0.1:1:99999/x")])


class RedirectLoop(Service):
    def result(self, request, connection):
        answer(connection, "302 Found", headers=[("Location", request.path)])


class CorruptGzip(Service):
    def result(self, request, connection):
        body = bytearray(payload_for(self.problem))
        body[-6] ^= 0xFF  # inside the CRC-32 of the trailer
        answer(connection, "200 OK", bytes(body), content_type="application/gzip")


class NotGzip(Service):
    def result(self, request, connection):
        page = b"<html><body>Here is your result</body></html>"
        answer(connection, "200 OK", page, content_type="text/html")


class TrailingGarbage(Service):
    def result(self, request, connection):
        body = payload_for(self.problem) + b"\0\0\0\0"
        answer(connection, "200 OK", body, content_type="application/gzip")


class AnotherProblemsResult(Service):
    def result(self, request, connection):
        body = payload_for(b"[3,5,65]")
        answer(connection, "200 OK", body, content_type="application/gzip")


class Oversized(Service):
    def __init__(self, size):
        super().__init__()
        self.size = size

    def result(self, request, connection):
        raw = payload_for(self.problem, pad_to=self.size - 1)
        body = gzip.compress(gzip.decompress(raw) + b"\x01")  # a last non-zero byte
        answer(connection, "200 OK", body, content_type="application/gzip")


class Endless(Service):
    def result(self, request, connection):
        connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100000000\r\n\r\n")
        block = b"\x1f" * 65536
        while True:  # until the client hangs up
            connection.sendall(block)


class PaddedTo65536(Service):
    def result(self, request, connection):
        body = payload_for(self.problem, pad_to=65536)
        answer(connection, "200 OK", body, content_type="application/gzip")


class SubmissionRefused(Service):
    def submit(self, request, connection):
        answer(connection, "400 Bad Request", b'{"message":"Body must be a compact JSON array"}')


class SubmissionServerError(Service):
    def submit(self, request, connection):
        answer(
            connection, "500 Internal Server Error", b"<html>oops</html>", content_type="text/html"
        )


class SubmissionAlwaysBusy(Service):
    def submit(self, request, connection):
        answer(connection, "503 Service Unavailable", b"", content_type="text/html")


class HugeSubmissionAnswer(Service):
    def submit(self, request, connection):
        padding = b" " * (64 * 1024)
        answer(connection, "200 OK", b'{"requestId":"r-1"}' + padding)


class LongBusyPageOnce(Service):
    def submit(self, request, connection):
        if request.number > 1:
            return super().submit(request, connection)
        page = b"<html>" + b"busy " * 20000 + b"</html>"
        answer(connection, "503 Service Unavailable", page, content_type="text/html")


class EmptyAcceptedOnce(Service):
    def result(self, request, connection):
        if request.number == 1:
            return answer(connection, "202 Accepted")
        return super().result(request, connection)


@pytest.fixture
def raw_server():
    started = []

    def start(script, **options):
        started.append(RawServer(certs_dir(), script, **options))
        return started[-1]

    yield start
    for server in started:
        server.close()


def failure(code):
    return f"ConnectionError('Submit problem curl failed with {code}')"


def message(text):
    return f"ConnectionError({text!r})"


BACKOFF_20 = [2 ** (j // 2) for j in range(20)]
UNDECODABLE = message("Result payload could not be decompressed (zlib status -3)")


@pytest.mark.parametrize(
    ("script", "expected", "posts", "sleeps"),
    [
        (ResultInChunks(), repr(oracle(ITEMS)), 1, []),
        # An answer in several deliveries reads like one in one piece.
        (SubmissionInChunks(), repr(oracle(ITEMS)), 1, []),
        (PaddedTo65536(), repr(oracle(ITEMS)), 1, []),
        # A reset is what a restarting service does: tried three times.
        (ResetSubmission(), failure(56), 3, [1, 1]),
        (
            ResetResult(),
            message(
                "The result was not ready after 20 attempts "
                "(Failure when receiving data from the peer)"
            ),
            1,
            BACKOFF_20,
        ),
        (TruncatedSubmission(), failure(18), 1, []),
        (SubmissionRefused(), message("Body must be a compact JSON array"), 1, []),
        (SubmissionServerError(), message("The service refused the submission (500)"), 1, []),
        (
            SubmissionAlwaysBusy(),
            message("The service stayed busy (503) through 3 submission attempts"),
            3,
            [1, 1],
        ),
        (EmptyAcceptedOnce(), repr(oracle(ITEMS)), 1, [1]),
        (LongBusyPageOnce(), repr(oracle(ITEMS)), 2, [1]),
        (
            HugeSubmissionAnswer(),
            message("The service's answer to the submission is longer than 65536 bytes"),
            1,
            [],
        ),
        (
            TruncatedResult(),
            message("The result request failed: Transferred a partial file (curl code 18)"),
            1,
            [],
        ),
        (
            RedirectToHttp(),
            message("The result request was redirected to a URL that is not https"),
            1,
            [],
        ),
        (
            RedirectToBadPort(),
            message("The result request was redirected to a URL that does not parse"),
            1,
            [],
        ),
        (RedirectLoop(), message("The result request was redirected more than 10 times"), 1, []),
        (CorruptGzip(), UNDECODABLE, 1, []),
        (NotGzip(), UNDECODABLE, 1, []),
        (TrailingGarbage(), UNDECODABLE, 1, []),
        (
            AnotherProblemsResult(),
            message("The result payload is not a bitset of this problem"),
            1,
            [],
        ),
        (
            Oversized(65537),
            message("Result payload could not be decompressed (zlib status -5)"),
            1,
            [],
        ),
    ],
    ids=lambda value: type(value).__name__ if isinstance(value, Service) else "",
)
def test_faults_end_in_the_exact_result_or_a_named_error(
    raw_server, solve_online, script, expected, posts, sleeps
):
    server = raw_server(script)
    outcome = solve_online(ITEMS, server.origin, timeout=60)
    assert outcome.result == expected
    assert outcome.elapsed < 30
    assert [r.method for r in server.requests].count("POST") == posts
    assert outcome.sleeps == sleeps


def test_an_endless_result_is_refused_after_one_mebibyte_and_polled_again(raw_server, solve_online):
    server = raw_server(Endless())
    outcome = solve_online(ITEMS, server.origin, timeout=120)
    assert outcome.result == message("The result was not ready after 20 attempts (HTTP 200)")
    assert outcome.stdout.count("Result payload longer than 1048576 bytes, refused\n") == 20
    assert len(outcome.sleeps) == 20
    assert outcome.elapsed < 60


def test_a_stalled_submission_answer_is_cut_and_the_submission_retried(raw_server, solve_online):
    server = raw_server(StallingSubmission())
    outcome = solve_online(ITEMS, server.origin, timeout=120)
    assert outcome.result == repr(oracle(ITEMS))
    assert [r.method for r in server.requests] == ["POST", "POST", "GET"]
    assert 29 < outcome.elapsed < 90


def test_a_service_without_tls_is_tried_three_times_then_refused(raw_server, solve_online):
    server = raw_server(Service(), tls=False)
    outcome = solve_online(ITEMS, server.origin, timeout=60)
    assert outcome.result == failure(35)
    assert server.plain_connections == 3
    assert outcome.elapsed < 30


def test_nothing_listening_fails_at_once(solve_online):
    with socket.create_server(("127.0.0.1", 0)) as placeholder:
        port = placeholder.getsockname()[1]
    outcome = solve_online(ITEMS, f"https://localhost:{port}", timeout=60)
    assert outcome.result == failure(7)
    assert outcome.elapsed < 30
