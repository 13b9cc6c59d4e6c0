"""Exact complete subset sums, solved in-process or by a remote solver service."""

from typing import Callable, Optional

def complete_subset_sum(items: list[int], /) -> list[int]:
    """Return the bitset of every sum some subset of `items` reaches, as 64-bit words."""

def complete_subset_sum_bytes(items: list[int], /) -> bytes:
    """The same bitset as little-endian bytes, 8 * (sum(items) // 64 + 1) long, solved locally."""

def complete_subset_sum_async(
    items: list[int], callback: Callable[[Optional[list[int]]], object], /
) -> None:
    """Solve on a background thread, then call `callback(words)` (or `callback(None)`)."""

def subset_sum_result_check(words: list[int], s: int, /) -> Optional[bool]:
    """Whether sum `s` is set in `words`; None when `s` lies beyond the words."""
