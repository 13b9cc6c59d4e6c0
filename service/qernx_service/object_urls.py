"""Signed object URLs: with --redirect-results a result is fetched from a URL
that names it and carries an expiry and an HMAC of both, as from an object
store, so that any front-end can serve it without the client's key."""

from __future__ import annotations

import hashlib
import hmac
import re
import secrets
import time
from http import HTTPStatus
from typing import Callable
from urllib.parse import parse_qs

from .asgi import Answer
from .backends import Backend
from .protocol import denied_object_xml, missing_object_xml
from .routes import OBJECT_PREFIX, Request
from .state import timestamp

# Seconds between two checks that the shared signing key is still the one in use.
SIGNING_KEY_CHECK_SECONDS = 2.0
# An object URL's expiry: ASCII digits only, few enough to stay a plain number.
_EXPIRES = re.compile(r"[0-9]{1,15}")


def sign(key: bytes, request_id: str, expires: int) -> str:
    # surrogatepass: a path the server decoded oddly still signs (and fails
    # to match) rather than raising.
    text = f"{request_id}\n{expires}".encode("utf-8", "surrogatepass")
    return hmac.new(key, text, hashlib.sha256).hexdigest()


class ObjectUrls:
    def __init__(
        self,
        backend: Backend,
        given_key: bytes | None,
        ttl: int,
        clock: Callable[[], float],
        log: Callable[[str], None],
    ) -> None:
        self.backend = backend
        self.given_key = given_key
        self.key = b""
        self.key_checked = 0.0
        self.ttl = ttl
        self.clock = clock
        self.log = log

    async def start(self) -> None:
        """Settles the key before the first request: the one given, or the
        one the back-end holds for every front-end."""
        generated = self.given_key or secrets.token_bytes(32)
        self.key = generated if self.given_key else await self.backend.signing_key(generated)
        self.key_checked = time.monotonic()

    async def location(self, request_id: str) -> str:
        """A signed URL for the result, valid for `ttl` seconds."""
        expires = int(self.clock()) + self.ttl
        signature = sign(await self.shared_key(), request_id, expires)
        return f"{OBJECT_PREFIX}{request_id}?expires={expires}&signature={signature}"

    async def answer(self, request: Request) -> Answer:
        """The object a signed URL names, answered as an object store would."""
        request_id = request.tail
        query = parse_qs(request.scope["query_string"].decode("latin-1"))
        expires = query.get("expires", [""])[0]
        signature = query.get("signature", [""])[0]
        valid = _EXPIRES.fullmatch(expires) is not None and int(expires) >= self.clock()
        if valid:
            key = await self.shared_key()
            # compare_digest takes str of ASCII only: bytes on both sides make
            # any signature, whatever its characters, a plain mismatch.
            expected = sign(key, request_id, int(expires)).encode()
            offered = signature.encode("utf-8", "surrogatepass")
            valid = hmac.compare_digest(expected, offered)
        if not valid:
            return Answer(HTTPStatus.FORBIDDEN, denied_object_xml(request_id), "application/xml")
        payload = await self.backend.object(request_id)
        if payload is None:
            return Answer(HTTPStatus.NOT_FOUND, missing_object_xml(request_id), "application/xml")
        return Answer(HTTPStatus.OK, payload, "application/octet-stream")

    async def shared_key(self) -> bytes:
        """The key object URLs are signed with. A generated key lives in the
        back-end; a Redis that came back empty has lost it, so now and then
        this front-end offers its own again and takes whichever key won: all
        front-ends agree again within seconds."""
        if self.given_key:
            return self.key
        now = time.monotonic()
        if now - self.key_checked >= SIGNING_KEY_CHECK_SECONDS:
            self.key_checked = now
            try:
                self.key = await self.backend.signing_key(self.key)
            except Exception as error:  # signing goes on with the key known
                self.log(f"{timestamp()} signing key: back-end unavailable: {error!r}")
        return self.key
