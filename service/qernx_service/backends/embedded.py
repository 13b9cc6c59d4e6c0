"""The embedded back-end: an in-process queue and a bounded result store.

Problems are solved on an executor (solver processes by default) while the
event loop keeps answering: one dispatcher per solver hands it the waiting
problems in batches, so a burst of small problems costs few round trips.
Each dispatcher has a solver process of its own: when one dies (killed, out
of memory) only its batch is affected. A new process replaces it and each
problem of the batch is solved again, alone, so that a second death is
known to be its problem's: such a problem is refused.
Results are kept for `ttl` seconds. Each key has a share of the store,
`max_result_bytes_per_key`: a problem is refused (429) when the results its
key holds, and the most that its waiting problems can still add, would pass
it. Beyond `max_result_bytes` in all, the key holding the most loses its
oldest results: a key that floods the store only ever loses its own."""

from __future__ import annotations

import asyncio
import collections
import multiprocessing
import secrets
import sys
import time
from concurrent.futures import BrokenExecutor, Executor, ProcessPoolExecutor
from http import HTTPStatus
from typing import Callable

from ..protocol import Refusal, result_bound, share_refusal
from ..solver import prepare_process, solve_many, warm_up
from ..state import FAILED, PENDING, REFUSED, UNKNOWN, Found, Metrics, timestamp
from ..waits import ResultWaits

SolveMany = Callable[[list[list[int]]], "list[tuple[bytes, float] | str]"]
# Problems one trip to a solver process carries at most, and their items.
BATCH_PROBLEMS = 64
BATCH_ITEMS = 200_000
# Solver processes a problem may be in flight in when they die before it is refused.
DEATHS_REFUSED = 2
# What a refused problem's lookup tells, and the log.
KILLER = "solver processes died twice while solving it"


def solver_processes(count: int) -> ProcessPoolExecutor:
    """`count` solver processes, started fresh (never forked from a threaded parent)."""
    return ProcessPoolExecutor(
        max_workers=count,
        mp_context=multiprocessing.get_context("spawn"),
        initializer=prepare_process,
    )


class _Entry:
    __slots__ = ("owner", "payload", "failed", "refused", "reserved")

    def __init__(self, owner: str, reserved: int) -> None:
        self.owner = owner
        self.payload: bytes | None = None
        self.failed = False
        self.refused = False
        # The most the result can take, held from the key's share until solved.
        self.reserved = reserved


class EmbeddedBackend:
    def __init__(
        self,
        executor: Executor | None,
        ttl: float,
        max_result_bytes: int = 256 << 20,
        max_queued: int = 10_000,
        max_queued_per_key: int = 1_000,
        solvers: int = 1,
        max_result_bytes_per_key: int | None = None,
        solve: SolveMany = solve_many,
        warm: Callable[[], None] | None = warm_up,
        clock: Callable[[], float] = time.monotonic,
        metrics: Metrics | None = None,
        new_executor: Callable[[], Executor] | None = None,
    ) -> None:
        # Given `new_executor`, each dispatcher has an executor of its own,
        # made by it (and made again when it breaks); otherwise they share
        # `executor`.
        self._new_executor = new_executor
        self._shared = executor
        self._executors: list[Executor] = []
        self._solvers = solvers
        self._solve = solve
        self._warm = warm
        self._ttl = ttl
        self._clock = clock
        self._max_result_bytes = max_result_bytes
        self._max_result_bytes_per_key = max_result_bytes_per_key
        self._max_queued = max_queued
        self._max_queued_per_key = max_queued_per_key
        self._metrics = metrics
        self._entries: dict[str, _Entry] = {}
        self._queued_by: collections.Counter[str] = collections.Counter()
        self._queued = 0
        # Solved results in completion order, which with one ttl is expiry order.
        self._results: collections.OrderedDict[str, float] = collections.OrderedDict()
        self._result_bytes = 0
        # Per key: its results in completion order, their bytes, and what its
        # waiting problems have reserved.
        self._results_of: dict[str, collections.OrderedDict[str, None]] = {}
        self._held_by: collections.Counter[str] = collections.Counter()
        self._reserved_by: collections.Counter[str] = collections.Counter()
        self._waiting: collections.deque[tuple[str, str, list[int]]] = collections.deque()
        # Per waiting problem: the solver processes that died with it in flight.
        self._deaths: collections.Counter[str] = collections.Counter()
        self._wake: asyncio.Event | None = None
        self._dispatchers: list[asyncio.Task[None]] = []
        self.waits = ResultWaits()

    async def start(self) -> None:
        """Starts every solver process now rather than at the first problem,
        and a dispatcher for each."""
        loop = asyncio.get_running_loop()
        if self._new_executor is not None:
            self._executors = [self._new_executor() for _ in range(self._solvers)]
        else:
            assert self._shared is not None
            self._executors = [self._shared] * self._solvers
        if self._warm is not None:
            warm = self._warm
            await asyncio.gather(
                *(loop.run_in_executor(executor, warm) for executor in self._executors)
            )
        self._wake = asyncio.Event()
        self._dispatchers = [
            asyncio.ensure_future(self._dispatch(index)) for index in range(self._solvers)
        ]

    async def close(self) -> None:
        self.waits.close()
        for dispatcher in self._dispatchers:
            dispatcher.cancel()
        await asyncio.gather(*self._dispatchers, return_exceptions=True)
        for executor in {id(e): e for e in self._executors}.values():
            await asyncio.to_thread(executor.shutdown, True, cancel_futures=True)

    async def healthy(self) -> bool:
        return True

    async def signing_key(self, generated: bytes) -> bytes:
        return generated

    async def submit(self, owner: str, items: list[int], body: bytes = b"") -> str:
        if self._queued >= self._max_queued:
            raise Refusal(HTTPStatus.SERVICE_UNAVAILABLE, "Too many problems queued", 5)
        if self._queued_by[owner] >= self._max_queued_per_key:
            raise Refusal(HTTPStatus.TOO_MANY_REQUESTS, "Too many problems queued for this key", 5)
        reserved = result_bound(items)
        if self._max_result_bytes_per_key is not None:
            self._expire()
            used = self._held_by[owner] + self._reserved_by[owner]
            # A key holding nothing may always have one problem, whatever its size.
            if used and used + reserved > self._max_result_bytes_per_key:
                raise share_refusal(self._seconds_until_room(owner))
        request_id = secrets.token_urlsafe(18)
        self._entries[request_id] = _Entry(owner, reserved)
        self._reserved_by[owner] += reserved
        self._queued += 1
        self._queued_by[owner] += 1
        self._waiting.append((request_id, owner, items))
        if self._wake is not None:
            self._wake.set()
        return request_id

    async def lookup(self, owner: str, request_id: str) -> Found:
        self._expire()
        entry = self._entries.get(request_id)
        if entry is None or entry.owner != owner:
            return UNKNOWN
        if entry.refused:
            return REFUSED
        if entry.failed:
            return FAILED
        return PENDING if entry.payload is None else entry.payload

    async def object(self, request_id: str) -> bytes | None:
        self._expire()
        entry = self._entries.get(request_id)
        return None if entry is None else entry.payload

    async def queue_depth(self) -> int:
        return self._queued

    def _seconds_until_room(self, owner: str) -> int:
        """When the key's oldest result expires, or, with none held yet, a
        short wait for its problems in progress to be solved."""
        held = self._results_of.get(owner)
        if not held:
            return 5
        expiry = self._results[next(iter(held))]
        return max(1, min(int(self._ttl), int(expiry - self._clock()) + 1))

    async def results_held(self) -> tuple[int, int]:
        """How many results are held and their bytes."""
        self._expire()
        return len(self._results), self._result_bytes

    async def _dispatch(self, index: int) -> None:
        assert self._wake is not None
        while True:
            while not self._waiting:
                self._wake.clear()
                await self._wake.wait()
            batch = [self._waiting.popleft()]
            size = len(batch[0][2])
            # A problem that was in flight when a solver process died is
            # solved alone: should it kill this one too, it is the cause.
            while (
                self._waiting
                and len(batch) < BATCH_PROBLEMS
                and batch[0][0] not in self._deaths
                and self._waiting[0][0] not in self._deaths
            ):
                size += len(self._waiting[0][2])
                if size > BATCH_ITEMS:
                    break
                batch.append(self._waiting.popleft())
            solved = await self._solve_batch(index, batch)
            for (request_id, owner, _), outcome in zip(batch, solved or []):
                self._deaths.pop(request_id, None)
                self._finish(request_id, owner, outcome)

    async def _solve_batch(
        self, index: int, batch: list[tuple[str, str, list[int]]]
    ) -> list[tuple[bytes, float] | str] | None:
        """The batch's outcomes on dispatcher `index`'s solver, or None when
        that solver died and the batch waits to be solved again."""
        problems = [items for _, _, items in batch]
        executor = self._executors[index]
        in_flight = False
        try:
            running = asyncio.get_running_loop().run_in_executor(executor, self._solve, problems)
            in_flight = True
            return await running
        except BrokenExecutor as error:
            if self._new_executor is None:  # nothing to replace it with: the batch fails
                return [str(error) or type(error).__name__] * len(batch)
            self._replace(index, executor, error)
            if in_flight:
                self._solve_again(batch)
            else:  # its process died idle: the batch was never in it
                self._waiting.extendleft(reversed(batch))
            return None
        except Exception as error:
            return [str(error) or type(error).__name__] * len(batch)

    def _replace(self, index: int, executor: Executor, error: BaseException) -> None:
        """A new solver process for dispatcher `index`, whose own died."""
        print(
            f"{timestamp()} qernx_service: a solver process died ({error}); starting a new one",
            file=sys.stderr,
            flush=True,
        )
        assert self._new_executor is not None
        self._executors[index] = self._new_executor()
        executor.shutdown(wait=False, cancel_futures=True)

    def _solve_again(self, batch: list[tuple[str, str, list[int]]]) -> None:
        """Puts a dead solver's batch first in line again, each problem to be
        solved alone, but for those in flight in DEATHS_REFUSED that died."""
        again = []
        for request_id, owner, items in batch:
            self._deaths[request_id] += 1
            if self._deaths[request_id] >= DEATHS_REFUSED:
                del self._deaths[request_id]
                self._finish(request_id, owner, KILLER, refused=True)
            else:
                again.append((request_id, owner, items))
        self._waiting.extendleft(reversed(again))
        if again and self._wake is not None:
            self._wake.set()

    def _finish(
        self,
        request_id: str,
        owner: str,
        outcome: tuple[bytes, float] | str,
        refused: bool = False,
    ) -> None:
        payload = None
        if isinstance(outcome, str):
            print(
                f"{timestamp()} qernx_service: solve {request_id}"
                f" {'refused' if refused else 'failed'}: {outcome}",
                file=sys.stderr,
                flush=True,
            )
        else:
            payload, seconds = outcome
            if self._metrics is not None:
                self._metrics.solve_seconds.observe(seconds)
        self._queued -= 1
        self._queued_by[owner] -= 1
        if self._queued_by[owner] <= 0:
            del self._queued_by[owner]
        entry = self._entries.get(request_id)
        if entry is None:
            return
        self._unreserve(entry)
        entry.payload = payload
        entry.failed = payload is None
        entry.refused = refused
        self.waits.wake(request_id)
        self._results[request_id] = self._clock() + self._ttl
        self._results_of.setdefault(owner, collections.OrderedDict())[request_id] = None
        if payload:
            self._result_bytes += len(payload)
            self._held_by[owner] += len(payload)
        self._expire()

    def _unreserve(self, entry: _Entry) -> None:
        self._reserved_by[entry.owner] -= entry.reserved
        if self._reserved_by[entry.owner] <= 0:
            del self._reserved_by[entry.owner]
        entry.reserved = 0

    def _expire(self) -> None:
        """Drops the results past their lifetime, then, while all results
        pass the total bound, the oldest of the key that holds the most."""
        now = self._clock()
        while self._results:
            request_id, expiry = next(iter(self._results.items()))
            if expiry > now:
                break
            self._drop(request_id)
        while self._result_bytes > self._max_result_bytes and self._held_by:
            largest = max(self._held_by, key=self._held_by.__getitem__)
            self._drop(next(iter(self._results_of[largest])))

    def _drop(self, request_id: str) -> None:
        self._results.pop(request_id)
        entry = self._entries.pop(request_id)
        held = self._results_of[entry.owner]
        del held[request_id]
        if not held:
            del self._results_of[entry.owner]
        size = len(entry.payload or b"")
        self._result_bytes -= size
        self._held_by[entry.owner] -= size
        if self._held_by[entry.owner] <= 0:
            del self._held_by[entry.owner]
