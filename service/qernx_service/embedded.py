"""The embedded back-end: an in-process queue and a bounded result store.

Problems are solved on an executor (solver processes by default) while the
event loop keeps answering; results are kept for `ttl` seconds, and the
oldest go first when they hold more than `max_result_bytes`."""

from __future__ import annotations

import asyncio
import collections
import multiprocessing
import secrets
import sys
import time
from concurrent.futures import Executor, ProcessPoolExecutor
from http import HTTPStatus
from typing import Callable

from .protocol import Refusal
from .solver import prepare_process, solve_payload
from .state import FAILED, PENDING, UNKNOWN, Found, Metrics

Solve = Callable[[list[int]], "tuple[bytes, float]"]


def solver_processes(count: int) -> ProcessPoolExecutor:
    """`count` solver processes, started fresh (never forked from a threaded parent)."""
    return ProcessPoolExecutor(
        max_workers=count,
        mp_context=multiprocessing.get_context("spawn"),
        initializer=prepare_process,
    )


class _Entry:
    __slots__ = ("owner", "payload", "failed")

    def __init__(self, owner: str) -> None:
        self.owner = owner
        self.payload: bytes | None = None
        self.failed = False


class EmbeddedBackend:
    def __init__(
        self,
        executor: Executor,
        ttl: float,
        max_result_bytes: int = 256 << 20,
        max_queued: int = 10_000,
        max_queued_per_key: int = 1_000,
        solve: Solve = solve_payload,
        clock: Callable[[], float] = time.monotonic,
        metrics: Metrics | None = None,
    ) -> None:
        self._executor = executor
        self._solve = solve
        self._ttl = ttl
        self._clock = clock
        self._max_result_bytes = max_result_bytes
        self._max_queued = max_queued
        self._max_queued_per_key = max_queued_per_key
        self._metrics = metrics
        self._entries: dict[str, _Entry] = {}
        self._queued_by: collections.Counter[str] = collections.Counter()
        self._queued = 0
        # Solved results in completion order, which with one ttl is expiry order.
        self._results: collections.OrderedDict[str, float] = collections.OrderedDict()
        self._result_bytes = 0
        self._tasks: set[asyncio.Future[None]] = set()

    async def start(self) -> None:
        """Starts every solver process now rather than at the first problem."""
        loop = asyncio.get_running_loop()
        count = getattr(self._executor, "_max_workers", 1)
        await asyncio.gather(
            *(loop.run_in_executor(self._executor, self._solve, []) for _ in range(count))
        )

    async def close(self) -> None:
        await asyncio.to_thread(self._executor.shutdown, True, cancel_futures=True)

    async def healthy(self) -> bool:
        return True

    async def signing_key(self, generated: bytes) -> bytes:
        return generated

    async def submit(self, owner: str, items: list[int]) -> str:
        if self._queued >= self._max_queued:
            raise Refusal(HTTPStatus.SERVICE_UNAVAILABLE, "Too many problems queued", 5)
        if self._queued_by[owner] >= self._max_queued_per_key:
            raise Refusal(HTTPStatus.TOO_MANY_REQUESTS, "Too many problems queued for this key", 5)
        request_id = secrets.token_urlsafe(18)
        self._entries[request_id] = _Entry(owner)
        self._queued += 1
        self._queued_by[owner] += 1
        task = asyncio.ensure_future(self._work(request_id, owner, items))
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)
        return request_id

    async def lookup(self, owner: str, request_id: str) -> Found:
        self._expire()
        entry = self._entries.get(request_id)
        if entry is None or entry.owner != owner:
            return UNKNOWN
        if entry.failed:
            return FAILED
        return PENDING if entry.payload is None else entry.payload

    async def object(self, request_id: str) -> bytes | None:
        self._expire()
        entry = self._entries.get(request_id)
        return None if entry is None else entry.payload

    async def queue_depth(self) -> int:
        return self._queued

    async def results_held(self) -> tuple[int, int]:
        """How many results are held and their bytes."""
        self._expire()
        return len(self._results), self._result_bytes

    async def _work(self, request_id: str, owner: str, items: list[int]) -> None:
        payload = None
        try:
            loop = asyncio.get_running_loop()
            payload, seconds = await loop.run_in_executor(self._executor, self._solve, items)
            if self._metrics is not None:
                self._metrics.solve_seconds.observe(seconds)
        except Exception as error:  # a failed solve must not take the service down
            print(f"qernx_service: solve {request_id} failed: {error}", file=sys.stderr, flush=True)
        self._queued -= 1
        self._queued_by[owner] -= 1
        if self._queued_by[owner] <= 0:
            del self._queued_by[owner]
        entry = self._entries.get(request_id)
        if entry is None:
            return
        entry.payload = payload
        entry.failed = payload is None
        self._results[request_id] = self._clock() + self._ttl
        self._result_bytes += len(payload or b"")
        self._expire()

    def _expire(self) -> None:
        now = self._clock()
        while self._results:
            request_id, expiry = next(iter(self._results.items()))
            if expiry > now and self._result_bytes <= self._max_result_bytes:
                break
            self._results.popitem(last=False)
            entry = self._entries.pop(request_id, None)
            if entry is not None and entry.payload is not None:
                self._result_bytes -= len(entry.payload)
