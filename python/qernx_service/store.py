"""Problems waiting for a worker, and results kept until their time runs out."""

from __future__ import annotations

import collections
import secrets
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from typing import Callable

from .protocol import result_payload

PENDING = "pending"
FAILED = "failed"
UNKNOWN = "unknown"


def solve_locally(items: list[int]) -> list[int]:
    """Solves with qernx's in-process solver (the process sets QERN_KILLSWITCH).

    The background call solves without the interpreter lock, so workers
    solve in parallel while the request threads keep answering."""
    import qernx

    done = threading.Event()
    box: list[list[int] | None] = []

    def finished(words: list[int] | None) -> None:
        box.append(words)
        done.set()

    qernx.complete_subset_sum_async(items, finished)
    done.wait()
    if box[0] is None:
        raise RuntimeError("the local solver failed")
    return box[0]


class _Entry:
    __slots__ = ("owner", "payload", "failed")

    def __init__(self, owner: int) -> None:
        self.owner = owner
        self.payload: bytes | None = None
        self.failed = False


class ResultStore:
    """Queues problems on a worker pool; keeps each result for `ttl` seconds
    after it is solved. A result is visible only to the key that asked."""

    def __init__(
        self,
        workers: int,
        ttl: float,
        solve: Callable[[list[int]], list[int]] = solve_locally,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        self._executor = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="qernx-solve")
        self._solve = solve
        self._ttl = ttl
        self._clock = clock
        self._lock = threading.Lock()
        self._entries: dict[str, _Entry] = {}
        # (expiry, id) in completion order; with one ttl that is expiry order.
        self._expiries: collections.deque[tuple[float, str]] = collections.deque()

    def submit(self, owner: int, items: list[int]) -> str:
        request_id = secrets.token_urlsafe(18)
        with self._lock:
            self._expire()
            self._entries[request_id] = _Entry(owner)
        self._executor.submit(self._work, request_id, items)
        return request_id

    def lookup(self, owner: int, request_id: str) -> bytes | str:
        """The payload, or PENDING, FAILED or UNKNOWN."""
        with self._lock:
            self._expire()
            entry = self._entries.get(request_id)
            if entry is None or entry.owner != owner:
                return UNKNOWN
            if entry.failed:
                return FAILED
            return PENDING if entry.payload is None else entry.payload

    def object(self, request_id: str) -> bytes | None:
        """The payload by its identifier alone, as an object store serves it."""
        with self._lock:
            self._expire()
            entry = self._entries.get(request_id)
            return None if entry is None else entry.payload

    def __len__(self) -> int:
        with self._lock:
            self._expire()
            return len(self._entries)

    def close(self) -> None:
        self._executor.shutdown(wait=False, cancel_futures=True)

    def _work(self, request_id: str, items: list[int]) -> None:
        payload = None
        try:
            payload = result_payload(self._solve(items))
        except Exception as error:  # a failed solve must not take the worker down
            print(f"qernx_service: solve {request_id} failed: {error}", file=sys.stderr, flush=True)
        with self._lock:
            entry = self._entries.get(request_id)
            if entry is not None:
                entry.payload = payload
                entry.failed = payload is None
                self._expiries.append((self._clock() + self._ttl, request_id))

    def _expire(self) -> None:
        now = self._clock()
        while self._expiries and self._expiries[0][0] <= now:
            self._entries.pop(self._expiries.popleft()[1], None)
