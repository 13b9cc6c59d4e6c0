"""The module's local solver, called from solver processes.

Solving happens in processes of their own (`prepare_process` sets each one
up), so a solve never holds the front-end's interpreter lock or event loop.
"""

from __future__ import annotations

import gzip
import os
import signal
import struct
import time
from typing import Any

# Levels 1 to 3 take half the time of 4 to 6 on bitsets, and what 4 to 6 save
# is a few hundred bytes at most; random-looking bitsets do not shrink at any
# level (bench/service.py measures them all).
GZIP_LEVEL = 1


def _explicit_local_call() -> Any:
    import qernx

    return getattr(qernx, "complete_subset_sum_bytes", None)


def prepare_process() -> None:
    """Runs first in every solver process, before it has other threads.

    Signals belong to the process that owns the pool. A module without an
    explicit local call reads its solver choice from this process's own
    environment, which only this process sees."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if _explicit_local_call() is None:
        os.environ["QERN_KILLSWITCH"] = "1"


def bitset_bytes(items: list[int]) -> bytes:
    """The little-endian bytes of the sums bitset of `items`, solved locally."""
    explicit = _explicit_local_call()
    if explicit is not None:
        return bytes(explicit(items))
    if os.environ.get("QERN_KILLSWITCH") != "1":
        raise RuntimeError("the local solver is not selected in this process")
    import qernx

    words = qernx.complete_subset_sum(items)
    return struct.pack(f"<{len(words)}Q", *words)


def solve_payload(items: list[int]) -> tuple[bytes, float]:
    """The gzip payload of the problem's result and the seconds the solve took."""
    started = time.perf_counter()
    raw = bitset_bytes(items)
    elapsed = time.perf_counter() - started
    return gzip.compress(raw, GZIP_LEVEL, mtime=0), elapsed


def solve_many(problems: list[list[int]]) -> list[tuple[bytes, float] | str]:
    """`solve_payload` for each problem, or the text of its failure: one trip
    to a solver process carries a batch."""
    solved: list[tuple[bytes, float] | str] = []
    for items in problems:
        try:
            solved.append(solve_payload(items))
        except Exception as error:  # one bad problem must not fail its batch
            solved.append(str(error) or type(error).__name__)
    return solved


def warm_up() -> None:
    """Loads the module in a solver process before the first problem comes."""
    solve_payload([])
