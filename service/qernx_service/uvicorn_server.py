"""Serving the application with uvicorn: connection bounds, deadlines, TLS
handshakes that end in time, and a shutdown that ends within seconds whatever
is connected. Everything that leans on uvicorn's internals is here."""

from __future__ import annotations

import asyncio
import functools
import json
import logging
import secrets
import signal
import socket
import ssl
import time
from collections.abc import Iterator
from types import FrameType
from typing import Any, Callable

import httptools
import uvicorn
from uvicorn.protocols.http.httptools_impl import HttpToolsProtocol

from .access_log import log_line
from .app import ServiceApp

# The request line and headers of one request, in bytes at most: beyond
# them the request is refused before it can grow the process.
MAX_HEAD_BYTES = 64 * 1024
# After a signal, how long requests in flight may take to finish.
GRACE_SECONDS = 3.0


def json_answer(status: int, phrase: str, text: str, request_id: str) -> bytes:
    body = json.dumps({"message": text}, separators=(",", ":")).encode()
    head = (
        f"HTTP/1.1 {status} {phrase}\r\ncontent-type: application/json\r\n"
        f"content-length: {len(body)}\r\nx-request-id: {request_id}\r\n"
        "connection: close\r\n\r\n"
    )
    return head.encode() + body


def protocol_class(
    max_connections: int, request_timeout: float, app: ServiceApp
) -> type[HttpToolsProtocol]:
    class ServiceProtocol(HttpToolsProtocol):
        """uvicorn's httptools protocol with a whole-request deadline, a
        connection cap and JSON answers to unreadable requests.

        The deadline starts with a connection or with the first byte after an
        answer and ends when both the request and its answer are complete, so a
        client trickling bytes is cut off however it spaces them."""

        deadline: asyncio.TimerHandle | None = None
        head_bytes = 0
        head_too_large = False

        def connection_made(self, transport: Any) -> None:
            super().connection_made(transport)
            if len(self.connections) > max_connections:
                self.app = app.over_capacity
            self._arm()

        def connection_lost(self, exc: Exception | None) -> None:
            self._disarm()
            super().connection_lost(exc)

        def data_received(self, data: bytes) -> None:
            if self.transport.is_closing():  # answered and closing: nothing more is read
                return
            if self.deadline is None:
                self._arm()
            super().data_received(data)

        def on_message_begin(self) -> None:
            self.head_bytes = 0
            super().on_message_begin()

        def on_url(self, url: bytes) -> None:
            self._count_head(len(url))
            super().on_url(url)

        def on_header(self, name: bytes, value: bytes) -> None:
            self._count_head(len(name) + len(value) + 4)
            super().on_header(name, value)

        def _count_head(self, size: int) -> None:
            """Stops the parser (which answers through send_400_response) once
            the request line and headers pass MAX_HEAD_BYTES."""
            self.head_bytes += size
            if self.head_bytes > MAX_HEAD_BYTES:
                self.head_too_large = True
                raise httptools.HttpParserError("request head too large")

        def on_message_complete(self) -> None:
            super().on_message_complete()
            if self.cycle is not None and self.cycle.response_complete:
                self._disarm()

        def on_response_complete(self) -> None:
            super().on_response_complete()
            if self.cycle is not None and not self.cycle.more_body:
                self._disarm()

        def send_400_response(self, msg: str) -> None:
            request_id = secrets.token_hex(8)
            if self.head_too_large:
                status = 431
                phrase = "Request Header Fields Too Large"
                answer = json_answer(status, phrase, "Request headers too large", request_id)
            else:
                status = 400
                answer = json_answer(status, "Bad Request", "Bad request", request_id)
            self.transport.write(answer)
            self.transport.close()
            # A client that sends on would hold the closing connection until
            # the TLS shutdown gives up (30 s): it gets a second.
            self.loop.call_later(1.0, self.transport.abort)
            address = self.client[0] if self.client else "-"
            target = self.url[:2048].decode("latin-1") if self.url else ""
            app.write_log(log_line(address, "", target, status, 0.0, request_id))
            app.count_unreadable(status)

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
                app.count_unreadable(408)
                self.transport.write(
                    json_answer(408, "Request Timeout", "Request timed out", secrets.token_hex(8))
                )
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
        """Stops accepting, closes idle connections, waits up to GRACE_SECONDS
        for requests in flight, then drops their connections: a request cut
        short sees its client gone and ends without an answer or a traceback."""
        for server in self.servers:
            server.close()
        for sock in sockets or []:
            sock.close()
        for connection in list(self.server_state.connections):
            connection.shutdown()
        loop = asyncio.get_running_loop()
        deadline = loop.time() + GRACE_SECONDS
        while (
            (self.server_state.connections or self.server_state.tasks)
            and loop.time() < deadline
            and not self.force_exit
        ):
            await asyncio.sleep(0.05)
        for connection in list(self.server_state.connections):
            connection.transport.abort()
        # What still runs saw its connection go; what ignores that is cancelled.
        deadline = loop.time() + 0.5
        while self.server_state.tasks and loop.time() < deadline:
            await asyncio.sleep(0.02)
        for task in list(self.server_state.tasks):
            task.cancel()
        # Even a second signal lets the back-end close (it takes milliseconds):
        # a lifespan left pending would fail noisily once the loop is closed.
        try:
            await asyncio.wait_for(self.lifespan.shutdown(), GRACE_SECONDS)
        except asyncio.TimeoutError:
            pass


def make_config(
    app: ServiceApp,
    context: ssl.SSLContext,
    backlog: int,
    max_connections: int,
    request_timeout: float,
    keep_alive: float,
) -> uvicorn.Config:
    config = uvicorn.Config(
        app,
        http=protocol_class(max_connections, request_timeout, app),
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


def configure_logging() -> None:
    """uvicorn's own error lines start with the same ISO-8601 UTC time as the rest."""
    handler = logging.StreamHandler()
    formatter = logging.Formatter(
        "%(asctime)s.%(msecs)03d+00:00 %(name)s %(message)s", "%Y-%m-%dT%H:%M:%S"
    )
    formatter.converter = time.gmtime
    handler.setFormatter(formatter)
    logging.basicConfig(handlers=[handler], level=logging.ERROR)


def serve(
    app: ServiceApp,
    context: ssl.SSLContext,
    sock: socket.socket,
    backlog: int,
    max_connections: int,
    request_timeout: float,
    keep_alive: float,
    on_started: Callable[[], None],
) -> int | None:
    """Serves `app` on `sock` until a signal stops it, then closes `sock`.
    None once stopped, or the exit status of a start that failed."""
    config = make_config(app, context, backlog, max_connections, request_timeout, keep_alive)
    running = ServiceServer(config, on_started, request_timeout)
    try:
        running.run(sockets=[sock])
    except SystemExit as stopped:  # uvicorn's way to report a failed start
        return int(stopped.code or 3)
    finally:
        sock.close()
    return None if running.started else 3
