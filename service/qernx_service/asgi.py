"""ASGI's messages as the service uses them, the answers its routes give, and
the parts of a request every route reads the same way."""

from __future__ import annotations

from collections.abc import Awaitable
from http import HTTPStatus
from typing import Any, Callable

from .protocol import MAX_BODY_BYTES, Refusal, message

Scope = dict[str, Any]
Receive = Callable[[], Awaitable[dict[str, Any]]]
Send = Callable[[dict[str, Any]], Awaitable[None]]
Headers = list[tuple[bytes, bytes]]


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


def unreadable(scope: Scope) -> Answer | None:
    """The answer to a request whose framing leaves it ambiguous or unreadable,
    whatever its route; None for one that can be read."""
    hosts = sum(1 for name, _ in scope["headers"] if name == b"host")
    if hosts == 0 and scope.get("http_version") == "1.1":
        return Answer(HTTPStatus.BAD_REQUEST, message("Host header missing"), close=True)
    if hosts > 1:
        return Answer(HTTPStatus.BAD_REQUEST, message("More than one Host header"), close=True)
    if not plain_or_chunked(scope["headers"]):
        # The body is in a coding nobody here decodes: it cannot be read.
        return Answer(
            HTTPStatus.NOT_IMPLEMENTED,
            message("Only chunked Transfer-Encoding is supported"),
            close=True,
        )
    return None


def plain_or_chunked(headers: Headers) -> bool:
    """Whether the body comes as it is or chunked, the only codings read here."""
    codings = [
        coding.strip().lower()
        for name, value in headers
        if name == b"transfer-encoding"
        for coding in value.split(b",")
    ]
    return not codings or codings == [b"chunked"]


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
