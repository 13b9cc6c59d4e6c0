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
    not_allowed,
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
from .state import FAILED, PENDING, UNKNOWN, Metrics, owner_of, timestamp

SUBMIT_PATH = "/v0/app/sspu"
RESULT_PATH = "/v0/result"
OBJECT_PREFIX = "/v0/objects/"
HEALTH_PATH = "/healthz"
METRICS_PATH = "/metrics"

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
        route = self.route_name(scope["path"])
        try:
            _, answer = await self.route(scope, receive)
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
        route = self.route_name(scope["path"])
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

    def route_name(self, path: str) -> str:
        """The route's label in the metrics: one of a few fixed names."""
        names = {
            SUBMIT_PATH: "submit",
            RESULT_PATH: "result",
            HEALTH_PATH: "healthz",
            METRICS_PATH: "metrics",
        }
        if path.startswith(OBJECT_PREFIX) and self.redirect_results:
            return "object"
        return names.get(path, "other")

    async def route(self, scope: Scope, receive: Receive) -> tuple[str, Answer]:
        method = scope["method"]
        path = scope["path"]
        unreadable_answer = unreadable(scope)
        if unreadable_answer is not None:
            return "other", unreadable_answer
        reading = method in ("GET", "HEAD")
        if path == SUBMIT_PATH:
            if method != "POST":
                return "submit", not_allowed("POST")
            return "submit", await self.submit(scope, receive)
        if path == RESULT_PATH:
            if not reading:
                return "result", not_allowed("GET, HEAD")
            return "result", await self.result(scope)
        if path.startswith(OBJECT_PREFIX) and self.redirect_results:
            if not reading:
                return "object", not_allowed("GET, HEAD")
            return "object", await self.stored_object(scope, path[len(OBJECT_PREFIX) :])
        if path == HEALTH_PATH:
            if not reading:
                return "healthz", not_allowed("GET, HEAD")
            return "healthz", await self.health()
        if path == METRICS_PATH:
            if not reading:
                return "metrics", not_allowed("GET, HEAD")
            return "metrics", await self.metrics_page()
        return "other", Answer(HTTPStatus.NOT_FOUND, message("Not found"))

    async def submit(self, scope: Scope, receive: Receive) -> Answer:
        try:
            body = await read_body(scope, receive)
        except Refusal as refusal:
            return refusal_answer(refusal)  # the rest of the body is read and dropped
        owner = self.owner(scope)
        items = parse_problem(body)
        request_id = await self.backend.submit(owner, items, body)
        return Answer(HTTPStatus.OK, compact_json({"requestId": request_id}))

    async def result(self, scope: Scope) -> Answer:
        owner = self.owner(scope)
        query = parse_qs(scope["query_string"].decode("latin-1"), keep_blank_values=True)
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

    async def stored_object(self, scope: Scope, request_id: str) -> Answer:
        query = parse_qs(scope["query_string"].decode("latin-1"))
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

    async def health(self) -> Answer:
        if await self.backend.healthy():
            return Answer(HTTPStatus.OK, compact_json({"status": "ok"}))
        return Answer(HTTPStatus.SERVICE_UNAVAILABLE, compact_json({"status": "unavailable"}))

    async def metrics_page(self) -> Answer:
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
