"""Times qernx.complete_subset_sum against what a Python user would write instead.

Usage: python bench/bench.py [--repeat N] [--json PATH] [--only W1,W2]
"""

from __future__ import annotations

import argparse
import json
import os
import random
import statistics
import sys
import time

os.environ["QERN_KILLSWITCH"] = "1"  # the local solver

import qernx  # noqa: E402

# name: (count, low, high, seed)
WORKLOADS = {
    "W0": (100, 1, 2000, 100),
    "W1": (1_000, 1, 2000, 101),
    "W2": (10_000, 1, 1000, 102),
    "W3": (100, 1, 100_000, 103),
    "W4": (100_000, 1, 50, 104),
    "W5": (1_000, 1, 100_000, 105),
}


def make_items(name: str) -> list[int]:
    count, low, high, seed = WORKLOADS[name]
    rng = random.Random(seed)
    return [rng.randint(low, high) for _ in range(count)]


def python_int(items: list[int]) -> int:
    reach = 1
    for w in items:
        reach |= reach << w
    return reach


def median_ms(fn, items, repeat: int, budget_s: float) -> float:
    times = []
    deadline = time.perf_counter() + budget_s
    for _ in range(repeat):
        start = time.perf_counter()
        fn(items)
        times.append((time.perf_counter() - start) * 1000)
        if time.perf_counter() > deadline and len(times) >= 3:
            break
    return statistics.median(times)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--json", default="bench/results.json")
    parser.add_argument("--only", default=",".join(WORKLOADS))
    args = parser.parse_args()

    rows = []
    print(f"{'load':5} {'n':>7} {'total':>10} {'qernx ms':>10} {'int ms':>10} {'int/qernx':>10}")
    for name in args.only.split(","):
        items = make_items(name)
        expected = python_int(items)
        words = qernx.complete_subset_sum(items)
        got = sum(w << (64 * i) for i, w in enumerate(words)) if len(words) < 2000 else None
        if got is not None and got != expected:
            print(f"{name}: WRONG RESULT", file=sys.stderr)
            return 1
        ours = median_ms(qernx.complete_subset_sum, items, args.repeat, 20)
        theirs = median_ms(python_int, items, args.repeat, 20)
        rows.append(
            {
                "workload": name,
                "n": len(items),
                "total": sum(items),
                "qernx_ms": ours,
                "python_int_ms": theirs,
                "ratio_int": theirs / ours,
            }
        )
        print(
            f"{name:5} {len(items):>7} {sum(items):>10} {ours:>10.3f} {theirs:>10.3f}"
            f" {theirs / ours:>9.1f}x"
        )
    with open(args.json, "w") as out:
        json.dump({"python": sys.version, "rows": rows}, out, indent=2)
    print(f"figures written to {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
