"""Result requests that wait for their result (RFC 7240's `Prefer: wait=N`):
what the client asked for, and the requests waiting in this process, woken
when their result is stored.

A waiting request holds an event and nothing else: no Redis connection, no
solver. Whoever learns that a result is stored (the embedded back-end's
dispatcher, or the Redis back-end's one subscription) wakes the requests
waiting for it; a woken request looks its result up again."""

from __future__ import annotations

import asyncio
from collections.abc import Iterable, Iterator
from contextlib import contextmanager

from .asgi import Receive

# A wait is asked in whole seconds; more digits than this is a wait far past
# any cap, read as "as long as you allow" without building a huge int.
MOST_DIGITS = 9


def requested_wait(headers: Iterable[tuple[bytes, bytes]]) -> int | None:
    """The seconds of the first `wait` preference in the request's Prefer
    headers, or None when there is none or its value is not delta-seconds
    (RFC 7240: a preference that cannot be read is ignored)."""
    for name, value in headers:
        if name != b"prefer":
            continue
        for preference in value.split(b","):
            # Parameters after ";" belong to the preference; none is read here.
            token, _, argument = preference.split(b";", 1)[0].partition(b"=")
            if token.strip().lower() != b"wait":
                continue
            text = argument.strip()
            if len(text) >= 2 and text[:1] == b'"' and text[-1:] == b'"':
                text = text[1:-1]
            if not text or not text.isdigit() or not text.isascii():
                return None
            if len(text) > MOST_DIGITS:
                return int("9" * MOST_DIGITS)
            return int(text)
    return None


class ResultWaits:
    """The requests of this process waiting for a result, by request id."""

    def __init__(self) -> None:
        self._waiting: dict[str, set[asyncio.Event]] = {}
        self.closing = False

    @contextmanager
    def watch(self, request_id: str) -> Iterator[asyncio.Event]:
        """An event set whenever the request's result may have been stored,
        and when the service stops; registered before the caller looks the
        result up again, so that no wake-up falls between the two."""
        event = asyncio.Event()
        if self.closing:
            event.set()
        waiting = self._waiting.setdefault(request_id, set())
        waiting.add(event)
        try:
            yield event
        finally:
            waiting.discard(event)
            if not waiting and self._waiting.get(request_id) is waiting:
                del self._waiting[request_id]

    def wake(self, request_id: str) -> None:
        for event in self._waiting.get(request_id, ()):
            event.set()

    def wake_all(self) -> None:
        """Every waiting request looks again: after a time in which stored
        results may have gone unannounced (a subscription lost and renewed)."""
        for waiting in self._waiting.values():
            for event in waiting:
                event.set()

    def close(self) -> None:
        """The service stops: every wait ends now, and no new one begins."""
        self.closing = True
        self.wake_all()

    def __len__(self) -> int:
        return sum(len(waiting) for waiting in self._waiting.values())


async def client_gone(receive: Receive) -> None:
    """Returns once the client of a request has gone."""
    while True:
        event = await receive()
        if event.get("type") == "http.disconnect":
            return
