"""The service's ASGI application: routes, keys, signed object URLs, access log.

It knows nothing of sockets or TLS; `server.py` serves it."""

from __future__ import annotations

import hashlib
import hmac
import secrets
import sys
import time
from collections.abc import Awaitable
from datetime import datetime, timezone
from http import HTTPStatus
from typing import Any, Callable, Protocol, TextIO
from urllib.parse import parse_qs

from prometheus_client import CONTENT_TYPE_LATEST, generate_latest

from .protocol import (
    MAX_BODY_BYTES,
    Refusal,
    compact_json,
    denied_object_xml,
    message,
    missing_object_xml,
    parse_problem,
)
from .state import FAILED, PENDING, UNKNOWN, Found, Metrics, owner_of

SUBMIT_PATH = "/v0/app/sspu"
RESULT_PATH = "/v0/result"
OBJECT_PREFIX = "/v0/objects/"
HEALTH_PATH = "/healthz"
METRICS_PATH = "/metrics"

Scope = dict[str, Any]
Receive = Callable[[], Awaitable[dict[str, Any]]]
Send = Callable[[dict[str, Any]], Awaitable[None]]
Headers = list[tuple[bytes, bytes]]

# Query parameters whose values never reach the log.
SECRET_PARAMETERS = ("key", "token", "secret", "signature", "password", "auth")


class Backend(Protocol):
    async def start(self) -> None: ...
    async def close(self) -> None: ...
    async def healthy(self) -> bool: ...
    async def signing_key(self, generated: bytes) -> bytes: ...
    async def submit(self, owner: str, items: list[int], body: bytes) -> str: ...
    async def lookup(self, owner: str, request_id: str) -> Found: ...
    async def object(self, request_id: str) -> bytes | None: ...
    async def queue_depth(self) -> int: ...
    async def results_held(self) -> tuple[int, int] | None: ...


def sign(key: bytes, request_id: str, expires: int) -> str:
    return hmac.new(key, f"{request_id}\n{expires}".encode(), hashlib.sha256).hexdigest()


def escape_for_log(text: str) -> str:
    """Control characters, spaces, quotes and backslashes as \\xHH."""
    return "".join(c if " " < c < "\x7f" and c not in '\\"' else f"\\x{ord(c):02x}" for c in text)


class Answer:
    __slots__ = ("status", "body", "content_type", "headers", "close")

    def __init__(
        self,
        status: HTTPStatus,
        body: bytes,
        content_type: str = "application/json",
        headers: Headers | None = None,
        close: bool = False,
    ) -> None:
        self.status = status
        self.body = body
        self.content_type = content_type
        self.headers = headers or []
        self.close = close


def refusal_answer(refusal: Refusal, close: bool = False) -> Answer:
    headers = []
    if refusal.retry_after is not None:
        headers.append((b"retry-after", str(refusal.retry_after).encode()))
    return Answer(refusal.status, message(refusal.text), headers=headers, close=close)


def not_allowed(allowed: str) -> Answer:
    return Answer(
        HTTPStatus.METHOD_NOT_ALLOWED,
        message("Method not allowed"),
        headers=[(b"allow", allowed.encode())],
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
    ) -> None:
        self.backend = backend
        self.owners = {key.encode("utf-8", "surrogateescape"): owner_of(key) for key in keys}
        self.keys = keys
        self.redirect_results = redirect_results
        self.given_signing_key = signing_key
        self.signing_key = b""
        self.object_ttl = object_ttl
        self.metrics = metrics or Metrics()
        self.log = log
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
            self.write_log(f"request {request_id} failed: {error!r}")
            answer = Answer(HTTPStatus.INTERNAL_SERVER_ERROR, message("Internal error"), close=True)
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
        self.access_log(scope, answer.status, elapsed, request_id)

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
        if scope.get("http_version") == "1.1" and not any(
            name == b"host" for name, _ in scope["headers"]
        ):
            return "other", Answer(
                HTTPStatus.BAD_REQUEST, message("Host header missing"), close=True
            )
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
            signature = sign(self.signing_key, request_id, expires)
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
        valid = (
            expires.isdigit()
            and int(expires) >= self.clock()
            and hmac.compare_digest(sign(self.signing_key, request_id, int(expires)), signature)
        )
        if not valid:
            return Answer(HTTPStatus.FORBIDDEN, denied_object_xml(request_id), "application/xml")
        payload = await self.backend.object(request_id)
        if payload is None:
            return Answer(HTTPStatus.NOT_FOUND, missing_object_xml(request_id), "application/xml")
        return Answer(HTTPStatus.OK, payload, "application/octet-stream")

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
            self.write_log(f"metrics: back-end unavailable: {error!r}")
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

    # -- log ----------------------------------------------------------------

    def access_log(self, scope: Scope, status: int, elapsed: float, request_id: str) -> None:
        client = scope.get("client")
        address = client[0] if client else "-"
        path = scope.get("raw_path") or scope["path"].encode()
        target = path.decode("latin-1")
        if scope.get("query_string"):
            target += "?" + mask_query(scope["query_string"].decode("latin-1"))
        stamp = datetime.now(timezone.utc).isoformat(timespec="milliseconds")
        self.write_log(
            f"{stamp} {address} {escape_for_log(scope['method'])} {escape_for_log(target)}"
            f" {int(status)} {elapsed * 1000:.1f}ms id={request_id}"
        )

    def write_log(self, line: str) -> None:
        for key in self.keys:  # a key typed into a URL by mistake
            line = line.replace(key, "***")
        self.log.write(line + "\n")
        self.log.flush()


def mask_query(query: str) -> str:
    parts = []
    for part in query.split("&"):
        name, equals, _ = part.partition("=")
        if equals and any(word in name.lower() for word in SECRET_PARAMETERS):
            part = f"{name}=***"
        parts.append(part)
    return "&".join(parts)


async def read_body(scope: Scope, receive: Receive) -> bytes:
    """The request's body, up to MAX_BODY_BYTES, chunked or not."""
    declared = next((v for n, v in scope["headers"] if n == b"content-length"), None)
    if declared is not None and int(declared) > MAX_BODY_BYTES:
        raise Refusal(HTTPStatus.REQUEST_ENTITY_TOO_LARGE, "Problem larger than 1 MB")
    chunks = []
    size = 0
    more = True
    while more:
        event = await receive()
        if event["type"] == "http.disconnect":
            raise Refusal(HTTPStatus.BAD_REQUEST, "The client went away")
        chunk = event.get("body", b"")
        size += len(chunk)
        if size > MAX_BODY_BYTES:
            raise Refusal(HTTPStatus.REQUEST_ENTITY_TOO_LARGE, "Problem larger than 1 MB")
        chunks.append(chunk)
        more = event.get("more_body", False)
    return b"".join(chunks)
