"""The HTTPS front: one thread per connection, TLS handshakes included."""

from __future__ import annotations

import hmac
import http.server
import socket
import socketserver
import ssl
import sys
import time
from http import HTTPStatus
from typing import Any, TextIO
from urllib.parse import parse_qs, urlsplit

from .protocol import (
    MAX_BODY_BYTES,
    Refusal,
    compact_json,
    message,
    missing_object_xml,
    parse_problem,
)
from .store import FAILED, PENDING, UNKNOWN, ResultStore

SUBMIT_PATH = "/v0/app/sspu"
RESULT_PATH = "/v0/result"
OBJECT_PREFIX = "/v0/objects/"
# A client that sends nothing for this long loses its connection and thread.
IDLE_SECONDS = 30
# How long a closing connection keeps reading what the client still sends.
LINGER_SECONDS = 2


def make_tls_context(cert: str, key: str) -> ssl.SSLContext:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(cert, key)
    return context


class ServiceServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(
        self,
        address: tuple[str, int],
        context: ssl.SSLContext,
        store: ResultStore,
        keys: list[str],
        redirect_results: bool = False,
        log: TextIO = sys.stderr,
    ) -> None:
        super().__init__(address, ServiceHandler)
        self.context = context
        self.store = store
        self.keys = [key.encode() for key in keys]
        self.redirect_results = redirect_results
        self.log = log

    @property
    def port(self) -> int:
        return self.server_address[1]

    def key_owner(self, key: str | None) -> int | None:
        """The index of a known key; every key is compared in constant time."""
        owner = None
        if key is not None:
            offered = key.encode("utf-8", "surrogateescape")
            for index, known in enumerate(self.keys):
                if hmac.compare_digest(offered, known):
                    owner = index
        return owner

    def write_log(self, line: str) -> None:
        for key in self.keys:  # a key typed into a URL by mistake
            line = line.replace(key.decode("utf-8", "replace"), "***")
        print(line, file=self.log, flush=True)

    # The handshake runs on the connection's own thread, under the idle
    # limit, so a client that stalls it cannot hold up the accept loop.
    def finish_request(self, request: Any, client_address: Any) -> None:
        request.settimeout(IDLE_SECONDS)
        try:
            connection = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError) as error:
            self.write_log(f"{client_address[0]} - TLS handshake failed: {error}")
            return
        with connection:
            ServiceHandler(connection, client_address, self)
            linger(connection)

    def handle_error(self, request: object, client_address: tuple[str, int]) -> None:
        error = sys.exc_info()[1]
        self.write_log(f"{client_address[0]} - connection failed: {error!r}")


def linger(connection: ssl.SSLSocket) -> None:
    """Closes the sending side, then discards what the client still sends for
    a moment: closing with unread bytes (a refused body) would reset the
    connection and could destroy the answer before the client reads it."""
    try:
        connection.shutdown(socket.SHUT_WR)
        deadline = time.monotonic() + LINGER_SECONDS
        while (left := deadline - time.monotonic()) > 0:
            connection.settimeout(left)
            if not connection.recv(65536):
                break
    except OSError:
        pass


class ServiceHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "qernx_service"
    sys_version = ""
    # Answers to unreadable request lines still carry a status line and headers.
    default_request_version = "HTTP/1.1"
    timeout = IDLE_SECONDS
    server: ServiceServer

    def parse_request(self) -> bool:
        self.started = time.perf_counter()
        return super().parse_request()

    # -- answers ------------------------------------------------------------

    def answer(
        self,
        status: HTTPStatus,
        body: bytes,
        content_type: str = "application/json",
        headers: tuple[tuple[str, str], ...] = (),
    ) -> None:
        self.send_response_only(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Date", self.date_time_string())
        if self.close_connection:
            self.send_header("Connection", "close")
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)
        started = getattr(self, "started", time.perf_counter())
        elapsed = (time.perf_counter() - started) * 1000
        method = getattr(self, "command", None) or "-"
        path = getattr(self, "path", None) or "-"
        self.server.write_log(
            f"{self.client_address[0]} {method} {path} {int(status)} {elapsed:.1f}ms"
        )

    def refuse(self, status: HTTPStatus, text: str) -> None:
        self.answer(status, message(text))

    # Malformed requests (bad request line, oversized headers, ...) get the
    # same compact JSON as every other answer, and the connection closes.
    def send_error(self, code: int, message: str | None = None, explain: str | None = None) -> None:
        self.close_connection = True
        status = HTTPStatus(code)
        self.refuse(status, message or status.phrase)

    def log_request(self, code: object = "-", size: object = "-") -> None:
        pass  # answer() writes the one line per request

    def log_message(self, format: str, *args: object) -> None:
        self.server.write_log(f"{self.client_address[0]} - {format % args}")

    def not_allowed(self, allowed: str) -> None:
        self.answer(
            HTTPStatus.METHOD_NOT_ALLOWED,
            message("Method not allowed"),
            headers=(("Allow", allowed),),
        )

    # -- routes -------------------------------------------------------------

    def do_POST(self) -> None:
        route = urlsplit(self.path).path
        if route != SUBMIT_PATH:
            self.drain_body()
            return self.route_without_post(route)
        try:
            body = self.read_body()
            owner = self.owner()
            items = parse_problem(body)
        except Refusal as refusal:
            return self.refuse(refusal.status, refusal.text)
        request_id = self.server.store.submit(owner, items)
        self.answer(HTTPStatus.OK, compact_json({"requestId": request_id}))

    def do_GET(self) -> None:
        parts = urlsplit(self.path)
        if parts.path == RESULT_PATH:
            return self.result(parts.query)
        if parts.path.startswith(OBJECT_PREFIX):
            return self.stored_object(parts.path[len(OBJECT_PREFIX) :])
        if parts.path == SUBMIT_PATH:
            return self.not_allowed("POST")
        self.refuse(HTTPStatus.NOT_FOUND, "Not found")

    def do_HEAD(self) -> None:
        self.do_GET()

    def route_without_post(self, route: str) -> None:
        if route == RESULT_PATH or route.startswith(OBJECT_PREFIX):
            return self.not_allowed("GET, HEAD")
        self.refuse(HTTPStatus.NOT_FOUND, "Not found")

    def result(self, query: str) -> None:
        try:
            owner = self.owner()
        except Refusal as refusal:
            return self.refuse(refusal.status, refusal.text)
        request_id = parse_qs(query, keep_blank_values=True).get("requestId", [""])[0]
        if not request_id:
            return self.refuse(HTTPStatus.BAD_REQUEST, "requestId missing")
        found = self.server.store.lookup(owner, request_id)
        if found == UNKNOWN:
            return self.refuse(HTTPStatus.NOT_FOUND, "Unknown requestId")
        if found == FAILED:
            return self.refuse(HTTPStatus.INTERNAL_SERVER_ERROR, "The problem could not be solved")
        if self.server.redirect_results:
            location = OBJECT_PREFIX + request_id
            return self.answer(
                HTTPStatus.FOUND,
                compact_json({"location": location}),
                headers=(("Location", location),),
            )
        if found == PENDING:
            return self.refuse(HTTPStatus.ACCEPTED, "Result not ready")
        assert isinstance(found, bytes)
        self.answer(HTTPStatus.OK, found, "application/octet-stream")

    def stored_object(self, request_id: str) -> None:
        payload = self.server.store.object(request_id)
        if payload is None:
            return self.answer(
                HTTPStatus.NOT_FOUND, missing_object_xml(request_id), "application/xml"
            )
        self.answer(HTTPStatus.OK, payload, "application/octet-stream")

    # -- request parts ------------------------------------------------------

    def owner(self) -> int:
        owner = self.server.key_owner(self.headers.get("x-api-key"))
        if owner is None:
            raise Refusal(HTTPStatus.FORBIDDEN, "Forbidden")
        return owner

    def declared_length(self) -> int:
        if self.headers.get("Transfer-Encoding") is not None:
            self.close_connection = True
            raise Refusal(HTTPStatus.LENGTH_REQUIRED, "Send the problem with a Content-Length")
        declared = self.headers.get("Content-Length")
        if declared is None or not declared.isdigit():
            self.close_connection = True
            raise Refusal(HTTPStatus.LENGTH_REQUIRED, "Send the problem with a Content-Length")
        return int(declared)

    def read_body(self) -> bytes:
        length = self.declared_length()
        if length > MAX_BODY_BYTES:
            self.close_connection = True  # the body stays unread
            raise Refusal(HTTPStatus.REQUEST_ENTITY_TOO_LARGE, "Problem larger than 1 MB")
        body = self.rfile.read(length)
        if len(body) < length:
            self.close_connection = True
            raise Refusal(HTTPStatus.BAD_REQUEST, "Body shorter than its Content-Length")
        return body

    def drain_body(self) -> None:
        try:
            self.read_body()
        except Refusal:
            self.close_connection = True
