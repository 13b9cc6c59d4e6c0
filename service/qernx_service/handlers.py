"""What the service answers on its routes, once a request is known to be
readable: submissions, results, health and metrics."""

from __future__ import annotations

import asyncio
import hmac
from http import HTTPStatus
from typing import Callable
from urllib.parse import parse_qs

from prometheus_client import CONTENT_TYPE_LATEST, generate_latest

from .asgi import Answer, Headers, Receive, Scope, read_body, refusal_answer
from .backends import Backend
from .object_urls import ObjectUrls
from .protocol import Refusal, compact_json, message, parse_problem
from .routes import Request
from .state import FAILED, PENDING, REFUSED, UNKNOWN, Found, Metrics, owner_of, timestamp
from .waits import client_gone, requested_wait

# A waiting result request answers this long before its request deadline
# at the latest, so that the deadline never cuts the answer short.
DEADLINE_MARGIN = 1.0
# Where the HTTP layer puts the loop time at which it cuts the request off.
DEADLINE_KEY = "qernx.deadline"


class ApiKeys:
    def __init__(self, keys: list[str]) -> None:
        # An empty key would match an empty x-api-key header: whoever builds
        # the service from code gets the same refusal as the command line.
        if any(not key.strip() for key in keys):
            raise ValueError("an API key is empty or blank")
        self.owners = {key.encode("utf-8", "surrogateescape"): owner_of(key) for key in keys}

    def owner(self, scope: Scope) -> str:
        """The owner of the request's key; every known key is compared in constant time.
        A request with two keys is refused: which one counts would be up to
        whichever proxy or server on the way reads which."""
        offered_keys = [v for n, v in scope["headers"] if n == b"x-api-key"]
        offered = offered_keys[0] if len(offered_keys) == 1 else None
        owner = None
        if offered is not None:
            for known, name in self.owners.items():
                if hmac.compare_digest(offered, known):
                    owner = name
        if owner is None:
            raise Refusal(HTTPStatus.FORBIDDEN, "Forbidden")
        return owner


class Handlers:
    def __init__(
        self,
        backend: Backend,
        keys: ApiKeys,
        redirect_to: ObjectUrls | None,
        metrics: Metrics,
        log: Callable[[str], None],
        max_poll_wait: int = 20,
    ) -> None:
        self.backend = backend
        # The longest a result request waits for its result (0: never).
        self.max_poll_wait = max_poll_wait
        self.keys = keys
        # Set when results are answered with a redirect to a signed object URL.
        self.redirect_to = redirect_to
        self.metrics = metrics
        self.log = log

    async def submit(self, request: Request) -> Answer:
        try:
            body = await read_body(request.scope, request.receive)
        except Refusal as refusal:
            return refusal_answer(refusal)  # the rest of the body is read and dropped
        owner = self.keys.owner(request.scope)
        items = parse_problem(body)
        request_id = await self.backend.submit(owner, items, body)
        return Answer(HTTPStatus.OK, compact_json({"requestId": request_id}))

    async def result(self, request: Request) -> Answer:
        owner = self.keys.owner(request.scope)
        query = parse_qs(request.scope["query_string"].decode("latin-1"), keep_blank_values=True)
        request_id = query.get("requestId", [""])[0]
        if not request_id:
            raise Refusal(HTTPStatus.BAD_REQUEST, "requestId missing")
        found = await self.backend.lookup(owner, request_id)
        wait = self.granted_wait(request.scope)
        if found == PENDING and wait > 0:
            found = await self.wait_for_result(owner, request_id, wait, request.receive)
        # Told whenever the wait was granted, so that a client knows a
        # not-ready answer came only after it.
        applied: Headers = [(b"preference-applied", b"wait=%d" % wait)] if wait > 0 else []
        if found == UNKNOWN:
            raise Refusal(HTTPStatus.NOT_FOUND, "Unknown requestId")
        if found == FAILED:
            raise Refusal(HTTPStatus.INTERNAL_SERVER_ERROR, "The problem could not be solved")
        if found == REFUSED:
            raise Refusal(
                HTTPStatus.INTERNAL_SERVER_ERROR,
                "The problem is refused: solver processes died twice while solving it",
            )
        if found == PENDING and (wait > 0 or self.redirect_to is None):
            # A client that waited learns it here rather than from an object
            # URL that does not exist yet.
            return Answer(HTTPStatus.ACCEPTED, message("Result not ready"), headers=applied)
        if self.redirect_to is not None:
            location = await self.redirect_to.location(request_id)
            return Answer(
                HTTPStatus.FOUND,
                compact_json({"location": location}),
                headers=[(b"location", location.encode()), *applied],
            )
        assert isinstance(found, bytes)
        return Answer(HTTPStatus.OK, found, "application/octet-stream", headers=applied)

    def granted_wait(self, scope: Scope) -> int:
        """The whole seconds a result request may wait: what its Prefer header
        asks, at most --max-poll-wait, and ending DEADLINE_MARGIN before the
        request's deadline. 0 when it asks none."""
        asked = requested_wait(scope["headers"])
        if asked is None or self.max_poll_wait <= 0 or self.backend.waits.closing:
            return 0
        allowed = float(self.max_poll_wait)
        deadline = scope.get(DEADLINE_KEY)
        if deadline is not None:
            left = deadline - asyncio.get_running_loop().time() - DEADLINE_MARGIN
            allowed = min(allowed, left)
        return max(0, min(asked, int(allowed)))

    async def wait_for_result(
        self, owner: str, request_id: str, seconds: int, receive: Receive
    ) -> Found:
        """What the request finds once its result is stored, its wait is
        over, its client has gone or the service stops, whichever comes
        first. Every wake-up looks the result up again; so does the end of
        the wait, for a result whose announcement was lost."""
        loop = asyncio.get_running_loop()
        ends = loop.time() + seconds
        waits = self.backend.waits
        gone = asyncio.ensure_future(client_gone(receive))
        try:
            with waits.watch(request_id) as stored:
                while True:
                    stored.clear()
                    # Looked up once watched: a result stored before this is
                    # found here, one stored after it sets `stored`.
                    found = await self.backend.lookup(owner, request_id)
                    left = ends - loop.time()
                    if found != PENDING or left <= 0 or gone.done() or waits.closing:
                        return found
                    woken = asyncio.ensure_future(stored.wait())
                    try:
                        await asyncio.wait(
                            (woken, gone), timeout=left, return_when=asyncio.FIRST_COMPLETED
                        )
                    finally:
                        woken.cancel()
        finally:
            gone.cancel()

    async def health(self, request: Request) -> Answer:
        if await self.backend.healthy():
            return Answer(HTTPStatus.OK, compact_json({"status": "ok"}))
        return Answer(HTTPStatus.SERVICE_UNAVAILABLE, compact_json({"status": "unavailable"}))

    async def metrics_page(self, request: Request) -> Answer:
        # Behind the key on the public port: the figures tell an outsider
        # how busy the service is. --metrics-port serves them without it.
        self.keys.owner(request.scope)
        return Answer(HTTPStatus.OK, await self.metrics_text(), CONTENT_TYPE_LATEST)

    async def metrics_text(self) -> bytes:
        """The metrics in Prometheus's text format, the back-end's gauges read now."""
        try:
            self.metrics.queue_depth.set(await self.backend.queue_depth())
            held = await self.backend.results_held()
            if held is not None:
                self.metrics.results_held.set(held[0])
                self.metrics.result_bytes.set(held[1])
            figures = getattr(self.backend, "queue_figures", None)
            if figures is not None:
                pending, oldest_age, live = await figures()
                for gauge, value in (
                    (self.metrics.queue_pending, pending),
                    (self.metrics.oldest_pending_age, oldest_age),
                    (self.metrics.consumers_live, live),
                ):
                    if gauge is not None:
                        gauge.set(value)
        except Exception as error:  # the page still shows the front-end's own figures
            self.log(f"{timestamp()} metrics: back-end unavailable: {error!r}")
        return generate_latest(self.metrics.registry)
