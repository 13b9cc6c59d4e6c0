import array
import os
import random
import subprocess
import sys
import textwrap

import pytest


def oracle_words(items):
    """The sums bitset by Python's own int arithmetic, as 64-bit words."""
    reach = 1
    for w in items:
        reach |= reach << w
    count = sum(items) // 64 + 1
    return list(array.array("Q", reach.to_bytes(8 * count, "little")))


def random_items(rng: random.Random, count: int, low: int, high: int):
    return [rng.randint(low, high) for _ in range(count)]


def run_python(code: str, env_extra=None, timeout=120):
    """Runs code in a fresh interpreter with Python's stdout block-buffered,
    so that only the module's own flushing keeps the output in order."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    env.update(env_extra or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=env,
        timeout=timeout,
    )


@pytest.fixture
def local(monkeypatch):
    """Selects the in-process solver for the test."""
    monkeypatch.setenv("QERN_KILLSWITCH", "1")


def exits_with_work_in_flight(env):
    """The environment for a process that exits with solves still running. The
    memory those solves hold is left to the OS on purpose, so under the
    sanitizers the leak check at exit is off for it; memory errors still count."""
    options = os.environ.get("ASAN_OPTIONS")
    if options:
        env["ASAN_OPTIONS"] = options + ":detect_leaks=0"
    return env


def pytest_collection_modifyitems(config, items):
    """Under the sanitizers (QERN_SANITIZED=1) memory measurements and address
    space limits mean nothing: those tests run in the plain pass only."""
    if os.environ.get("QERN_SANITIZED") != "1":
        return
    skip = pytest.mark.skip(reason="not meaningful under the sanitizers")
    for item in items:
        if "memory_growth" in item.keywords or "address_space" in item.keywords:
            item.add_marker(skip)
