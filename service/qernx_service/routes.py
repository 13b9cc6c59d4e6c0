"""The route table: each route's methods, path, handler and name in the
metrics. Dispatch, the 405 answers with their Allow header and the metrics'
route labels all read the one table, so they cannot disagree."""

from __future__ import annotations

from collections.abc import Awaitable, Iterable
from dataclasses import dataclass
from http import HTTPStatus
from typing import Callable

from .asgi import Answer, Receive, Scope, not_allowed
from .protocol import message

SUBMIT_PATH = "/v0/app/sspu"
RESULT_PATH = "/v0/result"
OBJECT_PREFIX = "/v0/objects/"
HEALTH_PATH = "/healthz"
METRICS_PATH = "/metrics"

# Every path that matches no route shares this label, so that clients probing
# arbitrary paths cannot grow the metrics without bound.
OTHER = "other"


@dataclass(frozen=True)
class Request:
    scope: Scope
    receive: Receive
    # What the "*" of the route's path stood for in this request's path.
    tail: str = ""


Handler = Callable[[Request], Awaitable[Answer]]


@dataclass(frozen=True)
class Route:
    methods: tuple[str, ...]
    # Either a whole path or a prefix followed by "*", which stands for any rest.
    path: str
    handler: Handler
    name: str

    def match(self, path: str) -> str | None:
        """What the "*" stands for in `path` ("" for a whole path), or None
        if `path` is not this route's."""
        if self.path.endswith("*"):
            prefix = self.path[:-1]
            return path[len(prefix) :] if path.startswith(prefix) else None
        return "" if path == self.path else None


class Routes:
    def __init__(self, routes: Iterable[Route]) -> None:
        self.routes = tuple(routes)

    def find(self, path: str) -> tuple[Route, str] | None:
        """The first route whose path matches, and what its "*" stood for."""
        for route in self.routes:
            tail = route.match(path)
            if tail is not None:
                return route, tail
        return None

    def name(self, path: str) -> str:
        """The path's label in the metrics, whatever the method."""
        found = self.find(path)
        return OTHER if found is None else found[0].name

    async def answer(self, scope: Scope, receive: Receive) -> Answer:
        found = self.find(scope["path"])
        if found is None:
            return Answer(HTTPStatus.NOT_FOUND, message("Not found"))
        route, tail = found
        if scope["method"] not in route.methods:
            return not_allowed(", ".join(route.methods))
        return await route.handler(Request(scope, receive, tail))
