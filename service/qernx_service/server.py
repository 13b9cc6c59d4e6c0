"""Serving the application with uvicorn: TLS, connection bounds, deadlines,
and a shutdown that ends within seconds whatever is connected."""

from __future__ import annotations

import asyncio
import functools
import json
import resource
import secrets
import signal
import socket
import ssl
from collections.abc import Iterator
from datetime import datetime, timezone
from types import FrameType
from typing import Any, Callable

import uvicorn
from uvicorn.protocols.http.httptools_impl import HttpToolsProtocol

from .app import escape_for_log

# Mozilla's "intermediate" TLS 1.2 suites: ECDHE key exchange, AEAD ciphers.
# TLS 1.3's own suites are all AEAD and stay on.
TLS12_CIPHERS = ":".join(
    [
        "ECDHE-ECDSA-AES128-GCM-SHA256",
        "ECDHE-RSA-AES128-GCM-SHA256",
        "ECDHE-ECDSA-AES256-GCM-SHA384",
        "ECDHE-RSA-AES256-GCM-SHA384",
        "ECDHE-ECDSA-CHACHA20-POLY1305",
        "ECDHE-RSA-CHACHA20-POLY1305",
    ]
)
# After a signal, how long requests in flight may take to finish.
GRACE_SECONDS = 3.0


def make_tls_context(cert: str, key: str) -> ssl.SSLContext:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.set_ciphers(TLS12_CIPHERS)
    context.options |= ssl.OP_NO_COMPRESSION | ssl.OP_NO_RENEGOTIATION
    context.set_alpn_protocols(["http/1.1"])
    context.load_cert_chain(cert, key)
    return context


def json_answer(status: int, phrase: str, text: str, extra: str = "") -> bytes:
    body = json.dumps({"message": text}, separators=(",", ":")).encode()
    head = (
        f"HTTP/1.1 {status} {phrase}\r\ncontent-type: application/json\r\n"
        f"content-length: {len(body)}\r\n{extra}connection: close\r\n\r\n"
    )
    return head.encode() + body


async def over_capacity(scope: Any, receive: Any, send: Any) -> None:
    """The answer for a connection beyond --max-connections."""
    body = json.dumps({"message": "Too many connections"}, separators=(",", ":")).encode()
    headers = [
        (b"content-type", b"application/json"),
        (b"content-length", str(len(body)).encode()),
        (b"retry-after", b"1"),
        (b"connection", b"close"),
    ]
    await send({"type": "http.response.start", "status": 503, "headers": headers})
    await send({"type": "http.response.body", "body": body})


def protocol_class(
    max_connections: int, request_timeout: float, log: Callable[[str], None]
) -> type[HttpToolsProtocol]:
    class ServiceProtocol(HttpToolsProtocol):
        """uvicorn's httptools protocol with a whole-request deadline, a
        connection cap and JSON answers to unreadable requests.

        The deadline starts with a connection or with the first byte after an
        answer and ends when both the request and its answer are complete, so a
        client trickling bytes is cut off however it spaces them."""

        deadline: asyncio.TimerHandle | None = None

        def connection_made(self, transport: Any) -> None:
            super().connection_made(transport)
            if len(self.connections) > max_connections:
                self.app = over_capacity
            self._arm()

        def connection_lost(self, exc: Exception | None) -> None:
            self._disarm()
            super().connection_lost(exc)

        def data_received(self, data: bytes) -> None:
            if self.deadline is None:
                self._arm()
            super().data_received(data)

        def on_message_complete(self) -> None:
            super().on_message_complete()
            if self.cycle is not None and self.cycle.response_complete:
                self._disarm()

        def on_response_complete(self) -> None:
            super().on_response_complete()
            if self.cycle is not None and not self.cycle.more_body:
                self._disarm()

        def send_400_response(self, msg: str) -> None:
            self.transport.write(json_answer(400, "Bad Request", "Bad request"))
            self.transport.close()
            stamp = datetime.now(timezone.utc).isoformat(timespec="milliseconds")
            address = self.client[0] if self.client else "-"
            target = escape_for_log(self.url.decode("latin-1")) if self.url else "-"
            log(f"{stamp} {address} - {target} 400 0.0ms id={secrets.token_hex(8)}")

        def _arm(self) -> None:
            self._disarm()
            self.deadline = self.loop.call_later(request_timeout, self._expired)

        def _disarm(self) -> None:
            if self.deadline is not None:
                self.deadline.cancel()
                self.deadline = None

        def _expired(self) -> None:
            self.deadline = None
            if self.transport.is_closing():
                return
            if self.cycle is None or not self.cycle.response_started:
                self.transport.write(json_answer(408, "Request Timeout", "Request timed out"))
            self.transport.abort()

    return ServiceProtocol


class ServiceServer(uvicorn.Server):
    """A uvicorn server that exits 0 on SIGTERM or SIGINT: it stops accepting,
    lets requests in flight finish for a few seconds, then drops every
    connection left."""

    def __init__(
        self,
        config: uvicorn.Config,
        on_started: Callable[[], None],
        handshake_timeout: float = 60.0,
    ) -> None:
        super().__init__(config)
        self.on_started = on_started
        self.handshake_timeout = handshake_timeout

    def run(self, sockets: list[socket.socket] | None = None) -> None:
        """Serves on uvicorn's event loop, whose TLS handshakes must end
        within `handshake_timeout` seconds (asyncio's own limit is 60)."""
        loop = (self.config.get_loop_factory() or asyncio.new_event_loop)()
        loop.create_server = functools.partial(  # type: ignore[method-assign]
            loop.create_server, ssl_handshake_timeout=self.handshake_timeout
        )
        asyncio.set_event_loop(loop)
        try:
            loop.run_until_complete(self.serve(sockets=sockets))
            loop.run_until_complete(loop.shutdown_asyncgens())
        finally:
            asyncio.set_event_loop(None)
            loop.close()

    def install_signal_handlers(self) -> None:  # older uvicorn
        pass

    def capture_signals(self) -> Any:
        import contextlib

        @contextlib.contextmanager
        def handlers() -> Iterator[None]:
            saved = {n: signal.signal(n, self.stop) for n in (signal.SIGINT, signal.SIGTERM)}
            try:
                yield
            finally:
                for number, handler in saved.items():
                    signal.signal(number, handler)

        return handlers()

    def stop(self, number: int, frame: FrameType | None) -> None:
        if self.should_exit:
            self.force_exit = True
        self.should_exit = True

    async def startup(self, sockets: list[socket.socket] | None = None) -> None:
        await super().startup(sockets)
        if self.started:
            self.on_started()

    async def shutdown(self, sockets: list[socket.socket] | None = None) -> None:
        await super().shutdown(sockets)
        for connection in list(self.server_state.connections):
            connection.transport.abort()


def listening_socket(host: str, port: int, backlog: int) -> socket.socket:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind((host, port))
        sock.listen(backlog)
    except OSError:
        sock.close()
        raise
    sock.setblocking(False)
    return sock


def raise_open_file_limit() -> None:
    """Every connection is a descriptor: take all the descriptors allowed."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def make_config(
    app: Any,
    context: ssl.SSLContext,
    backlog: int,
    max_connections: int,
    request_timeout: float,
    keep_alive: float,
    log: Callable[[str], None],
) -> uvicorn.Config:
    config = uvicorn.Config(
        app,
        http=protocol_class(max_connections, request_timeout, log),
        loop="auto",
        lifespan="on",
        backlog=backlog,
        timeout_keep_alive=int(max(1, keep_alive)),
        timeout_graceful_shutdown=int(GRACE_SECONDS),
        proxy_headers=False,
        server_header=False,
        date_header=True,
        access_log=False,
        log_config=None,
        log_level="error",
    )
    config.load()
    config.ssl = context
    return config
