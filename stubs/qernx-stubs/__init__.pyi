"""Exact complete subset sums, solved in-process or by a remote solver service."""

from typing import Callable, Optional

def complete_subset_sum(items: list[int], /) -> list[int]:
    """Return the bitset of every sum some subset of `items` reaches, as 64-bit words.

    The QERN_* environment variables are read when the call is made. Raises
    ConnectionError when the online solve fails, MemoryError when memory runs
    out, and what a signal handler raises (KeyboardInterrupt for Ctrl-C).
    """

def complete_subset_sum_bytes(items: list[int], /, *, threads: Optional[int] = None) -> bytes:
    """The same bitset as little-endian bytes, 8 * (sum(items) // 64 + 1) long, solved locally.

    Big answers are solved on up to `threads` threads (at least 1), never more
    than the CPUs this process may use; None takes QERN_THREADS, or else every
    such CPU for answers of 32 MiB and more, one thread below. The interpreter
    lock is released while it solves.
    """

def complete_subset_sum_async(
    items: list[int], callback: Callable[[Optional[list[int]]], object], /
) -> None:
    """Solve on a background thread, then call `callback(words)` (or `callback(None)`).

    The QERN_* environment variables are read when the call is made; changing
    them afterwards does not reach this solve.
    """

def subset_sum_result_check(words: list[int], s: int, /) -> Optional[bool]:
    """Whether sum `s` is set in `words`; None when `s` lies beyond the words.

    Reads only `len(words)` and `words[s // 64]`; the other words are not checked.
    """
