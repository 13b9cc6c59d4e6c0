"""The service's ASGI application: routes, keys, signed object URLs, access log.

It knows nothing of sockets or TLS; `uvicorn_server.py` serves it."""

from __future__ import annotations

import hashlib
import hmac
import re
import secrets
import sys
import time
from http import HTTPStatus
from typing import Callable, TextIO
from urllib.parse import parse_qs

from prometheus_client import CONTENT_TYPE_LATEST, generate_latest

from .access_log import AccessLog
from .asgi import (
    Answer,
    Receive,
    Scope,
    Send,
    read_body,
    refusal_answer,
    unreadable,
)
from .backends import Backend
from .protocol import (
    Refusal,
    compact_json,
    denied_object_xml,
    message,
    missing_object_xml,
    parse_problem,
)
from .routes import (
    HEALTH_PATH,
    METRICS_PATH,
    OBJECT_PREFIX,
    RESULT_PATH,
    SUBMIT_PATH,
    Request,
    Route,
    Routes,
)
from .state import FAILED, PENDING, UNKNOWN, Metrics, owner_of, timestamp

# Seconds between two checks that the shared signing key is still the one in use.
SIGNING_KEY_CHECK_SECONDS = 2.0
# An object URL's expiry: ASCII digits only, few enough to stay a plain number.
_EXPIRES = re.compile(r"[0-9]{1,15}")


def sign(key: bytes, request_id: str, expires: int) -> str:
    return hmac.new(key, f"{request_id}\n{expires}".encode(), hashlib.sha256).hexdigest()


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
    ) -> None:
        self.backend = backend
        self.owners = {key.encode("utf-8", "surrogateescape"): owner_of(key) for key in keys}
        self.redirect_results = redirect_results
        self.given_signing_key = signing_key
        self.signing_key = b""
        self.signing_key_checked = 0.0
        self.object_ttl = object_ttl
        self.metrics = metrics or Metrics()
        self.log = AccessLog(keys, log)
        self.clock = clock
        self.routes = self.route_table()

    # -- ASGI ---------------------------------------------------------------

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
                    generated = self.given_signing_key or secrets.token_bytes(32)
                    self.signing_key = (
                        generated
                        if self.given_signing_key
                        else await self.backend.signing_key(generated)
                    )
                    self.signing_key_checked = time.monotonic()
                except Exception as error:
                    await send({"type": "lifespan.startup.failed", "message": str(error)})
                    return
                await send({"type": "lifespan.startup.complete"})
            elif event["type"] == "lifespan.shutdown":
                await self.backend.close()
                await send({"type": "lifespan.shutdown.complete"})
                return

    async def http(self, scope: Scope, receive: Receive, send: Send) -> None:
        started = time.perf_counter()
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
        await self.respond(scope, send, route, answer, time.perf_counter(), secrets.token_hex(8))

    def count_unreadable(self, status: int) -> None:
        """Counts a request refused before it could be read (bad framing, deadline)."""
        self.metrics.requests.labels("other", str(status)).inc()

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

    # -- routes -------------------------------------------------------------

    def route_table(self) -> Routes:
        reading = ("GET", "HEAD")
        objects = [Route(reading, OBJECT_PREFIX + "*", self.stored_object, "object")]
        return Routes(
            [
                Route(("POST",), SUBMIT_PATH, self.submit, "submit"),
                Route(reading, RESULT_PATH, self.result, "result"),
                *(objects if self.redirect_results else []),
                Route(reading, HEALTH_PATH, self.health, "healthz"),
                Route(reading, METRICS_PATH, self.metrics_page, "metrics"),
            ]
        )

    async def submit(self, request: Request) -> Answer:
        try:
            body = await read_body(request.scope, request.receive)
        except Refusal as refusal:
            return refusal_answer(refusal)  # the rest of the body is read and dropped
        owner = self.owner(request.scope)
        items = parse_problem(body)
        request_id = await self.backend.submit(owner, items, body)
        return Answer(HTTPStatus.OK, compact_json({"requestId": request_id}))

    async def result(self, request: Request) -> Answer:
        owner = self.owner(request.scope)
        query = parse_qs(request.scope["query_string"].decode("latin-1"), keep_blank_values=True)
        request_id = query.get("requestId", [""])[0]
        if not request_id:
            raise Refusal(HTTPStatus.BAD_REQUEST, "requestId missing")
        found = await self.backend.lookup(owner, request_id)
        if found == UNKNOWN:
            raise Refusal(HTTPStatus.NOT_FOUND, "Unknown requestId")
        if found == FAILED:
            raise Refusal(HTTPStatus.INTERNAL_SERVER_ERROR, "The problem could not be solved")
        if self.redirect_results:
            expires = int(self.clock()) + self.object_ttl
            signature = sign(await self.shared_signing_key(), request_id, expires)
            location = f"{OBJECT_PREFIX}{request_id}?expires={expires}&signature={signature}"
            return Answer(
                HTTPStatus.FOUND,
                compact_json({"location": location}),
                headers=[(b"location", location.encode())],
            )
        if found == PENDING:
            raise Refusal(HTTPStatus.ACCEPTED, "Result not ready")
        assert isinstance(found, bytes)
        return Answer(HTTPStatus.OK, found, "application/octet-stream")

    async def stored_object(self, request: Request) -> Answer:
        request_id = request.tail
        query = parse_qs(request.scope["query_string"].decode("latin-1"))
        expires = query.get("expires", [""])[0]
        signature = query.get("signature", [""])[0]
        valid = _EXPIRES.fullmatch(expires) is not None and int(expires) >= self.clock()
        if valid:
            key = await self.shared_signing_key()
            valid = hmac.compare_digest(sign(key, request_id, int(expires)), signature)
        if not valid:
            return Answer(HTTPStatus.FORBIDDEN, denied_object_xml(request_id), "application/xml")
        payload = await self.backend.object(request_id)
        if payload is None:
            return Answer(HTTPStatus.NOT_FOUND, missing_object_xml(request_id), "application/xml")
        return Answer(HTTPStatus.OK, payload, "application/octet-stream")

    async def shared_signing_key(self) -> bytes:
        """The key object URLs are signed with. A generated key lives in the
        back-end; a Redis that came back empty has lost it, so now and then
        this front-end offers its own again and takes whichever key won: all
        front-ends agree again within seconds."""
        if self.given_signing_key:
            return self.signing_key
        now = time.monotonic()
        if now - self.signing_key_checked >= SIGNING_KEY_CHECK_SECONDS:
            self.signing_key_checked = now
            try:
                self.signing_key = await self.backend.signing_key(self.signing_key)
            except Exception as error:  # signing goes on with the key known
                self.write_log(f"{timestamp()} signing key: back-end unavailable: {error!r}")
        return self.signing_key

    async def health(self, request: Request) -> Answer:
        if await self.backend.healthy():
            return Answer(HTTPStatus.OK, compact_json({"status": "ok"}))
        return Answer(HTTPStatus.SERVICE_UNAVAILABLE, compact_json({"status": "unavailable"}))

    async def metrics_page(self, request: Request) -> Answer:
        try:
            self.metrics.queue_depth.set(await self.backend.queue_depth())
            held = await self.backend.results_held()
            if held is not None:
                self.metrics.results_held.set(held[0])
                self.metrics.result_bytes.set(held[1])
        except Exception as error:  # the page still shows the front-end's own figures
            self.write_log(f"{timestamp()} metrics: back-end unavailable: {error!r}")
        return Answer(HTTPStatus.OK, generate_latest(self.metrics.registry), CONTENT_TYPE_LATEST)

    # -- request parts ------------------------------------------------------

    def owner(self, scope: Scope) -> str:
        """The owner of the request's key; every known key is compared in constant time."""
        offered = next((v for n, v in scope["headers"] if n == b"x-api-key"), None)
        owner = None
        if offered is not None:
            for known, name in self.owners.items():
                if hmac.compare_digest(offered, known):
                    owner = name
        if owner is None:
            raise Refusal(HTTPStatus.FORBIDDEN, "Forbidden")
        return owner

    def write_log(self, line: str) -> None:
        self.log.write(line)
