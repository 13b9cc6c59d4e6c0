import os
import random
import subprocess
import sys
import textwrap

import pytest
from processes import (  # noqa: F401 (shared with the test modules)
    RSS_MB,
    exits_with_work_in_flight,
    skip_what_sanitizers_distort,
)

# The service needs CPython 3.11 or newer (its uvicorn and redis-py do); on
# older Pythons only the module's own suites run here.
if sys.version_info < (3, 11):
    collect_ignore_glob = ["test_service_*.py"]


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


def pytest_collection_modifyitems(config, items):
    skip_what_sanitizers_distort(items)
