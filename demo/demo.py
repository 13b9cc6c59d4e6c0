"""A short tour of qernx: local solves and membership checks, printed readably."""

from __future__ import annotations

import os
import random
import time

os.environ["QERN_KILLSWITCH"] = "1"  # the in-process solver

import qernx  # noqa: E402


def sums_of(words: list[int], limit: int = 40) -> str:
    """The reachable sums a bitset holds, the first `limit` of them."""
    found = [64 * i + b for i, w in enumerate(words) for b in range(64) if w >> b & 1]
    shown = ", ".join(map(str, found[:limit]))
    return shown + (f", ... ({len(found)} sums)" if len(found) > limit else "")


def oracle(items: list[int]) -> int:
    reach = 1
    for w in items:
        reach |= reach << w
    return reach


def as_int(words: list[int]) -> int:
    return int.from_bytes(b"".join(w.to_bytes(8, "little") for w in words), "little")


def main() -> None:
    print("qernx: which totals can some subset of the items reach?\n")
    for items in ([3, 5], [1, 2], [3, 3, 3], [64], [100, 100], [7, 0, 7]):
        words = qernx.complete_subset_sum(items)
        print(f"  items {items!s:<12} words {words!s:<28} sums {sums_of(words)}")

    items = [12, 7, 30, 45]
    words = qernx.complete_subset_sum(items)
    print(f"\nmembership in the sums of {items}:")
    for s in (19, 20, 49, 94, 95):
        answer = qernx.subset_sum_result_check(words, s)
        print(f"  can {s:>3} be reached? {answer}")
    print("  can 200 be reached?", end=" ", flush=True)
    print(f" -> {qernx.subset_sum_result_check(words, 200)}")

    rng = random.Random(1)
    big = [rng.randint(1, 2000) for _ in range(1000)]
    start = time.perf_counter()
    words = qernx.complete_subset_sum(big)
    ours = time.perf_counter() - start
    start = time.perf_counter()
    expected = oracle(big)
    theirs = time.perf_counter() - start
    verdict = "equal" if as_int(words) == expected else "DIFFERENT"
    print(
        f"\n1000 random items in [1, 2000], total {sum(big)}: {len(words)} words in"
        f" {ours * 1000:.1f} ms; Python's int took {theirs * 1000:.1f} ms; results {verdict}"
    )
    if verdict != "equal":
        raise SystemExit(1)


if __name__ == "__main__":
    main()
