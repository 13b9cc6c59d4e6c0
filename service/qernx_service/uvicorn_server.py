"""Serving the application with uvicorn: connection bounds, deadlines, TLS
handshakes that end in time, and a shutdown that ends within seconds whatever
is connected. Everything that leans on uvicorn's internals is here."""

from __future__ import annotations

import asyncio
import collections
import json
import logging
import resource
import secrets
import signal
import socket
import ssl
import time
from collections.abc import Awaitable, Iterator
from types import FrameType
from typing import Any, Callable

import httptools
import uvicorn
from uvicorn.protocols.http.httptools_impl import HttpToolsProtocol

from .access_log import escape_for_log, log_line
from .app import ServiceApp
from .handlers import DEADLINE_KEY
from .heap import Heap, keep_trimmed
from .metrics_listener import serve_metrics
from .state import timestamp

# The request line and headers of one request, in bytes at most: beyond
# them the request is refused before it can grow the process.
MAX_HEAD_BYTES = 64 * 1024
# After a signal, how long requests in flight may take to finish.
GRACE_SECONDS = 3.0
# Descriptors kept free below the process's limit, for what the service
# itself opens (Redis connections, solver pipes, log files): a connection
# accepted into them is closed at once.
DESCRIPTOR_MARGIN = 100
# Seconds between two log lines about connections a limit refused.
REFUSAL_LOG_SECONDS = 10.0


class Ticket:
    """One accepted connection's place in the counts, given back once."""

    __slots__ = ("admission", "address", "released")

    def __init__(self, admission: Admission, address: str) -> None:
        self.admission = admission
        self.address = address
        self.released = False

    def release(self) -> None:
        if not self.released:
            self.released = True
            self.admission.release(self)


class Admission:
    """Every connection from its accept to its close, TLS handshake included:
    counted in all and per client address, refused at accept when the
    address holds its share or descriptors run short, and refusals logged at
    most once per reason every REFUSAL_LOG_SECONDS and counted in metrics."""

    def __init__(
        self,
        max_connections: int,
        per_client: int,
        app: ServiceApp,
        descriptor_limit: int | None = None,
    ) -> None:
        self.max_connections = max_connections
        # A trusted proxy (or the Unix socket's peer) carries many clients:
        # the per-client share is not its to meet.
        self.shared_peer = app.proxies.trusts
        self.per_client = per_client
        self.app = app
        if descriptor_limit is None:
            descriptor_limit = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
        self.descriptor_ceiling = descriptor_limit - DESCRIPTOR_MARGIN
        self.open = 0
        self.by_address: collections.Counter[str] = collections.Counter()
        # Connections whose handshake is still running, to end them at shutdown.
        self.handshaking: set[Any] = set()
        self.unlogged: collections.Counter[str] = collections.Counter()
        self.last_logged: dict[str, float] = {}
        self.flush_pending: set[str] = set()

    def admit(self, transport: asyncio.BaseTransport) -> Ticket | None:
        peer = transport.get_extra_info("peername")
        # A Unix socket's peer has no address ("" or None).
        address = str(peer[0]) if isinstance(peer, tuple) and peer else "-"
        proxy = self.shared_peer(None if address == "-" else address)
        sock = transport.get_extra_info("socket")
        # Linux gives each new descriptor the lowest free number: one this
        # high means fewer than the margin are left.
        if sock is not None and sock.fileno() >= self.descriptor_ceiling:
            self.refused("descriptors", address)
            return None
        if not proxy and self.by_address[address] >= self.per_client:
            self.refused("per_client", address)
            return None
        self.open += 1
        self.by_address[address] += 1
        self.app.metrics.connections_open.set(self.open)
        return Ticket(self, address)

    def release(self, ticket: Ticket) -> None:
        self.open -= 1
        self.by_address[ticket.address] -= 1
        if self.by_address[ticket.address] <= 0:
            del self.by_address[ticket.address]
        self.app.metrics.connections_open.set(self.open)

    def refused(self, reason: str, address: str) -> None:
        """Counts a refusal; logs it now, or with the others within
        REFUSAL_LOG_SECONDS of the last line about the same reason."""
        self.app.metrics.connections_refused.labels(reason).inc()
        self.unlogged[reason] += 1
        loop = asyncio.get_running_loop()
        wait = (
            self.last_logged.get(reason, -REFUSAL_LOG_SECONDS) + REFUSAL_LOG_SECONDS - loop.time()
        )
        if wait <= 0:
            self.flush(reason, address)
        elif reason not in self.flush_pending:
            self.flush_pending.add(reason)
            loop.call_later(wait, self.flush, reason, address)

    def flush(self, reason: str, address: str) -> None:
        self.flush_pending.discard(reason)
        count = self.unlogged.pop(reason, 0)
        if not count:
            return
        self.last_logged[reason] = asyncio.get_running_loop().time()
        limit = {
            "per_client": f"--max-connections-per-client {self.per_client}",
            "descriptors": f"fewer than {DESCRIPTOR_MARGIN} file descriptors left",
            "max_connections": f"--max-connections {self.max_connections}",
        }[reason]
        self.app.write_log(
            f"{timestamp()} qernx_service: {count} connection(s) refused ({limit});"
            f" the last from {escape_for_log(address)}"
        )


class Gate(asyncio.Protocol):
    """The first protocol of every accepted connection: admits it or closes
    it at once, then runs its TLS handshake within `handshake_timeout` and
    hands the TLS connection to the HTTP protocol, which gives its place
    back when it closes. Without a context (a plain listener for a proxy)
    the connection goes to the HTTP protocol at once."""

    def __init__(
        self,
        admission: Admission,
        http_protocol: Callable[[], asyncio.Protocol],
        context: ssl.SSLContext | None,
        handshake_timeout: float,
    ) -> None:
        self.admission = admission
        self.http_protocol = http_protocol
        self.context = context
        self.handshake_timeout = handshake_timeout
        self.ticket: Ticket | None = None
        self.early: list[bytes] = []

    def connection_made(self, transport: Any) -> None:
        # uvloop's transports are not asyncio.Transport subclasses, only alike.
        self.ticket = self.admission.admit(transport)
        if self.ticket is None:
            transport.abort()
            return
        if self.context is None:
            protocol = self.http_protocol()
            setattr(protocol, "ticket", self.ticket)  # noqa: B010 (read by the HTTP protocol)
            self.ticket = None
            transport.set_protocol(protocol)
            protocol.connection_made(transport)
            return
        self.admission.handshaking.add(transport)
        loop = asyncio.get_running_loop()
        # The handshake's first step puts the TLS protocol in place and
        # queues its connection_made and the resumption of reading; the
        # callback queued next queues the replay of early bytes behind them,
        # so that all three run in one pass of the loop, before it reads more.
        asyncio.ensure_future(self.handshake(transport, self.ticket))
        loop.call_soon(loop.call_soon, self.replay, transport)

    def replay(self, transport: Any) -> None:
        """Hands the bytes read before the handshake began to the TLS protocol."""
        early, self.early = b"".join(self.early), []
        protocol = transport.get_protocol()
        if not early or protocol is self or transport.is_closing():
            return
        if isinstance(protocol, asyncio.BufferedProtocol) or hasattr(protocol, "buffer_updated"):
            view = memoryview(early)
            while view:
                buffer = memoryview(protocol.get_buffer(len(view)))
                size = min(len(buffer), len(view))
                buffer[:size] = view[:size]
                protocol.buffer_updated(size)
                view = view[size:]
        else:
            protocol.data_received(early)

    def data_received(self, data: bytes) -> None:
        # uvloop starts reading once connection_made returns, whatever it
        # paused: what comes before the handshake takes over waits here.
        self.early.append(data)

    def connection_lost(self, exc: Exception | None) -> None:
        # Only while this protocol still owns the connection: before its handshake.
        if self.ticket is not None:
            self.ticket.release()

    async def handshake(self, transport: Any, ticket: Ticket) -> None:
        assert self.context is not None  # only TLS connections shake hands
        loop = asyncio.get_running_loop()
        protocol = self.http_protocol()
        try:
            tls = await loop.start_tls(
                transport,
                protocol,
                self.context,
                server_side=True,
                ssl_handshake_timeout=self.handshake_timeout,
            )
        except (OSError, ssl.SSLError, asyncio.TimeoutError, ConnectionError, RuntimeError):
            tls = None
        except asyncio.CancelledError:
            transport.abort()
            ticket.release()
            raise
        finally:
            self.admission.handshaking.discard(transport)
        if tls is None or tls.is_closing():
            transport.abort()
            ticket.release()
            return
        setattr(protocol, "ticket", ticket)  # noqa: B010 (read by the HTTP protocol)
        self.ticket = None
        protocol.connection_made(tls)


def json_answer(status: int, phrase: str, text: str, request_id: str) -> bytes:
    body = json.dumps({"message": text}, separators=(",", ":")).encode()
    head = (
        f"HTTP/1.1 {status} {phrase}\r\ncontent-type: application/json\r\n"
        f"content-length: {len(body)}\r\nx-request-id: {request_id}\r\n"
        "connection: close\r\n\r\n"
    )
    return head.encode() + body


def protocol_class(
    admission: Admission, request_timeout: float, app: ServiceApp
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
        armed_at = 0.0
        # The connection's place in the counts, from its accept.
        ticket: Ticket | None = None

        def connection_made(self, transport: Any) -> None:
            super().connection_made(transport)
            if admission.open > admission.max_connections:
                address = self.client[0] if self.client else "-"
                admission.refused("max_connections", address)
                self.app = app.over_capacity
            self._arm()

        def connection_lost(self, exc: Exception | None) -> None:
            self._disarm()
            if self.ticket is not None:
                self.ticket.release()
            if getattr(self, "transport", None) is None:
                # Lost between the TLS handshake and the gate's hand-over: the
                # TLS layer reports it, but uvicorn's protocol never began and
                # has nothing to close (the gate returns the place itself).
                return
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

        def on_headers_complete(self) -> None:
            # A result request that waits for its result ends its wait before this.
            self.scope[DEADLINE_KEY] = self.armed_at + request_timeout  # type: ignore[literal-required]
            super().on_headers_complete()

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
            self.armed_at = self.loop.time()
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
                request_id = secrets.token_hex(8)
                app.count_unreadable(408)
                self.transport.write(
                    json_answer(408, "Request Timeout", "Request timed out", request_id)
                )
                # What was read of the request, so that the cut shows in the log.
                address = self.client[0] if self.client else "-"
                # Nothing of them exists before the first byte of a request.
                url = getattr(self, "url", b"")
                try:  # the parser knows the method once the target has begun
                    method = self.parser.get_method().decode("latin-1") if url else ""
                except httptools.HttpParserError:
                    method = ""
                target = url[:2048].decode("latin-1")
                elapsed = self.loop.time() - self.armed_at
                app.write_log(log_line(address, method, target, 408, elapsed, request_id))
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
        admission: Admission,
        handshake_timeout: float,
        metrics_sock: socket.socket | None = None,
        metrics_page: Callable[[], Awaitable[bytes]] | None = None,
        plain_sockets: list[socket.socket] | None = None,
        on_stopping: Callable[[], None] = lambda: None,
    ) -> None:
        super().__init__(config)
        self.on_stopping = on_stopping
        self.plain_sockets = plain_sockets or []
        self.on_started = on_started
        self.admission = admission
        self.handshake_timeout = handshake_timeout
        self.metrics_sock = metrics_sock
        self.metrics_page = metrics_page
        self.metrics_server: asyncio.AbstractServer | None = None
        self.trimming: asyncio.Task[None] | None = None

    def run(self, sockets: list[socket.socket] | None = None) -> None:
        """Serves on uvicorn's event loop. The server it creates accepts
        plain TCP: each connection meets a Gate first, which counts it and
        runs its TLS handshake (within `handshake_timeout` seconds) before
        uvicorn's HTTP protocol sees it, so that connections still in their
        handshake count toward every limit."""
        loop = (self.config.get_loop_factory() or asyncio.new_event_loop)()
        create_server = self.create_server = loop.create_server
        admission = self.admission
        timeout = self.handshake_timeout

        plain = self.plain_sockets

        async def gated_server(
            http_protocol: Callable[[], asyncio.Protocol], **options: Any
        ) -> asyncio.AbstractServer:
            context = options.pop("ssl")
            if options.get("sock") in plain:
                context = None
            return await create_server(
                lambda: Gate(admission, http_protocol, context, timeout), **options
            )

        loop.create_server = gated_server  # type: ignore[method-assign,assignment]
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
        if self.started and self.metrics_sock is not None and self.metrics_page is not None:
            self.metrics_server = await serve_metrics(
                self.metrics_sock, self.metrics_page, self.create_server
            )
        if self.started:
            # Memory that bursts of connections leave behind goes back to the system.
            self.trimming = asyncio.ensure_future(keep_trimmed(Heap()))
            self.on_started()

    async def shutdown(self, sockets: list[socket.socket] | None = None) -> None:
        """Stops accepting, closes idle connections, waits up to GRACE_SECONDS
        for requests in flight, then drops their connections: a request cut
        short sees its client gone and ends without an answer or a traceback."""
        for server in self.servers:
            server.close()
        self.on_stopping()
        if self.trimming is not None:
            self.trimming.cancel()
        if self.metrics_server is not None:
            self.metrics_server.close()
        for sock in sockets or []:
            sock.close()
        for transport in list(self.admission.handshaking):
            transport.abort()  # a handshake is no request in flight
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
        # Twice, a while apart: asyncio.wait_for on Python 3.11 drops a cancel
        # that lands just as the Redis connection it waits for is made.
        for _ in range(2):
            for task in list(self.server_state.tasks):
                task.cancel()
            deadline = loop.time() + 0.25
            while self.server_state.tasks and loop.time() < deadline:
                await asyncio.sleep(0.02)
        # Even a second signal lets the back-end close (it takes milliseconds):
        # a lifespan left pending would fail noisily once the loop is closed.
        try:
            await asyncio.wait_for(self.lifespan.shutdown(), GRACE_SECONDS)
        except asyncio.TimeoutError:
            pass


def make_config(
    app: ServiceApp,
    context: ssl.SSLContext | None,
    backlog: int,
    admission: Admission,
    request_timeout: float,
    keep_alive: float,
) -> uvicorn.Config:
    config = uvicorn.Config(
        app,
        http=protocol_class(admission, request_timeout, app),
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
    context: ssl.SSLContext | None,
    sock: socket.socket | None,
    backlog: int,
    max_connections: int,
    request_timeout: float,
    keep_alive: float,
    on_started: Callable[[], None],
    max_connections_per_client: int,
    handshake_timeout: float,
    metrics_sock: socket.socket | None = None,
    plain_sockets: list[socket.socket] | None = None,
) -> int | None:
    """Serves `app` with TLS on `sock` (if any) and in plain HTTP on
    `plain_sockets` until a signal stops it, then closes them all. None
    once stopped, or the exit status of a start that failed."""
    admission = Admission(max_connections, max_connections_per_client, app)
    config = make_config(app, context, backlog, admission, request_timeout, keep_alive)
    # A handshake is part of the first request: it never gets longer than one.
    running = ServiceServer(
        config,
        on_started,
        admission,
        min(handshake_timeout, request_timeout),
        metrics_sock,
        app.metrics_text,
        plain_sockets,
        app.stop_waiting,
    )
    sockets = ([] if sock is None else [sock]) + list(plain_sockets or [])
    try:
        running.run(sockets=sockets)
    except SystemExit as stopped:  # uvicorn's way to report a failed start
        return int(stopped.code or 3)
    finally:
        for each in sockets:
            each.close()
        if metrics_sock is not None:
            metrics_sock.close()
    return None if running.started else 3
