"""The service's ASGI application: start-up and shutdown of the back-end, and
each request through the route table to one answer, counted and logged.

It knows nothing of sockets or TLS; `uvicorn_server.py` serves it."""

from __future__ import annotations

import secrets
import sys
import time
from http import HTTPStatus
from typing import Callable, TextIO

from .access_log import AccessLog
from .asgi import Answer, Receive, Scope, Send, refusal_answer, unreadable
from .backends import Backend
from .forwarded import TrustedProxies
from .handlers import ApiKeys, Handlers
from .object_urls import ObjectUrls
from .protocol import Refusal, message
from .routes import (
    HEALTH_PATH,
    METRICS_PATH,
    OBJECT_PREFIX,
    OTHER,
    RESULT_PATH,
    SUBMIT_PATH,
    Route,
    Routes,
)
from .state import Metrics, timestamp


def route_table(handlers: Handlers, objects: ObjectUrls | None) -> Routes:
    """The service's routes; object URLs have one only when results redirect to them."""
    reading = ("GET", "HEAD")
    object_routes = (
        [] if objects is None else [Route(reading, OBJECT_PREFIX + "*", objects.answer, "object")]
    )
    return Routes(
        [
            Route(("POST",), SUBMIT_PATH, handlers.submit, "submit"),
            Route(reading, RESULT_PATH, handlers.result, "result"),
            *object_routes,
            Route(reading, HEALTH_PATH, handlers.health, "healthz"),
            Route(reading, METRICS_PATH, handlers.metrics_page, "metrics"),
        ]
    )


class ServiceApp:
    def __init__(
        self,
        backend: Backend,
        keys: list[str],
        redirect_results: bool = False,
        signing_key: bytes | None = None,
        object_ttl: int = 3600,
        metrics: Metrics | None = None,
        log: TextIO = sys.stderr,
        clock: Callable[[], float] = time.time,
        proxies: TrustedProxies | None = None,
        max_poll_wait: int = 20,
    ) -> None:
        self.backend = backend
        self.proxies = proxies or TrustedProxies()
        self.metrics = metrics or Metrics()
        self.log = AccessLog(keys, log)
        self.objects = ObjectUrls(backend, signing_key, object_ttl, clock, self.write_log)
        redirect_to = self.objects if redirect_results else None
        handlers = Handlers(
            backend, ApiKeys(keys), redirect_to, self.metrics, self.write_log, max_poll_wait
        )
        self.metrics_text = handlers.metrics_text
        self.routes = route_table(handlers, redirect_to)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "lifespan":
            await self.lifespan(receive, send)
        elif scope["type"] == "http":
            await self.http(scope, receive, send)

    async def lifespan(self, receive: Receive, send: Send) -> None:
        while True:
            event = await receive()
            if event["type"] == "lifespan.startup":
                try:
                    await self.backend.start()
                    await self.objects.start()
                except Exception as error:
                    await send({"type": "lifespan.startup.failed", "message": str(error)})
                    return
                await send({"type": "lifespan.startup.complete"})
            elif event["type"] == "lifespan.shutdown":
                await self.backend.close()
                await send({"type": "lifespan.shutdown.complete"})
                return

    def stop_waiting(self) -> None:
        """The service stops: result requests waiting for their result are
        answered now, so that none holds the shutdown up."""
        self.backend.waits.close()

    async def http(self, scope: Scope, receive: Receive, send: Send) -> None:
        started = time.perf_counter()
        # Behind a trusted proxy, the log and everything after see the real client.
        scope = dict(scope, client=self.proxies.client(scope))
        request_id = secrets.token_hex(8)
        route = self.routes.name(scope["path"])
        try:
            answer = unreadable(scope) or await self.routes.answer(scope, receive)
        except Refusal as refusal:
            answer = refusal_answer(refusal)
        except Exception as error:
            self.write_log(f"{timestamp()} request {request_id} failed: {error!r}")
            answer = Answer(HTTPStatus.INTERNAL_SERVER_ERROR, message("Internal error"), close=True)
        await self.respond(scope, send, route, answer, started, request_id)

    async def over_capacity(self, scope: Scope, receive: Receive, send: Send) -> None:
        """The answer on a connection beyond --max-connections: 503, then the
        connection closes; logged and counted like any other answer."""
        answer = Answer(
            HTTPStatus.SERVICE_UNAVAILABLE,
            message("Too many connections"),
            headers=[(b"retry-after", b"1")],
            close=True,
        )
        route = self.routes.name(scope["path"])
        scope = dict(scope, client=self.proxies.client(scope))
        await self.respond(scope, send, route, answer, time.perf_counter(), secrets.token_hex(8))

    def count_unreadable(self, status: int) -> None:
        """Counts a request refused before it could be read (bad framing, deadline)."""
        self.metrics.requests.labels(OTHER, str(status)).inc()

    async def respond(
        self, scope: Scope, send: Send, route: str, answer: Answer, started: float, request_id: str
    ) -> None:
        headers = [
            (b"content-type", answer.content_type.encode()),
            (b"content-length", str(len(answer.body)).encode()),
            (b"x-request-id", request_id.encode()),
            *answer.headers,
        ]
        if answer.close:
            headers.append((b"connection", b"close"))
        await send(
            {"type": "http.response.start", "status": int(answer.status), "headers": headers}
        )
        await send({"type": "http.response.body", "body": answer.body})
        elapsed = time.perf_counter() - started
        self.metrics.requests.labels(route, str(int(answer.status))).inc()
        self.metrics.request_seconds.labels(route).observe(elapsed)
        self.log.request(scope, answer.status, elapsed, request_id)

    def write_log(self, line: str) -> None:
        self.log.write(line)
